// A USB key emulated with umockdev for the USB transport tests: libusb's real
// Linux backend runs against usbdevfs ioctls answered here. The test queues
// the IN units the key will answer and reads back the OUT transfers it saw.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct UsbEmuDevice {
    uint16_t pid = 0x2549;
    std::string sysName = "1-3";  // sysfs name; its port path gives the name
    uint16_t maxPacket = 64;      // wMaxPacketSize of both endpoints
    bool kernelDriver = true;     // a driver is bound to interface 0
    int claimErrno = 0;           // errno of CLAIMINTERFACE (0 = success)
};

// A key that answers live instead of from queued units: it sees each OUT unit
// as the device receives it and appends the IN units it answers with. Runs
// on umockdev's handler thread, one call at a time.
class UsbEmuPeer {
  public:
    using Units = std::vector<std::vector<uint8_t>>;
    virtual ~UsbEmuPeer() = default;
    virtual void onOut(const uint8_t* unit, size_t len, Units& in) = 0;
    // The host polls with nothing to reap (answers that are due by time).
    virtual void onIdle(Units& in) { (void)in; }
};

struct UsbEmuTransfer {
    uint8_t endpoint;
    std::vector<uint8_t> data;  // OUT: bytes sent; IN: bytes returned
};

class UsbEmu {
  public:
    // Creates the testbed; false when the umockdev preload is not active.
    static bool start();
    static void stop();
    // Adds a device (bus 1, numbered from 2); returns its index.
    static int add(const UsbEmuDevice& d);
    // Removes all devices.
    static void clear();
    // Queues one IN transfer's bytes for device `dev`.
    static void queueIn(int dev, const std::vector<uint8_t>& unit);
    // Routes the OUT units of `dev` to `peer` (null: queued units only).
    static void attach(int dev, UsbEmuPeer* peer);
    // Every ioctl answers ENODEV from now on (unplug).
    static void unplug(int dev);
    // Sends the kernel's uevent `action` ("add", "remove") for `dev` to
    // whoever listens (libusb's hotplug monitor).
    static void uevent(int dev, const char* action);
    // Pulls `dev` out as the kernel would: ENODEV from now on, the "remove"
    // uevent, and its sysfs record gone.
    static void remove(int dev);
    // Transfers completed so far (OUT and IN) and the state seen.
    static std::vector<UsbEmuTransfer> transfers(int dev);
    static int detaches(int dev);
    static int claims(int dev);
    static int releases(int dev);
    static int claimedInterface(int dev);
    // Unexpected ioctls seen (a libusb change the tests must notice).
    static std::vector<unsigned long> unexpected();
};
