// Device session. No key layer is linked yet: every operation that needs a
// key reports that none can be opened.
#include "app/app.h"
#include "log/log.h"

namespace {
CAppHooks s_hooks;
}  // namespace

std::mutex& CNvId::sessionLock() {
    static std::mutex lock;
    return lock;
}

void CNvId::setHooks(const CAppHooks& hooks) {
    s_hooks = hooks;
}
const CAppHooks& CNvId::hooks() {
    return s_hooks;
}

int CNvId::openDev() {
    _nvlog(">>-%s", "openDev");
    return 102;
}

int CNvId::closeDev() {
    cancelVerify(false);
    _nvlog(">>-%s", "closeDev");
    CExit::uninit();
    return 0;
}

int CNvId::chkOpted() {
    return 0;
}

void CNvId::chkopendev() {
    openDev();
}

int CNvId::getLbl(char*, int*) {
    return 102;
}

int CNvId::initAxSys(const char*, int, uint8_t*, int) {
    _nvlog(">>-%s", "initAxSys");
    return 201;
}

void CExit::uninit() {}
void CExit::clrHdl() {}
