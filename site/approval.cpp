// Asking the user to allow a site: one question at a time, taken fairly.
// The page gets a pushed "ackApprove" and the desktop a notification, and
// both say "touch" only while the approval itself waits for the touch; a
// touch on the key's sensor allows the site, and no touch within the wait
// refuses it. A site refused, timed out or withdrawn is not asked again for
// a while, and the desktop never shows more than a few questions a minute.
// The touch is taken on a fingerprint worker of the key session; this file
// only runs on the network thread and never waits for the user.
// GCC cannot instrument Asio's atomic fences under TSan and says so; the
// fences are Asio's own business.
#if defined(__SANITIZE_THREAD__) && defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wtsan"
#endif
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <utility>
#include <vector>

#include "app/app.h"
#include "log/log.h"
#include "site/internal.h"

using namespace codes;
namespace net = boost::asio;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

constexpr int kDefaultWaitMs = 30000;
// While the module is busy with a page's fingerprint operation, how often
// to look whether the touch can be asked for.
constexpr auto kRetry = milliseconds(250);
// A site refused, timed out or withdrawn is not asked again for this long,
// doubling on each new refusal up to kLongestBackOff; allowing it resets it.
constexpr int kFirstBackOffMs = 10000;
constexpr auto kLongestBackOff = std::chrono::minutes(10);
// Questions shown on the desktop within one window, at most.
constexpr size_t kQuestionsPerWindow = 5;
constexpr int kWindowMs = 60000;
// Between two questions a pause of a random length up to this, so that a
// page queued behind another site does not learn when the user answered it.
constexpr int kLongestPauseMs = 2000;

struct Waiter {
    uint64_t clientId;
    std::function<void(bool)> decided;
};

enum class Phase { queued, waiting, touch };

struct Asking {
    std::string queue;  // the client's site: what waiters are grouped by
    std::string group;  // what backs off together: the site, or every opaque page
    std::vector<Waiter> waiters;
    Clock::time_point deadline = Clock::time_point::max();
    Phase phase = Phase::queued;
    bool counted = false;  // shown to the user (counts against the window)
    // An act to confirm instead of a site to allow: its site, the text the
    // user is shown, and who hears the outcome.
    bool confirm = false;
    std::string site;
    std::string text;
    bool assertion = false;
    std::function<void(int, int, bool)> confirmed;
};

struct BackOff {
    Clock::time_point until;
    Clock::duration next{};
};

std::deque<Asking> s_asking;
std::map<std::string, BackOff> s_backOff;
std::deque<Clock::time_point> s_shown;  // when recent questions were first shown
Clock::time_point s_nextQuestion;       // no new question before this
std::string s_lastGroup;
bool s_touchRunning = false;
unsigned s_generation = 0;
// Outcomes the worker handed over and the network thread has taken: a
// worker that ended with both equal was stopped and reported nothing.
std::atomic<unsigned> s_outcomesPosted{0};
unsigned s_outcomesTaken = 0;

net::steady_timer& timer() {
    static net::steady_timer* t = new net::steady_timer(siteint::loop());
    return *t;
}

Clock::duration firstBackOff() {
    static const Clock::duration d =
        milliseconds(millisFromEnv("FPKEYD_ASK_AGAIN_MS", kFirstBackOffMs));
    return d;
}

Clock::duration window() {
    static const Clock::duration d =
        milliseconds(millisFromEnv("FPKEYD_QUESTION_WINDOW_MS", kWindowMs));
    return d;
}

Clock::duration pause() {
    static const int longest = millisFromEnv("FPKEYD_QUESTION_PAUSE_MS", kLongestPauseMs);
    static std::minstd_rand random(std::random_device{}());
    return milliseconds(longest / 4 + static_cast<int>(random() % static_cast<unsigned>(longest)));
}

// Every opaque page is a site of its own, but they all back off together:
// a page cannot earn new questions by opening another file page.
std::string groupOf(const std::string& site) {
    return isOpaqueSite(site) ? std::string(kOpaqueSite) : site;
}

bool backingOff(const std::string& group, Clock::time_point now) {
    auto it = s_backOff.find(group);
    return it != s_backOff.end() && now < it->second.until;
}

void backOff(const std::string& group, Clock::time_point now) {
    // Forgotten entries of long ago keep the map small.
    for (auto it = s_backOff.begin(); it != s_backOff.end();)
        it = now - it->second.until > kLongestBackOff ? s_backOff.erase(it) : std::next(it);
    BackOff& b = s_backOff[group];
    if (b.next == Clock::duration{}) b.next = firstBackOff();
    b.until = now + b.next;
    b.next = std::min<Clock::duration>(b.next * 2, kLongestBackOff);
}

void announce(const Asking& a, const char* what) {
    for (const Waiter& w : a.waiters)
        if (a.confirm)
            siteint::tellConfirm(w.clientId, a.site, what, a.text);
        else
            siteint::tellApproval(w.clientId, shownSite(a.queue), what);
}

