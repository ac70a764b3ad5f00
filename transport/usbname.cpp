// Device names of keys, shared by the USB and the virtual port.
#include <cstdio>

#include "transport/usb.h"

int _makeUsbName(char* out, size_t capacity, const uint8_t* ports, int count, uint32_t pid) {
    if (out == nullptr || capacity == 0) return -1;
    if (count > USB_MAX_PORTS) count = USB_MAX_PORTS;
    char path[USB_MAX_PORTS * 3 + 1] = "";
    for (int i = 0; i < count; ++i)
        snprintf(path + static_cast<size_t>(i) * 3, 4, ".%02X", ports[i]);
    const int n = snprintf(out, capacity, "%s%x.%s", "FingerPrint.Usb.0x2541.0x", pid, path);
    if (n < 0 || static_cast<size_t>(n) >= capacity) {
        out[0] = 0;
        return -1;
    }
    return n;
}

UsbEndpoints usbEndpointsFor(unsigned wMaxPacketSize) {
    // The descriptor only chooses between the two known layouts of the key.
    if (wMaxPacketSize <= 64) return UsbEndpoints{0x82, 0x02, 64, 0};
    return UsbEndpoints{0x82, 0x01, 1024, 0};
}
