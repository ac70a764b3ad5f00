// Device transport: what the smart-key layer and the fingerprint channel may
// call. Frames (frame.h) and transfer units (units.h) are usable on their own,
// without libusb, by the virtual key.
//
//   CLink  -- one per device slot; open, close, send a frame, receive the
//             next frame or the next frame of one channel
//   _ST_DEV_OPT -- the port operation table a link runs over (USB or virtual)
//   PORT_* -- the port layer: operation tables, device listing, wait time
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "transport/frame.h"
#include "transport/units.h"

// ---------------------------------------------------------------------------
// Result codes of the link (the ports' own codes are in units.h).
constexpr int LINK_ERR_NOT_OPEN = 0x30001;  // close of a link that is not open
constexpr int LINK_ERR_TYPE = 0x3000B;      // protocol type other than 0
constexpr int LINK_ERR_PARAM = 0x3000C;     // missing buffer or length, or link not open

// First argument of the link's buffer operations; only frames exist.
enum _protocol_type_ { PROTOCOL_FRAME = 0 };

// ---------------------------------------------------------------------------
// Port parameter record, one per device slot (filled by the device registry,
// copied into the operation table). The link reads word PORT_PARAM_MODE.
enum {
    PORT_PARAM_MODE = 1,
    PORT_PARAM_SLOT = 3,
    PORT_PARAM_TIMEOUT = 13,  // two words of 7000
    PORT_PARAM_BUFSIZE = 15,  // two words of 1024
    PORT_PARAM_CLEAR_A = 17,  // cleared when the record is installed
    PORT_PARAM_CLEAR_B = 19,  // cleared when the record is installed
    PORT_PARAM_WORDS = 21,
};
constexpr size_t PORT_NAME_MAX = 256;

struct _ST_PORT_PARAM {
    uint32_t word[PORT_PARAM_WORDS];
    char name[PORT_NAME_MAX];  // device name, zero-terminated
};

// The registry's record for a slot: words 0-2 and 4 set to 1, word 3 the
// slot, 7000 and 1024 pairs, and the device name (cut to 255 characters).
void PORT_FillParam(_ST_PORT_PARAM* rec, int slot, const char* name);

// ---------------------------------------------------------------------------
// Port operation table. Status 0 is success; anything else is passed up.
using PORT_OPEN_FN = int (*)(uint64_t handle);
using PORT_CLOSE_FN = int (*)(uint64_t handle);
// Sends `len` bytes; *sent is len on success, 0 on failure.
using PORT_TXD_FN = int (*)(uint64_t handle, const uint8_t* bytes, int len, int* sent);
// Receives one whole frame into `buf` (room for `capacity` bytes); a frame
// longer than that is refused (SS_ERR_TOO_LONG) and drained.
using PORT_RXD_FN = int (*)(uint64_t handle, uint8_t* buf, int capacity, int* received);

struct _ST_DEV_OPT {
    uint64_t handle;
    PORT_OPEN_FN openDev;
    PORT_CLOSE_FN closeDev;
    PORT_TXD_FN txdPkg;
    PORT_RXD_FN rxdPkg;
    _ST_PORT_PARAM param;
};

// ---------------------------------------------------------------------------
// The link over one port, shared by the channels it carries (card OS,
// fingerprint module, vault) and by the threads that use them: a worker may
// wait for the module's answer while another thread exchanges card-OS
// commands or sends a cancel.
//
// Sends: one lock per link, so the units of one frame never interleave with
// another frame's.
// Receives: one thread at a time reads the port. A receive for channel C
// that reads a whole, well-formed frame of another channel D parks it in a
// mailbox for D and goes on waiting for its own; a receiver whose frame was
// parked meanwhile takes it from there without reading the port. Receivers
// that find the port being read wait on a condition variable for their
// mailbox, for the read side to become free, or for their own time-out.
// Everything is fixed-size inside the link; nothing is allocated.

// Mailboxes of a link: one parked frame per channel, at most this many
// channels at once (the link carries three).
constexpr int LINK_MAILBOXES = 4;

struct LinkMailbox {
    bool full;
    uint8_t channel;
    uint32_t length;
    uint8_t frame[FRAME_BUF_SIZE];
};

