// Port layer: the USB port's operation table, the device listing, and the
// choice between the USB and the virtual port for the whole process.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/log.h"
#include "transport/transport.h"
#include "transport/usb.h"
#include "transport/vport.h"

namespace {

std::atomic<bool> s_virtual{false};
uint32_t s_mi = 0xFFFFFFFF;
char s_lastError[1024];

// Product list of the listing, in the order in which it is searched.
const uint16_t s_hidlst[][2] = {{0x2541, 0x2547}, {0x2541, 0x2548}, {0x2541, 0x2549},
                                {0x2541, 0x254A}, {0x2541, 0x2550}, {0, 0}};

}  // namespace

void PORT_FillParam(_ST_PORT_PARAM* rec, int slot, const char* name) {
    memset(rec, 0, sizeof(*rec));
    rec->word[0] = rec->word[1] = rec->word[2] = 1;
    rec->word[PORT_PARAM_SLOT] = static_cast<uint32_t>(slot);
    rec->word[4] = 1;
    rec->word[PORT_PARAM_TIMEOUT] = rec->word[PORT_PARAM_TIMEOUT + 1] = 7000;
    rec->word[PORT_PARAM_BUFSIZE] = rec->word[PORT_PARAM_BUFSIZE + 1] = 1024;
    snprintf(rec->name, sizeof(rec->name), "%s", name != nullptr ? name : "se_device");
}

int initPortParam(_ST_DEV_OPT* opt, _ST_PORT_PARAM* param) {
    _nvlog(">>-%s", __func__);
    if (opt == nullptr || param == nullptr) return LINK_ERR_PARAM;
    param->word[PORT_PARAM_CLEAR_A] = 0;
    param->word[PORT_PARAM_CLEAR_B] = 0;
    param->name[sizeof(param->name) - 1] = 0;
    opt->param = *param;
    if (s_virtual) {
        opt->openDev = VPORT_Open;
        opt->closeDev = VPORT_Close;
        opt->txdPkg = VPORT_txd;
        opt->rxdPkg = VPORT_rxd;
        opt->handle = VPORT_HandleFor(param->name);
    } else {
        opt->openDev = PORT_Open;
        opt->closeDev = PORT_Close;
        opt->txdPkg = PORT_txd;
        opt->rxdPkg = PORT_rxd;
        opt->handle = PORT_GetPortHandle(param);
    }
    return 0;
}

uint64_t PORT_GetPortHandle(const _ST_PORT_PARAM*) {
    return 1;
}

int PORT_Open(uint64_t) {
    _nvlog(">>-%s", __func__);
    return ssUsbOpenEx();
}

int PORT_Close(uint64_t handle) {
    _nvlog(">>-%s", __func__);
    return ssUsbClose(handle);
}

int PORT_txd(uint64_t handle, const uint8_t* bytes, int len, int* sent) {
    const int r = ssUsbTxd(handle, bytes, len);
    if (sent != nullptr) *sent = r == 0 ? len : 0;
    return r;
}

int PORT_rxd(uint64_t handle, uint8_t* buf, int capacity, int* received) {
    return ssUsbRxd(handle, buf, capacity, received);
}

int PORT_rxdAndRxd(uint64_t, const uint8_t*, int, uint8_t*, int*) {
    return 0;
}
int PORT_getState(uint64_t) {
    return 0;
}
int PORT_getStateByName(const char*) {
    return 1;
}

uint32_t* PORT_SetMi(uint32_t value) {
    s_mi = value;
    return &s_mi;
}

void PORT_SETWAITTIME(uint32_t ms) {
    ssUsbTimeout(ms);
}

char* PORT_GetSoftVersion(char* out) {
    if (out != nullptr) memcpy(out, "1.0.2", 6);
    return out;
}

char* PORT_GetLastError() {
    return s_lastError;
}

int PORT_GetusbPortDevNameEx(uint64_t, PORT_DEVNAME* slots, int slotCount, int) {
    // Room for PORT_MAX_DEVICES names with their zero bytes, and the last one.
    static char s_names[PORT_MAX_DEVICES * USB_NAME_MAX + 1];
    _nvlog(">>-%s", __func__);
    const bool virt = s_virtual;
    if (virt) VPORT_Refresh();
    int count = 0;
    for (int i = 0; s_hidlst[i][0] != 0; ++i) {
        count = virt ? VPORT_List(s_names, sizeof(s_names), s_hidlst[i][0], s_hidlst[i][1])
                     : ssUsblst(s_names, sizeof(s_names), s_hidlst[i][0], s_hidlst[i][1]);
        if (count != 0) break;
    }
    if (count <= 0) return count;
    if (slots == nullptr || slotCount <= 0) return 0;
    // More keys than slots: the first slotCount are reported.
    int written = 0;
    const char* p = s_names;
    while (written < count && written < slotCount && *p != 0) {
        memset(&slots[written], 0, sizeof(slots[written]));
        const size_t n = strlen(p);
        memcpy(slots[written].name, p, n < PORT_NAME_MAX ? n : PORT_NAME_MAX - 1);
        p += n + 1;
        ++written;
    }
    return written;
}

int PORT_GetusbPortDevName(uint64_t handle, PORT_DEVNAME* slots, int slotCount) {
    return PORT_GetusbPortDevNameEx(handle, slots, slotCount, 0);
}

int PORT_UseVirtualKeys(const char* const* paths, int count) {
    if (count == 0) {
        VPORT_Configure(nullptr, 0);
        s_virtual = false;
        return 0;
    }
    if (VPORT_Configure(paths, count) != 0) return -1;
    s_virtual = true;
    return 0;
}

int PORT_UseVirtualKeysFromEnv() {
    const char* env = getenv("FPKEYD_VIRTUAL_KEY");
    if (env == nullptr || *env == 0) return 0;
    static char s_copy[PORT_MAX_DEVICES * 128];
    const char* paths[PORT_MAX_DEVICES];
    if (strlen(env) >= sizeof(s_copy)) return -1;
    memcpy(s_copy, env, strlen(env) + 1);
    int n = 0;
    char* save = nullptr;
    for (char* tok = strtok_r(s_copy, ":", &save); tok != nullptr;
         tok = strtok_r(nullptr, ":", &save)) {
        if (n == PORT_MAX_DEVICES) return -1;
        paths[n++] = tok;
    }
    if (n == 0) return 0;
    return PORT_UseVirtualKeys(paths, n) == 0 ? n : -1;
}

bool PORT_IsVirtual() {
    return s_virtual;
}
