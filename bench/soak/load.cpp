// soak_load: the load side of scripts/soak.
//
//   soak_load setup   --port P [--user NAME]
//       enrols one finger of NAME through the daemon (the virtual key touches
//       by itself), so that verification polls have a template to match.
//   soak_load run     --port P [--clients 50] [--seconds 60] [--depth 4]
//                     [--seed 1] [--verify-every 4] [--churn N] [--rude N]
//                     [--poll-every 500] [--user NAME]
//       N connections send the mixed commands for the given time (--churn:
//       each reconnects every N turns; --rude: every N turns each sends a
//       batch and closes without reading the replies); prints the
//       counts and exits 1 when a reply was missing, out of order, unasked,
//       carried an unexpected code or a wrong result.
//   soak_load verdict --samples F --log-samples F --fd-idle-before N
//                     --fd-idle-after N [--window-ms 60000] [--socket-slack 0]
//       judges the daemon's sampled memory, descriptors and log sizes.
#include <json/reader.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/soak/soak.h"
#include "tests/integration/harness/harness.h"

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// A reply may wait behind every other connection's commands, verification
// polls (up to a second each) included.
constexpr milliseconds kReplyWait(120000);
constexpr int kPollsPerCycle = 3;

struct Args {
    std::map<std::string, std::string> named;
    long num(const char* name, long fallback) const {
        auto it = named.find(name);
        return it == named.end() ? fallback : strtol(it->second.c_str(), nullptr, 10);
    }
    std::string str(const char* name, const char* fallback) const {
        auto it = named.find(name);
        return it == named.end() ? fallback : it->second;
    }
};

bool parseArgs(int argc, char** argv, Args& out) {
    for (int i = 2; i < argc; ++i) {
        if (strncmp(argv[i], "--", 2) != 0 || i + 1 >= argc) {
            fprintf(stderr, "soak_load: bad argument %s\n", argv[i]);
            return false;
        }
        out.named[argv[i] + 2] = argv[i + 1];
        ++i;
    }
    return true;
}

Json::Value parse(const std::string& text) {
    Json::Value out;
    std::string errors;
    std::unique_ptr<Json::CharReader> r(Json::CharReaderBuilder().newCharReader());
    if (!r->parse(text.data(), text.data() + text.size(), &out, &errors)) return Json::Value();
    return out;
}

