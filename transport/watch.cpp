// Key arrival and removal, watched on a thread of its own: libusb hotplug
// callbacks where the platform has them, else a listing every second; for
// virtual keys a probe of each key's socket (a pulled virtual key answers
// its hello with "FPKV ABSENT").
#include <libusb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "log/log.h"
#include "transport/transport.h"
#include "transport/usb.h"
#include "transport/vport.h"

namespace {

// Product ids that name a key (the listing's order does not matter here).
const uint16_t kKeyPids[] = {0x2547, 0x2548, 0x2549, 0x254A, 0x2550};

constexpr int kScanMs = 1000;           // USB without hotplug callbacks
constexpr int kProbeMs = 250;           // virtual keys: a local hello is cheap
constexpr long kEventSliceUs = 200000;  // libusb event wait, so a stop is seen

bool isKeyPid(uint16_t pid) {
    for (uint16_t p : kKeyPids)
        if (p == pid) return true;
    return false;
}

// The keys present at the last look, by name; fixed room, no heap.
struct Present {
    int count = 0;
    char name[PORT_MAX_DEVICES][USB_NAME_MAX];
    uint16_t pid[PORT_MAX_DEVICES];

    int find(const char* n) const {
        for (int i = 0; i < count; ++i)
            if (strcmp(name[i], n) == 0) return i;
        return -1;
    }
    void add(const char* n, uint16_t p) {
        if (count == PORT_MAX_DEVICES || find(n) >= 0) return;
        snprintf(name[count], sizeof(name[count]), "%s", n);
        pid[count] = p;
        ++count;
    }
};

std::mutex s_mu;  // start and stop
std::condition_variable s_cv;
bool s_stop = false;
std::thread s_thread;
std::atomic<PORT_WATCH_FN> s_fn{nullptr};
std::atomic<int> s_kind{0};

void report(const char* name, uint16_t pid, bool present) {
    _nvlog("key %s: %s", present ? "arrived" : "left", name);
    if (PORT_WATCH_FN fn = s_fn.load()) fn(name, pid, present);
}

// Reports what differs between the last look and this one; `now` becomes
// the last look.
void compare(Present& last, const Present& now) {
    for (int i = 0; i < last.count; ++i)
        if (now.find(last.name[i]) < 0) report(last.name[i], last.pid[i], false);
    for (int i = 0; i < now.count; ++i)
        if (last.find(now.name[i]) < 0) report(now.name[i], now.pid[i], true);
    last = now;
}

// Sleeps up to `ms`; true when the watch is to end.
bool waitOrStop(int ms) {
    std::unique_lock<std::mutex> lock(s_mu);
    return s_cv.wait_for(lock, std::chrono::milliseconds(ms), [] { return s_stop; });
}

bool stopping() {
    std::lock_guard<std::mutex> lock(s_mu);
    return s_stop;
}

void lookVirtual(Present& now) {
    now.count = 0;
    for (int i = 0; i < VPORT_Count(); ++i) {
        char name[USB_NAME_MAX];
        uint16_t pid = 0;
        if (VPORT_Probe(i, name, sizeof(name), &pid)) now.add(name, pid);
    }
}

// The key's name from its device record; false when it is not a key.
bool usbKeyName(libusb_device* dev, char* name, size_t cap, uint16_t* pid) {
    libusb_device_descriptor desc;
    if (libusb_get_device_descriptor(dev, &desc) != 0) return false;
    if (desc.idVendor != SS_VID || !isKeyPid(desc.idProduct)) return false;
    uint8_t ports[USB_MAX_PORTS];
    int n = libusb_get_port_numbers(dev, ports, USB_MAX_PORTS);
    if (n < 0) n = 0;
    *pid = desc.idProduct;
    return _makeUsbName(name, cap, ports, n, desc.idProduct) >= 0;
}

void lookUsb(libusb_context* ctx, Present& now) {
    now.count = 0;
    libusb_device** list = nullptr;
    const ssize_t cnt = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < cnt; ++i) {
        char name[USB_NAME_MAX];
        uint16_t pid = 0;
        if (usbKeyName(list[i], name, sizeof(name), &pid)) now.add(name, pid);
    }
    if (list != nullptr) libusb_free_device_list(list, 1);
}

int LIBUSB_CALL onHotplug(libusb_context*, libusb_device* dev, libusb_hotplug_event event, void*) {
    char name[USB_NAME_MAX];
    uint16_t pid = 0;
    if (usbKeyName(dev, name, sizeof(name), &pid))
        report(name, pid, event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    return 0;  // stay registered
}

void watchVirtual() {
    Present last;
    Present now;
    lookVirtual(last);  // keys present at the start are no news
    s_kind = PORT_WATCH_PROBE;
    while (!waitOrStop(kProbeMs)) {
        lookVirtual(now);
        compare(last, now);
    }
}

void watchUsb() {
    // A context of its own: the transport's listings and opens init and exit
    // the default context as they go.
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) < 0) {
        _nvlogstr("key watch: libusb cannot be initialised\n");
        return;
    }
    libusb_hotplug_callback_handle cb = 0;
    const bool hotplug =
        libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0 &&
        libusb_hotplug_register_callback(
            ctx,
            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                              LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            LIBUSB_HOTPLUG_NO_FLAGS, static_cast<int>(SS_VID), LIBUSB_HOTPLUG_MATCH_ANY,
            LIBUSB_HOTPLUG_MATCH_ANY, onHotplug, nullptr, &cb) == LIBUSB_SUCCESS;
    _nvlog("key watch: %s", hotplug ? "hotplug callbacks" : "a listing every second");
    s_kind = hotplug ? PORT_WATCH_HOTPLUG : PORT_WATCH_SCAN;
    if (hotplug) {
        while (!stopping()) {
            timeval tv{0, kEventSliceUs};
            libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
        }
        libusb_hotplug_deregister_callback(ctx, cb);
    } else {
        Present last;
        Present now;
        lookUsb(ctx, last);
        while (!waitOrStop(kScanMs)) {
            lookUsb(ctx, now);
            compare(last, now);
        }
    }
    libusb_exit(ctx);
}

}  // namespace

int PORT_WatchStart(PORT_WATCH_FN fn) {
    std::lock_guard<std::mutex> lock(s_mu);
    if (fn == nullptr || s_thread.joinable()) return -1;
    s_fn = fn;
    s_stop = false;
    const bool virt = PORT_IsVirtual();
    try {
        s_thread = std::thread(virt ? watchVirtual : watchUsb);
    } catch (const std::system_error&) {
        s_fn = nullptr;
        return -1;
    }
    return 0;
}

void PORT_WatchStop() {
    {
        std::lock_guard<std::mutex> lock(s_mu);
        if (!s_thread.joinable()) return;
        s_stop = true;
    }
    s_cv.notify_all();
    s_thread.join();
    s_fn = nullptr;
    s_kind = 0;
}

int PORT_WatchKind() {
    return s_kind.load();
}
