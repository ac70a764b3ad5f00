#include "tests/unit/transport/usb_emu.h"

#include <linux/ioctl.h>
// clang-format off
#include <linux/usbdevice_fs.h>
// clang-format on
#include <umockdev.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>

namespace {

struct PendingUrb {
    UMockdevIoctlData* urb;     // referenced
    UMockdevIoctlData* buffer;  // referenced
    bool discarded;
};

struct Device {
    UsbEmuDevice cfg;
    std::string node;
    std::string syspath;
    bool driverBound = true;
    bool gone = false;
    bool removed = false;  // its record left the testbed
    int detaches = 0, claims = 0, releases = 0, claimed = -1;
    std::deque<std::vector<uint8_t>> inQueue;
    std::deque<PendingUrb> submitted;
    std::vector<UsbEmuTransfer> done;
    UsbEmuPeer* peer = nullptr;
};

std::mutex g_mu;
UMockdevTestbed* g_tb = nullptr;
std::vector<std::unique_ptr<Device>> g_devs;
std::vector<unsigned long> g_unexpected;

std::string hex(const std::vector<uint8_t>& b) {
    std::string s;
    char h[3];
    for (uint8_t c : b) {
        snprintf(h, sizeof(h), "%02x", c);
        s += h;
    }
    return s;
}

uint8_t outEndpoint(const UsbEmuDevice& d) {
    return d.maxPacket > 64 ? 0x01 : 0x02;
}

std::vector<uint8_t> descriptors(const UsbEmuDevice& d) {
    const uint8_t lo = static_cast<uint8_t>(d.maxPacket),
                  hi = static_cast<uint8_t>(d.maxPacket >> 8);
    const uint8_t out = outEndpoint(d);
    return {// device
            0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40, 0x41, 0x25, static_cast<uint8_t>(d.pid),
            static_cast<uint8_t>(d.pid >> 8), 0x00, 0x01, 0x00, 0x00, 0x00, 0x01,
            // configuration, interface, bulk IN, bulk OUT
            0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,  //
            0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0x00, 0x00, 0x00,  //
            0x07, 0x05, 0x82, 0x02, lo, hi, 0x00,                  //
            0x07, 0x05, out, 0x02, lo, hi, 0x00};
}

// Completes the oldest finished URB, if any; true when one was reaped.
bool reapOne(Device* d, UMockdevIoctlClient* client) {
    for (auto it = d->submitted.begin(); it != d->submitted.end(); ++it) {
        auto* urb = reinterpret_cast<usbdevfs_urb*>(it->urb->data);
        const bool in = (urb->endpoint & 0x80) != 0;
        if (it->discarded) {
            urb->status = -ENOENT;
            urb->actual_length = 0;
        } else if (in) {
            if (d->inQueue.empty()) continue;
            std::vector<uint8_t> unit = d->inQueue.front();
            d->inQueue.pop_front();
            const size_t n =
                unit.size() < size_t(urb->buffer_length) ? unit.size() : size_t(urb->buffer_length);
            memcpy(it->buffer->data, unit.data(), n);
            urb->status = 0;
            urb->actual_length = static_cast<int>(n);
            d->done.push_back({urb->endpoint, std::vector<uint8_t>(unit.data(), unit.data() + n)});
        } else {
            urb->status = 0;
            urb->actual_length = urb->buffer_length;
        }
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
        umockdev_ioctl_data_set_ptr(slot, 0, it->urb);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(slot);
        umockdev_ioctl_data_unref(it->buffer);
        umockdev_ioctl_data_unref(it->urb);
        d->submitted.erase(it);
        return true;
    }
    return false;
}

gboolean answerEagain(gpointer data) {
    auto* client = static_cast<UMockdevIoctlClient*>(data);
    umockdev_ioctl_client_complete(client, -1, EAGAIN);
    g_object_unref(client);
    return G_SOURCE_REMOVE;
}

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto* d = static_cast<Device*>(user);
    std::lock_guard<std::mutex> g(g_mu);
    const unsigned long req = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (d->gone) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    switch (req) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* caps =
                umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
            const uint32_t v = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
            memcpy(caps->data, &v, sizeof(v));
            umockdev_ioctl_client_complete(client, 0, 0);
            g_object_unref(caps);
            return TRUE;
        }
        case USBDEVFS_GETDRIVER: {
            UMockdevIoctlData* gd =
                umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), nullptr);
            auto* p = reinterpret_cast<usbdevfs_getdriver*>(gd->data);
            if (p->interface != 0) {
                umockdev_ioctl_client_complete(client, -1, EINVAL);
            } else if (!d->driverBound) {
                umockdev_ioctl_client_complete(client, -1, ENODATA);
            } else {
                snprintf(p->driver, sizeof(p->driver), "usbhid");
                umockdev_ioctl_client_complete(client, 0, 0);
            }
            g_object_unref(gd);
            return TRUE;
        }
        case USBDEVFS_IOCTL: {
            UMockdevIoctlData* io =
                umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr);
            auto* p = reinterpret_cast<usbdevfs_ioctl*>(io->data);
            if (p->ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT) && p->ifno == 0 &&
                d->driverBound) {
                d->driverBound = false;
                d->detaches++;
                umockdev_ioctl_client_complete(client, 0, 0);
            } else {
                umockdev_ioctl_client_complete(client, -1, ENODATA);
            }
            g_object_unref(io);
            return TRUE;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE: {
            UMockdevIoctlData* n = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
            unsigned itf = 0;
            memcpy(&itf, n->data, sizeof(itf));
            g_object_unref(n);
            if (req == USBDEVFS_RELEASEINTERFACE) {
                d->releases++;
                d->claimed = -1;
                umockdev_ioctl_client_complete(client, 0, 0);
            } else if (d->cfg.claimErrno != 0) {
                umockdev_ioctl_client_complete(client, -1, d->cfg.claimErrno);
            } else {
                d->claims++;
                d->claimed = static_cast<int>(itf);
                umockdev_ioctl_client_complete(client, 0, 0);
            }
            return TRUE;
        }
        case USBDEVFS_SUBMITURB: {
            UMockdevIoctlData* urbData =
                umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
            auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
            // Like the kernel: an endpoint the device does not have is refused.
            if (urb->endpoint != 0x82 && urb->endpoint != outEndpoint(d->cfg)) {
                umockdev_ioctl_data_unref(urbData);
                umockdev_ioctl_client_complete(client, -1, ENOENT);
                return TRUE;
            }
            UMockdevIoctlData* buf =
                umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer),
                                            static_cast<gsize>(urb->buffer_length), nullptr);
            if ((urb->endpoint & 0x80) == 0) {
                d->done.push_back(
                    {urb->endpoint, std::vector<uint8_t>(buf->data, buf->data + buf->data_len)});
                if (d->peer != nullptr) {
                    UsbEmuPeer::Units in;
                    d->peer->onOut(buf->data, buf->data_len, in);
                    for (auto& u : in)
                        d->inQueue.push_back(std::move(u));
                }
            }
            d->submitted.push_back({urbData, buf, false});  // keeps both references
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_REAPURBNDELAY: {
            if (reapOne(d, client)) return TRUE;
            if (d->peer != nullptr) {
                UsbEmuPeer::Units in;
                d->peer->onIdle(in);
                for (auto& u : in)
                    d->inQueue.push_back(std::move(u));
                if (!in.empty() && reapOne(d, client)) return TRUE;
            }
            // Nothing yet: answer "try again" a little later so that libusb,
            // which sees the emulated node as always readable, does not spin.
            GSource* s = g_timeout_source_new(1);
            g_source_set_callback(s, answerEagain, g_object_ref(client), nullptr);
            g_source_attach(s, g_main_context_get_thread_default());
            g_source_unref(s);
            return TRUE;
        }
        case USBDEVFS_DISCARDURB: {
            unsigned long addr = 0;
            memcpy(&addr, arg->data,
                   sizeof(addr) < size_t(arg->data_len) ? sizeof(addr) : arg->data_len);
            for (auto& p : d->submitted)
                if (p.urb->client_addr == addr) p.discarded = true;
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        default:
            g_unexpected.push_back(req);
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
            return TRUE;
    }
}

}  // namespace

