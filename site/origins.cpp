// Origins: their normal form, where the user's file lives, and reading the
// administrator's and the user's files line by line.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/log.h"
#include "site/site.h"

namespace {

// No real origin comes near this; longer texts are refused unread.
constexpr size_t kMaxOriginText = 512;
// Nor does a list of origins come near this (thousands of sites).
constexpr off_t kMaxOriginFile = off_t{256} * 1024;

bool isAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isHostNameChar(char c) {
    return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_';
}
bool isIpv6Char(char c) {
    return isDigit(c) || (lower(c) >= 'a' && lower(c) <= 'f') || c == ':' || c == '.';
}

std::string trimmed(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r'))
        --e;
    return s.substr(b, e - b);
}

// Why `text`, a line of an origins file, is no origin: the line as the
// message shows it (escaped, cut) and a hint where one helps.
std::string notAnOrigin(const std::string& text, bool withMode) {
    std::string why = "not an origin: " + logEscaped(text.data(), text.size(), 80);
    if (text.size() > 80) why += "...";
    bool ascii = true;
    for (char c : text)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (!ascii)
        why +=
            " (write an internationalised name in its ASCII form, as IDNA spells it: "
            "xn--...)";
    else if (text.compare(0, 5, "mode ") == 0)
        why += withMode ? " (a mode is ask, list-only or any)"
                        : std::string(" (only ") + kAdminOriginFile + " sets the mode)";
    return why;
}

}  // namespace

bool normaliseOrigin(const std::string& text, std::string& out) {
    out.clear();
    if (text.size() > kMaxOriginText) return false;
    const size_t sep = text.find("://");
    if (sep == std::string::npos || sep == 0 || !isAlpha(text[0])) return false;
    std::string scheme;
    for (size_t i = 0; i < sep; ++i) {
        const char c = text[i];
        if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return false;
        scheme += lower(c);
    }
    std::string rest = text.substr(sep + 3);
    if (!rest.empty() && rest.back() == '/') rest.pop_back();

    std::string host;
    size_t at = 0;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos || close < 3) return false;
        for (size_t i = 1; i < close; ++i)
            if (!isIpv6Char(rest[i])) return false;
        for (size_t i = 0; i <= close; ++i)
            host += lower(rest[i]);
        at = close + 1;
    } else {
        while (at < rest.size() && rest[at] != ':') {
            if (!isHostNameChar(rest[at])) return false;
            host += lower(rest[at]);
            ++at;
        }
        if (host.empty()) return false;
    }

    long port = -1;
    if (at < rest.size()) {
        if (rest[at] != ':' || at + 1 == rest.size()) return false;
        port = 0;
        for (size_t i = at + 1; i < rest.size(); ++i) {
            if (!isDigit(rest[i])) return false;
            port = port * 10 + (rest[i] - '0');
            if (port > 65535) return false;
        }
        if (port == 0) return false;
    }
    const bool plain = scheme == "http" || scheme == "ws";
    const bool secure = scheme == "https" || scheme == "wss";
    if ((plain && port == 80) || (secure && port == 443)) port = -1;

    out = scheme + "://" + host;
    if (port > 0) out += ":" + std::to_string(port);
    return true;
}

std::string originFilePath(const char* xdgConfigHome, const char* home) {
    // A relative XDG_CONFIG_HOME is to be ignored, as if unset.
    if (xdgConfigHome && xdgConfigHome[0] == '/')
        return std::string(xdgConfigHome) + "/fpkeyd/origins";
    if (home && *home) return std::string(home) + "/.config/fpkeyd/origins";
    return "";
}

const char* siteModeName(SiteMode mode) {
    switch (mode) {
        case SiteMode::ask:
            return "ask";
        case SiteMode::listOnly:
            return "list-only";
        case SiteMode::any:
            return "any";
    }
    return "ask";
}

bool readOriginLines(const std::string& path, OriginFile& file, std::string& error, bool withMode) {
    file = OriginFile();
    // Never blocking: a FIFO at the name must not stop the daemon.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return true;
        error = "cannot read the origins file " + path + ": " + strerror(errno);
        return false;
    }
    std::string text;
    std::string why;
    struct stat st;
    if (fstat(fd, &st) != 0)
        why = strerror(errno);
    else if (S_ISDIR(st.st_mode))
        why = strerror(EISDIR);
    else if (!S_ISREG(st.st_mode))
        why = "not a regular file";
    char chunk[4096];
    while (why.empty()) {
        if (st.st_size > kMaxOriginFile || text.size() > static_cast<size_t>(kMaxOriginFile)) {
            why = "larger than 256 KiB";
            break;
        }
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) why = strerror(errno);
        if (n <= 0) break;
        text.append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    if (!why.empty()) {
        error = "cannot read the origins file " + path + ": " + why;
        return false;
    }
    file.found = true;
    int number = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        file.lines.push_back(text.substr(at, end - at));
        file.origins.emplace_back();
        at = end;
        ++number;
        std::string line = file.lines.back();
        if (line.back() == '\n') line.pop_back();
        // '#' cannot occur in an origin, so it starts a comment wherever it stands.
        const size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        line = trimmed(line);
        if (line.empty()) continue;
        if (withMode && line.compare(0, 5, "mode ") == 0) {
            const std::string mode = trimmed(line.substr(5));
            bool known = false;
            for (SiteMode m : {SiteMode::ask, SiteMode::listOnly, SiteMode::any})
                if (mode == siteModeName(m)) {
                    file.mode = m;
                    file.modeSet = true;
                    known = true;
                }
            if (known) continue;
        }
        if (!normaliseOrigin(line, file.origins.back()))
            file.problems.push_back(path + ":" + std::to_string(number) + ": " +
                                    notAnOrigin(line, withMode));
    }
    return true;
}

bool readOriginFile(const std::string& path, OriginPolicy& policy, std::string& error,
                    bool withMode) {
    error.clear();
    OriginFile file;
    if (!readOriginLines(path, file, error, withMode)) return false;
    if (withMode && !file.problems.empty()) {
        error = file.problems.front();
        return false;
    }
    for (const std::string& problem : file.problems)
        error += (error.empty() ? "" : "\n") + problem;
    if (file.modeSet) policy.mode = file.mode;
    for (const std::string& origin : file.origins)
        if (!origin.empty()) policy.origins.push_back(origin);
    return true;
}
