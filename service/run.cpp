// The daemon's body after the command line: key port, log, event thread and
// the network loop. fpkeyd's main runs it; tests run it on a thread of their
// own (with an emulated USB key in the same process, say) and end it with
// work_stop.
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

int fpkeydRun(const Options& options) {
    // Virtual keys replace USB keys for the whole process: from the command
    // line, else from FPKEYD_VIRTUAL_KEY. Chosen before any key is opened.
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

    // Which pages may connect: the origins of the command line and of the
    // user's origins file together; neither given leaves every origin free.
    OriginPolicy policy;
    policy.restricted = !options.allowOrigins.empty();
    policy.origins = options.allowOrigins;
    const std::string originFile = originFilePath(getenv("XDG_CONFIG_HOME"), getenv("HOME"));
    std::string error;
    if (!originFile.empty() && !readOriginFile(originFile, policy, error)) {
        fprintf(stderr, "fpkeyd: %s\n", error.c_str());
        return 2;
    }
    if (policy.restricted && policy.origins.empty())
        fprintf(stderr, "fpkeyd: %s lists no origin: every page will be refused\n",
                originFile.c_str());
    setOriginPolicy(policy);

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
    // Keys arriving and leaving, watched from the start: pages that ask are
    // told, and the session reconnects without waiting for a command.
    if (PORT_WatchStart(keyChanged) != 0) fprintf(stderr, "fpkeyd: keys are not watched\n");
    const int rc = work_run(options.port);
    PORT_WatchStop();
    nvackClose();
    nvlogClose();
    return rc;
}
