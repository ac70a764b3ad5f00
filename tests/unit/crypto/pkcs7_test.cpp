// The PKCS#7 builders against real SM2 certificates made with the openssl
// command at test time; OpenSSL parses what we build.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "crypto/crypto.h"
#include "tests/unit/crypto/testutil.h"
#include "util/util.h"

namespace {

std::string g_dir;

Bytes readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const uint8_t* p, size_t n) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(p), static_cast<std::streamsize>(n));
}

// `openssl asn1parse` of DER bytes: exit status 0 and its text.
bool asn1parse(const uint8_t* p, size_t n, std::string& text) {
    const std::string in = g_dir + "/msg.der", out = g_dir + "/msg.txt";
    writeFile(in, p, n);
    int rc = system(("openssl asn1parse -inform DER -in " + in + " > " + out + " 2>&1").c_str());
    Bytes t = readFile(out);
    text.assign(t.begin(), t.end());
    return rc == 0;
}

X509* loadCert(const Bytes& der) {
    const unsigned char* p = der.data();
    return d2i_X509(nullptr, &p, static_cast<long>(der.size()));
}

Bytes i2dName(const X509_NAME* name) {
    unsigned char* der = nullptr;
    int n = i2d_X509_NAME(name, &der);
    Bytes out(der, der + n);
    OPENSSL_free(der);
    return out;
}

Bytes i2dInteger(const ASN1_INTEGER* v) {
    unsigned char* der = nullptr;
    int n = i2d_ASN1_INTEGER(v, &der);
    Bytes out(der, der + n);
    OPENSSL_free(der);
    return out;
}

std::string oidText(const ASN1_OBJECT* o) {
    char buf[80];
    OBJ_obj2txt(buf, sizeof buf, o, 1);
    return buf;
}

// The leaf's key signs SM3(Z || data) as the key would; r || s out.
struct Signer {
    EVP_PKEY* key = nullptr;
    uint8_t x[32], y[32];
    explicit Signer(const std::string& pemPath) {
        FILE* f = fopen(pemPath.c_str(), "r");
        if (!f) return;
        key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
        fclose(f);
        uint8_t pub[65];
        size_t n = 0;
        if (key &&
            EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, pub, sizeof pub, &n) ==
                1 &&
            n == 65) {
            memcpy(x, pub + 1, 32);
            memcpy(y, pub + 33, 32);
        }
    }
    ~Signer() { EVP_PKEY_free(key); }
    bool sign(const uint8_t* e, uint8_t rs[64]) const {
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
        uint8_t der[80];
        size_t len = sizeof der;
        bool ok = EVP_PKEY_sign_init(ctx) == 1 && EVP_PKEY_sign(ctx, der, &len, e, 32) == 1;
        EVP_PKEY_CTX_free(ctx);
        if (!ok) return false;
        const unsigned char* p = der;
        ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(len));
        const BIGNUM *r, *s;
        ECDSA_SIG_get0(sig, &r, &s);
        BN_bn2binpad(r, rs, 32);
        BN_bn2binpad(s, rs + 32, 32);
        ECDSA_SIG_free(sig);
        return true;
    }
};

class Pkcs7 : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/fpk-crypto-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        g_dir = tmpl;
        const std::string id = " -sm3 -sigopt distid:1234567812345678";
        const std::string script =
            "set -e; cd " + g_dir +
            "\nopenssl genpkey -algorithm SM2 -out ca.key"
            "\nopenssl req -new -x509 -key ca.key" +
            id +
            " -subj '/C=CN/O=fpkeyd test/CN=Test CA' -days 30 -out ca.pem"
            "\nopenssl x509 -in ca.pem -outform DER -out ca.der"
            "\nopenssl genpkey -algorithm SM2 -out leaf.key"
            "\nopenssl req -new -key leaf.key" +
            id +
            " -subj '/C=CN/O=fpkeyd test/CN=leaf' -out leaf.csr"
            "\nopenssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key" +
            id +
            " -vfyopt distid:1234567812345678 -set_serial 0x00C0FFEE12345678 -days 30"
            " -outform DER -out leaf.der"
            // A CA whose Name needs a two-byte length, and a v3 leaf under it.
            "\nopenssl req -new -x509 -key ca.key" +
            id +
            " -subj '/C=CN/ST=Some Province/L=Some City/O=fpkeyd test organisation with a long"
            " name/OU=certificate authority unit/CN=Test CA with a rather long common name'"
            " -days 30 -out longca.pem"
            "\nprintf 'basicConstraints=CA:FALSE\\n' > ext.cnf"
            "\nopenssl x509 -req -in leaf.csr -CA longca.pem -CAkey ca.key" +
            id +
            " -vfyopt distid:1234567812345678 -set_serial 0x7F01 -days 30 -extfile ext.cnf"
            " -outform DER -out leaf2.der"
            "\n";
        ASSERT_EQ(system(("sh -c \"" + script + "\" > " + g_dir + "/setup.log 2>&1").c_str()), 0)
            << "certificate fixture failed, see " << g_dir << "/setup.log";
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        if (!g_dir.empty()) std::filesystem::remove_all(g_dir, ignored);
    }
    void SetUp() override { cxBuf::init(0); }
};

}  // namespace

