// fpkeyd: lets pages in the local browser use the fingerprint key over a
// WebSocket on the loopback interface.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "service/options.h"
#include "service/service.h"

namespace {

// Kept in step with the manual page fpkeyd(8) (packaging/man/fpkeyd.8.in);
// the packaging_manpages test compares the two option lists.
const char kUsage[] =
    "usage: fpkeyd [--virtual-key PATH]... [--allow-origin ORIGIN]... [--allow-any-origin]\n"
    "       fpkeyd --list-sites | --revoke-site ORIGIN | --help | --version\n"
    "\n"
    "Lets pages in the local browser use a USB fingerprint security key through\n"
    "a WebSocket on ws://127.0.0.1:11230.\n"
    "\n"
    "  --virtual-key PATH     use the virtual key (fpkey-vkey) on socket PATH\n"
    "                         instead of USB keys; repeatable\n"
    "  --allow-origin ORIGIN  let the site ORIGIN (scheme://host[:port]) use the\n"
    "                         key without asking; repeatable\n"
    "  --allow-any-origin     let every site use the key for this run, unasked\n"
    "  --list-sites           print the sites the user allowed, then exit\n"
    "  --revoke-site ORIGIN   remove ORIGIN from the user's allowed sites, then exit\n"
    "  --help                 print this text and exit\n"
    "  --version              print the version and exit\n"
    "\n"
    "Files: ~/.config/fpkeyd/origins (sites the user allowed), /etc/fpkeyd/origins\n"
    "(sites allowed for every user, and the mode ask|list-only|any),\n"
    "/var/log/nuvolog.cfg (turns logging on). See fpkeyd(8).\n";

// Options whose value is the next argument: a value spelled "--help" is not
// a request for help.
bool takesValue(const char* a) {
    return strcmp(a, "--virtual-key") == 0 || strcmp(a, "--allow-origin") == 0 ||
           strcmp(a, "--revoke-site") == 0;
}

}  // namespace

int main(int argc, char** argv) {
    // --help and --version answer alone, before the version line a running
    // daemon starts with.
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0) {
            fputs(kUsage, stdout);
            return fflush(stdout) == 0 ? 0 : 1;
        }
        if (strcmp(argv[i], "--version") == 0) {
            printf("fpkeyd %s\n", kServiceVersion);
            return fflush(stdout) == 0 ? 0 : 1;
        }
        if (takesValue(argv[i])) ++i;
    }

    printf("%s\n", kServiceVersion);
    fflush(stdout);

    Options options;
    std::string error;
    if (!parseOptions(argc, argv, getenv("FPKEYD_PORT"), options, error)) {
        fprintf(stderr, "fpkeyd: %s\nTry 'fpkeyd --help'.\n", error.c_str());
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
