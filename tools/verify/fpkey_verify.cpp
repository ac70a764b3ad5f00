// fpkey-verify: checks for a server what the key signed: an assertion, a
// plain signature, an enrolment record; prints a public key as PEM.
// Exit status 0 verified, 1 a check failed (one line names it), 2 usage.
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tools/verify/verify.h"

namespace {

enum Exit : int { kVerified = 0, kFailed = 1, kUsage = 2 };

constexpr size_t kFileMax = size_t{1} << 20;

// Kept in step with the manual page fpkey-verify(1); the packaging_manpages
// test compares the two option lists.
const char kSynopsis[] =
    "usage: fpkey-verify assertion --public-key HEX --client-data FILE|- --signature HEX\n"
    "                              --origin ORIGIN --challenge C [--text T]\n"
    "       fpkey-verify signature --public-key HEX --signature HEX (--text T | --file F)\n"
    "                              [--length N]\n"
    "       fpkey-verify enrolment --device-key HEX --public-key HEX --record NAME\n"
    "                              --serial S --signinfo HEX\n"
    "       fpkey-verify pem HEX\n"
    "       fpkey-verify --help\n";
const char kOptions[] =
    "\n"
    "  --public-key HEX    the signer's public key: 04 || X || Y, 130 hex digits\n"
    "  --device-key HEX    the key's device public key (enrolment)\n"
    "  --signature HEX     the signature text: DER, the key's 32-byte form or minimal\n"
    "  --signinfo HEX      the enrolment record's signature text\n"
    "  --client-data FILE  the assertion's clientData, its exact bytes (- for stdin)\n"
    "  --origin ORIGIN     the site the assertion must name (local: a local program)\n"
    "  --challenge C       the challenge the server handed out\n"
    "  --text T            assertion: the text shown (default empty, a sign-in);\n"
    "                      signature: the message\n"
    "  --file F            signature: the message read from F (at most 1 MiB)\n"
    "  --length N          signature: only the first N bytes were signed (0: all)\n"
    "  --record NAME       enrolment: the record name\n"
    "  --serial S          enrolment: the key's serial number\n"
    "  --help              print this text and exit\n"
    "\n"
    "Exit status: 0 verified, 1 a check failed (one line on stderr names it),\n"
    "2 usage.\n";

// --help prints everything; a usage error the synopsis only.
void usage(FILE* to, bool full) {
    fputs(kSynopsis, to);
    if (full) fputs(kOptions, to);
}

// Text from the command line shown back: printable ASCII only, cut short.
std::string shown(const char* arg) {
    std::string out;
    for (const char* p = arg; *p && out.size() < 40; ++p)
        out += (*p >= 0x20 && *p < 0x7F) ? *p : '?';
    return out;
}

int usageError(const std::string& problem) {
    fprintf(stderr, "fpkey-verify: usage: %s\n", problem.c_str());
    usage(stderr, false);
    return kUsage;
}

int failed(const fpkverify::Check& check) {
    fprintf(stderr, "fpkey-verify: %s: %s\n", check.name(), check.reason.c_str());
    return kFailed;
}

// At most `max` bytes of a file ("-": standard input); false when it cannot
// be read.
bool readUpTo(const std::string& path, size_t max, std::string& out) {
    FILE* f = path == "-" ? stdin : fopen(path.c_str(), "rb");
    if (!f) return false;
    out.clear();
    char buf[8192];
    while (out.size() < max) {
        const size_t want = max - out.size() < sizeof buf ? max - out.size() : sizeof buf;
        const size_t got = fread(buf, 1, want, f);
        out.append(buf, got);
        if (got < want) break;
    }
    const bool ok = !ferror(f);
    if (f != stdin) fclose(f);
    return ok;
}

struct Options {
    std::map<std::string, std::string> values;
    std::vector<std::string> operands;
    bool help = false;
    bool has(const char* name) const { return values.count(name) != 0; }
    const std::string& get(const char* name) const { return values.at(name); }
};

// Reads argv[first..]: each option of `names` at most once with its value,
// operands only where `operands` allows. "" when fine, else the problem.
std::string parse(int argc, char** argv, int first, const std::vector<const char*>& names,
                  size_t operands, Options& o) {
    for (int i = first; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "--help") == 0) {
            o.help = true;
            return "";
        }
        if (std::strncmp(a, "--", 2) != 0 || a[2] == '\0') {
            if (o.operands.size() >= operands)
                return std::string("unexpected argument '") + shown(a) + "'";
            o.operands.emplace_back(a);
            continue;
        }
        bool known = false;
        for (const char* n : names)
            known = known || std::strcmp(a + 2, n) == 0;
        if (!known) return std::string("unknown option '") + shown(a) + "'";
        if (i + 1 >= argc) return std::string(a) + " needs a value";
        if (!o.values.emplace(a + 2, argv[i + 1]).second) return std::string(a) + " given twice";
        ++i;
    }
    return "";
}

