// User and finger records: a user is a user application, a finger is a
// container "<finger>_<template>" in it whose certificate slot holds the
// finger's display name. Nothing is kept here; every list is read from the
// key.
#include <cstdio>
#include <cstring>

#include "app/internal.h"
#include "transport/transport.h"
#include "util/util.h"

using namespace nvapp;

namespace {

const char s_fname[12][32] = {
    "otherFinger",    "L_thumb",        "L_indexFinger",  "L_middleFinger",
    "L_ringFinger",   "L_littleFinger", "R_thumb",        "R_indexFinger",
    "R_middleFinger", "R_ringFinger",   "R_littleFinger", "",
};

constexpr int kMaxFingers = 10;

// The display name of a finger record, kept in the container's signature
// certificate slot (at most kFingerNameMax bytes into `name`, zero-filled
// first). An enrolment with the empty name leaves the slot empty, so a
// missing certificate is the empty name, not a failure.
uint32_t readDisplayName(HCONTAINER container, char* name, unsigned int* n) {
    memset(name, 0, kFingerNameMax + 1);
    *n = kFingerNameMax;
    uint32_t r = SKF_ExportCertificate(container, 1, reinterpret_cast<uint8_t*>(name), n);
    if (r == SAR_CERTNOTFOUNTERR) {
        memset(name, 0, kFingerNameMax + 1);
        *n = 0;
        r = SAR_OK;
    }
    return r;
}

// The containers of the open application (256-byte list, as the records
// need no more: ten names of at most 11 characters).
int listRecords(char* list, unsigned int* size) {
    memset(list, 0, 256);
    *size = 256;
    uint32_t r = SKF_EnumContainer(CNvId::m_hApp, list, size);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    if (*size > 256) *size = 256;
    return kOk;
}

// Binds the fingerprint channel to the connected key's link.
int bindFingerLink() {
    if (useModuleLink() != kOk) return kFailed;
    return kOk;
}

// Opens a user's application; any failure means no such user.
int openUser(const char* user) {
    char name[kUserNameMax + 1];
    CNvId::cvtStr(user, name, kUserNameMax);
    uint32_t r = CNvId::openApp(CNvId::m_hDev, name, &CNvId::m_hApp, true);
    return r == SAR_OK ? kOk : kNoUser;
}

// Appends a text and its terminator when it fits.
bool appendText(char* out, size_t cap, size_t& pos, const char* text, size_t n) {
    if (!fitsIn(pos, n + 1, cap)) return false;
    memcpy(out + pos, text, n);
    out[pos + n] = 0;
    pos += n + 1;
    return true;
}

// Capacities of the callers' lists (Part of the handlers' contract).
constexpr size_t kNamesCap = 1024;
constexpr size_t kFingerNamesCap = 512;

}  // namespace

void CNvId::getFingerName(int index, char* out) {
    if (index < 1 || index > 10) index = 0;
    memcpy(out, s_fname[index], 32);
}

void CNvId::cvtStr(const char* source, char* target, int max) {
    copyText(target, static_cast<size_t>(max) + 1, source);
}

void CNvId::swap(uint8_t* a, uint8_t* b) {
    uint8_t t = *a;
    *a = *b;
    *b = t;
}

void CNvId::sort(uint8_t* bytes, int count) {
    for (int i = 0; i < count; ++i)
        for (int j = i + 1; j < count; ++j)
            if (bytes[i] > bytes[j]) swap(&bytes[i], &bytes[j]);
}

int CNvId::_getFpLstUnused(uint8_t* numbers, int* count) {
    int n = *count;
    if (n > kMaxFingers || n < 0) n = 0;
    uint8_t had[kMaxFingers];
    memcpy(had, numbers, static_cast<size_t>(n));
    memset(numbers, 0, static_cast<size_t>(n));
    int k = 0;
    for (int f = 1; f <= kMaxFingers; ++f) {
        bool used = false;
        for (int i = 0; i < n && !used; ++i)
            used = had[i] == f;
        if (!used) numbers[k++] = static_cast<uint8_t>(f);
    }
    *count = kMaxFingers - n;
    return kOk;
}

int CNvId::_getCotFpLst(uint8_t* numbers, uint8_t* templates, int* count, char* rawList) {
    char list[256];
    unsigned int size = 0;
    int rc = listRecords(list, &size);
    if (rc != kOk) return rc;
    if (rawList) memcpy(rawList, list, size);
    *count = 0;
    return walkRecords(list, size, [&](const char*, int finger, int tmpl) {
        // At most 32 records fit the callers' arrays.
        if (*count >= 32) return 0;
        if (numbers) numbers[*count] = static_cast<uint8_t>(finger);
        if (templates) templates[*count] = static_cast<uint8_t>(tmpl);
        ++*count;
        return 0;
    });
}

