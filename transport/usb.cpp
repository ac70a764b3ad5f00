// USB transport over libusb-1.0: listing, open, bulk transfers in units.
//
// The send and the receive direction each have their own staging unit: the
// network thread may send a cancel while a worker waits in a receive.
#include "transport/usb.h"

#include <libusb.h>

#include <atomic>
#include <chrono>
#include <cstring>

#include "log/log.h"
#include "transport/units.h"

namespace {

uint32_t ss_Vid = SS_VID;
uint32_t ss_Pid = SS_DEFAULT_PID;
uint32_t m_S_LEN = 64;
uint32_t m_EP_IN = 0x82;
uint32_t m_EP_OUT = 0x02;
uint32_t m_usb_bInterfaceNumber = 0;
std::atomic<uint32_t> m_msWait{SS_DEFAULT_WAIT_MS};
std::atomic<uint64_t> m_msWaitSetAt{0};  // when m_msWait was last set
// Read by a worker's receive while the network thread sends.
std::atomic<libusb_device_handle*> m_dev_handle{nullptr};

uint8_t s_txdUnit[UNIT_MAX];  // send direction only
uint8_t s_rxdUnit[UNIT_MAX];  // receive direction only

// Product ids of the open sequence (0x254A is listed, never opened).
const uint16_t m_pid[] = {0x2547, 0x2548, 0x2549, 0x2550};

// Picks endpoints and unit from the first endpoint of the first alternate
// setting that has one; false (choice unchanged) when there is none.
bool _get_in_out_Nuvo(const libusb_config_descriptor* cfg) {
    for (int i = 0; i < cfg->bNumInterfaces; ++i) {
        const libusb_interface& itf = cfg->interface[i];
        for (int a = 0; a < itf.num_altsetting; ++a) {
            const libusb_interface_descriptor& alt = itf.altsetting[a];
            if (alt.bNumEndpoints < 1 || alt.endpoint == nullptr) continue;
            const unsigned mps = alt.endpoint[0].wMaxPacketSize;
            _nvlog("\t\t  wMaxPacketSize:\t   %u\n", mps);
            const UsbEndpoints ep = usbEndpointsFor(mps);
            m_EP_IN = ep.in;
            m_EP_OUT = ep.out;
            m_S_LEN = ep.unit;
            m_usb_bInterfaceNumber = ep.itf;
            return true;
        }
    }
    return false;
}

// Listing and look-up by name (nothing in the daemon opens by name).
int _ssUlstFind(const char* want, char* names, size_t capacity, uint32_t vid, uint32_t pid) {
    if (vid == 0) vid = ss_Vid;
    if (pid == 0) pid = ss_Pid;
    if (libusb_init(nullptr) < 0) {
        _nvlogstr("failed to initialise libusb\n");
        return SS_ERR_INIT;
    }
    libusb_device** list = nullptr;
    const ssize_t cnt = libusb_get_device_list(nullptr, &list);
    if (cnt <= 0) {
        _nvlogstr("get device error\n");
        if (list != nullptr) libusb_free_device_list(list, 1);
        libusb_exit(nullptr);
        return SS_ERR_LIST;
    }
    _nvlog("device number:cnt = %d\n", static_cast<int>(cnt));
    int found = 0;
    int failed = 0;  // a libusb call that failed on the way
    bool matched = false;
    size_t used = 0;
    for (ssize_t i = 0; i < cnt; ++i) {
        libusb_device_descriptor desc;
        const int r = libusb_get_device_descriptor(list[i], &desc);
        if (r < 0) {
            _nvlogstr("get device descriptor error\n");
            failed = r;
            continue;
        }
        if (desc.idVendor != vid || desc.idProduct != pid) continue;
        _nvlogstr("find the target device\n");
        ++found;
        uint8_t ports[USB_MAX_PORTS];
        int nports = libusb_get_port_numbers(list[i], ports, USB_MAX_PORTS);
        if (nports < 0) {
            failed = nports;
            nports = 0;
        }
        char name[USB_NAME_MAX];
        if (_makeUsbName(name, sizeof(name), ports, nports, desc.idProduct) < 0) continue;
        if (want != nullptr) {
            if (strcmp(want, name) != 0) continue;
            matched = true;
            break;
        }
        if (names != nullptr) {
            const size_t n = strlen(name) + 1;
            // Keep room for the closing zero byte of the list.
            if (used + n < capacity) {
                memcpy(names + used, name, n);
                used += n;
            }
        }
        if (nports == 0) break;
        ss_Vid = vid;
        ss_Pid = pid;
    }
    if (names != nullptr && capacity > 0) names[used] = 0;
    libusb_free_device_list(list, 1);
    libusb_exit(nullptr);
    if (matched) return 0;
    return failed < 0 ? SS_ERR_LISTING : found;
}

int usbWriteUnit(void* ctx, const uint8_t* unit, size_t len) {
    int done = 0;
    // libusb does not write to an OUT buffer.
    const int r = libusb_bulk_transfer(
        static_cast<libusb_device_handle*>(ctx), static_cast<unsigned char>(m_EP_OUT),
        const_cast<uint8_t*>(unit), static_cast<int>(len), &done, m_msWait.load());
    if (r < 0 || done != static_cast<int>(len)) {
        _nvlog("write error!%x-%x %d\n", m_EP_OUT, m_S_LEN, r);
        return SS_ERR_TXD;
    }
    return 0;
}

int usbReadUnit(void* ctx, uint8_t* unit, size_t len, size_t* got) {
    // In slices, so that a shorter wait set meanwhile ends the wait.
    const uint64_t start = ssUsbNowMs();
    const uint32_t wait = m_msWait.load();
    int done = 0;
    int r = LIBUSB_ERROR_TIMEOUT;
    for (uint32_t left = wait; left > 0 && r == LIBUSB_ERROR_TIMEOUT && done == 0;
         left = ssUsbWaitLeft(start, wait)) {
        const uint32_t slice = left < SS_WAIT_SLICE_MS ? left : SS_WAIT_SLICE_MS;
        r = libusb_bulk_transfer(static_cast<libusb_device_handle*>(ctx),
                                 static_cast<unsigned char>(m_EP_IN), unit, static_cast<int>(len),
                                 &done, slice);
    }
    // A unit that arrived as the slice ended is a unit.
    if (r == LIBUSB_ERROR_TIMEOUT && done > 0) r = 0;
    if (r < 0) {
        _nvlogstr("failed to read \n");
        return r == LIBUSB_ERROR_TIMEOUT ? SS_ERR_TIMEOUT : SS_ERR_RXD;
    }
    _nvlog("ssUsbRxd = %d", done);
    *got = done > 0 ? static_cast<size_t>(done) : 0;
    return 0;
}

}  // namespace

