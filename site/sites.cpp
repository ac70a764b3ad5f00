// Which sites may use the key: the policy of this run, the user's
// remembered sites (kept in a file the user owns, written atomically), and
// the command-line listing and revocation of them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/log.h"
#include "site/internal.h"

namespace {

// Network thread only (set before the loop starts).
OriginPolicy s_policy;

// The user's file as last read, and what it looked like then: it is read
// again when a revocation (or an editor) changed it.
struct UserSites {
    std::vector<std::string> origins;
    bool read = false;
    ino_t inode = 0;
    off_t size = -1;
    struct timespec mtime = {0, 0};
};
UserSites s_user;
// Sites the user allowed that the file could not take (a line in it that
// we do not understand, a failed write): allowed until the daemon stops.
std::vector<std::string> s_thisRun;

// On standard error (the journal of a user service) and in the log.
void report(const std::string& message) {
    fprintf(stderr, "fpkeyd: %s\n", message.c_str());
    fflush(stderr);
    nvlogE("%s", message.c_str());
}

bool sameStamp(const struct stat& st) {
    return s_user.read && st.st_ino == s_user.inode && st.st_size == s_user.size &&
           st.st_mtim.tv_sec == s_user.mtime.tv_sec && st.st_mtim.tv_nsec == s_user.mtime.tv_nsec;
}

// Reads the user's file again when it changed, and reports what it cannot
// use once for each change.
void refreshUserSites() {
    if (s_policy.userFile.empty()) return;
    struct stat st;
    if (stat(s_policy.userFile.c_str(), &st) != 0) {
        s_user = UserSites();
        s_user.read = true;
        return;
    }
    if (sameStamp(st)) return;
    OriginFile file;
    std::string error;
    s_user.origins.clear();
    if (!readOriginLines(s_policy.userFile, file, error, false)) {
        // An unreadable file allows nothing more; the sites it held are asked again.
        report(error);
    }
    // A line we do not understand costs only itself: the others still count.
    for (const std::string& problem : file.problems)
        report(problem + "; the line is skipped, the other lines still count");
    for (const std::string& origin : file.origins)
        if (!origin.empty()) s_user.origins.push_back(origin);
    s_user.read = true;
    s_user.inode = st.st_ino;
    s_user.size = st.st_size;
    s_user.mtime = st.st_mtim;
}

bool listed(const std::vector<std::string>& origins, const std::string& site) {
    return std::find(origins.begin(), origins.end(), site) != origins.end();
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += line;
    return text;
}

// Writes `text` as the user's file: a temporary file of mode 0600 beside
// it, flushed to disk, then renamed over it, so that a crash leaves the old
// file or the new one and never half of either.
bool writeUserFile(const std::string& path, const std::string& text, std::string& error) {
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        // The folders up to the file, made private where we make them.
        for (size_t at = path.find('/', 1); at != std::string::npos && at <= slash;
             at = path.find('/', at + 1))
            if (mkdir(path.substr(0, at).c_str(), 0700) != 0 && errno != EEXIST) {
                error = "cannot make " + path.substr(0, at) + ": " + strerror(errno);
                return false;
            }
    }
    const std::string temp = path + ".new";
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot write " + temp + ": " + strerror(errno);
        return false;
    }
    bool ok = fchmod(fd, 0600) == 0;
    size_t done = 0;
    while (ok && done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    ok = ok && fsync(fd) == 0;
    if (close(fd) != 0) ok = false;
    if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

// The first line of the user's file at `path` that we do not understand,
// as a message asking to mend it; the file is left as it is until then.
std::string mendFirst(const OriginFile& file, const std::string& path) {
    return file.problems.front() + "; " + path + " was left unchanged: mend or remove that line";
}

}  // namespace

int millisFromEnv(const char* name, int normal) {
    const char* text = getenv(name);
    const long ms = text ? strtol(text, nullptr, 10) : 0;
    return ms >= 100 && ms <= normal ? static_cast<int>(ms) : normal;
}

void setOriginPolicy(const OriginPolicy& policy) {
    s_policy = policy;
    s_user = UserSites();
    s_thisRun.clear();
}

