#include "service/options.h"

#include <cstdlib>
#include <cstring>

#include "service/service.h"

bool parseOptions(int argc, const char* const* argv, const char* portText, Options& out,
                  std::string& error) {
    out.port = kServicePort;
    out.virtualKeys.clear();
    if (portText && *portText) {
        char* end = nullptr;
        long v = strtol(portText, &end, 10);
        if (*end != 0 || v < 1 || v > 65535) {
            error = std::string("bad FPKEYD_PORT: ") + portText;
            return false;
        }
        out.port = static_cast<unsigned short>(v);
    }
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        const char* value = nullptr;
        if (strcmp(a, "--virtual-key") == 0) {
            if (i + 1 >= argc) {
                error = "--virtual-key needs a socket path";
                return false;
            }
            value = argv[++i];
        } else if (strncmp(a, "--virtual-key=", 14) == 0) {
            value = a + 14;
        } else {
            error = std::string("unknown option: ") + a;
            return false;
        }
        if (!*value) {
            error = "--virtual-key needs a socket path";
            return false;
        }
        out.virtualKeys.emplace_back(value);
    }
    return true;
}
