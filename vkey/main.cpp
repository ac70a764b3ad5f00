// Command line of fpkey-vkey.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vkey/vkey.h"

namespace vkey {

namespace {

const char kUsage[] =
    "usage: fpkey-vkey --state DIR --socket PATH [--control PATH] [--product 0x2549]\n"
    "                  [--port-path 01.03] [--device-key HEX32] [--verbose]\n"
    "       fpkey-vkey ctl PATH COMMAND...   (status, unplug, plug)\n";

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parseKey(const char* text, uint8_t out[16]) {
    if (strlen(text) != 32) return false;
    for (size_t i = 0; i < 16; ++i) {
        int hi = hexDigit(text[2 * i]), lo = hexDigit(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

bool parsePortPath(const std::string& p) {
    if (p.empty() || p.size() > 32) return false;
    for (char c : p)
        if (!((c >= '0' && c <= '9') || c == '.')) return false;
    return true;
}

int usage(const char* problem) {
    if (problem) fprintf(stderr, "fpkey-vkey: %s\n", problem);
    fputs(kUsage, stderr);
    return 2;
}

int ctlMain(int argc, char** argv) {
    if (argc < 4) return usage("ctl needs a control socket path and a command");
    std::string line;
    for (int i = 3; i < argc; ++i)
        line += std::string(i > 3 ? " " : "") + argv[i];
    std::string reply;
    int rc = runControlClient(argv[2], line, reply);
    if (rc == 2) {
        fprintf(stderr, "fpkey-vkey: no key answers on %s\n", argv[2]);
        return 2;
    }
    printf("%s\n", reply.c_str());
    return rc;
}

}  // namespace

int vkeyMain(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], "ctl") == 0) return ctlMain(argc, argv);
    ServerOptions opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--verbose") {
            opt.verbose = true;
            continue;
        }
        if (a == "--help" || a == "-h") {
            fputs(kUsage, stdout);
            return 0;
        }
        if (i + 1 >= argc) return usage(("missing value after " + a).c_str());
        const char* v = argv[++i];
        if (a == "--state") {
            opt.stateDir = v;
        } else if (a == "--socket") {
            opt.socketPath = v;
        } else if (a == "--control") {
            opt.controlPath = v;
        } else if (a == "--product") {
            char* end = nullptr;
            unsigned long p = strtoul(v, &end, 0);
            if (end == v || *end != 0 || p > 0xFFFF) return usage("bad --product");
            opt.product = static_cast<uint16_t>(p);
        } else if (a == "--port-path") {
            opt.portPath = v;
            if (!parsePortPath(opt.portPath)) return usage("bad --port-path (digits and dots)");
        } else if (a == "--device-key") {
            if (!parseKey(v, opt.deviceKey)) return usage("--device-key needs 32 hex digits");
            opt.haveDeviceKey = true;
        } else {
            return usage(("unknown option " + a).c_str());
        }
    }
    if (opt.stateDir.empty() || opt.socketPath.empty())
        return usage("--state and --socket are required");

    std::unique_ptr<Key> key;
    std::string err;
    OpenResult rc = Key::open(opt.stateDir, opt.haveDeviceKey ? opt.deviceKey : nullptr, key, err);
    if (rc != OpenResult::ok && rc != OpenResult::created) {
        fprintf(stderr, "fpkey-vkey: %s\n", err.c_str());
        return 1;
    }
    if (rc == OpenResult::ok && opt.haveDeviceKey)
        fprintf(stderr,
                "fpkey-vkey: --device-key applies to a blank key only; the stored key stays\n");
    fprintf(stderr, "fpkey-vkey: %s key in %s\n", rc == OpenResult::created ? "blank" : "stored",
            opt.stateDir.c_str());
    key->setVerbose(opt.verbose);
    return runServer(*key, opt);
}

}  // namespace vkey
