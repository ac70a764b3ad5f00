// The key's application list: reading it, and finding the base application
// of the layout in it. Shared by the PIN login, the fingerprint login and
// the record listings.
#include <cstring>

#include "app/internal.h"

namespace nvapp {

int enumApps(char* list, unsigned cap, unsigned* size, bool retry) {
    memset(list, 0, cap);
    auto call = [&] {
        *size = cap;
        return SKF_EnumApplication(CNvId::m_hDev, list, size);
    };
    uint32_t r = retry ? withRetry(call) : call();
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    if (*size > cap) *size = cap;
    return kOk;
}

int connectNamed(const char* devName) {
    if (devName && *devName) {
        // The previous handle is dropped without a disconnect.
        DEVHANDLE h = nullptr;
        uint32_t r = SKF_ConnectDev(devName, &h);
        if (r != SAR_OK) {
            _nvlog("err SKF_ConnectDev(x%x)", r);
            return kNoDev;
        }
        CNvId::m_hDev = h;
        noteConnected(devName);
    } else if (!CNvId::m_hDev) {
        CNvId::openDev();
    }
    return kOk;
}

int openBaseApp(const char* list, unsigned size, char* name, size_t cap) {
    bool found = false;
    int rc = walkNames(list, size, kUserNameMax, [&](const char* app) {
        if (strcmp(app, CNvId::m_pwdAppName) == 0) return 0;
        HAPPLICATION h = nullptr;
        unsigned int id = 0;
        uint32_t o = SKFX_OpenApplication(CNvId::m_hDev, app, &h, &id);
        if (o == SAR_OK && id == kBaseAppId) {
            // Whatever login an earlier opening left on the key (a handle lost
            // with a reconnect) never passes to this one.
            SKF_ClearSecureState(h);
            CNvId::m_hApp = h;
            if (name) copyText(name, cap, app);
            found = true;
            return 1;
        }
        if (h) SKF_CloseApplication(h);
        return 0;
    });
    if (rc == kBadLength) return kBadLength;
    if (!found) {
        _nvlog("err find Application(x%x)", 0u);
        return kOpenApp;
    }
    return kOk;
}

}  // namespace nvapp