std::string readFile(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// One blocking command on a plain connection (setup only).
Json::Value call(fpkit::WsClient& c, const std::string& function, const Json::Value& params,
                 milliseconds wait = milliseconds(30000)) {
    soak::Reference none;
    soak::Mix m(none, soak::Weights(), 1, "setup", 1);
    const soak::Pending p = m.make(function, params);
    return parse(c.call(p.request, wait));
}

// ---- setup --------------------------------------------------------------

int setup(const Args& a) {
    const unsigned short port = static_cast<unsigned short>(a.num("port", 0));
    const std::string user = a.str("user", "soak");
    fpkit::WsClient c;
    if (!c.connect(port)) {
        fprintf(stderr, "setup: cannot connect: %s\n", c.lastError().c_str());
        return 1;
    }
    Json::Value params(Json::arrayValue);
    params.append(user);
    params.append(1);
    params.append("soak finger");
    Json::Value r = call(c, "RegisterUser", params);
    if (r["reterr"] != 0) {
        fprintf(stderr, "setup: RegisterUser: %s\n", r.toStyledString().c_str());
        return 1;
    }
    if (!c.sendText("{\"function\":\"WaitEnroll\",\"params\":[]}")) return 1;
    // Progress messages, then the finished record.
    for (;;) {
        auto m = c.recv(milliseconds(60000));
        if (!m) {
            fprintf(stderr, "setup: no enrolment result: %s\n", c.lastError().c_str());
            return 1;
        }
        Json::Value v = parse(*m);
        if (v["function"] != "ackEnroll" || v["reterr"] != 0) {
            fprintf(stderr, "setup: enrolment failed: %s\n", m->c_str());
            return 1;
        }
        if (v["result"].size() >= 7) {
            printf("setup: enrolled %s\n", v["result"][3].asString().c_str());
            return 0;
        }
    }
}

// ---- run ----------------------------------------------------------------

std::atomic<bool> g_stop{false};
std::atomic<unsigned long> g_answered{0};

// How every connection of a run behaves.
struct Settings {
    unsigned short port = 0;
    soak::Weights weights;
    int depth = 4;
    int verifyEvery = 4;
    long churn = 0;  // reconnect after every N turns
    long rude = 0;   // every N turns: send a batch and close without reading
};

class Connection {
  public:
    Connection(int index, const Settings& settings, const soak::Reference& ref, unsigned seed)
        : port_(settings.port),
          ref_(ref),
          mix_(ref, settings.weights, seed, "c" + std::to_string(index), settings.verifyEvery),
          depth_(settings.depth),
          churn_(settings.churn),
          rude_(settings.rude) {}

    // A handshake waits on the daemon's one network thread like any
    // command, so it gets as long as a reply; every failed try counts.
    bool open() {
        for (int i = 0; i < 5; ++i) {
            client_ = std::make_unique<fpkit::WsClient>();
            const Clock::time_point at = Clock::now();
            if (client_->connect(port_, "/websocket", kReplyWait)) {
                const double us =
                    std::chrono::duration<double, std::micro>(Clock::now() - at).count();
                ++tally_.handshakes;
                tally_.handshakeUs.first += us;
                if (us > tally_.handshakeUs.second) tally_.handshakeUs.second = us;
                return true;
            }
            ++tally_.connectFailures;
            tally_.note("cannot connect: " + client_->lastError());
            std::this_thread::sleep_for(milliseconds(100));
        }
        return false;
    }

    void run() {
        unsigned long turns = 0;
        while (!g_stop.load()) {
            if (!client_->isOpen()) {
                ++tally_.reconnects;
                if (!open()) return;
            }
            ++turns;
            if (rude_ > 0 && turns % static_cast<unsigned long>(rude_) == 0) {
                leaveUnread();
                if (!open()) return;
                continue;
            }
            if (mix_.nextIsPollCycle())
                pollCycle();
            else
                batch();
            if (churn_ > 0 && turns % static_cast<unsigned long>(churn_) == 0) {
                ++tally_.reconnects;
                if (!open()) return;
            }
        }
    }

    const soak::Tally& tally() const { return tally_; }

  private:
    void batch() {
        std::vector<soak::Pending> cmds;
        const int n = mix_.depth(depth_);
        for (int i = 0; i < n; ++i)
            cmds.push_back(mix_.next());
        exchange(std::move(cmds));
    }

    // Sends a batch and goes away without reading the replies: the daemon
    // then writes to a connection that has closed.
    void leaveUnread() {
        const int n = mix_.depth(depth_);
        for (int i = 0; i < n; ++i)
            if (client_->sendText(mix_.next().request, kReplyWait)) ++tally_.leftUnread;
        ++tally_.reconnects;
    }

    // Starts a verification, polls it a few times and cancels it. Another
    // connection's command cancels a running verification, so a poll may
    // still be pending at the end.
    void pollCycle() {
        ++tally_.pollCycles;
        if (exchange({mix_.make("startVerify", Json::Value(Json::arrayValue))})[0] == 0) {
            int code = -63;
            for (int i = 0; i < kPollsPerCycle && code == -63; ++i)
                code = exchange({mix_.make("LoopVerify", Json::Value(Json::arrayValue))})[0];
            if (code == 0)
                ++tally_.pollsMatched;
            else if (code == -63)
                ++tally_.pollsAbandoned;
        }
        exchange({mix_.make("CancelVerify", Json::Value(Json::arrayValue))});
    }

    // Sends the commands back to back, then reads their replies; returns
    // each command's reterr (INT_MIN when it got none).
    std::vector<int> exchange(std::vector<soak::Pending> cmds) {
        std::vector<int> codes(cmds.size(), INT_MIN);
        soak::Waiting waiting;
        for (size_t i = 0; i < cmds.size(); ++i) {
            cmds[i].sentAt = Clock::now();
            if (!client_->sendText(cmds[i].request, kReplyWait)) {
                tally_.note("send failed: " + client_->lastError());
                break;
            }
            ++tally_.sent;
            waiting.push(std::move(cmds[i]), i);
        }
        while (!waiting.empty()) {
            auto text = client_->recv(kReplyWait);
            if (!text) {
                tally_.missing += waiting.size();
                tally_.note("no reply to " + waiting.oldest().request + ": " +
                            client_->lastError());
                break;
            }
            const Json::Value reply = parse(*text);
            const std::string oldest = waiting.oldest().id;
            soak::Pending p;
            size_t slot = 0;
            switch (waiting.take(soak::replyId(reply), p, slot)) {
                case soak::Waiting::Match::Unasked:
                    ++tally_.unasked;
                    tally_.note("unasked message: " + text->substr(0, 200));
                    continue;
                case soak::Waiting::Match::OutOfOrder:
                    ++tally_.outOfOrder;
                    tally_.note("out of order: " + p.id + " before " + oldest);
                    break;
                case soak::Waiting::Match::InOrder:
                    break;
            }
            const double us =
                std::chrono::duration<double, std::micro>(Clock::now() - p.sentAt).count();
            account(p, reply, *text, us, codes[slot]);
        }
        return codes;
    }

    void account(const soak::Pending& p, const Json::Value& reply, const std::string& text,
                 double us, int& code) {
        ++tally_.answered;
        g_answered.fetch_add(1);
        auto& l = tally_.latency[p.function];
        l.first += us;
        if (us > l.second) l.second = us;
        std::string why;
        const soak::Verdict v = soak::judge(p, ref_, reply, code, why);
        ++tally_.codes[{p.function, code}];
        if (v == soak::Verdict::Unexpected) {
            ++tally_.unexpected;
            tally_.note(p.function + " " + why + ": " + text.substr(0, 200));
        } else if (v == soak::Verdict::BadResult) {
            ++tally_.badResults;
            tally_.note(p.function + " " + why + ": " + p.request.substr(0, 200) + " -> " +
                        text.substr(0, 200));
        } else if (p.verifySignature && code == 0) {
            ++tally_.signaturesVerified;
        }
    }

    unsigned short port_;
    const soak::Reference& ref_;
    soak::Mix mix_;
    int depth_;
    long churn_;
    long rude_;
    std::unique_ptr<fpkit::WsClient> client_;
    soak::Tally tally_;
};

bool reference(unsigned short port, const std::string& user, soak::Reference& ref) {
    fpkit::WsClient c;
    if (!c.connect(port)) {
        fprintf(stderr, "run: cannot connect: %s\n", c.lastError().c_str());
        return false;
    }
    Json::Value level3(Json::arrayValue);
    level3.append(3);
    const Json::Value info = call(c, "GetDevInfo", level3);
    ref.facPub = call(c, "GetFacPubKey", Json::Value(Json::arrayValue))["result"].asString();
    ref.devPub = call(c, "GetDevPubKey", Json::Value(Json::arrayValue))["result"].asString();
    ref.user = user;
    if (info["reterr"] != 0 || info["result"].size() != 3 || ref.facPub.size() != 130 ||
        ref.devPub.size() != 130) {
        fprintf(stderr, "run: the key does not answer as provisioned: %s\n",
                info.toStyledString().c_str());
        return false;
    }
    ref.serial = info["result"][0].asString();
    ref.label = info["result"][2].asString();
    return true;
}

int run(const Args& a) {
    const unsigned short port = static_cast<unsigned short>(a.num("port", 0));
    const int clients = static_cast<int>(a.num("clients", 50));
    const long seconds = a.num("seconds", 60);
    const int depth = static_cast<int>(a.num("depth", 4));
    const unsigned seed = static_cast<unsigned>(a.num("seed", 1));
    const int verifyEvery = static_cast<int>(a.num("verify-every", 4));
    Settings set;
    set.port = port;
    set.depth = depth;
    set.verifyEvery = verifyEvery;
    set.churn = a.num("churn", 0);
    set.rude = a.num("rude", 0);
    set.weights.pollEvery = static_cast<int>(a.num("poll-every", set.weights.pollEvery));
    if (port == 0 || clients < 1 || seconds < 1 || depth < 1) {
        fprintf(stderr, "run: needs --port, and positive --clients, --seconds, --depth\n");
        return 2;
    }
    soak::Reference ref;
    if (!reference(port, a.str("user", "soak"), ref)) return 1;

    std::vector<std::unique_ptr<Connection>> conns;
    for (int i = 0; i < clients; ++i)
        conns.push_back(std::make_unique<Connection>(i, set, ref, seed * 1000 + i));
    for (auto& c : conns)
        c->open();
    printf(
        "soak: clients=%d seconds=%ld depth=%d seed=%u verify_every=%d churn=%ld rude=%ld "
        "poll_every=%d\n",
        clients, seconds, depth, seed, verifyEvery, set.churn, set.rude, set.weights.pollEvery);
    fflush(stdout);

    const Clock::time_point start = Clock::now();
    std::vector<std::thread> threads;
    for (auto& c : conns)
        threads.emplace_back([&c] { c->run(); });
    const Clock::time_point end = start + std::chrono::seconds(seconds);
    unsigned long before = 0;
    while (Clock::now() < end) {
        std::this_thread::sleep_until(std::min(end, Clock::now() + std::chrono::seconds(10)));
        const unsigned long now = g_answered.load();
        const double t = std::chrono::duration<double>(Clock::now() - start).count();
        printf("soak: t=%.0fs answered=%lu (+%lu)\n", t, now, now - before);
        fflush(stdout);
        before = now;
    }
    g_stop = true;
    for (auto& t : threads)
        t.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

    soak::Tally all;
    for (auto& c : conns)
        all.add(c->tally());
    conns.clear();  // every connection closes here

    printf(
        "soak: sent=%lu answered=%lu missing=%lu out_of_order=%lu unasked=%lu "
        "unexpected=%lu bad_results=%lu connect_failures=%lu reconnects=%lu left_unread=%lu\n",
        all.sent, all.answered, all.missing, all.outOfOrder, all.unasked, all.unexpected,
        all.badResults, all.connectFailures, all.reconnects, all.leftUnread);
    printf("soak: elapsed=%.1fs commands_per_second=%.1f\n", elapsed,
           static_cast<double>(all.answered) / elapsed);
    printf(
        "soak: handshakes=%lu mean_ms=%.2f max_ms=%.2f\n", all.handshakes,
        all.handshakes ? all.handshakeUs.first / 1000.0 / static_cast<double>(all.handshakes) : 0.0,
        all.handshakeUs.second / 1000.0);
    printf("soak: poll_cycles=%lu matched=%lu abandoned=%lu signatures_verified=%lu\n",
           all.pollCycles, all.pollsMatched, all.pollsAbandoned, all.signaturesVerified);
    printf("soak: %-16s %9s %10s %10s  reterr:count\n", "command", "replies", "mean_ms", "max_ms");
    std::map<std::string, unsigned long> perFunction;
    for (const auto& [k, n] : all.codes)
        perFunction[k.first] += n;
    for (const auto& [f, n] : perFunction) {
        const auto& l = all.latency[f];
        std::string codes;
        for (const auto& [k, m] : all.codes)
            if (k.first == f)
                codes += " " +
                         (k.second == INT_MIN ? std::string("none") : std::to_string(k.second)) +
                         ":" + std::to_string(m) +
                         (soak::expectedCode(f, k.second) ? "" : "(UNEXPECTED)");
        printf("soak: %-16s %9lu %10.2f %10.2f %s\n", f.c_str(), n,
               l.first / 1000.0 / static_cast<double>(n), l.second / 1000.0, codes.c_str());
    }
    for (const std::string& p : all.firstProblems)
        printf("soak: problem: %s\n", p.c_str());
    const bool ok = all.sent > 0 && all.sent == all.answered && all.missing == 0 &&
                    all.outOfOrder == 0 && all.unasked == 0 && all.unexpected == 0 &&
                    all.badResults == 0 && all.connectFailures == 0;
    printf("soak: commands %s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}

// ---- verdict ------------------------------------------------------------

int verdict(const Args& a) {
    soak::Limits limits;
    limits.windowMs = a.num("window-ms", limits.windowMs);
    limits.socketSlack = a.num("socket-slack", limits.socketSlack);
    const auto samples = soak::readSamples(readFile(a.str("samples", "")));
    const auto logs = soak::readLogSamples(readFile(a.str("log-samples", "")));
    const soak::ResourceReport r = soak::assess(samples, logs, a.num("fd-idle-before", -1),
                                                a.num("fd-idle-after", -1), limits);
    auto mark = [](bool ok) { return ok ? "ok" : "FAIL"; };
    printf("soak: samples=%zu log_samples=%zu\n", r.samples, r.logSamples);
    printf("soak: rss_kb first_minute_max=%ld last_minute_max=%ld %s\n", r.rssFirstMaxKb,
           r.rssLastMaxKb, mark(r.rssFlat));
    printf(
        "soak: fds (not sockets) first_minute_max=%ld last_minute_max=%ld; sockets "
        "first_minute_max=%ld last_minute_max=%ld (slack %ld) %s\n",
        r.fileFirstMax, r.fileLastMax, r.socketFirstMax, r.socketLastMax, limits.socketSlack,
        mark(r.fdFlat));
    printf("soak: fds idle_before=%ld idle_after=%ld %s\n", r.fdIdleBefore, r.fdIdleAfter,
           mark(r.fdIdleEqual));
    printf("soak: log max_bytes=%ld (limit %ld + %ld) restarts=%ld other_files_max=%ld %s\n",
           r.logMaxBytes, limits.logMax, limits.logLine, r.logRestarts, r.otherMaxBytes,
           mark(r.logBounded));
    printf("soak: resources %s\n", r.ok() ? "PASS" : "FAIL");
    return r.ok() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Args a;
    if (argc < 2 || !parseArgs(argc, argv, a)) {
        fprintf(stderr, "usage: soak_load setup|run|verdict [--name value]...\n");
        return 2;
    }
    const std::string mode = argv[1];
    if (mode == "setup") return setup(a);
    if (mode == "run") return run(a);
    if (mode == "verdict") return verdict(a);
    fprintf(stderr, "soak_load: unknown mode %s\n", mode.c_str());
    return 2;
}
