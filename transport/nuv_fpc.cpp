// Fingerprint module commands (frame channel 6). Enrolment and verification
// run on worker threads and may be ended by a cancel sent from another
// thread (NUV_FpcChip592Cmd with NUV_FPC_SUB_CANCEL): the cancel only sends,
// and the module's next frame ends the worker's pending receive.
#include <cstring>

#include "log/log.h"
#include "transport/nuv_cmd.h"

namespace {

// Command words.
enum : uint32_t {
    FPC_ENROLL = 0x0000,
    FPC_VERIFY = 0x0001,
    FPC_DELETE = 0x0004,
    FPC_GETNUM = 0x000A,
    FPC_LOGOUT = 0x000B,
    FPC_ENROLL_EX = 0x000F,
    FPC_READ_FLASH = 0x0010,
    FPC_CHIP592 = 0x0020,
};

constexpr uint32_t kChipSubBase = 0x20;    // byte sent = sub-command + 0x20
constexpr uint32_t kChipCancelSub = 31;    // what a cancel request is sent as
constexpr uint32_t kVerifyFrameMax = 16;   // intermediate verification data
constexpr uint32_t kChipAnswerMax = 1024;  // echo byte and answer

// Exchange result of a command that answers with its status only.
uint32_t statusOnly(NUV_CMD& cmd, int judge) {
    const uint32_t r = cmd.nuvTxdAndRxd(0, judge);
    return r != 0 ? r : cmd.getRet();
}

}  // namespace

uint32_t NUV_FpcGetNum(void* hDev, uint8_t* out) {
    _nvlog(">>-%s", "NUV_FpcGetNum");
    CNuv_SetTimeOut wait(NUV_GetTimeOut());
    NUV_FPM cmd(FPC_GETNUM);
    uint32_t r = cmd.bind(hDev);
    if (r != 0) return r;
    r = cmd.nuvTxdAndRxd(0, 1);
    if (r != 0 || out == nullptr) return r;
    uint32_t len = NUV_FPC_NUM_MAX;
    r = cmd.getRsp(out, &len);
    if (r != 0) _nvlog("ret=0x%X", r);
    return r;
}

uint32_t NUV_FpcEnroll(void* hDev, uint8_t* out, NUV_FPC_CALLBACK cb) {
    _nvlog(">>-%s", "NUV_FpcEnroll");
    return NUV_FpcEnrollEx(hDev, out, cb, 0);
}

uint32_t NUV_FpcEnrollEx(void* hDev, uint8_t* out, NUV_FPC_CALLBACK cb, int ex) {
    _nvlog(">>-%s", "NUV_FpcEnrollEx");
    if (cb == nullptr) {
        _nvlogstr("ptr=NULL");
        return NUV_ERR_NULL;
    }
    // A finger press takes longer than the short wait left by earlier commands.
    const int32_t t = NUV_GetTimeOut();
    CNuv_SetTimeOut wait(t < NUV_DEFAULT_TIMEOUT_MS ? NUV_ENROLL_MIN_MS : t);
    NUV_FPM cmd(ex != 0 ? FPC_ENROLL_EX : FPC_ENROLL);
    uint32_t r = cmd.bind(hDev);
    if (r != 0) return r;
    r = cmd.nuvTxdAndRxd(0, 0);
    if (r != 0) {
        _nvlog("ret=0x%X", r);
        return r;
    }
    // One frame per capture with continuation 1; the last one names the
    // template. A module status in a capture frame is only reported.
    bool more = true;
    while (more) {
        uint8_t step = 0;
        uint32_t len = 1;
        r = cmd.getRsp(&step, &len, &more);
        if (more) {
            int result = static_cast<int>(r);
            int length = 1;
            cb(&result, &step, &length);
        }
    }
    if (r != 0) {
        _nvlog("ret=0x%X", r);
        return r;
    }
    uint32_t len = 1;
    r = cmd.getRsp(out, &len);
    if (r != 0) _nvlog("ret=0x%X", r);
    return r;
}

