// The soak run's load driver: the command mix it sends, how each reply is
// judged, the tally of a run, and the verdict over the daemon's sampled
// resources.
#pragma once

#include <json/value.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace soak {

using Bytes = std::vector<uint8_t>;

// What every connection compares its replies with, read once from the
// daemon before the clock starts.
struct Reference {
    std::string version = "1.0.1.32 MEBO";
    std::string serial;
    std::string label;
    std::string facPub;  // 130 hex digits
    std::string devPub;
    std::string user;  // the user enrolled for the verification polls
};

// One command sent and what its reply must show.
struct Pending {
    std::string id;        // randomId
    std::string function;  // command name
    std::string request;   // the JSON text sent
    // What the reply must carry: an exact result text ("" when not checked
    // that way), the message a signature covers, the info level asked.
    std::string expectText;
    Bytes signedMessage;
    bool verifySignature = false;
    int level = 0;
    std::chrono::steady_clock::time_point sentAt;
};

// The commands of one connection still waiting for their replies, oldest
// first. Replies must come in the order the commands went out.
class Waiting {
  public:
    enum class Match {
        InOrder,     // answers the oldest command
        OutOfOrder,  // answers a younger one while an older one waits
        Unasked,     // no id, or one no waiting command carries
    };
    // `slot`: the caller's index of the command, handed back by take.
    void push(Pending p, size_t slot) { q_.emplace_back(slot, std::move(p)); }
    bool empty() const { return q_.empty(); }
    size_t size() const { return q_.size(); }
    const Pending& oldest() const { return q_.front().second; }
    // Removes the command that a reply with randomId `id` answers and hands
    // it out; an unasked reply removes nothing.
    Match take(const std::string& id, Pending& out, size_t& slot);

  private:
    std::deque<std::pair<size_t, Pending>> q_;
};

// Which commands a connection sends and how often (weights, any scale).
struct Weights {
    int version = 8, devInfo = 10, clientId = 4, facPub = 4, devPub = 4, userList = 3,
        enumDevice = 1, factorySign = 14, deviceSign = 14, sm2Decrypt = 10, sm4Decrypt = 6;
    // One verification poll cycle in this many turns (0: none). A cycle
    // holds the daemon's only network thread for up to several seconds.
    int pollEvery = 500;
};

// Builds the commands of one connection. Deterministic for a seed.
class Mix {
  public:
    Mix(const Reference& ref, const Weights& w, unsigned seed, std::string idPrefix,
        int verifyEvery);
    // True when the next turn should be a verification poll cycle rather
    // than a batch.
    bool nextIsPollCycle();
    // One command of the ordinary mix (never a verification command).
    Pending next();
    // The commands of a poll cycle, one at a time.
    Pending make(const std::string& function, const Json::Value& params);
    // How many commands to pipeline in the next batch (1 to `maxDepth`).
    int depth(int maxDepth);

  private:
    std::string text(size_t maxLen);
    const Reference& ref_;
    std::mt19937 rng_;
    std::string prefix_;
    std::vector<std::pair<int, int>> table_;  // cumulative weight, kind
    int total_ = 0;
    int pollEvery_;
    unsigned long seq_ = 0;
    unsigned long signs_ = 0;
    int verifyEvery_;
};

// How a reply was judged.
enum class Verdict {
    Ok,          // the expected success or an expected code
    Unexpected,  // a result code the command should not give here
    BadResult,   // success, but the result is wrong (or the reply malformed)
};

// Judges one reply text against the command it answers. `code` gets the
// reply's reterr (or INT32_MIN when there is none); `why` a short reason
// for anything but Ok.
Verdict judge(const Pending& p, const Reference& ref, const Json::Value& reply, int& code,
              std::string& why);

// The randomId of a reply ("" when it has none or it is no JSON object).
std::string replyId(const Json::Value& reply);

// Counters of one connection, summed over all at the end.
struct Tally {
    unsigned long sent = 0, answered = 0, outOfOrder = 0, unasked = 0, missing = 0, unexpected = 0,
                  badResults = 0, reconnects = 0, connectFailures = 0, pollCycles = 0,
                  pollsMatched = 0, pollsAbandoned = 0, signaturesVerified = 0,
                  leftUnread = 0,  // sent on --rude turns and never read: not in `sent`
        handshakes = 0;
    std::pair<double, double> handshakeUs{0, 0};  // sum and max
    // (function, reterr) -> replies
    std::map<std::pair<std::string, int>, unsigned long> codes;
    // function -> sum and max of the reply latency in microseconds
    std::map<std::string, std::pair<double, double>> latency;
    std::vector<std::string> firstProblems;  // a few examples for the report

    void note(const std::string& problem);
    void add(const Tally& o);
};

// Whether reterr `code` of `function` is one the command may give under
// this load (other clients cancel a running verification, so a poll may
// stay pending).
bool expectedCode(const std::string& function, int code);

// ---- resources ---------------------------------------------------------

// One sample of the daemon: milliseconds since the load began, resident
// kilobytes, open descriptors (the log file, opened per line, left out) and
// how many of them are sockets.
struct Sample {
    long ms;
    long rssKb;
    long fds;
    long sockets;
};
// One sample of the log directory: milliseconds, size of the log file
// (-1 while it does not exist), and of every other file together.
struct LogSample {
    long ms;
    long logBytes;
    long otherBytes;
};

struct Limits {
    double rssRatio = 1.05;        // last-minute max may pass first-minute max by 5 %
    long rssSlackKb = 1024;        // ... or by 1 MiB, whichever is larger
    long logMax = 3145728;         // the file starts afresh beyond this
    long logLine = 10 + 2047 + 1;  // one line: time prefix, longest text, line feed
    long windowMs = 60000;         // "first minute" and "last minute"
    // Sockets the last minute may have above the first: 0 for clients that
    // stay connected; clients that reconnect make the count flicker (a
    // closing and its replacing connection at once).
    long socketSlack = 0;
};

struct ResourceReport {
    long rssFirstMaxKb = 0, rssLastMaxKb = 0;
    // Descriptors other than sockets, and sockets.
    long fileFirstMax = 0, fileLastMax = 0, socketFirstMax = 0, socketLastMax = 0;
    long fdIdleBefore = -1, fdIdleAfter = -1;
    long logMaxBytes = 0, otherMaxBytes = 0, logRestarts = 0;
    size_t samples = 0, logSamples = 0;
    bool rssFlat = false, fdFlat = false, fdIdleEqual = false, logBounded = false;
    bool ok() const { return rssFlat && fdFlat && fdIdleEqual && logBounded; }
};

// Compares the first and the last `windowMs` of the samples (they overlap
// when the run is shorter than two windows): memory, descriptors other than
// sockets (exactly), sockets (within the slack); then the idle descriptor
// counts before and after the clients (exactly), and the largest log sizes
// seen.
ResourceReport assess(const std::vector<Sample>& samples, const std::vector<LogSample>& logs,
                      long fdIdleBefore, long fdIdleAfter, const Limits& limits = Limits());

// "ms rss fds sockets" and "ms log other" lines; bad lines are skipped.
std::vector<Sample> readSamples(const std::string& text);
std::vector<LogSample> readLogSamples(const std::string& text);

}  // namespace soak
