// Asking the user to allow a site: one site at a time, first come first
// asked. The site's waiting pages get a pushed "ackApprove" and the desktop
// shows a notification; a touch on the key's sensor allows the site, and no
// touch within the wait refuses it. The touch is taken on a fingerprint
// worker of the key session; this file only runs on the network thread and
// never waits for the key.
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
#include <mutex>
#include <utility>
#include <vector>

#include "app/app.h"
#include "log/log.h"
#include "service/endpoint.h"
#include "service/sites.h"

namespace net = boost::asio;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kDefaultWaitMs = 30000;
// While the module is busy with a page's fingerprint operation, how often
// to look whether the touch can be asked for.
constexpr auto kRetry = std::chrono::milliseconds(250);

struct Waiter {
    uint64_t clientId;
    std::function<void(bool)> decided;
};

struct Asking {
    std::string site;   // what is remembered once allowed
    std::string queue;  // what waiters are grouped by: the site, or one opaque page
    std::vector<Waiter> waiters;
    Clock::time_point deadline;
    bool announced = false;
};

std::deque<Asking> s_asking;
bool s_touchRunning = false;
unsigned s_generation = 0;
// Outcomes the worker handed over and the network thread has taken: a
// worker that ended with both equal was stopped and reported nothing.
std::atomic<unsigned> s_outcomesPosted{0};
unsigned s_outcomesTaken = 0;

net::steady_timer& timer() {
    static net::steady_timer* t = new net::steady_timer(networkContext());
    return *t;
}

std::string queueOf(const Client& client) {
    // Every opaque page is asked on its own: "null" names no site.
    if (client.site == kOpaqueSite) return client.site + "#" + std::to_string(client.id);
    return client.site;
}

void announce(Asking& a, bool done, bool allowed) {
    std::string text;
    if (done && !allowed) {
        makeJsonErr(text, kSiteNotAllowed, "ackApprove", "");
    } else {
        Json::Value value(Json::arrayValue);
        value.append(a.site);
        value.append(done ? "allowed" : "touch");
        makeJsonJV(text, value, "ackApprove", "");
    }
    for (const Waiter& w : a.waiters)
        sendToClient(w.clientId, text);
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

void decideFront(bool allowed) {
    Asking a = std::move(s_asking.front());
    s_asking.pop_front();
    stopTouch();
    notifySiteDone();
    nvlogE("site %s %s", a.site.c_str(), allowed ? "allowed by a touch" : "not allowed");
    if (allowed) rememberSite(a.site);
    announce(a, true, allowed);
    for (Waiter& w : a.waiters)
        w.decided(allowed);
}

void onTouch(unsigned generation, int outcome) {
    ++s_outcomesPosted;
    net::post(networkContext(), [generation, outcome] {
        ++s_outcomesTaken;
        if (generation != s_generation || !s_touchRunning) return;
        s_touchRunning = false;
        if (s_asking.empty()) return;
        if (outcome == 0)
            decideFront(true);
        else if (outcome == CNvId::kApproveTimedOut)
            decideFront(false);
        kickApproval();
    });
}

void arm() {
    if (s_asking.empty()) {
        timer().cancel();
        return;
    }
    Clock::time_point when = s_asking.front().deadline;
    if (!s_touchRunning) when = std::min(when, Clock::now() + kRetry);
    timer().expires_at(when);
    timer().async_wait([](boost::system::error_code ec) {
        if (!ec) kickApproval();
    });
}

}  // namespace

int approvalWaitMs() {
    static const int ms = millisFromEnv("FPKEYD_APPROVAL_WAIT_MS", kDefaultWaitMs);
    return ms;
}

void askApproval(const Client& client, std::function<void(bool)> decided) {
    const std::string queue = queueOf(client);
    for (Asking& a : s_asking)
        if (a.queue == queue) {
            a.waiters.push_back({client.id, std::move(decided)});
            if (a.announced) {
                Asking one{a.site, a.queue, {a.waiters.back()}, a.deadline, true};
                announce(one, false, false);
            }
            return;
        }
    Asking a;
    a.site = client.site;
    a.queue = queue;
    a.waiters.push_back({client.id, std::move(decided)});
    a.deadline = Clock::time_point::max();
    s_asking.push_back(std::move(a));
    kickApproval();
}

void dropApprovalWaiter(uint64_t clientId) {
    for (size_t i = 0; i < s_asking.size(); ++i) {
        std::vector<Waiter>& w = s_asking[i].waiters;
        for (size_t j = 0; j < w.size(); ++j)
            if (w[j].clientId == clientId) {
                w.erase(w.begin() + static_cast<std::ptrdiff_t>(j));
                break;
            }
        if (!w.empty()) continue;
        // Nobody waits any more: the question is withdrawn.
        if (i == 0) {
            stopTouch();
            notifySiteDone();
        }
        s_asking.erase(s_asking.begin() + static_cast<std::ptrdiff_t>(i));
        kickApproval();
        return;
    }
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
    while (!s_asking.empty() && Clock::now() >= s_asking.front().deadline)
        decideFront(false);
    if (s_asking.empty()) {
        arm();
        return;
    }
    Asking& front = s_asking.front();
    if (!front.announced) {
        // The wait counts from when the user is asked, not from the queue.
        front.announced = true;
        front.deadline = Clock::now() + std::chrono::milliseconds(approvalWaitMs());
        nvlogE("site %s asks to use the key", front.site.c_str());
        notifySiteAsks(front.site);
        announce(front, false, false);
    }
    if (!s_touchRunning) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(front.deadline - Clock::now());
        std::lock_guard<std::mutex> session(CNvId::sessionLock());
        // Never while a page's enrolment or verification waits for a finger.
        if (CNvId::getFpState() == 0 && CNvId::startApproval(static_cast<int>(left.count()) + 1,
                                                             s_generation + 1, onTouch) == 0) {
            ++s_generation;
            s_touchRunning = true;
        }
    }
    arm();
}
