// Device transport: what the smart-key layer and the fingerprint channel may
// call. Frames (frame.h) and transfer units (units.h) are usable on their own,
// without libusb, by the virtual key.
//
//   CLink  -- one per device slot; open, close, send a frame, receive a frame
//   _ST_DEV_OPT -- the port operation table a link runs over (USB or virtual)
//   PORT_* -- the port layer: operation tables, device listing, wait time
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

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
// The link over one port. The send direction and the receive direction keep
// their own buffer pointer and length, so a send on one thread (a cancel)
// leaves a receive waiting on another thread undisturbed.
class CLink {
  public:
    CLink();
    ~CLink();
    CLink(const CLink&) = delete;
    CLink& operator=(const CLink&) = delete;

    // Copies the whole operation table; 0.
    int SetDev(const _ST_DEV_OPT* opt);
    // Opens the port: 0 or the port's status (the link stays not opened).
    int linkf_openDev();
    // 0, or LINK_ERR_NOT_OPEN when the link is not open.
    int linkf_closeDev();
    // Sends one whole frame: 0, LINK_ERR_PARAM, LINK_ERR_TYPE or the port's status.
    int linkf_txd_buff(_protocol_type_ type, const uint8_t* bytes, int len);
    // Receives one whole frame into `buf` (room for `capacity` bytes) and
    // stores its length in *len: 0, LINK_ERR_PARAM, LINK_ERR_TYPE or the
    // port's status (SS_ERR_TIMEOUT, SS_ERR_TOO_LONG, SS_ERR_RXD ...).
    int linkf_rxd_buff(_protocol_type_ type, uint8_t* buf, int* len,
                       int capacity = static_cast<int>(LINK_RXD_CAPACITY));
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

  private:
    int32_t m_state;
    int32_t m_mode;
    std::atomic<bool> m_opened;  // read by a receiving worker
    _ST_DEV_OPT m_devOpt;
    const uint8_t* m_txdBuf;  // send direction
    int32_t m_txdLen;
    int32_t m_sentLen;
    uint8_t* m_rxdBuf;  // receive direction
    int32_t m_rxdLen;
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
