// Card-OS reply frames and APDU replies into CCOS17 / getRcv, through every
// smart-key function that reads reply data. The device sits in slot 0 over
// the fuzz port (fuzz_port.h): each receive is answered from the input.
// Output buffers have exactly the size the caller declares.
//
// Input: byte 0 = function, then the reply stream.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "skf/devtable.h"
#include "skf/hdlmap.h"
#include "skf/skf.h"
#include "tests/fuzz/fuzz_port.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Env {
    void* h = nullptr;
    HAPPLICATION app = nullptr;
    HCONTAINER con = nullptr;
    HANDLE key = nullptr;
};

// One well-formed answer (status 9000 and data) as a reply-stream chunk.
void okChunk(Bytes& s, const Bytes& data) {
    const size_t n = 4 + data.size();
    s.push_back(0);
    s.push_back(static_cast<uint8_t>(n));
    s.push_back(static_cast<uint8_t>(n >> 8));
    s.push_back(0x00);
    s.push_back(0x90);
    s.push_back(static_cast<uint8_t>(data.size()));
    s.push_back(static_cast<uint8_t>(data.size() >> 8));
    s.insert(s.end(), data.begin(), data.end());
}

// A device, an open application and container and a session key, set up by
// answers of our own before the fuzz input takes over.
Env setUp() {
    Env e;
    cosResetForTest();
    hdlResetForTest();
    ST_USB_DEV_INFO& slot = m_sUsbDevInfo[0];
    PORT_FillParam(&m_sDevParam[0], 0, "FingerPrint.Usb.0x2541.0x2549..01.03");
    slot.port = 0;
    slot.portParam = fuzzport::table();
    slot.portParam.param = m_sDevParam[0];
    slot.link.SetDev(&slot.portParam);
    slot.link.linkf_openDev();
    e.h = &slot;

    static Bytes script;
    if (script.empty()) {
        Bytes app(10, 0);
        app[9] = 0x3F;
        okChunk(script, app);
        okChunk(script, {0x02, 0x00});
        okChunk(script, {0x07, 0x00});
    }
    fuzzport::reset(script.data(), script.size());
    SKF_OpenApplication(e.h, "APP", &e.app);
    SKF_OpenContainer(e.app, "CON", &e.con);
    uint8_t k[16];
    for (int i = 0; i < 16; ++i)
        k[i] = static_cast<uint8_t>(i + 1);
    SKF_SetSymmKey(e.h, k, SGD_SM4_ECB, &e.key);
    return e;
}

void within(uint32_t r, unsigned int len, size_t cap) {
    if (r == SAR_OK && len > cap) abort();
}

