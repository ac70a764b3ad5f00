// fpkey-provision: turns a blank key (virtual or USB) into one on which
// every command of the daemon works.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/tools.h"
#include "transport/transport.h"

namespace {
void usage() {
    fprintf(stderr,
            "usage: fpkey-provision [--virtual-key SOCKET] [--force] [--ca-dir DIR] "
            "[--openssl PATH]\n"
            "  Without --virtual-key the first USB key is provisioned.\n"
            "  Without --ca-dir the test CA is made for this run and removed after it.\n");
}
}  // namespace

int main(int argc, char** argv) {
    fptools::ProvisionOptions options;
    std::string virtualKey;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        auto value = [&](std::string& to) {
            if (i + 1 >= argc) return false;
            to = argv[++i];
            return !to.empty();
        };
        bool ok = true;
        if (strcmp(a, "--virtual-key") == 0)
            ok = value(virtualKey);
        else if (strcmp(a, "--ca-dir") == 0)
            ok = value(options.caDir);
        else if (strcmp(a, "--openssl") == 0)
            ok = value(options.openssl);
        else if (strcmp(a, "--force") == 0)
            options.force = true;
        else
            ok = false;
        if (!ok) {
            usage();
            return fptools::kProvisionUsage;
        }
    }
    if (!virtualKey.empty()) {
        const char* paths[] = {virtualKey.c_str()};
        if (PORT_UseVirtualKeys(paths, 1) != 0) {
            fprintf(stderr, "fpkey-provision: unusable socket path %s\n", virtualKey.c_str());
            return fptools::kProvisionUsage;
        }
    }
    int rc = fptools::provisionKey(options, stdout);
    fflush(stdout);
    return rc;
}
