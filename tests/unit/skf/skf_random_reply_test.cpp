// Every function that reads reply data, fed random replies (random status
// words, lengths up to the largest frame, random bytes): results must be
// result codes, reported lengths must stay within the caller's capacity, and
// AddressSanitizer watches every copy into exactly-sized buffers.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "skf/skf.h"
#include "tests/unit/skf/fake_port.h"

namespace {

bool isResultCode(uint32_t r) {
    return r == SAR_OK || (r & 0xFFFFFF00u) == 0x0A000000u || r == SAR_LINK_SEND ||
           (r & 0xFFFF0000u) == SAR_COS_UNKNOWN_BASE;
}

struct Env {
    void* h = nullptr;
    HAPPLICATION app = nullptr;
    HCONTAINER con = nullptr;
    HANDLE key = nullptr;
};

Env setUp() {
    Env e;
    fake::reset();
    e.h = fake::attach(0, "K1");
    Bytes rep(10, 0);
    rep[9] = 0x3F;
    fake::reply(0x9000, rep);
    SKF_OpenApplication(e.h, "APP", &e.app);
    fake::reply(0x9000, hexBytes("0200"));
    SKF_OpenContainer(e.app, "CON", &e.con);
    fake::reply(0x9000, hexBytes("0700"));
    const Bytes k = seqBytes(1, 16);
    SKF_SetSymmKey(e.h, k.data(), SGD_SM4_ECB, &e.key);
    fake::sent.clear();
    return e;
}

using Call = std::function<uint32_t(Env&)>;

// Output buffers are vectors of exactly the documented size, so any write
// past them is caught.
std::vector<std::pair<const char*, Call>> calls() {
    std::vector<std::pair<const char*, Call>> v;
    auto capped = [](const char* name, size_t cap,
                     std::function<uint32_t(Env&, uint8_t*, unsigned int*)> f) {
        return std::make_pair(name, Call([cap, f, name](Env& e) {
                                  Bytes out(cap);
                                  unsigned int len = static_cast<unsigned int>(cap);
                                  const uint32_t r = f(e, out.data(), &len);
                                  if (r == SAR_OK) {
                                      EXPECT_LE(len, cap) << name;
                                  }
                                  return r;
                              }));
    };
    v.push_back({"GetDevInfo", [](Env& e) {
                     DEVINFO d;
                     return SKF_GetDevInfo(e.h, &d);
                 }});
    v.push_back({"GetSN", [](Env& e) {
                     Bytes b(32);
                     return SKFX_GetSN(e.h, b.data());
                 }});
    v.push_back({"GetVer", [](Env& e) {
                     Bytes b(3);
                     return SKFX_GetVer(e.h, b.data());
                 }});
    v.push_back({"GetDevType", [](Env& e) {
                     Bytes b(2);
                     return SKFX_GetDevType(e.h, b.data());
                 }});
    v.push_back({"GetRsv", [](Env& e) {
                     Bytes b(64);
                     return SKFX_GetRsv(e.h, b.data(), 0);
                 }});
    v.push_back({"GenRandom", [](Env& e) {
                     Bytes b(8);
                     return SKF_GenRandom(e.h, b.data(), 8);
                 }});
    v.push_back({"CreateApplication", [](Env& e) {
                     HAPPLICATION a = nullptr;
                     return SKF_CreateApplication(e.h, "N", "a", 3, "u", 3, 0xFF, &a);
                 }});
    v.push_back(capped("EnumApplication", 64, [](Env& e, uint8_t* b, unsigned int* l) {
        return SKF_EnumApplication(e.h, reinterpret_cast<char*>(b), l);
    }));
    v.push_back({"OpenApplication", [](Env& e) {
                     HAPPLICATION a = nullptr;
                     unsigned int id = 0;
                     return SKFX_OpenApplication(e.h, "X", &a, &id);
                 }});
    v.push_back({"VerifyPIN", [](Env& e) {
                     unsigned int retry = 0;
                     const uint32_t r = SKF_VerifyPIN(e.app, USER_TYPE, "123456", &retry);
                     EXPECT_LE(retry, 63u);
                     return r;
                 }});
    v.push_back({"ChangePIN", [](Env& e) {
                     unsigned int retry = 0;
                     return SKF_ChangePIN(e.app, USER_TYPE, "123456", "654321", &retry);
                 }});
    v.push_back(capped("EnumFiles", 64, [](Env& e, uint8_t* b, unsigned int* l) {
        return SKF_EnumFiles(e.app, reinterpret_cast<char*>(b), l);
    }));
    v.push_back(capped("DoReadEF", 1024, [](Env& e, uint8_t* b, unsigned int* l) {
        return DoReadEF(e.h, 0, 0x5108, 0, 0, 0, b, l);
    }));
    v.push_back({"CreateContainer", [](Env& e) {
                     HCONTAINER c = nullptr;
                     return SKF_CreateContainer(e.app, "C", &c);
                 }});
    v.push_back(capped("EnumContainer", 64, [](Env& e, uint8_t* b, unsigned int* l) {
        return SKF_EnumContainer(e.app, reinterpret_cast<char*>(b), l);
    }));
    v.push_back({"GetContainerType", [](Env& e) {
                     unsigned int t = 0;
                     return SKF_GetContainerType(e.con, &t);
                 }});
    v.push_back(capped("ExportCertificate", 100, [](Env& e, uint8_t* b, unsigned int* l) {
        return SKF_ExportCertificate(e.con, 1, b, l);
    }));
    v.push_back({"GenECCKeyPair", [](Env& e) {
                     Struct_ECCPUBLICKEYBLOB pub;
                     return SKF_GenECCKeyPair(e.con, SGD_SM2_1, &pub);
                 }});
    v.push_back({"ExportPublicKey", [](Env& e) {
                     Bytes b(sizeof(Struct_RSAPUBLICKEYBLOB));
                     unsigned int len = static_cast<unsigned int>(b.size());
                     return SKF_ExportPublicKey(e.con, 1, b.data(), &len);
                 }});
    v.push_back({"ECCSignData", [](Env& e) {
                     ECCSIGNATUREBLOB s;
                     const Bytes d(32, 1);
                     return SKF_ECCSignData(e.con, d.data(), 32, &s);
                 }});
    v.push_back(capped("ECCDecrypt", 64, [](Env& e, uint8_t* b, unsigned int* l) {
        Bytes blob(kEccCipherBlobFixed + 16, 0);
        reinterpret_cast<Struct_ECCCIPHERBLOB*>(blob.data())->CipherLen = 16;
        return SKF_ECCDecrypt(e.con, reinterpret_cast<Struct_ECCCIPHERBLOB*>(blob.data()), b, l);
    }));
    v.push_back({"ExtECCEncrypt", [](Env& e) {
                     Struct_ECCPUBLICKEYBLOB pub = {};
                     pub.BitLen = 256;
                     const Bytes m(16, 2);
                     Bytes blob(kEccCipherBlobFixed + 16, 0);
                     return SKF_ExtECCEncrypt(e.h, &pub, m.data(), 16,
                                              reinterpret_cast<Struct_ECCCIPHERBLOB*>(blob.data()));
                 }});
    v.push_back({"ECCExportSessionKey", [](Env& e) {
                     Struct_ECCPUBLICKEYBLOB pub = {};
                     pub.BitLen = 256;
                     Bytes blob(kEccCipherBlobFixed + 16, 0);
                     HANDLE k = nullptr;
                     return SKF_ECCExportSessionKey(
                         e.con, SGD_SM4_ECB, &pub,
                         reinterpret_cast<Struct_ECCCIPHERBLOB*>(blob.data()), &k);
                 }});
    v.push_back({"GetPINInfo", [](Env& e) {
                     unsigned int m = 0, l = 0;
                     BOOL d = 0;
                     return SKF_GetPINInfo(e.app, USER_TYPE, &m, &l, &d);
                 }});
    v.push_back({"GetFileInfo", [](Env& e) {
                     FILEATTRIBUTE fa;
                     return SKF_GetFileInfo(e.app, "F", &fa);
                 }});
    v.push_back(capped("ReadFile", 64, [](Env& e, uint8_t* b, unsigned int* l) {
        return SKF_ReadFile(e.app, "F", 0, 64, b, l);
    }));
    v.push_back(capped("ContainerInfo", 11, [](Env& e, uint8_t* b, unsigned int* l) {
        return SKFX_GetContainerInfo(e.con, b, l);
    }));
    v.push_back({"GenRSAKeyPair", [](Env& e) {
                     Struct_RSAPUBLICKEYBLOB pub;
                     return SKF_GenRSAKeyPair(e.con, 2048, &pub);
                 }});
    v.push_back({"GenExtRSAKey", [](Env& e) {
                     Struct_RSAPRIVATEKEYBLOB pri;
                     return SKF_GenExtRSAKey(e.h, 1024, &pri);
                 }});
    v.push_back(capped("RSAExportSessionKey", 256, [](Env& e, uint8_t* b, unsigned int* l) {
        Struct_RSAPUBLICKEYBLOB pub = {};
        pub.BitLen = 1024;
        HANDLE k = nullptr;
        return SKF_RSAExportSessionKey(e.con, SGD_SM4_ECB, &pub, b, l, &k);
    }));
    v.push_back(capped("Encrypt", 32, [](Env& e, uint8_t* b, unsigned int* l) {
        const Bytes d(16, 3);
        return SKF_Encrypt(e.key, d.data(), 16, b, l);
    }));
    v.push_back(capped("DigestFinal", 32, [](Env& e, uint8_t* b, unsigned int* l) {
        HANDLE hh = nullptr;
        if (SKF_DigestInit(e.h, SGD_SM3, nullptr, nullptr, 0, &hh) != SAR_OK) return SAR_OK;
        return SKF_DigestFinal(hh, b, l);
    }));
    v.push_back(capped("SKX_Transmit", 40, [](Env& e, uint8_t* b, unsigned int* l) {
        const Bytes cmd = hexBytes("80040400 0000 0000");
        return SKX_Transmit(e.h, cmd.data(), 8, 8, b, l);
    }));
    v.push_back(capped("SKF_Transmit", 40, [](Env& e, uint8_t* b, unsigned int* l) {
        const Bytes cmd = hexBytes("80040400 0000 0000");
        return SKF_Transmit(e.h, cmd.data(), 8, b, l);
    }));
    return v;
}

Bytes randomBytes(std::mt19937& rng, size_t n) {
    Bytes b(n);
    for (auto& x : b)
        x = static_cast<uint8_t>(rng());
    return b;
}

void queueRandomReply(std::mt19937& rng) {
    static const uint16_t kSw[] = {0x9000, 0x9000, 0x9000, 0x6A9E, 0x6A94,
                                   0x63C2, 0x6A8A, 0x6982, 0x6D00, 0x9303};
    const uint16_t sw = kSw[rng() % (sizeof kSw / sizeof kSw[0])];
    // Lengths cluster around the sizes parsers care about, plus the extremes.
    static const size_t kLen[] = {0,   1,   2,   3,   4,   10,  11,   63,   64,
                                  65,  67,  68,  99,  100, 101, 102,  118,  131,
                                  132, 269, 300, 367, 368, 369, 1024, 1025, 2042};
    const size_t n = rng() % 4 == 0 ? rng() % 2043 : kLen[rng() % (sizeof kLen / sizeof kLen[0])];
    Bytes data = randomBytes(rng, n);
    if (n >= 100 && rng() % 2) {
        data[96] = static_cast<uint8_t>(n - 100);  // a CipherLen that may fit
        data[97] = data[98] = data[99] = 0;
    }
    if (rng() % 8 == 0) {
        // A frame that is malformed as a whole.
        Bytes f = fake::replyFrame(sw, data);
        f[rng() % f.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
        fake::replies.push_back({f, rng() % 2 == 0, 0});
    } else {
        fake::reply(sw, data);
    }
}

TEST(SkfRandomReplyTest, ParsersStayWithinTheirBuffers) {
    std::mt19937 rng(20261209);
    const auto list = calls();
    for (int round = 0; round < 40; ++round) {
        for (const auto& c : list) {
            SCOPED_TRACE(c.first);
            Env e = setUp();
            for (int i = 0; i < 4; ++i)
                queueRandomReply(rng);
            const uint32_t r = c.second(e);
            EXPECT_TRUE(isResultCode(r)) << std::hex << r;
        }
    }
}

}  // namespace