void ssUsbTimeout(uint32_t ms) {
    m_msWait = ms == 0 ? SS_DEFAULT_WAIT_MS : ms;
    m_msWaitSetAt = ssUsbNowMs();
}

uint64_t ssUsbNowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

uint32_t ssUsbWaitLeft(uint64_t startMs, uint32_t startWait) {
    uint64_t end = startMs + startWait;
    // A wait time set since the wait began (in the same millisecond too)
    // counts from when it was set; it may end the wait sooner, never later.
    const uint64_t setAt = m_msWaitSetAt.load();
    if (setAt >= startMs) {
        const uint64_t other = setAt + m_msWait.load();
        if (other < end) end = other;
    }
    const uint64_t now = ssUsbNowMs();
    return now >= end ? 0 : static_cast<uint32_t>(end - now);
}

uint32_t ssUsbGetTimeout() {
    return m_msWait.load();
}

UsbEndpoints ssUsbEndpoints() {
    return UsbEndpoints{m_EP_IN, m_EP_OUT, m_S_LEN, m_usb_bInterfaceNumber};
}

int ssUsblst(char* names, size_t capacity, uint32_t vid, uint32_t pid) {
    return _ssUlstFind(nullptr, names, capacity, vid, pid);
}

int ssUsbFind(const char* name) {
    if (name == nullptr) return SS_ERR_TXD;
    return _ssUlstFind(name, nullptr, 0, 0, 0);
}

int ssUsbOpenEx() {
    for (uint16_t pid : m_pid) {
        const int n = ssUsblst(nullptr, 0, ss_Vid, pid);
        if (n < 0) {
            _nvlogstr("ssUsblst error\n");
            return SS_ERR_TXD;
        }
        if (n > 0) {
            _nvlog("ssUsblst %x\n", pid);
            break;
        }
    }
    return ssUsbOpen(1);
}

