// Factory steps that complete a key's layout after InitAppAx and AxInitFs:
// the logon-record application and the device container's certificate.
#include <cstring>

#include "app/internal.h"

using namespace nvapp;

int CNvId::initLogonApp() {
    _nvlog(">>-%s", "initLogonApp");
    CExit guard;
    CExit::uninit();
    char name[kUserNameMax + 1];
    copyText(name, sizeof name, m_pwdAppName);
    int found = 0;
    int rc = _findApp(name, &found, false);
    if (rc != kOk) return rc;
    if (found) return kOk;
    rc = AuthDev(nullptr);
    if (rc != kOk) return rc;
    char admin[9];
    makeAdminPin(admin);
    HAPPLICATION h = nullptr;
    uint32_t r = SKF_CreateApplication(m_hDev, m_pwdAppName, admin, 8,
                                       reinterpret_cast<const char*>(kPwdUserPin), 8,
                                       SECURE_ADM_ACCOUNT, &h);
    memset(admin, 0, sizeof admin);
    m_hApp = h;
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    return kOk;
}

int CNvId::setDevCert(const uint8_t* der, int length) {
    _nvlog(">>-%s", "setDevCert");
    if (!der || length <= 0 || static_cast<unsigned>(length) > kCosMaxData) return kBadParam;
    CExit guard;
    CExit::uninit();
    int rc = openPinContainer(m_axAppName, m_devCotName);
    if (rc != kOk) return rc;
    uint32_t r = SKF_ImportCertificate(m_hCot, 1, der, static_cast<unsigned int>(length));
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    return kOk;
}