void notifyAsks(const Asking& a) {
    if (a.confirm)
        notifyConfirmAsks(a.site, a.text, a.assertion);
    else
        notifySiteAsks(shownSite(a.queue));
}

void announceRefused(const std::vector<Waiter>& waiters) {
    for (const Waiter& w : waiters)
        siteint::tellApproval(w.clientId, std::string(), nullptr);
}

void stopTouchLocked() {
    if (!s_touchRunning) return;
    CNvId::stopApproval();
    s_touchRunning = false;
    ++s_generation;
}

void stopTouch() {
    if (!s_touchRunning) return;
    std::lock_guard<std::mutex> session(CNvId::sessionLock());
    stopTouchLocked();
}

// The front question ends: it was shown, so the next one comes after a pause.
Asking endFront() {
    Asking a = std::move(s_asking.front());
    s_asking.pop_front();
    stopTouch();
    notifySiteDone();
    s_nextQuestion = Clock::now() + pause();
    return a;
}

// Not allowed: the group backs off, and its other questions (opaque pages)
// are refused with it, unasked.
void refuseGroup(const std::string& group) {
    backOff(group, Clock::now());
    for (size_t i = 0; i < s_asking.size();) {
        if (s_asking[i].group != group || s_asking[i].counted) {
            ++i;
            continue;
        }
        Asking a = std::move(s_asking[i]);
        s_asking.erase(s_asking.begin() + static_cast<std::ptrdiff_t>(i));
        announceRefused(a.waiters);
        for (Waiter& w : a.waiters)
            w.decided(false);
    }
}

// `result`: the template a touch matched, 0 for no touch in time, or a
// failure's code negated.
void decideFront(bool allowed, int result = 0) {
    if (s_asking.front().confirm) {
        const bool desktop = notificationTaken();
        Asking a = endFront();
        nvlogE("%s %s", a.site.c_str(),
               allowed ? "confirmed an act by a touch" : "confirmed nothing");
        a.confirmed(allowed      ? kOk
                    : result < 0 ? -result
                                 : kNotConfirmed,
                    allowed ? result : 0, desktop);
        return;
    }
    Asking a = endFront();
    nvlogE("site %s %s", shownSite(a.queue).c_str(),
           allowed ? "allowed by a touch" : "not allowed");
    if (allowed) {
        rememberSite(a.queue);
        s_backOff.erase(a.group);
        announce(a, "allowed");
    } else {
        announceRefused(a.waiters);
    }
    for (Waiter& w : a.waiters)
        w.decided(allowed);
    if (!allowed) refuseGroup(a.group);
}

void onTouch(unsigned generation, int outcome, int matched) {
    ++s_outcomesPosted;
    net::post(siteint::loop(), [generation, outcome, matched] {
        ++s_outcomesTaken;
        if (generation != s_generation || !s_touchRunning) return;
        s_touchRunning = false;
        if (s_asking.empty()) return;
        if (outcome == 0)
            decideFront(true, matched);
        else if (outcome == CNvId::kApproveTimedOut)
            decideFront(false);
        kickApproval();
    });
}

void arm(Clock::time_point when) {
    if (when == Clock::time_point::max()) {
        timer().cancel();
        return;
    }
    timer().expires_at(when);
    timer().async_wait([](boost::system::error_code ec) {
        if (!ec) kickApproval();
    });
}

// Before a new question is shown: the window and the pause allow it, and
// another group than the last one asked goes first when one waits. Returns
// when to look again, or Clock::time_point::min() when it may be shown now.
Clock::time_point readyForNext(Clock::time_point now) {
    while (!s_shown.empty() && now - s_shown.front() >= window())
        s_shown.pop_front();
    // An act a page asks its user to confirm is no site's request to be
    // let in: the window is for those.
    if (s_shown.size() >= kQuestionsPerWindow && !s_asking.front().confirm)
        return s_shown.front() + window();
    if (now < s_nextQuestion) return s_nextQuestion;
    for (size_t i = 1; i < s_asking.size() && s_asking.front().group == s_lastGroup; ++i)
        if (s_asking[i].group != s_lastGroup) {
            std::swap(s_asking.front(), s_asking[i]);
            break;
        }
    return Clock::time_point::min();
}

}  // namespace

int approvalWaitMs() {
    static const int ms = millisFromEnv("FPKEYD_APPROVAL_WAIT_MS", kDefaultWaitMs);
    return ms;
}

void askApproval(const Client& client, std::function<void(bool)> decided) {
    const std::string group = groupOf(client.site);
    if (backingOff(group, Clock::now())) {
        // Asked too recently: refused at once, and the user sees nothing.
        announceRefused({{client.id, nullptr}});
        net::post(siteint::loop(), [decided = std::move(decided)] { decided(false); });
        return;
    }
    for (Asking& a : s_asking)
        if (a.queue == client.site) {
            a.waiters.push_back({client.id, std::move(decided)});
            if (a.phase != Phase::queued) {
                Asking one;
                one.queue = a.queue;
                one.waiters.push_back({client.id, nullptr});
                announce(one, a.phase == Phase::touch ? "touch" : "wait");
            }
            return;
        }
    Asking a;
    a.queue = client.site;
    a.group = group;
    a.waiters.push_back({client.id, std::move(decided)});
    s_asking.push_back(std::move(a));
    kickApproval();
}

