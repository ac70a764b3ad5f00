// Lines are formatted by the caller into a fixed record and handed to a
// private System V queue; one thread owns the file. Paths can be moved for
// tests through FPKEYD_LOG_CFG, FPKEYD_LOG_FILE and FPKEYD_LOG_NOTE.
//
// The control file may name a directory others can write to, so a file is
// only ever opened without following a link, without blocking (a FIFO), and
// used only when it is a regular file of ours (mode 0600); anything else
// turns logging off. No thread ever waits for the queue: a full queue drops
// the line, and the next line written says how many were lost.
//
// A line may carry text from outside (a page's headers, a file's lines), so
// each byte outside printable ASCII is written as \xNN: nothing from outside
// can break a line in two, forge a time prefix or drive a terminal. Only the
// line breaks and tabs a caller's own text starts with are kept as written.
#include "log/log.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr long kLogType = 2;
constexpr size_t kTextSize = 2048;

struct LogRecord {
    long type;
    char text[kTextSize];
};

unsigned char s_logopen = 0;
unsigned char s_once = 0;
char m_path[512] = "/var/log/fpkeyweb.log";
// No queue until nvlogExec: lines logged before it are dropped rather than
// sent to whatever queue happens to have identifier 0.
std::atomic<int> m_msgid{-1};
std::atomic<unsigned long> s_queued{0};
std::atomic<unsigned long> s_written{0};

const char* pathOr(const char* env, const char* fallback) {
    const char* v = std::getenv(env);
    return (v && *v) ? v : fallback;
}

void timePrefix(char out[16]) {
    time_t now = time(nullptr);
    struct tm lt {};
    localtime_r(&now, &lt);
    snprintf(out, 16, "[%02d:%02d:%02d]", lt.tm_hour, lt.tm_min, lt.tm_sec);
}

std::atomic<unsigned long> s_dropped{0};
// Set when the log file turned out not to be a regular file of ours.
std::atomic<bool> s_refused{false};

enum class Open { Ok, Failed, Refused };

// Opens `path` for appending, creating it 0600. A link, a FIFO or device,
// or a file of another user is refused; a file of ours readable by others
// is made 0600. `fresh`: a file past the size limit is started afresh.
Open openSafely(const char* path, bool fresh, int& fd) {
    fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    // A directory at the log's name is no more a log than a link is.
    if (fd < 0)
        return errno == ELOOP || errno == ENXIO || errno == EISDIR ? Open::Refused : Open::Failed;
    struct stat st {};
    // A second name (a hard link planted at the log's name) could be a file
    // of ours that is no log at all.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1) {
        close(fd);
        fd = -1;
        return Open::Refused;
    }
    if ((st.st_mode & 077) != 0) fchmod(fd, 0600);
    if (fresh && st.st_size > nvlog::kMaxFileBytes) {
        if (ftruncate(fd, 0) != 0) {
            close(fd);
            fd = -1;
            return Open::Failed;
        }
    }
    return Open::Ok;
}

void refuse(const char* path) {
    if (s_refused.exchange(true)) return;
    fprintf(stderr, "fpkeyd: %s is not a regular file of this user; logging is off\n", path);
    fflush(stderr);
}

// Appends one line with its time prefix; false when the file was refused.
bool appendLine(const char* path, bool fresh, const char* text) {
    int fd = -1;
    Open r = openSafely(path, fresh, fd);
    if (r == Open::Refused) return false;
    if (r != Open::Ok) return true;
    char prefix[16];
    timePrefix(prefix);
    char line[16 + kTextSize + 1];
    int n = snprintf(line, sizeof line, "%s%s\n", prefix, text);
    if (n > 0) {
        size_t len =
            static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
        ssize_t w = write(fd, line, len);
        (void)w;  // a full disk loses the line; nothing else to do
    }
    close(fd);
    return true;
}

// Writes how many lines the full queue cost since the last such line.
void noteDropped() {
    if (unsigned long lost = s_dropped.exchange(0)) {
        char note[80];
        snprintf(note, sizeof note, "%lu log lines dropped: the log queue was full", lost);
        appendLine(m_path, true, note);
    }
}

void* ExecThreadLog(void*) {
    const int queue = m_msgid.load();
    LogRecord rec;
    for (;;) {
        memset(&rec, 0, sizeof rec);
        if (msgrcv(queue, &rec, kTextSize, kLogType, 0) < 0) {
            if (errno == EIDRM || errno == EINVAL) break;  // queue removed at process end
            if (errno != EINTR) perror("msgrcv");
            continue;
        }
        rec.text[kTextSize - 1] = 0;
        if (!s_refused.load()) {
            if (!appendLine(m_path, true, rec.text)) {
                refuse(m_path);
            } else {
                noteDropped();
            }
        }
        s_written.fetch_add(1);
    }
    return nullptr;
}