int CNvId::_findFgIdCot(int key, char* container, bool byFinger, int* other) {
    char list[256];
    unsigned int size = 0;
    int rc = listRecords(list, &size);
    if (rc != kOk) return rc;
    rc = walkRecords(list, size, [&](const char* name, int finger, int tmpl) {
        if ((byFinger ? finger : tmpl) != key) return 0;
        if (container) copyText(container, 32, name);
        if (other) *other = byFinger ? tmpl : finger;
        return 1;
    });
    if (rc == 1) return kOk;
    return rc == 0 ? kNoUser : rc;
}

int CNvId::_findFgIdApp(int templateId, char* user, char* container, char* fingerName,
                        int* fingerNumber) {
    CExit guard;
    CExit::uninit();
    char list[1024];
    unsigned int size = 0;
    if (enumApps(list, sizeof list, &size, false) != kOk) return kFailed;
    int rc = walkNames(list, size, kUserNameMax, [&](const char* app) {
        if (_isBaseApp(app)) return 0;
        uint32_t o = openApp(m_hDev, app, &m_hApp, false);
        if (o != SAR_OK) {
            logLine(__LINE__, o);
            return kFailed;
        }
        char cot[32] = {0};
        if (_findFgIdCot(templateId, cot, false, fingerNumber) != kOk) {
            CExit::uninit();
            return 0;
        }
        if (container) copyText(container, 32, cot);
        o = SKF_OpenContainer(m_hApp, cot, &m_hCot);
        if (o != SAR_OK) {
            logLine(__LINE__, o);
            return kFailed;
        }
        if (fingerName) {
            unsigned int n = 0;
            o = readDisplayName(m_hCot, fingerName, &n);
            if (o != SAR_OK) {
                logLine(__LINE__, o);
                return kFailed;
            }
        }
        if (user) copyText(user, kUserNameMax + 1, app);
        return 1;
    });
    if (rc == 1) return kOk;
    return rc == 0 ? kNoUser : rc;
}

namespace {
// Deletes the records of the open application whose template numbers are
// listed; their record names and display names are appended to the lists
// within the capacities given.
int delRecords(const uint8_t* templates, int count, const char* user, char* names, size_t namesCap,
               char* fingerNames, size_t fingerCap) {
    char list[256];
    unsigned int size = 0;
    int rc = listRecords(list, &size);
    if (rc != kOk) return rc;
    size_t namesPos = 0, fingerPos = 0;
    return walkRecords(list, size, [&](const char* cot, int, int tmpl) {
        bool hit = false;
        for (int i = 0; templates && i < count && !hit; ++i)
            hit = templates[i] == tmpl;
        if (!hit) return 0;
        uint32_t r = SKF_OpenContainer(CNvId::m_hApp, cot, &CNvId::m_hCot);
        if (r != SAR_OK) {
            logLine(__LINE__, r);
            return kFailed;
        }
        char display[kFingerNameMax + 1];
        unsigned int n = 0;
        r = readDisplayName(CNvId::m_hCot, display, &n);
        SKF_CloseContainer(CNvId::m_hCot);
        CNvId::m_hCot = nullptr;
        if (r != SAR_OK) {
            logLine(__LINE__, r);
            return kFailed;
        }
        if (fingerNames)
            appendText(fingerNames, fingerCap, fingerPos, display, strnlen(display, n));
        r = SKF_DeleteContainer(CNvId::m_hApp, cot);
        if (r != SAR_OK) {
            logLine(__LINE__, r);
            return kFailed;
        }
        if (names) {
            char record[kUserNameMax + 1 + 12 + 1];
            int len = snprintf(record, sizeof record, "%s_%s", user, cot);
            if (len > 0)
                appendText(names, namesCap, namesPos, record, strnlen(record, sizeof record - 1));
        }
        return 0;
    });
}

}  // namespace

int CNvId::_delFgIdCot(const uint8_t* templates, char* names, char* fingerNames, int count,
                       const char* user) {
    return delRecords(templates, count, user, names, kNamesCap, fingerNames, kFingerNamesCap);
}

int CNvId::getUsrLst(char* names, int* count) {
    _nvlog(">>-%s", "getUsrLst");
    if (!names || !count) return kBadParam;
    if (!connected()) return kNoDev;
    CExit guard;
    CExit::uninit();
    char list[1024];
    unsigned int size = 0;
    if (enumApps(list, sizeof list, &size, true) != kOk) return kFailed;
    *count = 0;
    size_t pos = 0;
    return walkNames(list, size, kUserNameMax, [&](const char* app) {
        if (_isBaseApp(app)) return 0;
        if (appendText(names, kNamesCap, pos, app, strlen(app))) ++*count;
        return 0;
    });
}