bool UsbEmu::start() {
    if (g_tb == nullptr) g_tb = umockdev_testbed_new();
    return umockdev_in_mock_environment();
}

void UsbEmu::stop() {
    clear();
    if (g_tb != nullptr) g_object_unref(g_tb);
    g_tb = nullptr;
}

int UsbEmu::add(const UsbEmuDevice& cfg) {
    std::lock_guard<std::mutex> g(g_mu);
    auto d = std::make_unique<Device>();
    d->cfg = cfg;
    d->driverBound = cfg.kernelDriver;
    const int devnum = static_cast<int>(g_devs.size()) + 2;
    char node[64];
    snprintf(node, sizeof(node), "/dev/bus/usb/001/%03d", devnum);
    d->node = node;
    d->syspath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/" + cfg.sysName;
    UMockdevIoctlBase* h = umockdev_ioctl_base_new();
    g_signal_connect(h, "handle-ioctl", G_CALLBACK(onIoctl), d.get());
    umockdev_testbed_attach_ioctl(g_tb, d->node.c_str(), h, nullptr);
    g_object_unref(h);
    char rec[2048];
    snprintf(rec, sizeof(rec),
             "P: /devices/pci0000:00/0000:00:14.0/usb1/%s\n"
             "N: bus/usb/001/%03d\n"
             "E: DEVNAME=/dev/bus/usb/001/%03d\n"
             "E: DEVTYPE=usb_device\n"
             "E: DRIVER=usb\n"
             "E: SUBSYSTEM=usb\n"
             "E: BUSNUM=001\n"
             "E: DEVNUM=%03d\n"
             "A: busnum=1\n"
             "A: devnum=%d\n"
             "A: idVendor=2541\n"
             "A: idProduct=%04x\n"
             "A: bConfigurationValue=1\n"
             "A: bNumConfigurations=1\n"
             "A: speed=12\n"
             "H: descriptors=%s\n",
             cfg.sysName.c_str(), devnum, devnum, devnum, devnum, cfg.pid,
             hex(descriptors(cfg)).c_str());
    GError* err = nullptr;
    if (!umockdev_testbed_add_from_string(g_tb, rec, &err)) {
        fprintf(stderr, "umockdev: %s\n", err != nullptr ? err->message : "?");
        if (err != nullptr) g_error_free(err);
        return -1;
    }
    g_devs.push_back(std::move(d));
    return static_cast<int>(g_devs.size()) - 1;
}