// Queues one finished line of at most kLineMax characters, as it is.
void postRecord(const char* text, size_t length) {
    const int queue = m_msgid.load();
    if (queue < 0 || s_refused.load()) return;
    LogRecord rec;
    rec.type = kLogType;
    if (length > nvlog::kLineMax) length = nvlog::kLineMax;
    memcpy(rec.text, text, length);
    rec.text[length] = 0;
    s_queued.fetch_add(1);
    // Only the text and its zero are sent, so the queue holds many lines.
    while (msgsnd(queue, &rec, length + 1, IPC_NOWAIT) < 0) {
        if (errno != EINTR) {
            if (errno == EAGAIN) s_dropped.fetch_add(1);
            s_queued.fetch_sub(1);
            return;
        }
    }
}

// Writes byte `c` as the log shows it into `out` (room for 4); returns how
// many characters that took. `quoted`: the backslash and the double quote too.
size_t escapeByte(unsigned char c, bool quoted, char* out) {
    if (c >= 0x20 && c <= 0x7E && !(quoted && (c == '\\' || c == '"'))) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    static const char kHex[] = "0123456789abcdef";
    out[0] = '\\';
    out[1] = 'x';
    out[2] = kHex[c >> 4];
    out[3] = kHex[c & 0xF];
    return 4;
}

bool isLineSpace(char c) {
    return c == '\n' || c == '\r' || c == '\t';
}

// How many line breaks and tabs `text` starts with.
size_t leadingSpace(const char* text) {
    size_t n = 0;
    while (text && isLineSpace(text[n]))
        ++n;
    return n;
}

// Queues `length` bytes of `text` as one line: its first `own` bytes (the
// caller's own leading line breaks) as they are, line breaks at its end
// dropped (the record ends the line), every other byte outside printable
// ASCII escaped; cut at kLineMax characters, never inside an escape.
void postMsgLog(const char* text, size_t length, size_t own) {
    if (own > length) own = length;
    size_t end = length;
    while (end > own && (text[end - 1] == '\n' || text[end - 1] == '\r'))
        --end;
    char line[kTextSize];
    size_t pos = own < nvlog::kLineMax ? own : nvlog::kLineMax;
    memcpy(line, text, pos);
    for (size_t i = own; i < end; ++i) {
        char escaped[4];
        const size_t n = escapeByte(static_cast<unsigned char>(text[i]), false, escaped);
        if (pos + n > nvlog::kLineMax) break;
        memcpy(line + pos, escaped, n);
        pos += n;
    }
    postRecord(line, pos);
}

void vqueue(const char* format, va_list ap) {
    char buf[kTextSize];
    memset(buf, 0, sizeof buf);
    vsnprintf(buf, sizeof buf, format, ap);
    // Leading line breaks of the format are the caller's; an argument's never are.
    postMsgLog(buf, strlen(buf), leadingSpace(format));
}

}  // namespace

void nuvo_log_file_check() {
    if (!s_logopen) return;  // nothing to check, and nothing to create
    int fd = -1;
    if (openSafely(m_path, true, fd) == Open::Ok) close(fd);
}

void judgeLogOpen() {
    if (s_once) return;
    s_once = 1;
    FILE* cfg = fopen(pathOr("FPKEYD_LOG_CFG", "/var/log/nuvolog.cfg"), "r");
    if (!cfg) {
        printf("not log\n");
        fflush(stdout);
        return;
    }
    snprintf(m_path, sizeof m_path, "%s", pathOr("FPKEYD_LOG_FILE", "/var/log/fpkeyweb.log"));
    char word[256] = {0};
    bool cut = false;
    if (fscanf(cfg, "%255s", word) == 1) {
        int next = fgetc(cfg);
        cut = next != EOF && !isspace(next);
    }
    // A word longer than the field would name some other directory: keep the default.
    if (word[0] && !cut) {
        // A directory too long for the path field keeps the default file.
        char candidate[sizeof m_path];
        int n = snprintf(candidate, sizeof candidate, "%s/fpkeydll.log", word);
        if (n > 0 && static_cast<size_t>(n) < sizeof candidate)
            memcpy(m_path, candidate, sizeof m_path);
    }
    fclose(cfg);
    // The log file must be usable before logging counts as on: a file that
    // cannot be opened for appending now (no such folder, no permission)
    // would swallow every line while the daemon claimed to log.
    int fd = -1;
    const Open opened = openSafely(m_path, true, fd);
    if (opened != Open::Ok) {
        if (opened == Open::Refused) {
            refuse(m_path);
        } else {
            fprintf(stderr, "fpkeyd: cannot open the log file %s: %s; logging is off\n", m_path,
                    strerror(errno));
            fflush(stderr);
        }
        printf("not log\n");
        fflush(stdout);
        return;
    }
    close(fd);
    // The note is a courtesy: a note file that is not ours is left alone.
    appendLine(pathOr("FPKEYD_LOG_NOTE", "/var/log/xy3eftest.log"), false, m_path);
    s_logopen = 1;
    printf("%s\n", m_path);
    fflush(stdout);
}