class CLink {
  public:
    CLink();
    ~CLink();
    CLink(const CLink&) = delete;
    CLink& operator=(const CLink&) = delete;

    // Copies the whole operation table; 0.
    int SetDev(const _ST_DEV_OPT* opt);
    // Opens the port: 0 or the port's status (the link stays not opened).
    // Parked frames of an earlier connection are dropped.
    int linkf_openDev();
    // 0, or LINK_ERR_NOT_OPEN when the link is not open.
    int linkf_closeDev();
    // Sends one whole frame: 0, LINK_ERR_PARAM, LINK_ERR_TYPE or the port's status.
    int linkf_txd_buff(_protocol_type_ type, const uint8_t* bytes, int len);
    // Receives the next frame from the port, whatever its channel, into `buf`
    // (room for `capacity` bytes) and stores its length in *len: 0,
    // LINK_ERR_PARAM, LINK_ERR_TYPE or the port's status (SS_ERR_TIMEOUT,
    // SS_ERR_TOO_LONG, SS_ERR_RXD ...). Frames parked for channels stay
    // parked. Waits while another thread reads the port.
    int linkf_rxd_buff(_protocol_type_ type, uint8_t* buf, int* len,
                       int capacity = static_cast<int>(LINK_RXD_CAPACITY));
    // Receives the next frame of `channel`: its parked frame if there is one,
    // else from the port, parking well-formed frames of other channels on
    // the way (a frame whose envelope is broken cannot be routed and is
    // returned as read, for the caller's checks to refuse). Waits `waitMs`
    // (0: the transfer wait in force at the call, and the port's own
    // time-out ends the receive as before); a port read in progress when the
    // time is up is finished first (it lasts the transfer wait). Results as
    // linkf_rxd_buff; SS_ERR_TIMEOUT when no frame of the channel came in
    // time, SS_ERR_TOO_LONG when its frame is longer than `capacity` (the
    // frame is dropped).
    int rxdChannel(uint8_t channel, uint8_t* buf, int* len,
                   int capacity = static_cast<int>(LINK_RXD_CAPACITY), int waitMs = 0);
    // Not provided by any port; 0.
    int linkf_txdAndRxd_buff(_protocol_type_ type, const uint8_t* req, int reqLen, uint8_t* rsp,
                             int* rspLen);
    // Ends the device binding (what freeing a device slot does): closes the
    // port if the link is open, clears the table, state 0. The object can be
    // bound again with SetDev.
    void releaseDev();

    bool isOpened() const { return m_opened; }
    int getState() const { return m_state; }
    int getMode() const { return m_mode; }
    const _ST_DEV_OPT& devOpt() const { return m_devOpt; }
    int rxdLength() const { return m_rxdLen; }
    int sentLength() const { return m_sentLen; }
    // Frames parked for `channel` (0 or 1), for tests and logs.
    int parkedFrames(uint8_t channel);

  private:
    // Any channel (the plain receive).
    static constexpr int kAnyChannel = -1;
    int receive(int channel, uint8_t* buf, int* len, int capacity, int waitMs);
    int takeParked(int channel, uint8_t* buf, int* len, int capacity);
    void park(const uint8_t* frame, uint32_t len);
    void dropParked();

    int32_t m_state;
    int32_t m_mode;
    std::atomic<bool> m_opened;  // read by a receiving worker
    _ST_DEV_OPT m_devOpt;
    // Send direction, under m_txLock.
    std::mutex m_txLock;
    const uint8_t* m_txdBuf;
    int32_t m_txdLen;
    std::atomic<int32_t> m_sentLen;
    // Receive direction, under m_rxLock; m_rxFrame belongs to the thread
    // that holds the read side (m_reading).
    std::mutex m_rxLock;
    std::condition_variable m_rxCv;
    bool m_reading;
    uint8_t* m_rxdBuf;
    std::atomic<int32_t> m_rxdLen;
    LinkMailbox m_box[LINK_MAILBOXES];
    uint8_t m_rxFrame[FRAME_BUF_SIZE];
};

