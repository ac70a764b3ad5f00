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

bool sitePolicyFor(const Options& options, OriginPolicy& policy, std::string& error) {
    // The administrator's sites and mode, then the command line's; the
    // user's remembered sites are read as they change.
    const char* admin = getenv("FPKEYD_ADMIN_ORIGINS");  // tests only
    if (!readOriginFile(admin && *admin ? admin : kAdminOriginFile, policy, error, true))
        return false;
    policy.origins.insert(policy.origins.end(), options.allowOrigins.begin(),
                          options.allowOrigins.end());
    if (options.allowAnyOrigin) policy.mode = SiteMode::any;
    policy.userFile = originFilePath(getenv("XDG_CONFIG_HOME"), getenv("HOME"));
    if (!policy.userFile.empty()) {
        // A user file that cannot be read stops the start, as it always has.
        OriginPolicy user;
        if (!readOriginFile(policy.userFile, user, error)) return false;
    }
    return true;
}

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

    OriginPolicy policy;
    std::string error;
    if (!sitePolicyFor(options, policy, error)) {
        fprintf(stderr, "fpkeyd: %s\n", error.c_str());
        return 2;
    }
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
