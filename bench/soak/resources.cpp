// The verdict over the daemon's sampled memory, descriptors and log files.
#include <algorithm>
#include <sstream>

#include "bench/soak/soak.h"

namespace soak {

std::vector<Sample> readSamples(const std::string& text) {
    std::vector<Sample> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream w(line);
        Sample s{};
        if (w >> s.ms >> s.rssKb >> s.fds >> s.sockets && s.rssKb > 0 && s.fds > 0 &&
            s.sockets >= 0 && s.sockets <= s.fds)
            out.push_back(s);
    }
    return out;
}

std::vector<LogSample> readLogSamples(const std::string& text) {
    std::vector<LogSample> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream w(line);
        LogSample s{};
        if (w >> s.ms >> s.logBytes >> s.otherBytes) out.push_back(s);
    }
    return out;
}

ResourceReport assess(const std::vector<Sample>& samples, const std::vector<LogSample>& logs,
                      long fdIdleBefore, long fdIdleAfter, const Limits& limits) {
    ResourceReport r;
    r.samples = samples.size();
    r.logSamples = logs.size();
    r.fdIdleBefore = fdIdleBefore;
    r.fdIdleAfter = fdIdleAfter;
    if (!samples.empty()) {
        const long first = samples.front().ms;
        const long last = samples.back().ms;
        for (const Sample& s : samples) {
            if (s.ms < first + limits.windowMs) {
                r.rssFirstMaxKb = std::max(r.rssFirstMaxKb, s.rssKb);
                r.fileFirstMax = std::max(r.fileFirstMax, s.fds - s.sockets);
                r.socketFirstMax = std::max(r.socketFirstMax, s.sockets);
            }
            if (s.ms > last - limits.windowMs) {
                r.rssLastMaxKb = std::max(r.rssLastMaxKb, s.rssKb);
                r.fileLastMax = std::max(r.fileLastMax, s.fds - s.sockets);
                r.socketLastMax = std::max(r.socketLastMax, s.sockets);
            }
        }
        const double byRatio = static_cast<double>(r.rssFirstMaxKb) * limits.rssRatio;
        const double bySlack = static_cast<double>(r.rssFirstMaxKb + limits.rssSlackKb);
        r.rssFlat = static_cast<double>(r.rssLastMaxKb) <= std::max(byRatio, bySlack);
        r.fdFlat = r.fileLastMax <= r.fileFirstMax &&
                   r.socketLastMax <= r.socketFirstMax + limits.socketSlack;
    }
    r.fdIdleEqual = fdIdleBefore > 0 && fdIdleBefore == fdIdleAfter;

    long previous = -1;
    for (const LogSample& s : logs) {
        r.logMaxBytes = std::max(r.logMaxBytes, s.logBytes);
        r.otherMaxBytes = std::max(r.otherMaxBytes, s.otherBytes);
        if (previous >= 0 && s.logBytes < previous) ++r.logRestarts;
        previous = s.logBytes;
    }
    // Besides the log file only the one-line start-up note may be there.
    r.logBounded = !logs.empty() && r.logMaxBytes <= limits.logMax + limits.logLine &&
                   r.otherMaxBytes <= limits.logLine * 4;
    return r;
}

}  // namespace soak
