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

    // Virtual keys replace USB keys for the whole process: from the command
    // line, else from FPKEYD_VIRTUAL_KEY.
    if (!options.virtualKeys.empty()) {
        std::vector<const char*> paths;
        for (const std::string& p : options.virtualKeys)
            paths.push_back(p.c_str());
        if (PORT_UseVirtualKeys(paths.data(), static_cast<int>(paths.size())) != 0) {
            fprintf(stderr, "fpkeyd: unusable --virtual-key path\n");
            return 2;
        }
    } else if (PORT_UseVirtualKeysFromEnv() < 0) {
        fprintf(stderr, "fpkeyd: unusable FPKEYD_VIRTUAL_KEY\n");
        return 2;
    }

    judgeLogOpen();
    nvlogExec();

    CAppHooks hooks;
    hooks.sendMessage = sendMessage;
    hooks.makeJsonErr = makeJsonErr;
    hooks.makeJsonJV = makeJsonJV;
    hooks.postMsgAck = postMsgAck;
    CNvId::setHooks(hooks);

    // Virtual keys from the command line, else from FPKEYD_VIRTUAL_KEY.
    if (!options.virtualKeys.empty()) {
        std::vector<const char*> paths;
        for (const std::string& p : options.virtualKeys)
            paths.push_back(p.c_str());
        if (PORT_UseVirtualKeys(paths.data(), static_cast<int>(paths.size())) != 0) {
            fprintf(stderr, "fpkeyd: cannot use these virtual keys (at most %d socket paths)\n",
                    PORT_MAX_DEVICES);
            return 2;
        }
    } else if (PORT_UseVirtualKeysFromEnv() < 0) {
        fprintf(stderr, "fpkeyd: cannot use the virtual keys of FPKEYD_VIRTUAL_KEY\n");
        return 2;
    }

    nvackExec();
    nvSleep(100);
    int rc = work_run(options.port);
    nvackClose();
    nvlogClose();
    return rc;
}
