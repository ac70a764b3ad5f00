// Who an enrolled finger is, found by the module template a fresh touch
// matched: its user, finger number, record name and public key. The
// confirmation of an act signs as that finger without logging anybody in.
#include <cstdio>
#include <cstring>

#include "app/internal.h"
#include "util/util.h"

using namespace nvapp;

int CNvId::fingerOfTemplate(int templateId, FingerIdentity& who) {
    memset(&who, 0, sizeof who);
    if (!connected()) return kNoDev;
    char fingerName[kFingerNameMax + 1] = {0};
    int number = 0;
    int rc = _findFgIdApp(templateId, who.user, who.container, fingerName, &number);
    if (rc != kOk) return rc;
    who.finger = number;
    snprintf(who.record, sizeof who.record, "%s_%s", who.user, who.container);
    CExit guard;
    rc = openPinContainer(who.user, who.container);
    if (rc != kOk) return rc;
    Struct_ECCPUBLICKEYBLOB blob;
    memset(&blob, 0, sizeof blob);
    unsigned int n = sizeof blob;
    const uint32_t r = SKF_ExportPublicKey(m_hCot, 1, reinterpret_cast<uint8_t*>(&blob), &n);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    uint8_t pub[kPubKeyLen];
    blob2pubKey(&blob, pub, nullptr);
    asc2hex(pub, kPubKeyLen, who.publicKey, 0);
    who.publicKey[sizeof who.publicKey - 1] = 0;
    return kOk;
}