// ---------------------------------------------------------------------------
// Port layer.

// Device names as listed: slots of 288 bytes, the name in the first 256.
constexpr int PORT_MAX_DEVICES = 16;
struct PORT_DEVNAME {
    char name[PORT_NAME_MAX];
    uint8_t reserved[32];
};

// Installs the record (clearing words PORT_PARAM_CLEAR_A/B in it) and the
// operations of the port in use (USB, or the virtual port when virtual keys
// are configured) into `opt`; 0.
int initPortParam(_ST_DEV_OPT* opt, _ST_PORT_PARAM* param);
// 1 for the USB port.
uint64_t PORT_GetPortHandle(const _ST_PORT_PARAM* param);

// The USB port's operations.
int PORT_Open(uint64_t handle);
int PORT_Close(uint64_t handle);
int PORT_txd(uint64_t handle, const uint8_t* bytes, int len, int* sent);
int PORT_rxd(uint64_t handle, uint8_t* buf, int capacity, int* received);
int PORT_rxdAndRxd(uint64_t handle, const uint8_t* req, int reqLen, uint8_t* rsp, int* rspLen);
int PORT_getState(uint64_t handle);
int PORT_getStateByName(const char* name);
uint32_t* PORT_SetMi(uint32_t value);
// Wait time of every transfer of either port, in ms (0 selects 3000).
void PORT_SETWAITTIME(uint32_t ms);
// Writes "1.0.2" (6 bytes with the zero) and returns `out`.
char* PORT_GetSoftVersion(char* out);
char* PORT_GetLastError();

// Lists the present keys of the first product id (in the order 0x2547,
// 0x2548, 0x2549, 0x254A, 0x2550) that has any, one name per slot, at most
// `slotCount` of them. Returns how many were written, or a negative error.
int PORT_GetusbPortDevNameEx(uint64_t handle, PORT_DEVNAME* slots, int slotCount, int flag);
int PORT_GetusbPortDevName(uint64_t handle, PORT_DEVNAME* slots, int slotCount);

// ---------------------------------------------------------------------------
// Virtual keys. Selects the virtual port for the whole process: every later
// initPortParam installs it and listings report the keys listening at these
// socket paths. Call once at start, before any device is opened. Returns 0,
// or -1 (nothing changed) for more than PORT_MAX_DEVICES paths or a path that
// is empty or too long for a socket address. A count of 0 selects USB.
int PORT_UseVirtualKeys(const char* const* paths, int count);
// Reads FPKEYD_VIRTUAL_KEY (paths separated by ':'). Returns the number of
// keys selected, 0 when the variable is unset or empty (USB stays), or -1.
int PORT_UseVirtualKeysFromEnv();
// True while the virtual port is selected.
bool PORT_IsVirtual();

// ---------------------------------------------------------------------------
// Key arrival and removal. A thread of its own watches the port in use
// (chosen at the start: USB or virtual) and calls `fn` on that thread for
// each key that arrives or leaves, with its listed name and product id.
// USB: libusb hotplug callbacks where the platform has them, else a listing
// every second; virtual keys: a probe of their sockets four times a second.
// Keys present at the start are not reported. `fn` must not block for long.
using PORT_WATCH_FN = void (*)(const char* name, uint16_t pid, bool present);
// 0, or -1 when a watch runs already, `fn` is null or no thread starts.
int PORT_WatchStart(PORT_WATCH_FN fn);
// Ends the watch and joins its thread (nothing when none runs).
void PORT_WatchStop();
// How the running watch learns of keys: 0 none (or not decided yet),
// PORT_WATCH_HOTPLUG, PORT_WATCH_SCAN or PORT_WATCH_PROBE (virtual keys).
enum { PORT_WATCH_HOTPLUG = 1, PORT_WATCH_SCAN = 2, PORT_WATCH_PROBE = 3 };
int PORT_WatchKind();

