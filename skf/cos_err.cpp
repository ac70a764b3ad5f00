// Status word of the card OS to GM/T 0016 result code.
#include "skf/skf.h"

namespace {
struct SwRow {
    uint16_t sw;
    uint32_t sar;
};

// Searched from the first row; the order is part of the behaviour.
constexpr SwRow kSwTable[] = {
    {0x9000, SAR_OK},
    {0x6700, SAR_INDATALENERR},
    {0x6982, SAR_USER_NOT_LOGGED_IN},
    {0x6983, SAR_PIN_LOCKED},
    {0x6984, SAR_INDATAERR},
    {0x6985, SAR_NOTSUPPORTYETERR},
    {0x6986, SAR_NOTSUPPORTYETERR},
    {0x6988, SAR_INVALIDPARAMERR},
    {0x698A, SAR_APPLICATION_NOT_EXISTS},
    {0x6A80, SAR_INVALIDPARAMERR},
    {0x6A81, SAR_NOTSUPPORTYETERR},
    {0x6A82, SAR_FILE_NOT_EXIST},
    {0x6A84, SAR_NO_ROOM},
    {0x6A86, SAR_INVALIDPARAMERR},
    {0x6A88, SAR_INDATAERR},
    {0x6A89, SAR_APPLICATION_EXISTS},
    {0x6A8A, SAR_APPLICATION_EXISTS},
    {0x6A8B, SAR_APPLICATION_NOT_EXISTS},
    {0x6A8C, SAR_KEYINFOTYPEERR},
    {0x6A8D, SAR_INDATAERR},
    {0x6A90, SAR_OBJERR},
    {0x6A91, SAR_OBJERR},
    {0x6A92, SAR_FILE_ALREADY_EXIST},
    {0x6A93, SAR_FILE_NOT_EXIST},
    {0x6A94, SAR_INDATAERR},
    {0x6A95, SAR_KEYNOTFOUNTERR},
    {0x6A96, SAR_CERTNOTFOUNTERR},
    {0x6A97, SAR_WRITEFILEERR},
    {0x6A99, SAR_KEYINFOTYPEERR},
    {0x6A9A, SAR_RSAENCERR},
    {0x6A9B, SAR_RSADECERR},
    {0x6A9D, SAR_HASHOBJERR},
    {0x6A9F, SAR_KEYNOTFOUNTERR},
    {0x6B00, SAR_INDATALENERR},
    {0x6E00, SAR_NOTSUPPORTYETERR},
    {0x6E01, SAR_BUFFER_TOO_SMALL},
    {0x6E02, SAR_OBJERR},
};
static_assert(sizeof kSwTable / sizeof kSwTable[0] == 37, "37 conversion rows");
}  // namespace

uint32_t cvtCosErr17Code(unsigned int sw, unsigned int* retryCount) {
    if ((sw & 0xFFC0) == 0x63C0) {
        if (retryCount) *retryCount = sw & 0x3F;
        return SAR_PIN_INCORRECT;
    }
    if (retryCount) *retryCount = 0;
    if ((sw & 0xFFFF) == 0x9303) return SAR_PIN_LOCKED;
    if ((sw & 0xFF00) == 0x6C00) return SAR_INDATALENERR;
    for (const SwRow& row : kSwTable) {
        if (row.sw == sw) return row.sar;
    }
    return sw + SAR_COS_UNKNOWN_BASE;
}
