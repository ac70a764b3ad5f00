// fpkeyd: lets pages in the local browser use the fingerprint key over a
// WebSocket on the loopback interface.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "service/options.h"
#include "service/service.h"

int main(int argc, char** argv) {
    printf("%s\n", kServiceVersion);
    fflush(stdout);

    Options options;
    std::string error;
    if (!parseOptions(argc, argv, getenv("FPKEYD_PORT"), options, error)) {
        fprintf(stderr,
                "fpkeyd: %s\nusage: fpkeyd [--virtual-key SOCKET]... [--allow-origin ORIGIN]...\n",
                error.c_str());
        return 2;
    }
    if (options.listSites || !options.revokeSites.empty()) {
        OriginPolicy policy;
        if (!sitePolicyFor(options, policy, error)) {
            fprintf(stderr, "fpkeyd: %s\n", error.c_str());
            return 2;
        }
        int rc = 0;
        for (const std::string& origin : options.revokeSites)
            rc |= revokeSite(policy, origin);
        if (options.listSites) rc |= listSites(policy, stdout);
        return rc;
    }
    signal(SIGPIPE, SIG_IGN);
    return fpkeydRun(options);
}