// ---------------------------------------------------------------------------
// Fingerprint command channel (frame channel 6: fingerprint module; 7: vault
// and configuration). Results are unsigned 32-bit: 0, a channel code below,
// NUV_MODULE_BASE + the module's status (0x1E117: cancelled; callers compare
// the low 16 bits with the module's 0xE1xx codes), or a link or port status
// passed up unchanged (e.g. SS_ERR_TIMEOUT as 0xFFFFFF95 when no frame came
// within the wait time, SS_ERR_TOO_LONG as 0xFFFFFFF8 for a frame announcing
// more payload than a frame buffer holds).
//
// Every function takes a device handle first. Without one (all callers pass
// none) the link of NUV_SetLink is used; with one, the link comes from the
// lookup installed with NUV_SetRegistry (the registry lives in a higher
// layer, which wires itself in at start).
constexpr uint32_t NUV_ERR_CIPHER = 0x60001;        // payload cipher (or mode) neither 0 nor 1
constexpr uint32_t NUV_ERR_NULL = 0x60002;          // no link bound, or a required argument missing
constexpr uint32_t NUV_ERR_NOT_PROVIDED = 0x60003;  // NUV_OpenDevice
constexpr uint32_t NUV_ERR_FRAME = 0x60004;  // response frame malformed (length, head, sum, tail)
constexpr uint32_t NUV_ERR_REQ_TOO_LONG = 0x60005;  // request data do not fit in one frame
constexpr uint32_t NUV_ERR_RSP_SIZE = 0x60006;      // answer not of the size the command needs
constexpr uint32_t NUV_ERR_BUF_SMALL = 0x60007;     // response data larger than the caller's buffer
constexpr uint32_t NUV_ERR_RSP_SHORT = 0x60008;  // response payload shorter than its header claims
constexpr uint32_t NUV_ERR_SEQ = 0x20100;        // stale sequence byte with judge 0
constexpr uint32_t NUV_ERR_LINK = 0xA000100;     // send failed, or no handle and no link set
constexpr uint32_t NUV_MODULE_BASE = 0x10000;    // + module status

// Wait time (ms) of the next scoped fingerprint command, initially 30000.
constexpr int32_t NUV_DEFAULT_TIMEOUT_MS = 30000;
// What m_timeout and the transfer wait become when a scoped command ends.
constexpr int32_t NUV_AFTER_SCOPED_MS = 2000;
// Enrolment waits at least this long when m_timeout is below 30000.
constexpr int32_t NUV_ENROLL_MIN_MS = 35000;

// Registry hooks: the link of a device handle (0 or the registry's error),
// and freeing a device slot (1 when a slot was freed).
using NUV_GETLINK_FN = uint32_t (*)(void* hDev, CLink** link);
using NUV_FREEDEV_FN = int (*)(void* hDev);
void NUV_SetRegistry(NUV_GETLINK_FN getLink, NUV_FREEDEV_FN freeDev);

// Link for commands called without a handle; 0. Safe to call while a worker
// runs a command (the worker keeps the link it bound).
uint32_t NUV_SetLink(CLink* link);
// Wait time of the next scoped command; 0.
uint32_t NUV_SetTimeOut(int32_t ms);
int32_t NUV_GetTimeOut();
// Always NUV_ERR_NOT_PROVIDED: devices are opened through the smart-key API.
uint32_t NUV_OpenDevice(void* unused);
// Frees the device slot of the handle through the registry hook: 0, or
// NUV_ERR_NULL without a handle.
uint32_t NUV_CloseDevice(void* hDev);
void NUV_ShowErrMsg(void* unused1, void* unused2);

// Progress callbacks, run on the calling thread before the next frame is
// received. Enrolment: (frame result, step byte, length 1). Verification:
// (frame result, null, null). The return value is ignored.
using NUV_FPC_CALLBACK = int (*)(int* result, void* data, int* length);

// Fingerprint module commands.
constexpr uint32_t NUV_FPC_NUM_MAX = 66;         // count answer: N, used, N slot ids
constexpr uint32_t NUV_FPC_SUB_CANCEL = 255;     // sends sub-command 31 without waiting
constexpr uint32_t NUV_FPC_SUB_ACK = 24;         // acknowledgement after a verification
constexpr uint32_t NUV_FPC_CHIP_RSP_MAX = 1023;  // sub-command answer behind the echo byte