TEST_F(Pkcs7, CertDataIsIssuerThenSerialAsOpenSslEncodesThem) {
    for (const char* name : {"leaf.der", "ca.der", "leaf2.der"}) {
        Bytes der = readFile(g_dir + "/" + name);
        ASSERT_FALSE(der.empty()) << name;
        X509* cert = loadCert(der);
        ASSERT_NE(cert, nullptr) << name;
        Bytes expected = i2dName(X509_get_issuer_name(cert));
        Bytes serial = i2dInteger(X509_get0_serialNumber(cert));
        expected.insert(expected.end(), serial.begin(), serial.end());
        X509_free(cert);
        const int n = _getCertData(der.data(), static_cast<int>(der.size()));
        ASSERT_EQ(n, static_cast<int>(expected.size())) << name;
        EXPECT_EQ(Bytes(m_certData, m_certData + n), expected) << name;
    }
}

TEST_F(Pkcs7, CertDataNeverReadsPastTheGivenLength) {
    Bytes der = readFile(g_dir + "/leaf2.der");
    ASSERT_FALSE(der.empty());
    for (size_t n = 0; n < der.size(); ++n) {
        Bytes cut(der.begin(), der.begin() + static_cast<long>(n));  // exact heap size
        EXPECT_EQ(_getCertData(cut.empty() ? nullptr : cut.data(), static_cast<int>(n)), 0) << n;
    }
    std::mt19937 rng(60);
    for (int round = 0; round < 2000; ++round) {
        Bytes junk = randomBytes(rng, 1 + rng() % 300);
        junk[0] = 0x30;
        if (junk.size() > 4) junk[2] = 0x30;
        _getCertData(junk.data(), static_cast<int>(junk.size()));
    }
}

