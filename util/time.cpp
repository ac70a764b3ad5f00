#include <sys/sysinfo.h>
#include <unistd.h>

#include "log/log.h"
#include "util/util.h"

void nvSleep(unsigned milliseconds) {
    usleep(static_cast<useconds_t>(milliseconds) * 1000);
}

int getCurTm(long* seconds) {
    struct sysinfo info {};
    if (sysinfo(&info) != 0) {
        _nvlogstr("sysinfo error");
        return 0;
    }
    if (seconds) *seconds = info.uptime;
    return 1;
}
