// Device table (one slot and one link per connected key), its parameter
// records, the device-list buffer and the device lock hooks. Internal to skf/.
#pragma once

#include <cstdint>

#include "skf/skf.h"
#include "transport/transport.h"

constexpr int kUsbDevSlots = 16;
constexpr int kSlotFree = 255;

struct ST_USB_DEV_INFO {
    int port = kSlotFree;  // the slot's own index while in use, 255 while free
    _ST_DEV_OPT portParam{};
    CLink link;
};

extern ST_USB_DEV_INFO m_sUsbDevInfo[kUsbDevSlots];
extern _ST_PORT_PARAM m_sDevParam[kUsbDevSlots];
// Filled by the device enumeration.
extern PORT_DEVNAME m_DevList[PORT_MAX_DEVICES];
extern int m_devNum;

void cosInitGlobalConfig();
// Opens a slot for a device name; the slot's address is the device handle.
void* cosInitUsbDev(const char* name);
// 1 when a slot in use was closed and freed, else 0.
int cosFreeUsbDev(void* hDev);
uint32_t cosGetDevLink(void* hDev, CLink*& link);
int getUsbPortByHandle(void* hDev);
int getUsbDev(int port, ST_USB_DEV_INFO** slot);
int getFreeUsbPort();
int isDevOpen(const char* name);
// Copies the device name (without terminator) into `name`, which holds at
// least `cap` bytes and has been cleared by the caller.
int getDevNameFromHdl(void* hDev, char* name, unsigned int cap);

// Lock hooks: where a cross-process device lock belongs. They grant at once.
int cosLock(const char* name);
int cosUnlockByDevName(const char* name);
int cosUnlockByDevHdl(void* hDev);
uint32_t skfLockDev(void* hDev, unsigned int timeout);
uint32_t skfUnlockDev(void* hDev);

// Test seam: frees every slot so each test starts from a fresh process state.
void cosResetForTest();