// Count of enrolled fingers into `out` (room for NUV_FPC_NUM_MAX bytes) or,
// with out null, only whether the module answers.
uint32_t NUV_FpcGetNum(void* hDev, uint8_t* out);
// Enrols one finger; the module's template number goes to *out.
uint32_t NUV_FpcEnroll(void* hDev, uint8_t* out, NUV_FPC_CALLBACK cb);
uint32_t NUV_FpcEnrollEx(void* hDev, uint8_t* out, NUV_FPC_CALLBACK cb, int ex);
// Verifies a finger; the matched template number goes to *out (may be null).
uint32_t NUV_FpcVerify(void* hDev, uint8_t* out, NUV_FPC_CALLBACK cb);
uint32_t NUV_FpcDelete(void* hDev, uint32_t id);
uint32_t NUV_FpcLogout(void* hDev, uint8_t flag);
// Reads module flash; *len is the room in `out` in, the bytes read out.
uint32_t NUV_FpcReadFlash(void* hDev, uint32_t pos, uint32_t count, uint8_t* out, uint32_t* len);
// Raw sub-command to the module's controller. NUV_FPC_SUB_CANCEL is sent
// without waiting (result of the send). Otherwise 0 when the answer echoes
// the sub-command (its remaining bytes go to `out`, room `outCap`), 1 when
// it does not, or an error.
uint32_t NUV_FpcChip592Cmd(void* hDev, uint8_t* out, uint32_t sub,
                           uint32_t outCap = NUV_FPC_CHIP_RSP_MAX);
uint32_t NUV_FpcChip592CmdEx(void* hDev, uint8_t* out, uint32_t sub, const uint8_t* data,
                             uint32_t count, uint32_t outCap = NUV_FPC_CHIP_RSP_MAX);

// Vault and configuration commands (channel 7). Item contents travel SM4-CBC
// enciphered under the share key that NUV_PwdCreateShareKey generates.
constexpr uint32_t NUV_PWD_ITEM_SIZE = 512;
constexpr uint32_t NUV_PWD_PUB_ITEM_MAX = 472;
constexpr uint32_t NUV_PWD_SHARE_ANSWER = 68;

uint32_t NUV_PwdCreateShareKey(void* hDev, uint16_t a, uint16_t b);
// 1 once a share key has been handed over.
int NUV_PwdIsShareKeyCreated();
// Up to 4 bytes; *len is the room in, the bytes received out.
uint32_t NUV_PwdGetListContainer(void* hDev, uint8_t* out, uint32_t* len);
uint32_t NUV_PwdGetCap(void* hDev, uint32_t* first, uint32_t* second);
// *out = 1 when the module status is 0, else 0; the result is the exchange's.
uint32_t NUV_PwdGetIsAuth(void* hDev, uint8_t* out);
uint32_t NUV_PwdDelete(void* hDev, uint32_t index);
// 4 bytes per entry into `out` (room for *count entries); *count becomes the
// number of entries received.
uint32_t NUV_PwdGetListS(void* hDev, uint32_t start, uint32_t* count, uint8_t* out);
// NUV_PwdGetListS, NUV_PwdGetListContainer, NUV_PwdGetIsAuth; stops at the
// first failure.
uint32_t NUV_PwdGetList(void* hDev, uint32_t start, uint32_t* count, uint8_t* out,
                        uint8_t* container, uint32_t* containerLen, uint8_t* isAuth);
// Item contents; *len is the room in, the bytes received out.
uint32_t NUV_PwdGetItem(void* hDev, uint32_t index, uint8_t* out, uint32_t* len);
uint32_t NUV_PwdGetPubItem(void* hDev, uint32_t index, uint8_t* out, uint32_t* len);
uint32_t NUV_PwdUpdateItem(void* hDev, uint32_t index, const uint8_t* item);  // 512 bytes
uint32_t NUV_CfgGetList(void* hDev, uint32_t* count, uint8_t* out);
uint32_t NUV_CfgGetItem(void* hDev, uint32_t index, uint8_t* out, uint32_t* len);
uint32_t NUV_CfgUpdateItem(void* hDev, uint32_t index, const uint8_t* item);  // 512 bytes
