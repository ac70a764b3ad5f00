// fpkeyd: lets pages in the local browser use the fingerprint key over a
// WebSocket on the loopback interface.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/app.h"
#include "log/log.h"
#include "service/options.h"
#include "service/service.h"
#include "transport/transport.h"
#include "util/util.h"

int main(int argc, char** argv) {
    printf("%s\n", kServiceVersion);
    fflush(stdout);

    Options options;
    std::string error;
    if (!parseOptions(argc, argv, getenv("FPKEYD_PORT"), options, error)) {
        fprintf(stderr, "fpkeyd: %s\nusage: fpkeyd [--virtual-key SOCKET]...\n", error.c_str());
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);

    judgeLogOpen();
    nvlogExec();

    CAppHooks hooks;
    hooks.sendMessage = sendMessage;
    hooks.makeJsonErr = makeJsonErr;
    hooks.makeJsonJV = makeJsonJV;
    hooks.postMsgAck = postMsgAck;
    CNvId::setHooks(hooks);

    nvackExec();
    nvSleep(100);
    int rc = work_run(options.port);
    nvackClose();
    nvlogClose();
    return rc;
}
