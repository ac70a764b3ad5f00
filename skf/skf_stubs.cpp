// Parts of the GM/T 0016 interface this key does not provide.
#include "skf/common.h"

uint32_t SKFX_ECCEncrypt(HCONTAINER, const unsigned char*, unsigned int, Struct_ECCCIPHERBLOB*) {
    SKF_ENTER();
    return SAR_NOTSUPPORTYETERR;
}

uint32_t SKF_ExtECCDecrypt(DEVHANDLE, const Struct_ECCPRIVATEKEYBLOB*, const Struct_ECCCIPHERBLOB*,
                           unsigned char*, unsigned int*) {
    SKF_ENTER();
    return SAR_NOTSUPPORTYETERR;
}

uint32_t SKFX_ECCDecrypt(HCONTAINER, const Struct_ECCCIPHERBLOB*, unsigned char*, unsigned int*) {
    SKF_ENTER();
    return SAR_NOTSUPPORTYETERR;
}

uint32_t SKF_GenerateAgreementDataWithECC(HCONTAINER, unsigned int, Struct_ECCPUBLICKEYBLOB*,
                                          const unsigned char*, unsigned int, HANDLE*) {
    SKF_ENTER();
    return SAR_NOTSUPPORTYETERR;
}

uint32_t SKF_GenerateAgreementDataAndKeyWithECC(HANDLE, unsigned int,
                                                const Struct_ECCPUBLICKEYBLOB*,
                                                const Struct_ECCPUBLICKEYBLOB*,
                                                Struct_ECCPUBLICKEYBLOB*, const unsigned char*,
                                                unsigned int, const unsigned char*, unsigned int,
                                                HANDLE*) {
    SKF_ENTER();
    return SAR_NOTSUPPORTYETERR;
}

uint32_t SKF_GenerateKeyWithECC(HANDLE, const Struct_ECCPUBLICKEYBLOB*,
                                const Struct_ECCPUBLICKEYBLOB*, const unsigned char*, unsigned int,
                                HANDLE*) {
    SKF_ENTER();
    return SAR_NOTSUPPORTYETERR;
}

uint32_t SKFX_PriKeyDecrypt(HCONTAINER, const unsigned char*, unsigned int, unsigned char*,
                            unsigned int*) {
    return SAR_OK;
}

uint32_t DoGetVer(DEVHANDLE, unsigned char*, unsigned int*) {
    return SAR_FAIL;
}

uint32_t DoWithRSAPubliceKey(DEVHANDLE, const unsigned char*, unsigned int, unsigned char*,
                             unsigned int*) {
    return SAR_FAIL;
}

uint32_t DoWithRSAPrivateKey(DEVHANDLE, const unsigned char*, unsigned int, unsigned char*,
                             unsigned int*) {
    return SAR_FAIL;
}
