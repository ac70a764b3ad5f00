// Command line of fpkey-vkey. The usage text is kept in step with the manual
// page fpkey-vkey(1); the packaging_manpages test compares the option lists.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vkey/finger.h"
#include "vkey/vkey.h"

namespace vkey {

namespace {

const char kUsage[] =
    "usage: fpkey-vkey --state DIR --socket PATH [--control PATH] [--product 0x2549]\n"
    "                  [--port-path 01.03] [--device-key HEX32] [--finger-wait MS]\n"
    "                  [--auto-touch FINGER[:DELAY_MS]] [--verbose]\n"
    "       fpkey-vkey ctl PATH COMMAND...\n"
    "       fpkey-vkey --help\n"
    "\n"
    "  --state DIR        key state (created blank on first use; kept across runs)\n"
    "  --socket PATH      virtual-port socket the daemon opens (--virtual-key PATH)\n"
    "  --control PATH     control socket for the commands below\n"
    "  --device-key HEX32 device-authentication key of a blank key\n"
    "  --finger-wait MS   how long the fingerprint module waits for a finger\n"
    "                     before it answers 0xE118 (default 10000)\n"
    "  --auto-touch FINGER[:DELAY_MS]\n"
    "                     touch FINGER DELAY_MS (default 500) after every start of\n"
    "                     a wait for a finger, for demos\n"
    "\n"
    "control commands (fpkey-vkey ctl PATH ..., one line each on the socket):\n"
    "  status                 plug, connection, key, module, vault and faults\n"
    "  touch FINGER           place a named finger on the sensor (one capture)\n"
    "  lift                   take an uncaptured finger off the sensor\n"
    "  unplug | plug          pull or insert the key\n"
    "  fault KIND [N]         next N replies (default 1) of any channel: drop,\n"
    "                         stale-seq, bad-checksum, truncate, oversize\n"
    "  fault delay MS [N]     hold back the next N replies by MS each\n"
    "  fault clear            forget pending faults\n"
    "  item INDEX HEX         put the public part of a vault item\n";

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
        } else if (a == "--finger-wait") {
            char* end = nullptr;
            unsigned long ms = strtoul(v, &end, 10);
            if (end == v || *end != 0 || ms == 0 || ms > 3600000)
                return usage("bad --finger-wait (1 to 3600000 ms)");
            opt.fingerWaitMs = static_cast<unsigned>(ms);
        } else if (a == "--auto-touch") {
            std::string t = v;
            size_t colon = t.find(':');
            opt.autoTouch = t.substr(0, colon);
            if (colon != std::string::npos) {
                std::string d = t.substr(colon + 1);
                char* end = nullptr;
                unsigned long ms = strtoul(d.c_str(), &end, 10);
                if (d.empty() || *end != 0 || ms > 600000)
                    return usage("bad --auto-touch delay (0 to 600000 ms)");
                opt.autoTouchDelayMs = static_cast<unsigned>(ms);
            }
            if (!validFingerName(opt.autoTouch))
                return usage("--auto-touch needs a finger name (letters, digits, . _ -)");
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
