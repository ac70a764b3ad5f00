// The DER readers on certificates a key or a page hands over: the bounded
// TLV reader, _getCertData (issuer and serial of an X.509 certificate) and
// the PKCS#7 builder that starts from it. Byte 0 chooses the entry.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <openssl/asn1.h>
#include <openssl/x509.h>

#include "crypto/crypto.h"
#include "crypto/der.h"
#include "util/util.h"

namespace {

// Walks every element of a buffer with the bounded reader, descending into
// constructed ones: each element must stay inside its parent.
void walk(const uint8_t* p, size_t left, int depth) {
    while (left > 0 && depth < 32) {
        der::Tlv t;
        if (!der::readTlv(p, left, t)) return;
        if (t.total() > left || t.hdr < 2) abort();
        if (t.tag & 0x20) walk(p + t.hdr, t.len, depth + 1);
        p += t.total();
        left -= t.total();
    }
}

// What OpenSSL reads as the issuer Name and serial-number INTEGER of the
// certificate, in the form _getCertData writes them. False when OpenSSL
// does not take the certificate.
bool opensslCertData(const uint8_t* p, int n, std::vector<uint8_t>& out) {
    const uint8_t* q = p;
    X509* x = d2i_X509(nullptr, &q, n);
    if (!x) return false;
    out.clear();
    unsigned char* issuer = nullptr;
    unsigned char* serial = nullptr;
    const int il = i2d_X509_NAME(X509_get_issuer_name(x), &issuer);
    const int sl = i2d_ASN1_INTEGER(X509_get0_serialNumber(x), &serial);
    const bool ok = il > 0 && sl > 0;
    if (ok) {
        out.assign(issuer, issuer + il);
        out.insert(out.end(), serial, serial + sl);
    }
    OPENSSL_free(issuer);
    OPENSSL_free(serial);
    X509_free(x);
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 8192) return 0;
    const uint8_t mode = data[0] % 3;
    const uint8_t* p = data + 1;
    const int n = static_cast<int>(size - 1);
    // An exact copy, so a read past the certificate is caught.
    std::vector<uint8_t> cert(p, p + n);

    switch (mode) {
        case 0:
            walk(cert.data(), cert.size(), 0);
            if (cert.size() >= 4) {
                // The unchecked helpers: used only on four bytes known present.
                const int hl = _getTLlen(cert.data());
                if (hl < 2 || hl > 5) abort();
                (void)_getTLVlen(cert.data());
            }
            break;
        case 1: {
            const int r = _getCertData(cert.data(), n);
            if (r < 0 || r > kCertDataSize) abort();
            // Against OpenSSL: where both read the certificate, both find
            // the same issuer and serial number.
            std::vector<uint8_t> ref;
            if (r > 0 && opensslCertData(cert.data(), n, ref) &&
                (ref.size() != static_cast<size_t>(r) ||
                 memcmp(ref.data(), m_certData, ref.size()) != 0))
                abort();
            break;
        }
        default: {
            // PKCS#7 over a short message with this as the signer certificate.
            cxBuf::init(0);
            static const uint8_t msg[] = "fuzz";
            uint8_t sig[64];
            memset(sig, 0x5A, sizeof sig);
            uint8_t* out = nullptr;
            int outLen = 0;
            const int r = (size & 1) ? makepkcs7(cert.data(), n, msg, 4, sig, &out, &outLen)
                                     : makepkcs7Tilo(cert.data(), n, msg, 4, sig, &out, &outLen);
            if (r == 0) {
                if (!out || outLen <= n || static_cast<size_t>(outLen) > cxBuf::kSize) abort();
                walk(out, static_cast<size_t>(outLen), 0);  // the result reads back as DER
            }
            break;
        }
    }
    return 0;
}
