// Reaching the key on demand; opening an application of the key with the
// built-in user PIN, and a container in it: the first steps of every
// operation that uses a private key of the layout.
#include "app/internal.h"
#include "transport/transport.h"

namespace nvapp {

bool connected() {
    if (!CNvId::m_hDev) CNvId::openDev();
    return CNvId::m_hDev != nullptr;
}

int useModuleLink() {
    CLink* link = nullptr;
    uint32_t r = SKFK_GetLink(CNvId::m_hDev, &link);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    NUV_SetLink(link);
    return kOk;
}

int openAppWithPin(const char* app, bool reconnect) {
    uint32_t r = CNvId::openApp(CNvId::m_hDev, app, &CNvId::m_hApp, reconnect);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    unsigned int tries = 0;
    r = SKF_VerifyPIN(CNvId::m_hApp, USER_TYPE, CNvId::m_userPin, &tries);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    return kOk;
}

int openPinContainer(const char* app, const char* container) {
    int rc = openAppWithPin(app);
    if (rc != kOk) return rc;
    uint32_t r = SKF_OpenContainer(CNvId::m_hApp, container, &CNvId::m_hCot);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    return kOk;
}

}  // namespace nvapp
