// Signature packaging: the bare SEQUENCE { r, s }, the certificate fields
// a SignerInfo names, and PKCS#7 SignedData with an SM2 signature. The
// message is measured first and written once into one arena slice, so it
// needs only its own size of arena and is either complete or refused.
#include <cstring>

#include "crypto/crypto.h"
#include "crypto/der.h"

uint8_t m_certData[kCertDataSize];

namespace {

constexpr uint8_t kOidSm3[] = {0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x83, 0x11};
constexpr uint8_t kOidSm2Sign[] = {0x06, 0x09, 0x2A, 0x81, 0x1C, 0xCF,
                                   0x55, 0x01, 0x82, 0x2D, 0x01};
constexpr uint8_t kOidSm2[] = {0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D};
constexpr uint8_t kOidPkcs7Data[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                     0xF7, 0x0D, 0x01, 0x07, 0x01};
constexpr uint8_t kOidPkcs7Signed[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                       0xF7, 0x0D, 0x01, 0x07, 0x02};
constexpr uint8_t kOidGmData[] = {0x06, 0x0A, 0x2A, 0x81, 0x1C, 0xCF,
                                  0x55, 0x06, 0x01, 0x04, 0x02, 0x01};
constexpr uint8_t kOidGmSigned[] = {0x06, 0x0A, 0x2A, 0x81, 0x1C, 0xCF,
                                    0x55, 0x06, 0x01, 0x04, 0x02, 0x02};
constexpr uint8_t kNull[] = {0x05, 0x00};
constexpr uint8_t kVersion1[] = {0x02, 0x01, 0x01};
constexpr uint8_t kVersion3[] = {0x02, 0x01, 0x03};

constexpr uint32_t kMaxSerial = 128;

struct Bytes {
    const uint8_t* p;
    uint32_t n;
};

// What tells the two message flavours apart.
struct Flavour {
    Bytes signedType;
    Bytes dataType;
    Bytes version;
    bool algNullParams;  // SignerInfo algorithm identifiers carry NULL
    Bytes signAlg;       // signature algorithm OID in SignerInfo
};

const Flavour kTilo = {{kOidPkcs7Signed, sizeof kOidPkcs7Signed},
                       {kOidPkcs7Data, sizeof kOidPkcs7Data},
                       {kVersion1, sizeof kVersion1},
                       false,
                       {kOidSm2, sizeof kOidSm2}};
const Flavour kGm = {{kOidGmSigned, sizeof kOidGmSigned},
                     {kOidGmData, sizeof kOidGmData},
                     {kVersion3, sizeof kVersion3},
                     true,
                     {kOidSm2Sign, sizeof kOidSm2Sign}};

// Header plus value; flags values beyond the 65535 bytes DER here supports.
struct Sizer {
    bool tooLong = false;
    uint32_t operator()(uint32_t n) {
        const uint32_t h = der::hdrLen(n);
        if (!h) tooLong = true;
        return h + n;
    }
};

// Sequential writer into one cTlv; the cTlv refuses anything past its
// declared length.
struct Out {
    cTlv& t;
    void hdr(uint8_t tag, uint32_t n) {
        uint8_t h[4];
        t.addbuf(h, der::putHdr(h, tag, n));
    }
    void bytes(Bytes b) { t.addbuf(b.p, b.n); }
    void bytes(const uint8_t* p, uint32_t n) { t.addbuf(p, n); }
};

// r and s INTEGERs of a 64-byte r || s signature, back to back.
uint32_t signatureIntegers(const uint8_t* sig, uint8_t out[2 * der::intMax(32)]) {
    uint32_t n = der::uintToInteger(sig, 32, out);
    return n + der::uintToInteger(sig + 32, 32, out + n);
}

int build(const Flavour& f, const uint8_t* cert, int certLen, const uint8_t* data, int dataLen,
          const uint8_t* sig, uint8_t** message, int* messageLength) {
    if (!cert || !data || !sig || !message || !messageLength || certLen < 0 || dataLen < 0)
        return -1;
    uint8_t rs[2 * der::intMax(32)];
    const uint32_t rsLen = signatureIntegers(sig, rs);
    const int cd = _getCertData(cert, certLen);
    const uint32_t certData = cd > 0 ? static_cast<uint32_t>(cd) : 0;
    const uint32_t nCert = static_cast<uint32_t>(certLen), nData = static_cast<uint32_t>(dataLen);

    Sizer tl;
    const uint32_t digestAlgValue = sizeof kOidSm3 + (f.algNullParams ? sizeof kNull : 0);
    const uint32_t signAlgValue = f.signAlg.n + (f.algNullParams ? sizeof kNull : 0);
    const uint32_t signerValue =
        sizeof kVersion1 + tl(certData) + tl(digestAlgValue) + tl(signAlgValue) + tl(tl(rsLen));
    const uint32_t contentValue = f.dataType.n + tl(tl(nData));
    const uint32_t signedValue = f.version.n + tl(tl(sizeof kOidSm3 + sizeof kNull)) +
                                 tl(contentValue) + tl(nCert) + tl(tl(signerValue));
    const uint32_t outerValue = f.signedType.n + tl(tl(signedValue));
    tl(outerValue);
    if (tl.tooLong) return -2;

    cTlv msg(0x30, outerValue);
    if (!msg.ok()) return -2;
    Out o{msg};
    o.bytes(f.signedType);
    o.hdr(0xA0, tl(signedValue));
    o.hdr(0x30, signedValue);
    o.bytes(f.version);
    o.hdr(0x31, tl(sizeof kOidSm3 + sizeof kNull));  // digestAlgorithms
    o.hdr(0x30, sizeof kOidSm3 + sizeof kNull);
    o.bytes(kOidSm3, sizeof kOidSm3);
    o.bytes(kNull, sizeof kNull);
    o.hdr(0x30, contentValue);  // contentInfo
    o.bytes(f.dataType);
    o.hdr(0xA0, tl(nData));
    o.hdr(0x04, nData);
    o.bytes(data, nData);
    o.hdr(0xA0, nCert);  // certificates
    o.bytes(cert, nCert);
    o.hdr(0x31, tl(signerValue));  // signerInfos
    o.hdr(0x30, signerValue);
    o.bytes(kVersion1, sizeof kVersion1);
    o.hdr(0x30, certData);  // issuerAndSerialNumber
    o.bytes(m_certData, certData);
    o.hdr(0x30, digestAlgValue);
    o.bytes(kOidSm3, sizeof kOidSm3);
    if (f.algNullParams) o.bytes(kNull, sizeof kNull);
    o.hdr(0x30, signAlgValue);
    o.bytes(f.signAlg);
    if (f.algNullParams) o.bytes(kNull, sizeof kNull);
    o.hdr(0x04, tl(rsLen));  // encryptedDigest
    o.hdr(0x30, rsLen);
    o.bytes(rs, rsLen);
    if (!msg.complete()) return -2;
    *message = msg.buf();
    *messageLength = static_cast<int>(msg.len());
    return 0;
}

}  // namespace

