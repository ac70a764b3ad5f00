// USB transport (inside the transport layer only): one key at a time through
// libusb-1.0, process-wide state, bulk transfers in whole transfer units.
// The port layer is its only caller.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t SS_VID = 0x2541;
constexpr uint32_t SS_DEFAULT_PID = 0x2549;
constexpr uint32_t SS_DEFAULT_WAIT_MS = 3000;
// Room for one device name.
constexpr size_t USB_NAME_MAX = 128;
// libusb reports at most this many port numbers per device.
constexpr int USB_MAX_PORTS = 8;

// Wait time of every bulk transfer (0 selects 3000 ms). Setting it also
// applies to the waits in progress, from the moment it is set, when that
// ends them sooner: a cancel that sets the default wait frees a receive
// that waited for a fingerprint answer with a long one.
void ssUsbTimeout(uint32_t ms);
uint32_t ssUsbGetTimeout();
// Steady-clock milliseconds, the time base of the waits.
uint64_t ssUsbNowMs();
// Milliseconds left of a wait that began at `startMs` with the wait time
// `startWait` then in force (0 when it is over).
uint32_t ssUsbWaitLeft(uint64_t startMs, uint32_t startWait);
// Longest single blocking step of a wait, so that a change of the wait
// time is seen soon.
constexpr uint32_t SS_WAIT_SLICE_MS = 100;

// Lists the devices with these ids (0 = the current ss_Vid / ss_Pid): their
// names, each followed by a zero byte, and one more zero byte, into `names`
// (may be null; names that do not fit in `capacity` are counted but not
// written). Returns the count or a negative error.
int ssUsblst(char* names, size_t capacity, uint32_t vid, uint32_t pid);
// 0 when a device of that name (default ids) is present, else the count.
int ssUsbFind(const char* name);
// The open sequence: product ids 0x2547, 0x2548, 0x2549, 0x2550 in order.
int ssUsbOpenEx();
int ssUsbOpen(uint64_t handle);
int ssUsbClose(uint64_t handle);
int ssUsbTxd(uint64_t handle, const uint8_t* bytes, int len);
// Receives one frame into `out` (room for `capacity`; out may be null).
int ssUsbRxd(uint64_t handle, uint8_t* out, int capacity, int* outLen);
int ssUsbTxRx(uint64_t handle, const uint8_t* req, int reqLen, uint8_t* rsp, int capacity,
              int* rspLen);
int nvUsbOnlyTx(const uint8_t* bytes, int len);
int ssUsbGetStat(uint64_t handle);

// The device name of a key: "FingerPrint.Usb.0x2541.0x" + product id in
// lower-case hex + "." + ".%02X" per port number. Returns its length, or -1
// when it does not fit in `capacity` (at most USB_MAX_PORTS ports are used).
int _makeUsbName(char* out, size_t capacity, const uint8_t* ports, int count, uint32_t pid);

// Endpoints and transfer unit chosen from the first endpoint's wMaxPacketSize.
struct UsbEndpoints {
    uint32_t in;
    uint32_t out;
    uint32_t unit;
    uint32_t itf;
};
UsbEndpoints usbEndpointsFor(unsigned wMaxPacketSize);
// The choice in force (what the next transfer uses).
UsbEndpoints ssUsbEndpoints();
