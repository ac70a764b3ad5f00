#include "service/options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "service/service.h"

namespace {

// The value of a command-line option given as "NAME VALUE" or "NAME=VALUE";
// null when `a` is not that option. Advances `i` past a separate value.
const char* optionValue(const char* name, int argc, const char* const* argv, int& i,
                        bool& missing) {
    const char* a = argv[i];
    const size_t n = strlen(name);
    missing = false;
    if (!a) return nullptr;
    if (strcmp(a, name) == 0) {
        if (i + 1 >= argc) {
            missing = true;
            return "";
        }
        return argv[++i];
    }
    if (strncmp(a, name, n) == 0 && a[n] == '=') return a + n + 1;
    return nullptr;
}

// Whether `a` is the option `name`, which takes no value.
bool isFlag(const char* a, const char* name) {
    return a != nullptr && strcmp(a, name) == 0;
}

}  // namespace

bool parseOptions(int argc, const char* const* argv, const char* portText, Options& out,
                  std::string& error) {
    out.port = kServicePort;
    out.virtualKeys.clear();
    out.allowOrigins.clear();
    out.allowAnyOrigin = false;
    out.listSites = false;
    out.revokeSites.clear();
    if (portText && *portText) {
        char* end = nullptr;
        long v = strtol(portText, &end, 10);
        if (*end != 0 || v < 1 || v > 65535) {
            error = std::string("bad FPKEYD_PORT: ") + portText;
            return false;
        }
        out.port = static_cast<unsigned short>(v);
    }
    for (int i = 1; i < argc && argv[i]; ++i) {
        bool missing = false;
        if (const char* value = optionValue("--virtual-key", argc, argv, i, missing)) {
            if (missing || !*value) {
                error = "--virtual-key needs a socket path";
                return false;
            }
            out.virtualKeys.emplace_back(value);
        } else if (const char* value = optionValue("--allow-origin", argc, argv, i, missing)) {
            std::string origin;
            if (missing || !normaliseOrigin(value, origin)) {
                error = std::string(
                            "--allow-origin needs an origin such as https://site.example, not \"") +
                        value + "\"";
                return false;
            }
            out.allowOrigins.push_back(origin);
        } else if (isFlag(argv[i], "--allow-any-origin")) {
            out.allowAnyOrigin = true;
        } else if (isFlag(argv[i], "--list-sites")) {
            out.listSites = true;
        } else if (const char* value = optionValue("--revoke-site", argc, argv, i, missing)) {
            std::string origin;
            if (missing || !normaliseOrigin(value, origin)) {
                error = std::string(
                            "--revoke-site needs an origin such as "
                            "https://site.example, not \"") +
                        value + "\"";
                return false;
            }
            out.revokeSites.push_back(origin);
        } else {
            error = std::string("unknown option: ") + argv[i];
            return false;
        }
    }
    return true;
}