int _getCertData(const uint8_t* certificate, int length) {
    if (!certificate || length <= 0) return 0;
    der::Tlv t;
    const uint8_t* p = certificate;
    size_t left = static_cast<size_t>(length);
    if (!der::readTlv(p, left, t) || t.tag != 0x30) return 0;  // Certificate
    p += t.hdr, left = t.len;
    if (!der::readTlv(p, left, t) || t.tag != 0x30) return 0;  // TBSCertificate
    p += t.hdr, left = t.len;

    Bytes serial{nullptr, 0}, issuer{nullptr, 0};
    // Serial number, then the first Name (a SEQUENCE of SETs) is the issuer;
    // the subject comes only after the validity.
    for (int element = 0; element < 5 && left > 0; ++element) {
        if (!der::readTlv(p, left, t)) return 0;
        const Bytes whole{p, static_cast<uint32_t>(t.total())};
        if (t.tag == 0x02 && !serial.p) {
            serial = whole;
            if (issuer.p) break;
        } else if (t.tag == 0x30 && t.len > 0 && p[t.hdr] == 0x31) {
            issuer = whole;
            if (serial.p) break;
        }
        p += t.total(), left -= t.total();
    }
    if (!serial.p || !issuer.p || serial.n > kMaxSerial ||
        static_cast<size_t>(serial.n) + issuer.n > sizeof m_certData)
        return 0;
    memcpy(m_certData, issuer.p, issuer.n);
    memcpy(m_certData + issuer.n, serial.p, serial.n);
    return static_cast<int>(issuer.n + serial.n);
}

int makepkcs10(const uint8_t* signature, uint8_t* out, int* outLength) {
    if (!signature || !out || !outLength) return -1;
    uint8_t rs[2 * der::intMax(32)];
    const uint32_t n = signatureIntegers(signature, rs);
    const uint32_t h = der::putHdr(out, 0x30, n);  // n <= 70: one length byte
    memcpy(out + h, rs, n);
    *outLength = static_cast<int>(h + n);
    return 0;
}

int makepkcs7Tilo(const uint8_t* certificate, int certificateLength, const uint8_t* data,
                  int dataLength, const uint8_t* signature, uint8_t** message, int* messageLength) {
    return build(kTilo, certificate, certificateLength, data, dataLength, signature, message,
                 messageLength);
}

int makepkcs7(const uint8_t* certificate, int certificateLength, const uint8_t* data,
              int dataLength, const uint8_t* signature, uint8_t** message, int* messageLength) {
    return build(kGm, certificate, certificateLength, data, dataLength, signature, message,
                 messageLength);
}