uint32_t NUV_FpcVerify(void* hDev, uint8_t* out, NUV_FPC_CALLBACK cb) {
    _nvlog(">>-%s", "NUV_FpcVerify");
    if (cb == nullptr) {
        _nvlogstr("ptr=NULL");
        return NUV_ERR_NULL;
    }
    CNuv_SetTimeOut wait(NUV_GetTimeOut());
    NUV_FPM cmd(FPC_VERIFY);
    uint32_t r = cmd.bind(hDev);
    if (r != 0) return r;
    r = cmd.nuvTxdAndRxd(0, 0);
    if (r != 0) {
        _nvlog("ret=0x%X", r);
        return r;
    }
    uint8_t data[kVerifyFrameMax];
    bool more = true;
    while (more) {
        memset(data, 0, sizeof data);
        uint32_t len = sizeof data;
        r = cmd.getRsp(data, &len, &more);
        if (more) {
            int result = static_cast<int>(r);
            cb(&result, nullptr, nullptr);
        }
    }
    if (r != 0) {
        _nvlog("ret=0x%X", r);
        return r;
    }
    if (out != nullptr) *out = data[0];
    return 0;
}

uint32_t NUV_FpcDelete(void* hDev, uint32_t id) {
    _nvlog(">>-%s", "NUV_FpcDelete");
    NUV_FPM cmd(FPC_DELETE);
    const uint32_t r = cmd.bind(hDev);
    if (r != 0) return r;
    cmd.addC(static_cast<uint8_t>(id));
    return statusOnly(cmd, 1);
}

uint32_t NUV_FpcLogout(void* hDev, uint8_t flag) {
    _nvlog(">>-%s", "NUV_FpcLogout");
    NUV_FPM cmd(FPC_LOGOUT);
    const uint32_t r = cmd.bind(hDev);
    if (r != 0) return r;
    cmd.addC(flag != 0 ? 1 : 0);
    return statusOnly(cmd, 1);
}

uint32_t NUV_FpcReadFlash(void* hDev, uint32_t pos, uint32_t count, uint8_t* out, uint32_t* len) {
    _nvlog(">>-%s", "NUV_FpcReadFlash");
    if (out == nullptr || len == nullptr) {
        _nvlogstr("ptr=NULL");
        return NUV_ERR_NULL;
    }
    NUV_FPM cmd(FPC_READ_FLASH);
    uint32_t r = cmd.bind(hDev);
    if (r != 0) return r;
    cmd.addDw(pos).addDw(count);
    r = cmd.nuvTxdAndRxd(0, 1);
    if (r != 0) return r;
    return cmd.getRsp(out, len);
}

uint32_t NUV_FpcChip592Cmd(void* hDev, uint8_t* out, uint32_t sub, uint32_t outCap) {
    _nvlog(">>-%s", "NUV_FpcChip592Cmd");
    return NUV_FpcChip592CmdEx(hDev, out, sub, nullptr, 0, outCap);
}

uint32_t NUV_FpcChip592CmdEx(void* hDev, uint8_t* out, uint32_t sub, const uint8_t* data,
                             uint32_t count, uint32_t outCap) {
    _nvlog(">>-%s", "NUV_FpcChip592CmdEx");
    // A cancel goes out while a worker waits for this link's next frame; it
    // must not take that frame, so nothing is received here.
    const bool sendOnly = sub == NUV_FPC_SUB_CANCEL;
    if (sendOnly) sub = kChipCancelSub;
    const uint8_t echo = static_cast<uint8_t>(sub + kChipSubBase);
    NUV_FPM cmd(FPC_CHIP592);
    uint32_t r = cmd.bind(hDev);
    if (r != 0) return r;
    cmd.addC(echo);
    if (data != nullptr && count != 0) cmd.addBuf(data, count);
    if (sendOnly) return cmd.nuvTxdOnly(0);
    r = statusOnly(cmd, 1);
    if (r != 0) return r;
    uint8_t answer[kChipAnswerMax] = {};
    uint32_t len = sizeof answer;
    r = cmd.getRsp(answer, &len);
    if (r != 0) return r;
    if (len == 0 || answer[0] != echo) return 1;
    const uint32_t rest = len - 1;
    if (out != nullptr && rest != 0) {
        if (rest > outCap) {
            _nvlogstr("rcv buf is not enough");
            return NUV_ERR_BUF_SMALL;
        }
        memcpy(out, answer + 1, rest);
    }
    return 0;
}