std::string missing(const Options& o, const std::vector<const char*>& required) {
    for (const char* n : required)
        if (!o.has(n)) return std::string("--") + n + " is missing";
    return "";
}

int assertion(const Options& o) {
    std::string problem =
        missing(o, {"public-key", "client-data", "signature", "origin", "challenge"});
    if (!problem.empty()) return usageError(problem);
    std::string data;
    // One byte past the bound, so that the check can tell a longer one.
    if (!readUpTo(o.get("client-data"), fpkverify::kClientDataMax + 1, data))
        return usageError("cannot read the client data");
    const std::string text = o.has("text") ? o.get("text") : std::string();
    const fpkverify::Check c =
        fpkverify::verifyAssertion(o.get("public-key"), data, o.get("signature"), o.get("origin"),
                                   o.get("challenge"), text, nullptr);
    return c.ok() ? kVerified : failed(c);
}

// A decimal count; false when it is none. Values past `cap` become cap.
bool count(const std::string& text, size_t cap, size_t& out) {
    if (text.empty()) return false;
    out = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return false;
        out = out * 10 + static_cast<size_t>(ch - '0');
        if (out > cap) out = cap;
    }
    return true;
}

int signature(const Options& o) {
    std::string problem = missing(o, {"public-key", "signature"});
    if (!problem.empty()) return usageError(problem);
    if (o.has("text") == o.has("file")) return usageError("give one of --text and --file");
    std::string msg;
    if (o.has("text")) {
        msg = o.get("text");
    } else {
        if (!readUpTo(o.get("file"), kFileMax + 1, msg)) return usageError("cannot read --file");
        if (msg.size() > kFileMax) return usageError("--file is longer than 1 MiB");
    }
    size_t length = 0;
    if (o.has("length")) {
        if (!count(o.get("length"), kFileMax + 1, length))
            return usageError("--length needs a decimal number");
        if (length > msg.size()) return usageError("--length is beyond the message");
    }
    if (length == 0) length = msg.size();
    const fpkverify::Check c = fpkverify::verifySignature(
        o.get("public-key"), reinterpret_cast<const uint8_t*>(msg.data()), length,
        o.get("signature"));
    return c.ok() ? kVerified : failed(c);
}

int enrolment(const Options& o) {
    std::string problem = missing(o, {"device-key", "public-key", "record", "serial", "signinfo"});
    if (!problem.empty()) return usageError(problem);
    const fpkverify::Check c =
        fpkverify::verifyEnrolment(o.get("device-key"), o.get("public-key"), o.get("record"),
                                   o.get("serial"), o.get("signinfo"));
    return c.ok() ? kVerified : failed(c);
}

int pem(const Options& o) {
    if (o.operands.size() != 1) return usageError("pem takes the key in hex");
    std::string text;
    if (!fpkverify::publicKeyPem(o.operands[0], text)) {
        fpkverify::Check c{fpkverify::Failed::PublicKey,
                           "not 04 || X || Y of the SM2 curve in 130 hex digits"};
        return failed(c);
    }
    fputs(text.c_str(), stdout);
    if (fflush(stdout) != 0) {
        fprintf(stderr, "fpkey-verify: cannot write to standard output\n");
        return kFailed;
    }
    return kVerified;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usageError("no subcommand");
    const std::string sub = argv[1];
    if (sub == "--help") {
        usage(stdout, true);
        return fflush(stdout) == 0 ? kVerified : kFailed;
    }
    std::vector<const char*> names;
    size_t operands = 0;
    int (*run)(const Options&) = nullptr;
    if (sub == "assertion") {
        names = {"public-key", "client-data", "signature", "origin", "challenge", "text"};
        run = assertion;
    } else if (sub == "signature") {
        names = {"public-key", "signature", "text", "file", "length"};
        run = signature;
    } else if (sub == "enrolment") {
        names = {"device-key", "public-key", "record", "serial", "signinfo"};
        run = enrolment;
    } else if (sub == "pem") {
        operands = 1;
        run = pem;
    } else {
        return usageError("unknown subcommand '" + shown(argv[1]) + "'");
    }
    Options o;
    const std::string problem = parse(argc, argv, 2, names, operands, o);
    if (o.help) {
        usage(stdout, true);
        return fflush(stdout) == 0 ? kVerified : kFailed;
    }
    if (!problem.empty()) return usageError(problem);
    return run(o);
}