// Builds the message for one certificate and checks it field by field.
static void checkTiloMessage(const char* certName) {
    SCOPED_TRACE(certName);
    cxBuf::init(0);
    Bytes certDer = readFile(g_dir + "/" + certName);
    Signer signer(g_dir + "/leaf.key");
    ASSERT_NE(signer.key, nullptr);
    const std::string text = "data signed by the key for a web page";
    Bytes data(text.begin(), text.end());
    uint8_t e[kSm3Len], rs[64];
    ASSERT_EQ(sm3WithZ(e, data.data(), static_cast<uint32_t>(data.size()), signer.x, signer.y),
              kSm3Len);
    ASSERT_TRUE(signer.sign(e, rs));

    uint8_t* msg = nullptr;
    int len = 0;
    ASSERT_EQ(makepkcs7Tilo(certDer.data(), static_cast<int>(certDer.size()), data.data(),
                            static_cast<int>(data.size()), rs, &msg, &len),
              0);
    // The arena budget the header promises.
    const int fields = _getCertData(certDer.data(), static_cast<int>(certDer.size()));
    EXPECT_LE(len, static_cast<int>(certDer.size() + data.size()) + fields + 200);
    std::string dump;
    ASSERT_TRUE(asn1parse(msg, static_cast<size_t>(len), dump)) << dump;
    EXPECT_NE(dump.find(":pkcs7-signedData"), std::string::npos) << dump;

    const unsigned char* p = msg;
    PKCS7* p7 = d2i_PKCS7(nullptr, &p, len);
    ASSERT_NE(p7, nullptr);
    EXPECT_EQ(p - msg, len);  // no trailing bytes
    ASSERT_TRUE(PKCS7_type_is_signed(p7));
    PKCS7_SIGNED* sd = p7->d.sign;
    EXPECT_EQ(ASN1_INTEGER_get(sd->version), 1);
    ASSERT_EQ(sk_X509_ALGOR_num(sd->md_algs), 1);
    const X509_ALGOR* mdAlg = sk_X509_ALGOR_value(sd->md_algs, 0);
    EXPECT_EQ(oidText(mdAlg->algorithm), "1.2.156.10197.1.401");
    ASSERT_NE(mdAlg->parameter, nullptr);
    EXPECT_EQ(mdAlg->parameter->type, V_ASN1_NULL);

    // Content: the data as given.
    ASSERT_TRUE(PKCS7_type_is_data(sd->contents));
    const ASN1_OCTET_STRING* content = sd->contents->d.data;
    EXPECT_EQ(Bytes(content->data, content->data + content->length), data);

    // The embedded certificate is the one given, byte for byte.
    ASSERT_EQ(sk_X509_num(sd->cert), 1);
    unsigned char* certOut = nullptr;
    int certLen = i2d_X509(sk_X509_value(sd->cert, 0), &certOut);
    EXPECT_EQ(Bytes(certOut, certOut + certLen), certDer);
    OPENSSL_free(certOut);

    ASSERT_EQ(sk_PKCS7_SIGNER_INFO_num(sd->signer_info), 1);
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(sd->signer_info, 0);
    EXPECT_EQ(ASN1_INTEGER_get(si->version), 1);
    X509* cert = loadCert(certDer);
    EXPECT_EQ(X509_NAME_cmp(si->issuer_and_serial->issuer, X509_get_issuer_name(cert)), 0);
    EXPECT_EQ(ASN1_INTEGER_cmp(si->issuer_and_serial->serial, X509_get0_serialNumber(cert)), 0);
    EXPECT_EQ(oidText(si->digest_alg->algorithm), "1.2.156.10197.1.401");
    EXPECT_EQ(si->digest_alg->parameter, nullptr);
    EXPECT_EQ(oidText(si->digest_enc_alg->algorithm), "1.2.156.10197.1.301");
    EXPECT_EQ(si->digest_enc_alg->parameter, nullptr);
    EXPECT_EQ(si->auth_attr, nullptr);

    // The signature value verifies with the certificate's key over SM3(Z || data).
    EVP_PKEY* certKey = X509_get0_pubkey(cert);
    ASSERT_NE(certKey, nullptr);
    EVP_PKEY_CTX* vctx = EVP_PKEY_CTX_new(certKey, nullptr);
    ASSERT_EQ(EVP_PKEY_verify_init(vctx), 1);
    EXPECT_EQ(EVP_PKEY_verify(vctx, si->enc_digest->data,
                              static_cast<size_t>(si->enc_digest->length), e, 32),
              1);
    e[0] ^= 1;  // and only over that digest
    EXPECT_NE(EVP_PKEY_verify(vctx, si->enc_digest->data,
                              static_cast<size_t>(si->enc_digest->length), e, 32),
              1);
    EVP_PKEY_CTX_free(vctx);
    X509_free(cert);
    PKCS7_free(p7);
}

TEST_F(Pkcs7, TiloMessageParsesWithTheExpectedFieldsAndVerifies) {
    checkTiloMessage("leaf.der");   // version 1 certificate
    checkTiloMessage("leaf2.der");  // version 3, issuer Name over 127 bytes
}