void UsbEmu::clear() {
    std::vector<std::unique_ptr<Device>> old;
    {
        std::lock_guard<std::mutex> g(g_mu);
        for (auto& d : g_devs) {
            if (!d->removed) umockdev_testbed_remove_device(g_tb, d->syspath.c_str());
            umockdev_testbed_detach_ioctl(g_tb, d->node.c_str(), nullptr);
            for (auto& p : d->submitted) {
                umockdev_ioctl_data_unref(p.buffer);
                umockdev_ioctl_data_unref(p.urb);
            }
            d->submitted.clear();
        }
        old.swap(g_devs);
        g_unexpected.clear();
    }
}

void UsbEmu::queueIn(int dev, const std::vector<uint8_t>& unit) {
    std::lock_guard<std::mutex> g(g_mu);
    g_devs[dev]->inQueue.push_back(unit);
}

void UsbEmu::attach(int dev, UsbEmuPeer* peer) {
    std::lock_guard<std::mutex> g(g_mu);
    g_devs[dev]->peer = peer;
}

void UsbEmu::unplug(int dev) {
    std::lock_guard<std::mutex> g(g_mu);
    g_devs[dev]->gone = true;
}

void UsbEmu::uevent(int dev, const char* action) {
    std::string syspath;
    {
        std::lock_guard<std::mutex> g(g_mu);
        syspath = g_devs[dev]->syspath;
    }
    umockdev_testbed_uevent(g_tb, syspath.c_str(), action);
}

void UsbEmu::remove(int dev) {
    unplug(dev);
    uevent(dev, "remove");
    std::lock_guard<std::mutex> g(g_mu);
    umockdev_testbed_remove_device(g_tb, g_devs[dev]->syspath.c_str());
    g_devs[dev]->removed = true;
}

std::vector<UsbEmuTransfer> UsbEmu::transfers(int dev) {
    std::lock_guard<std::mutex> g(g_mu);
    return g_devs[dev]->done;
}
int UsbEmu::detaches(int dev) {
    std::lock_guard<std::mutex> g(g_mu);
    return g_devs[dev]->detaches;
}
int UsbEmu::claims(int dev) {
    std::lock_guard<std::mutex> g(g_mu);
    return g_devs[dev]->claims;
}
int UsbEmu::releases(int dev) {
    std::lock_guard<std::mutex> g(g_mu);
    return g_devs[dev]->releases;
}
int UsbEmu::claimedInterface(int dev) {
    std::lock_guard<std::mutex> g(g_mu);
    return g_devs[dev]->claimed;
}
std::vector<unsigned long> UsbEmu::unexpected() {
    std::lock_guard<std::mutex> g(g_mu);
    return g_unexpected;
}
