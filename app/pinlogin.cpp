// The PIN-login family: log in to the key's base application by PIN (or
// start a fingerprint login), list its containers, and sign with one of
// them as a plain signature or packed as PKCS#7.
#include <cstring>

#include "app/internal.h"
#include "crypto/crypto.h"
#include "transport/transport.h"
#include "util/util.h"

using namespace nvapp;

int CNvId::rkLogin(const char* devName, const char*, const char* pin) {
    _nvlog(">>-%s", "rkLogin");
    if (!pin) return kBadParam;
    // A longer PIN cannot be a PIN of this key; refused before it is copied.
    if (strnlen(pin, kPinMaxLen + 1) > kPinMaxLen) return kBadParam;
    int rc = connectNamed(devName);
    if (rc != kOk) return rc;
    CExit::uninit();
    char list[512];
    unsigned int size = 0;
    if (enumApps(list, sizeof list, &size, true) != kOk) return kFailed;
    char selected[kUserNameMax + 1] = {0};
    rc = openBaseApp(list, size, selected, sizeof selected);
    if (rc != kOk) return rc;
    HAPPLICATION h = nullptr;
    unsigned int id = 0;
    uint32_t r = SKFX_OpenApplication(m_hDev, selected, &h, &id);
    if (r != SAR_OK) {
        _nvlog("err SKF_OpenApplication(x%x)", r);
        m_hApp = nullptr;
        return kOpenApp;
    }
    m_hApp = h;
    if (id != kBaseAppId) {
        _nvlog("dev is not for yours (x%x)", id);
        CExit::uninit();
        return kNotForYou;
    }
    if (*pin) {
        char field[32];
        memset(field, 0, sizeof field);
        memcpy(field, pin, strnlen(pin, sizeof field - 1));
        unsigned int tries = 0;
        r = SKF_VerifyPIN(m_hApp, USER_TYPE, field, &tries);
        memset(field, 0, sizeof field);
        if (r != SAR_OK) {
            _nvlog("err SKF_VerifyPIN(x%x)", r);
            return kBadPin;
        }
        init();
        return kOk;
    }
    m_bChkUsr = 0;
    if (useModuleLink() != kOk) return kFailed;
    rc = createVerifyFinger();
    return rc == kOk ? kAnswerLater : rc;
}

int CNvId::rkEnumContainer(char* list, int* length) {
    _nvlog(">>-%s", "rkEnumContainer");
    if (!m_hApp) return kOpenApp;
    unsigned int size = kCotListMax;
    uint32_t r = SKF_EnumContainer(m_hApp, list, &size);
    if (r != SAR_OK) {
        _nvlog("err SKF_EnumContainer(x%x)", r);
        return kFailed;
    }
    *length = static_cast<int>(size);
    return kOk;
}

int CNvId::SignDataNormal(const char* container, const uint8_t* data, int length,
                          uint8_t* signature, uint8_t** certificate, int* certLength) {
    _nvlog(">>-%s", "SignDataNormal");
    if (!m_hApp) return kOpenApp;
    if (!container || (!data && length > 0) || length < 0 || !signature || !certificate ||
        !certLength)
        return kBadParam;
    uint32_t r = SKF_OpenContainer(m_hApp, container, &m_hCot);
    if (r != SAR_OK) {
        _nvlog("err SKF_OpenContainer(x%x)", r);
        return kFailed;
    }
    // The certificate is read straight into the scratch arena, never past
    // what is left of it.
    uint8_t* cert = cxBuf::mal(0);
    size_t room = cxBuf::left();
    unsigned int n = static_cast<unsigned int>(room < kCertMax ? room : kCertMax);
    r = SKF_ExportCertificate(m_hCot, 1, cert, &n);
    if (r != SAR_OK || n == 0) {
        _nvlog("err SKF_ExportCertificate(x%x)", r);
        return kNoCert;
    }
    cxBuf::add(n);
    uint8_t blob[134];
    memset(blob, 0, sizeof blob);
    unsigned int blobLen = sizeof blob;
    r = SKF_ExportPublicKey(m_hCot, 1, blob, &blobLen);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    uint8_t e[32];
    hashSm3(blob, data ? data : reinterpret_cast<const uint8_t*>(""), length, e);
    ECCSIGNATUREBLOB sig;
    memset(&sig, 0, sizeof sig);
    r = SKF_ECCSignData(m_hCot, e, 32, &sig);
    if (r != SAR_OK) {
        _nvlog("err SKF_ECCSignData(x%x)", r);
        if (r == SAR_PIN_LOCKED) {
            _nvlogstr("err app locked");
            return kAppLocked;
        }
        return kSignFail;
    }
    memcpy(signature, sig.r + m_ECCxyStart, 32);
    memcpy(signature + 32, sig.s + m_ECCxyStart, 32);
    *certificate = cert;
    *certLength = static_cast<int>(n);
    SKF_CloseContainer(m_hCot);
    m_hCot = nullptr;
    return kOk;
}

int CNvId::SignDataToPKCS7(const char* container, const uint8_t* data, int length,
                           uint8_t** message, int* messageLength) {
    _nvlog(">>-%s", "SignDataToPKCS7");
    if (!message || !messageLength) return kBadParam;
    uint8_t signature[kRawSigLen];
    uint8_t* cert = nullptr;
    int certLen = 0;
    int rc = SignDataNormal(container, data, length, signature, &cert, &certLen);
    if (rc != kOk) return rc;
    // A message that does not fit is a failure, never an empty success.
    if (makepkcs7Tilo(cert, certLen, data ? data : reinterpret_cast<const uint8_t*>(""), length,
                      signature, message, messageLength) != 0)
        return 121;
    return kOk;
}

void CNvId::forgetFingerLogin() {
    memset(m_curApp, 0, sizeof m_curApp);
    memset(m_curCot, 0, sizeof m_curCot);
}

void CNvId::forgetPinLogin() {
    CExit::uninit();
}

int CNvId::pinTriesLeft(const char* devName) {
    if (connectNamed(devName) != kOk) return -1;
    CExit::uninit();
    char list[512];
    unsigned int size = 0;
    if (enumApps(list, sizeof list, &size, true) != kOk) return -1;
    if (openBaseApp(list, size, nullptr, 0) != kOk) return -1;
    unsigned int most = 0;
    unsigned int left = 0;
    BOOL isDefault = 0;
    const uint32_t r = SKF_GetPINInfo(m_hApp, USER_TYPE, &most, &left, &isDefault);
    CExit::uninit();
    if (r != SAR_OK) {
        _nvlog("err SKF_GetPINInfo(x%x)", r);
        return -1;
    }
    return static_cast<int>(left);
}
