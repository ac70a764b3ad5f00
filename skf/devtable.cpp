#include "skf/devtable.h"

#include <cstring>

#include "log/log.h"

ST_USB_DEV_INFO m_sUsbDevInfo[kUsbDevSlots];
_ST_PORT_PARAM m_sDevParam[kUsbDevSlots];
PORT_DEVNAME m_DevList[PORT_MAX_DEVICES];
int m_devNum = 0;

namespace {
bool s_configured = false;

const char* slotName(int i) {
    return m_sDevParam[i].name;
}
}  // namespace

void cosInitGlobalConfig() {
    if (s_configured) return;
    s_configured = true;
    for (ST_USB_DEV_INFO& slot : m_sUsbDevInfo)
        slot.port = kSlotFree;
}

void cosResetForTest() {
    for (int i = 0; i < kUsbDevSlots; ++i) {
        m_sUsbDevInfo[i].link.releaseDev();
        m_sUsbDevInfo[i].port = kSlotFree;
        memset(&m_sDevParam[i], 0, sizeof m_sDevParam[i]);
    }
    s_configured = true;
}

int getFreeUsbPort() {
    for (int i = 0; i < kUsbDevSlots; ++i) {
        if (m_sUsbDevInfo[i].port == kSlotFree) return i;
    }
    return -1;
}

int isDevOpen(const char* name) {
    if (!name) return -1;
    const size_t n = strlen(name);
    for (int i = 0; i < kUsbDevSlots; ++i) {
        if (m_sUsbDevInfo[i].port != i) continue;
        if (strncmp(slotName(i), name, n) == 0) {
            _nvlogstr("ISDevOpen: Dev already open, don't open again");
            return i;
        }
    }
    return -1;
}

void* cosInitUsbDev(const char* name) {
    int port = getFreeUsbPort();
    if (port < 0) {
        _nvlogstr("getFreeUsbPort fail");
        return nullptr;
    }
    const int open = isDevOpen(name);
    ST_USB_DEV_INFO* slot;
    if (open >= 0) {
        port = open;
        slot = &m_sUsbDevInfo[port];
        slot->link.linkf_closeDev();
    } else {
        slot = &m_sUsbDevInfo[port];
    }
    PORT_FillParam(&m_sDevParam[port], port, name);
    slot->port = port;
    if (initPortParam(&slot->portParam, &m_sDevParam[port]) != 0) {
        slot->port = kSlotFree;
        return nullptr;
    }
    slot->link.SetDev(&slot->portParam);
    if (slot->link.linkf_openDev() != 0) {
        // The slot is given back: a key that vanished between listing and
        // connecting must not hold a slot until the process ends.
        slot->link.releaseDev();
        slot->port = kSlotFree;
        return nullptr;
    }
    _nvlog("initUsbDev ok, UsbPort=%d, hDev=0x%lx", port, reinterpret_cast<unsigned long>(slot));
    return slot;
}

int getUsbPortByHandle(void* hDev) {
    for (int i = 0; i < kUsbDevSlots; ++i) {
        if (hDev == &m_sUsbDevInfo[i]) return i;
    }
    _nvlog("getUsbPortByHandle fail, hDev = 0x%lx", reinterpret_cast<unsigned long>(hDev));
    return -1;
}

int getUsbDev(int port, ST_USB_DEV_INFO** slot) {
    if (port < 0 || port >= kUsbDevSlots) {
        if (slot) *slot = nullptr;
        return 0;
    }
    if (slot) *slot = &m_sUsbDevInfo[port];
    return m_sUsbDevInfo[port].port == port ? 1 : 0;
}

int cosFreeUsbDev(void* hDev) {
    _nvlog(">>-%s", "cosFreeUsbDev");
    const int port = getUsbPortByHandle(hDev);
    ST_USB_DEV_INFO* slot = nullptr;
    if (getUsbDev(port, &slot) != 1) {
        _nvlog("FAIL1 F:%s\tL:%d\t%08X", __FILE__, __LINE__, 0u);
        return 0;
    }
    slot->link.releaseDev();
    slot->port = kSlotFree;
    return 1;
}

uint32_t cosGetDevLink(void* hDev, CLink*& link) {
    if (!hDev) {
        _nvlogstr("paramter error");
        return SAR_INVALIDHANDLEERR;
    }
    const int port = getUsbPortByHandle(hDev);
    if (port < 0) return SAR_DEVHANDLE_UNKNOWN;
    ST_USB_DEV_INFO* slot = nullptr;
    if (getUsbDev(port, &slot) != 1) {
        _nvlog("getUsbDev fail, iUsbPort = %d", port);
        return SAR_DEVSLOT_FREE;
    }
    link = &slot->link;
    return SAR_OK;
}

int getDevNameFromHdl(void* hDev, char* name, unsigned int cap) {
    const int port = getUsbPortByHandle(hDev);
    if (port < 0 || !name || cap == 0) return 0;
    const size_t n = strnlen(slotName(port), sizeof m_sDevParam[port].name);
    memcpy(name, slotName(port), n < cap ? n : cap - 1);
    return 1;
}