TEST_F(Pkcs7, GmFlavourCarriesItsOwnIdentifiers) {
    Bytes certDer = readFile(g_dir + "/leaf2.der");
    Bytes data(100, 0x5A);
    uint8_t rs[64];
    memset(rs, 0x80, sizeof rs);  // high bits set: both INTEGERs get a 00
    uint8_t* msg = nullptr;
    int len = 0;
    ASSERT_EQ(makepkcs7(certDer.data(), static_cast<int>(certDer.size()), data.data(),
                        static_cast<int>(data.size()), rs, &msg, &len),
              0);
    std::string dump;
    ASSERT_TRUE(asn1parse(msg, static_cast<size_t>(len), dump)) << dump;
    // Identifiers in document order, each on its own line of the dump.
    const char* expected[] = {
        ":1.2.156.10197.6.1.4.2.2",  // content type signedData
        "INTEGER           :03",     // SignedData version
        ":sm3",                      // digestAlgorithms
        ":1.2.156.10197.6.1.4.2.1",  // content type data
        "INTEGER           :7F01",   // the certificate's serial (inside the certificate)
        "INTEGER           :01",     // SignerInfo version
        "INTEGER           :7F01",   // IssuerAndSerialNumber serial
        ":sm3",                      // SignerInfo digest algorithm
        "NULL",
        ":1.2.156.10197.1.301.1",  // SM2 signature
        "NULL",
        "OCTET STRING",
    };
    size_t pos = 0;
    for (const char* item : expected) {
        size_t at = dump.find(item, pos);
        ASSERT_NE(at, std::string::npos) << item << " after " << pos << "\n" << dump;
        pos = at + 1;
    }
    // The certificate sits in the message unchanged.
    std::string m(reinterpret_cast<char*>(msg), static_cast<size_t>(len));
    EXPECT_NE(m.find(std::string(certDer.begin(), certDer.end())), std::string::npos);
    // SignerInfo ends with the signature: OCTET STRING { SEQUENCE { r, s } }.
    Bytes tail(msg + len - 74, msg + len);
    EXPECT_EQ(toHex(Bytes(tail.begin(), tail.begin() + 8)), "0448304602210080");
}

TEST_F(Pkcs7, UnreadableCertificateGivesEmptyIssuerAndSerial) {
    Bytes junk(40, 0x5C);  // well-formed DER, but an OCTET STRING, not a certificate
    junk[0] = 0x04;
    junk[1] = 38;
    Bytes data = {1, 2, 3};
    uint8_t rs[64] = {1};
    uint8_t* msg = nullptr;
    int len = 0;
    ASSERT_EQ(makepkcs7Tilo(junk.data(), 40, data.data(), 3, rs, &msg, &len), 0);
    std::string m = toHex(msg, static_cast<size_t>(len));
    EXPECT_NE(m.find("0201013000300a06082a811ccf55018311"), std::string::npos) << m;
    std::string dump;
    EXPECT_TRUE(asn1parse(msg, static_cast<size_t>(len), dump)) << dump;
}

TEST_F(Pkcs7, MessagesThatDoNotFitTheArenaAreRefused) {
    Bytes certDer = readFile(g_dir + "/leaf.der");
    Bytes data(200, 0x11);
    uint8_t rs[64] = {0x42};
    uint8_t* msg = nullptr;
    int len = 0;
    const int cl = static_cast<int>(certDer.size());
    EXPECT_EQ(makepkcs7Tilo(nullptr, cl, data.data(), 200, rs, &msg, &len), -1);
    EXPECT_EQ(makepkcs7Tilo(certDer.data(), cl, nullptr, 200, rs, &msg, &len), -1);
    EXPECT_EQ(makepkcs7(certDer.data(), cl, data.data(), 200, nullptr, &msg, &len), -1);
    EXPECT_EQ(makepkcs7(certDer.data(), -1, data.data(), 200, rs, &msg, &len), -1);

    // The same message fits an empty arena but not one with little room left.
    ASSERT_EQ(makepkcs7Tilo(certDer.data(), cl, data.data(), 200, rs, &msg, &len), 0);
    const int need = len;
    uint8_t* arena = cxBuf::init(cxBuf::kSize - static_cast<size_t>(need));
    memset(arena, 0xC3, cxBuf::kSize);
    const unsigned wraps = cxBuf::wraps();
    msg = nullptr;
    EXPECT_EQ(makepkcs7Tilo(certDer.data(), cl, data.data(), 200, rs, &msg, &len), -2);
    EXPECT_EQ(msg, nullptr);
    EXPECT_EQ(cxBuf::wraps(), wraps);
    EXPECT_EQ(cxBuf::left(), static_cast<size_t>(need));
    for (size_t i = 0; i < cxBuf::kSize; ++i)
        ASSERT_EQ(arena[i], 0xC3) << i;

    // Data beyond what the arena could ever hold.
    cxBuf::init(0);
    Bytes huge(70000, 0x01);
    EXPECT_EQ(makepkcs7(certDer.data(), cl, huge.data(), 70000, rs, &msg, &len), -2);
    EXPECT_EQ(makepkcs7Tilo(certDer.data(), cl, huge.data(), 3000, rs, &msg, &len), -2);
    EXPECT_EQ(cxBuf::left(), cxBuf::kSize);
}