void askConfirmation(const Client& client, const std::string& site, const std::string& text,
                     bool assertion, std::function<void(int, int, bool)> confirmed) {
    Asking a;
    a.confirm = true;
    a.assertion = assertion;
    a.queue = "confirm#" + std::to_string(client.id);
    a.group = a.queue;
    a.site = site;
    a.text = text;
    a.confirmed = std::move(confirmed);
    a.waiters.push_back({client.id, nullptr});
    s_asking.push_back(std::move(a));
    // Asked from inside a command, which holds the session lock: the
    // question is looked at once the command is done.
    net::post(siteint::loop(), [] { kickApproval(); });
}

void dropApprovalWaiter(uint64_t clientId) {
    // A waiter may hold the last reference to its connection, whose end
    // calls here again: it goes only once the queue is in order.
    Waiter gone{0, nullptr};
    for (size_t i = 0; i < s_asking.size(); ++i) {
        std::vector<Waiter>& w = s_asking[i].waiters;
        for (size_t j = 0; j < w.size(); ++j)
            if (w[j].clientId == clientId) {
                gone = std::move(w[j]);
                w.erase(w.begin() + static_cast<std::ptrdiff_t>(j));
                break;
            }
        if (!w.empty()) continue;
        // Nobody waits any more: the question is withdrawn, and a question
        // that was shown counts as not answered.
        if (i == 0 && s_asking.front().counted) {
            const Asking a = endFront();
            nvlogE("site %s withdrew its question", shownSite(a.queue).c_str());
            if (!a.confirm) backOff(a.group, Clock::now());
        } else {
            s_asking.erase(s_asking.begin() + static_cast<std::ptrdiff_t>(i));
        }
        kickApproval();
        return;
    }
}

bool approvalAwaitsTouch() {
    return s_touchRunning && !s_asking.empty() && s_asking.front().phase == Phase::touch;
}

void pauseApproval() {
    stopTouchLocked();
}

void kickApproval() {
    if (s_asking.empty() && !s_touchRunning) return;
    // A worker stopped by the key session (a reconnect) reports nothing.
    if (s_touchRunning && !CNvId::approvalBusy() && s_outcomesPosted.load() == s_outcomesTaken) {
        s_touchRunning = false;
        ++s_generation;
    }
    Clock::time_point now = Clock::now();
    while (!s_asking.empty() && now >= s_asking.front().deadline) {
        decideFront(false);
        now = Clock::now();
    }
    if (s_asking.empty()) {
        arm(Clock::time_point::max());
        return;
    }
    if (!s_asking.front().counted) {
        const Clock::time_point later = readyForNext(now);
        if (later != Clock::time_point::min()) {
            arm(later);
            return;
        }
        Asking& front = s_asking.front();
        front.counted = true;
        if (!front.confirm) s_shown.push_back(now);
        s_lastGroup = front.group;
        // Without a touch being possible (no key), the question still ends.
        front.deadline = now + milliseconds(approvalWaitMs());
        nvlogE("site %s asks to use the key", shownSite(front.queue).c_str());
    }
    Asking& front = s_asking.front();
    Clock::time_point next = front.deadline;
    bool noFinger = false;
    {
        std::lock_guard<std::mutex> session(CNvId::sessionLock());
        if (CNvId::getFpState() != 0) {
            // A page's enrolment or verification waits for a finger: a touch
            // now is that page's, so the question waits and says so.
            if (front.phase == Phase::touch) notifySiteDone();
            if (front.phase != Phase::waiting) announce(front, "wait");
            front.phase = Phase::waiting;
        } else if (!s_touchRunning) {
            const auto left = std::chrono::duration_cast<milliseconds>(front.deadline - now);
            const int rc =
                CNvId::startApproval(static_cast<int>(left.count()) + 1, s_generation + 1, onTouch,
                                     front.confirm && front.assertion);
            if (rc == 0) {
                ++s_generation;
                s_touchRunning = true;
            } else if (rc == kNoFinger && front.confirm) {
                noFinger = true;
            }
        }
        if (s_touchRunning && front.phase != Phase::touch) {
            // Shown afresh: the whole wait is the user's again.
            front.phase = Phase::touch;
            front.deadline = std::max(front.deadline, now + milliseconds(approvalWaitMs()));
            next = front.deadline;
            notifyAsks(front);
            announce(front, "touch");
        }
    }
    if (noFinger) {
        // No enrolled finger could confirm it: said at once.
        decideFront(false, -kNoFinger);
        next = Clock::now();
    }
    if (!s_touchRunning) next = std::min(next, now + kRetry);
    arm(next);
}