void nvlogExec() {
    judgeLogOpen();
    if (!s_logopen) return;
    // Owner read/write so that the desktop user who runs the daemon can use it.
    m_msgid = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
    if (m_msgid.load() < 0) {
        printf("msgget failed\n");
        exit(1);
    }
    printf("msgget ok ,msgid = %d\n", m_msgid.load());
    fflush(stdout);
    pthread_t tid;
    if (pthread_create(&tid, nullptr, ExecThreadLog, nullptr) != 0) {
        perror("pthread_create ExecThreadLog error\n");
        exit(1);
    }
    pthread_detach(tid);
}

void _nvlogstr(const char* text) {
    judgeLogOpen();
    if (!s_logopen || !text) return;
    postMsgLog(text, strlen(text), leadingSpace(text));
}

void _nvlog(const char* format, ...) {
    judgeLogOpen();
    if (!s_logopen) return;
    va_list ap;
    va_start(ap, format);
    vqueue(format, ap);
    va_end(ap);
}

void nvlogE(const char* format, ...) {
    judgeLogOpen();
    if (!s_logopen) return;
    va_list ap;
    va_start(ap, format);
    vqueue(format, ap);
    va_end(ap);
}

void _nvlogstrEx(const void* bytes, size_t length) {
    judgeLogOpen();
    if (!s_logopen || !bytes) return;
    // The line ends at the first zero byte, as a text would.
    const char* p = static_cast<const char*>(bytes);
    size_t n = strnlen(p, length);
    postMsgLog(p, n, 0);
}

void nvlogtm() {
    judgeLogOpen();
    if (!s_logopen) return;
    time_t now = time(nullptr);
    struct tm lt {};
    localtime_r(&now, &lt);
    char buf[64];
    snprintf(buf, sizeof buf, "%04d/%02d/%02d %02d:%02d:%02d", lt.tm_year + 1900, lt.tm_mon + 1,
             lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec);
    postMsgLog(buf, strlen(buf), 0);
}

void _nvlogM(const char* title, const void* bytes, size_t length) {
    judgeLogOpen();
    if (!s_logopen) return;
    const uint8_t* b = static_cast<const uint8_t*>(bytes);
    char text[kTextSize];
    size_t pos = 0;
    auto put = [&](const char* fmt, auto... args) {
        if (pos >= nvlog::kLineMax) return;
        int n = snprintf(text + pos, sizeof text - pos, fmt, args...);
        if (n > 0) pos += static_cast<size_t>(n);
        if (pos > nvlog::kLineMax) pos = nvlog::kLineMax;
    };
    text[0] = 0;
    // The dump's own layout (tabs, line breaks) stays; only the title is text.
    if (title)
        put("[%s]\tsize:%04d(H:%04X)", logEscaped(title, strlen(title), 64).c_str(),
            static_cast<int>(length & 0xFFFF), static_cast<unsigned>(length & 0xFFFF));
    if (length > 1024) {
        // The dump is cut to what the record can hold; never read past the caller's bytes.
        put("%s", "\nWARRYINT too SIZE, ONLY show 2.5K\r\n");
    }
    if (b) {
        for (size_t i = 0; i < length && pos < nvlog::kLineMax; i += 2) {
            if (i % 32 == 0)
                put("%s", "\r\n");
            else if (i % 16 == 0)
                put("%s", " ");
            if (i + 1 < length)
                put("%02X%02X", b[i], b[i + 1]);
            else
                put("%02X", b[i]);
        }
    }
    postRecord(text, pos);
}

std::string logEscaped(const char* data, size_t n, size_t max) {
    std::string out;
    if (!data) return out;
    if (n > max) n = max;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        char escaped[4];
        out.append(escaped, escapeByte(static_cast<unsigned char>(data[i]), true, escaped));
    }
    return out;
}

void nvlogClose() {
    const int queue = m_msgid.load();
    if (!s_logopen || queue < 0) return;
    nvlog::flushForTest();
    if (!s_refused.load()) noteDropped();
    m_msgid = -1;
    msgctl(queue, IPC_RMID, nullptr);
}

namespace nvlog {
bool isOpen() {
    return s_logopen == 1;
}
void flushForTest() {
    for (int i = 0; i < 500 && s_written.load() < s_queued.load(); ++i)
        usleep(10000);
}
}  // namespace nvlog