namespace {
int fingerList(const char* who, const char* user, uint8_t* numbers, int* count, bool unused) {
    _nvlog(">>-%s", who);
    if (!user || !numbers || !count) return kBadParam;
    if (!connected()) return kNoDev;
    int rc = bindFingerLink();
    if (rc != kOk) return rc;
    CExit guard;
    CExit::uninit();
    if (!*user) return kBadParam;
    rc = openUser(user);
    if (rc != kOk) return rc;
    uint8_t found[33];
    memset(found, 0, sizeof found);
    int n = 0;
    rc = CNvId::_getCotFpLst(found, nullptr, &n, nullptr);
    if (rc != kOk) return rc;
    if (unused) CNvId::_getFpLstUnused(found, &n);
    CNvId::sort(found, n);
    memcpy(numbers, found, static_cast<size_t>(n));
    *count = n;
    return kOk;
}
}  // namespace

int CNvId::getFingerUsed(const char* user, uint8_t* numbers, int* count) {
    return fingerList("getFingerUsed", user, numbers, count, false);
}

int CNvId::getFingerUnused(const char* user, uint8_t* numbers, int* count) {
    return fingerList("getFingerUnused", user, numbers, count, true);
}

int CNvId::delFinger(const char* user, const uint8_t* numbers, char* names, char* fingerNames,
                     int count) {
    _nvlog(">>-%s", "delFinger");
    if (!numbers || !user || count <= 0) return kBadParam;
    if (count > 32) return kBadParam;
    if (!connected()) return kNoDev;
    int rc = bindFingerLink();
    if (rc != kOk) return rc;
    CExit guard;
    CExit::uninit();
    if (!*user) return kBadParam;
    char name[kUserNameMax + 1];
    cvtStr(user, name, kUserNameMax);
    rc = openUser(name);
    if (rc != kOk) return rc;
    uint8_t fingers[33], tmpls[33];
    memset(fingers, 0, sizeof fingers);
    memset(tmpls, 0, sizeof tmpls);
    int n = 0;
    rc = _getCotFpLst(fingers, tmpls, &n, nullptr);
    if (rc != kOk) return rc;
    unsigned int tries = 0;
    uint32_t r = SKF_VerifyPIN(m_hApp, USER_TYPE, m_userPin, &tries);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    uint8_t chosen[32];
    int hits = 0;
    for (int i = 0; i < count; ++i)
        for (int j = 0; j < n; ++j)
            if (fingers[j] == numbers[i]) {
                chosen[hits++] = tmpls[j];
                break;
            }
    if (hits < count) return kNoFinger;
    for (int i = 0; i < hits; ++i) {
        r = NUV_FpcDelete(nullptr, chosen[i]);
        if (r != 0) _nvlog("delFinger %d %x", chosen[i], r);
    }
    // One record at a time, in the order asked for, so that the names come
    // back paired with the finger numbers the page sent.
    size_t namesPos = 0, fingerPos = 0;
    for (int i = 0; i < hits; ++i) {
        if (namesPos >= kNamesCap || fingerPos >= kFingerNamesCap) break;
        rc = delRecords(&chosen[i], 1, name, names ? names + namesPos : nullptr,
                        kNamesCap - namesPos, fingerNames ? fingerNames + fingerPos : nullptr,
                        kFingerNamesCap - fingerPos);
        if (rc != kOk) return rc;
        if (names) namesPos += strnlen(names + namesPos, kNamesCap - namesPos) + 1;
        if (fingerNames)
            fingerPos += strnlen(fingerNames + fingerPos, kFingerNamesCap - fingerPos) + 1;
    }
    _unbindLogon(hits, chosen);
    return kOk;
}

int CNvId::delUser(const char* user, uint8_t* numbers, char* containers, int* count) {
    _nvlog(">>-%s", "delUser");
    if (!connected()) return kNoDev;
    CExit guard;
    CExit::uninit();
    if (!user) return kBadParam;
    if (*user) {
        char name[kUserNameMax + 1];
        cvtStr(user, name, kUserNameMax);
        int rc = openUser(name);
        if (rc != kOk) return rc;
        uint8_t tmpls[33];
        memset(tmpls, 0, sizeof tmpls);
        int n = 0;
        rc = _getCotFpLst(numbers, tmpls, &n, containers);
        if (rc != kOk) return rc;
        if (count) *count = n;
        unsigned int tries = 0;
        uint32_t r = SKF_VerifyPIN(m_hApp, USER_TYPE, m_userPin, &tries);
        if (r != SAR_OK) {
            logLine(__LINE__, r);
            return kFailed;
        }
        clearFp(tmpls, n);
        CExit::uninit();
        rc = AuthDev(nullptr);
        if (rc != kOk) {
            logLine(__LINE__, static_cast<uint32_t>(rc));
            return kFailed;
        }
        r = SKF_DeleteApplication(m_hDev, name);
        if (r != SAR_OK) {
            logLine(__LINE__, r);
            return kFailed;
        }
        _unbindLogon(n, tmpls);
        return kOk;
    }
    int rc = AuthDev(nullptr);
    if (rc != kOk) {
        logLine(__LINE__, static_cast<uint32_t>(rc));
        return kFailed;
    }
    clrAllApp(containers, count);
    clearFp(nullptr, 0);
    _unbindLogon(255, nullptr);
    return kOk;
}