void run(Env& e, uint8_t which) {
    switch (which % 36) {
        case 0: {
            DEVINFO d;
            SKF_GetDevInfo(e.h, &d);
            break;
        }
        case 1: {
            Bytes b(32);
            SKFX_GetSN(e.h, b.data());
            break;
        }
        case 2: {
            Bytes b(3);
            SKFX_GetVer(e.h, b.data());
            break;
        }
        case 3: {
            Bytes b(2);
            SKFX_GetDevType(e.h, b.data());
            break;
        }
        case 4: {
            Bytes b(64);
            SKFX_GetRsv(e.h, b.data(), 0);
            break;
        }
        case 5: {
            Bytes b(8);
            SKF_GenRandom(e.h, b.data(), 8);
            break;
        }
        case 6: {
            HAPPLICATION a = nullptr;
            SKF_CreateApplication(e.h, "N", "a", 3, "u", 3, 0xFF, &a);
            break;
        }
        case 7: {
            Bytes b(64);
            unsigned int l = 64;
            within(SKF_EnumApplication(e.h, reinterpret_cast<char*>(b.data()), &l), l, 64);
            break;
        }
        case 8: {
            HAPPLICATION a = nullptr;
            unsigned int id = 0;
            SKFX_OpenApplication(e.h, "X", &a, &id);
            break;
        }
        case 9: {
            unsigned int retry = 0;
            SKF_VerifyPIN(e.app, USER_TYPE, "123456", &retry);
            break;
        }
        case 10: {
            unsigned int retry = 0;
            SKF_ChangePIN(e.app, USER_TYPE, "123456", "654321", &retry);
            break;
        }
        case 11: {
            Bytes b(64);
            unsigned int l = 64;
            within(SKF_EnumFiles(e.app, reinterpret_cast<char*>(b.data()), &l), l, 64);
            break;
        }
        case 12: {
            Bytes b(1024);
            unsigned int l = 1024;
            within(DoReadEF(e.h, 0, 0x5108, 0, 0, 0, b.data(), &l), l, 1024);
            break;
        }
        case 13: {
            HCONTAINER c = nullptr;
            SKF_CreateContainer(e.app, "C", &c);
            break;
        }
        case 14: {
            Bytes b(64);
            unsigned int l = 64;
            within(SKF_EnumContainer(e.app, reinterpret_cast<char*>(b.data()), &l), l, 64);
            break;
        }
        case 15: {
            unsigned int t = 0;
            SKF_GetContainerType(e.con, &t);
            break;
        }
        case 16: {
            Bytes b(100);
            unsigned int l = 100;
            within(SKF_ExportCertificate(e.con, 1, b.data(), &l), l, 100);
            break;
        }
        case 17: {
            Struct_ECCPUBLICKEYBLOB pub;
            SKF_GenECCKeyPair(e.con, SGD_SM2_1, &pub);
            break;
        }
        case 18: {
            Bytes b(sizeof(Struct_RSAPUBLICKEYBLOB));
            unsigned int l = static_cast<unsigned int>(b.size());
            within(SKF_ExportPublicKey(e.con, 1, b.data(), &l), l, b.size());
            break;
        }
        case 19: {
            ECCSIGNATUREBLOB s;
            const Bytes d(32, 1);
            SKF_ECCSignData(e.con, d.data(), 32, &s);
            break;
        }
        case 20: {
            Bytes out(64);
            unsigned int l = 64;
            Bytes blob(kEccCipherBlobFixed + 16, 0);
            reinterpret_cast<Struct_ECCCIPHERBLOB*>(blob.data())->CipherLen = 16;
            within(SKF_ECCDecrypt(e.con, reinterpret_cast<Struct_ECCCIPHERBLOB*>(blob.data()),
                                  out.data(), &l),
                   l, 64);
            break;
        }
        case 21: {
            Struct_ECCPUBLICKEYBLOB pub = {};
            pub.BitLen = 256;
            const Bytes m(16, 2);
            Bytes blob(kEccCipherBlobFixed + 16, 0);
            SKF_ExtECCEncrypt(e.h, &pub, m.data(), 16,
                              reinterpret_cast<Struct_ECCCIPHERBLOB*>(blob.data()));
            break;
        }
        case 22: {
            Struct_ECCPUBLICKEYBLOB pub = {};
            pub.BitLen = 256;
            Bytes blob(kEccCipherBlobFixed + 16, 0);
            HANDLE k = nullptr;
            SKF_ECCExportSessionKey(e.con, SGD_SM4_ECB, &pub,
                                    reinterpret_cast<Struct_ECCCIPHERBLOB*>(blob.data()), &k);
            break;
        }
        case 23: {
            unsigned int m = 0, l = 0;
            BOOL d = 0;
            SKF_GetPINInfo(e.app, USER_TYPE, &m, &l, &d);
            break;
        }
        case 24: {
            FILEATTRIBUTE fa;
            SKF_GetFileInfo(e.app, "F", &fa);
            break;
        }
        case 25: {
            Bytes b(64);
            unsigned int l = 64;
            within(SKF_ReadFile(e.app, "F", 0, 64, b.data(), &l), l, 64);
            break;
        }
        case 26: {
            Bytes b(11);
            unsigned int l = 11;
            within(SKFX_GetContainerInfo(e.con, b.data(), &l), l, 11);
            break;
        }
        case 27: {
            Struct_RSAPUBLICKEYBLOB pub;
            SKF_GenRSAKeyPair(e.con, 2048, &pub);
            break;
        }
        case 28: {
            Struct_RSAPRIVATEKEYBLOB pri;
            SKF_GenExtRSAKey(e.h, 1024, &pri);
            break;
        }
        case 29: {
            Bytes b(256);
            unsigned int l = 256;
            Struct_RSAPUBLICKEYBLOB pub = {};
            pub.BitLen = 1024;
            HANDLE k = nullptr;
            within(SKF_RSAExportSessionKey(e.con, SGD_SM4_ECB, &pub, b.data(), &l, &k), l, 256);
            break;
        }
        case 30: {
            Bytes b(32);
            unsigned int l = 32;
            const Bytes d(16, 3);
            within(SKF_Encrypt(e.key, d.data(), 16, b.data(), &l), l, 32);
            break;
        }
        case 31: {
            Bytes b(32);
            unsigned int l = 32;
            HANDLE hh = nullptr;
            if (SKF_DigestInit(e.h, SGD_SM3, nullptr, nullptr, 0, &hh) == SAR_OK)
                within(SKF_DigestFinal(hh, b.data(), &l), l, 32);
            break;
        }
        case 32: {
            Bytes b(40);
            unsigned int l = 40;
            const uint8_t cmd[8] = {0x80, 0x04, 0x04, 0x00, 0, 0, 0, 0};
            within(SKX_Transmit(e.h, cmd, 8, 8, b.data(), &l), l, 40);
            break;
        }
        case 33: {
            Bytes b(40);
            unsigned int l = 40;
            const uint8_t cmd[8] = {0x80, 0x04, 0x04, 0x00, 0, 0, 0, 0};
            within(SKF_Transmit(e.h, cmd, 8, b.data(), &l), l, 40);
            break;
        }
        case 34: {
            // Device authentication: random challenge, then the cryptogram.
            const uint8_t auth[16] = {0};
            SKF_DevAuth(e.h, auth, 16);
            break;
        }
        default: {
            // Whole listings across several answers (0x6A9E continues them).
            Bytes b(300);
            unsigned int l = 300;
            within(SKF_EnumApplication(e.h, reinterpret_cast<char*>(b.data()), &l), l, 300);
            l = 300;
            within(SKF_EnumContainer(e.app, reinterpret_cast<char*>(b.data()), &l), l, 300);
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 32768) return 0;
    Env e = setUp();
    fuzzport::reset(data + 1, size - 1);
    run(e, data[0]);
    return 0;
}
