// Device lock hooks. This system grants every request and holds nothing; the
// hooks mark where a cross-process device lock belongs: taken by name before
// a device is opened, released by name when the open fails and by handle on
// disconnect.
#include "log/log.h"
#include "skf/devtable.h"

int cosLock(const char*) {
    return 1;
}

int cosUnlockByDevName(const char*) {
    return 1;
}

int cosUnlockByDevHdl(void* hDev) {
    char name[128] = {};
    if (!getDevNameFromHdl(hDev, name, sizeof name)) return 0;
    return cosUnlockByDevName(name);
}

uint32_t skfLockDev(void*, unsigned int) {
    return SAR_OK;
}

uint32_t skfUnlockDev(void*) {
    return SAR_OK;
}
