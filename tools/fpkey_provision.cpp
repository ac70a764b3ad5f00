// fpkey-provision: turns a blank key (virtual or USB) into one on which
// every command of the daemon works.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/tools.h"
#include "transport/transport.h"

namespace {
// Kept in step with the manual page fpkey-provision(1); the
// packaging_manpages test compares the two option lists.
void usage(FILE* to) {
    fprintf(to,
            "usage: fpkey-provision [--virtual-key SOCKET] [--force] [--ca-dir DIR] "
            "[--openssl PATH]\n"
            "       fpkey-provision --help\n"
            "\n"
            "  --virtual-key SOCKET  provision the virtual key (fpkey-vkey) on SOCKET;\n"
            "                        without it, the first USB key\n"
            "  --force               provision again a key that already is\n"
            "  --ca-dir DIR          directory of the test CA (made when missing) and of\n"
            "                        the device certificate; default: a new one in TMPDIR\n"
            "  --openssl PATH        the openssl program (default: openssl on PATH)\n"
            "  --help                print this text and exit\n"
            "\n"
            "Exit status: 0 provisioned, 2 usage, 3 no key, 4 already provisioned\n"
            "(without --force), 5 failed.\n");
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
        else if (strcmp(a, "--help") == 0) {
            usage(stdout);
            return fflush(stdout) == 0 ? fptools::kProvisionOk : 1;
        } else
            ok = false;
        if (!ok) {
            usage(stderr);
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