int ssUsbOpen(uint64_t) {
    // A second open replaces the first: give its interface and handle back.
    if (m_dev_handle.load() != nullptr) ssUsbClose(1);
    if (libusb_init(nullptr) < 0) {
        _nvlogstr("failed to initialise libusb\n");
        return SS_ERR_INIT;
    }
    libusb_device_handle* h = libusb_open_device_with_vid_pid(
        nullptr, static_cast<uint16_t>(ss_Vid), static_cast<uint16_t>(ss_Pid));
    if (h == nullptr) {
        _nvlog("Cannot open device %x/%x\n", ss_Vid, ss_Pid);
        libusb_exit(nullptr);
        return SS_ERR_TXD;
    }
    _nvlogstr("Device Opened\n");
    m_dev_handle = h;
    libusb_config_descriptor* cfg = nullptr;
    if (libusb_get_config_descriptor(libusb_get_device(h), 0, &cfg) == 0) {
        _get_in_out_Nuvo(cfg);
        libusb_free_config_descriptor(cfg);
    }
    for (int itf = 0; itf < 3; ++itf) {
        if (libusb_kernel_driver_active(h, itf) == 1) {
            _nvlog("Kernel Driver Active %d \n", itf);
            if (libusb_detach_kernel_driver(h, itf) == 0) _nvlogstr("Kernel Driver Detached!\n");
        }
    }
    const int r = libusb_claim_interface(h, static_cast<int>(m_usb_bInterfaceNumber));
    if (r == 0) {
        _nvlog("libusb_claim_interface %d ok\n", m_usb_bInterfaceNumber);
        return 0;
    }
    _nvlog("Cannot Claim Interface %d=%d\n", m_usb_bInterfaceNumber, r);
    ssUsbClose(1);
    return SS_ERR_CLAIM;
}

int ssUsbClose(uint64_t) {
    libusb_device_handle* h = m_dev_handle.exchange(nullptr);
    if (h == nullptr) return -1;
    if (libusb_release_interface(h, static_cast<int>(m_usb_bInterfaceNumber)) == 0)
        _nvlogstr("Released Interface!\n");
    else
        _nvlogstr("Cannot Released Interface!\n");
    libusb_close(h);
    libusb_exit(nullptr);
    return 0;
}

int ssUsbTxd(uint64_t, const uint8_t* bytes, int len) {
    if (len <= 0) return 0;
    libusb_device_handle* h = m_dev_handle.load();
    if (bytes == nullptr || h == nullptr) {
        _nvlogstr("ssUsbTxd: no device\n");
        return SS_ERR_TXD;
    }
    return unitsSend(usbWriteUnit, h, s_txdUnit, m_S_LEN, bytes, static_cast<size_t>(len));
}

int ssUsbRxd(uint64_t, uint8_t* out, int capacity, int* outLen) {
    libusb_device_handle* h = m_dev_handle.load();
    if (h == nullptr) {
        _nvlogstr("ssUsbRxd: no device\n");
        return SS_ERR_RXD;
    }
    if (out != nullptr && capacity < 0) capacity = 0;
    uint32_t len = 0;
    const int r =
        unitsReceive(usbReadUnit, h, s_rxdUnit, m_S_LEN, out, static_cast<size_t>(capacity), &len);
    if (r == SS_ERR_TOO_LONG) _nvlog("ssUsbRxd: frame longer than %d bytes refused\n", capacity);
    if (r != 0) return r;
    if (outLen != nullptr) *outLen = static_cast<int>(len);
    return 0;
}

int ssUsbTxRx(uint64_t handle, const uint8_t* req, int reqLen, uint8_t* rsp, int capacity,
              int* rspLen) {
    const int r = ssUsbTxd(handle, req, reqLen);
    if (r != 0) return r;
    return ssUsbRxd(handle, rsp, capacity, rspLen);
}

int nvUsbOnlyTx(const uint8_t* bytes, int len) {
    libusb_device_handle* h = m_dev_handle.load();
    if (h == nullptr || bytes == nullptr || len <= 0) return 0;
    int done = 0;
    libusb_bulk_transfer(h, static_cast<unsigned char>(m_EP_OUT), const_cast<uint8_t*>(bytes), len,
                         &done, 100);
    return 0;
}

int ssUsbGetStat(uint64_t) {
    return 0;
}