SiteVerdict judgeSite(const std::string& site) {
    if (s_policy.mode == SiteMode::any) return SiteVerdict::allowed;
    if (!isOpaqueSite(site)) {
        if (listed(s_policy.origins, site)) return SiteVerdict::allowed;
        refreshUserSites();
        if (listed(s_user.origins, site) || listed(s_thisRun, site)) return SiteVerdict::allowed;
    }
    return s_policy.mode == SiteMode::listOnly ? SiteVerdict::refused : SiteVerdict::ask;
}

void rememberSite(const std::string& site) {
    // Only a normalised origin goes into the file: never "null" (any file
    // page or sandboxed frame) nor anything the file could not read back.
    std::string normal;
    if (!normaliseOrigin(site, normal) || normal != site || s_policy.userFile.empty()) return;
    refreshUserSites();
    if (listed(s_user.origins, site) || listed(s_thisRun, site)) return;
    // The file as it is now, read whole: what the user wrote stays as written.
    OriginFile file;
    std::string error;
    if (!readOriginLines(s_policy.userFile, file, error, false)) {
        s_thisRun.push_back(site);
        report(error + "; " + site + " is allowed until fpkeyd stops");
        return;
    }
    if (listed(file.origins, site)) return;
    if (!file.problems.empty()) {
        // Rewriting it would keep a line we cannot vouch for, or drop the user's.
        s_thisRun.push_back(site);
        report(site + " is allowed until fpkeyd stops, not remembered: " +
               mendFirst(file, s_policy.userFile));
        return;
    }
    std::string text = joined(file.lines);
    if (!file.found)
        text =
            "# Sites allowed to use the fingerprint key (fpkeyd --revoke-site ORIGIN removes "
            "one)\n";
    else if (!text.empty() && text.back() != '\n')
        text += '\n';
    text += site + "\n";
    if (!writeUserFile(s_policy.userFile, text, error)) {
        s_thisRun.push_back(site);
        report(error + "; " + site + " is allowed until fpkeyd stops");
        return;
    }
    s_user.read = false;  // read back on the next look
    refreshUserSites();
}

int listSites(const OriginPolicy& policy, FILE* out) {
    OriginPolicy user;
    std::string error;
    if (!policy.userFile.empty()) {
        if (!readOriginFile(policy.userFile, user, error)) {
            fprintf(stderr, "fpkeyd: %s\n", error.c_str());
            return 1;
        }
        // Lines skipped: the list below is what counts, said so.
        if (!error.empty()) fprintf(stderr, "fpkeyd: %s\n", error.c_str());
    }
    for (const std::string& o : user.origins)
        fprintf(out, "%s\n", o.c_str());
    for (const std::string& o : policy.origins)
        if (!listed(user.origins, o)) fprintf(out, "%s (allowed for every user)\n", o.c_str());
    fprintf(out, "# mode %s\n", siteModeName(policy.mode));
    return 0;
}

int revokeSite(const OriginPolicy& policy, const std::string& origin) {
    if (policy.userFile.empty()) {
        fprintf(stderr, "fpkeyd: no home folder: there are no remembered sites\n");
        return 1;
    }
    OriginFile file;
    std::string error;
    if (!readOriginLines(policy.userFile, file, error, false)) {
        fprintf(stderr, "fpkeyd: %s\n", error.c_str());
        return 1;
    }
    if (!file.problems.empty()) {
        fprintf(stderr, "fpkeyd: %s\n", mendFirst(file, policy.userFile).c_str());
        return 1;
    }
    if (!listed(file.origins, origin)) {
        fprintf(stderr, "fpkeyd: %s is not among the sites you allowed\n", origin.c_str());
        return 1;
    }
    // Only the lines of that site go; comments and every other line stay.
    std::string text;
    for (size_t i = 0; i < file.lines.size(); ++i)
        if (file.origins[i] != origin) text += file.lines[i];
    if (!writeUserFile(policy.userFile, text, error)) {
        fprintf(stderr, "fpkeyd: %s\n", error.c_str());
        return 1;
    }
    if (listed(policy.origins, origin))
        fprintf(stderr, "fpkeyd: %s stays allowed: the administrator allows it for every user\n",
                origin.c_str());
    return 0;
}
