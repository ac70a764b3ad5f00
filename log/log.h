// The queued diagnostic log: off unless the control file exists; any thread
// queues finished lines (never waiting: a full queue drops them, and the log
// says how many), one log thread appends them to the log file, which must be
// a regular file of this user (else logging is off). Text from outside
// never reaches the file as it is: every byte outside printable ASCII in a
// line is written as \xNN.
#pragma once

#include <cstddef>
#include <string>

// Decides once per process whether logging is on. Call from main before any
// other thread starts.
void judgeLogOpen();
// Creates the log queue and starts the log thread when logging is on.
void nvlogExec();

void _nvlogstr(const char* text);
void _nvlog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void nvlogE(const char* format, ...) __attribute__((format(printf, 1, 2)));
void _nvlogstrEx(const void* bytes, size_t length);
void nvlogtm();
void _nvlogM(const char* title, const void* bytes, size_t length);
// Starts the log file afresh when it is past nvlog::kMaxFileBytes.
void nuvo_log_file_check();
// Removes the log queue at a normal process end; later lines are dropped.
void nvlogClose();

// A field from outside (a header, a site's name) as a log line may quote it:
// at most `max` of its `n` bytes, each byte outside 0x20-0x7E and the
// backslash and double quote written as \xNN, so that the field can neither
// end its quotes nor pass for an escape.
std::string logEscaped(const char* data, size_t n, size_t max);

namespace nvlog {
// True once logging has been switched on.
bool isOpen();
// Blocks until every line queued so far has reached the file (tests only).
void flushForTest();
// Size above which the log file is started afresh.
constexpr long kMaxFileBytes = 0x300000;
// A queued line holds at most this many characters; longer ones are cut.
constexpr size_t kLineMax = 2047;
}  // namespace nvlog
