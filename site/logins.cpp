// What belongs to a site: its finger and PIN logins, and its wrong PINs. A
// login lives while its site has a page open, and 60 s beyond the last
// one, so that a page moving to another page of its site keeps it.
#include <chrono>
#include <map>
#include <mutex>

#include "app/app.h"
#include "site/internal.h"

using Clock = std::chrono::steady_clock;

namespace {

// How long a login outlives its site's last page: 60 s, shorter in tests
// (FPKEYD_LOGIN_OUTLIVES_MS, like the approval's wait).
Clock::duration loginOutlivesPage() {
    static const Clock::duration d =
        std::chrono::milliseconds(millisFromEnv("FPKEYD_LOGIN_OUTLIVES_MS", 60000));
    return d;
}
// Wrong PINs a site may send in the window before it is refused unheard.
constexpr int kWrongPinsPerWindow = 3;
constexpr auto kWrongPinWindow = std::chrono::minutes(10);

struct Owner {
    bool held = false;
    std::string site;
};

// Guarded by the session lock: the dispatcher and the endpoint (on the
// network thread) and the event thread all reach these.
Owner s_finger;
Owner s_pin;

struct SiteCount {
    int open = 0;
    Clock::time_point lastClosed;
};
std::map<std::string, SiteCount> s_open;  // network thread

struct WrongPins {
    int count = 0;
    Clock::time_point since;
};
std::map<std::string, WrongPins> s_wrong;  // network thread

Owner& ownerOf(Login kind) {
    return kind == Login::finger ? s_finger : s_pin;
}

void forget(Login kind) {
    Owner& o = ownerOf(kind);
    if (!o.held) return;
    o = Owner();
    if (kind == Login::finger)
        CNvId::forgetFingerLogin();
    else
        CNvId::forgetPinLogin();
}

}  // namespace

void loginMadeBy(Login kind, const std::string& site) {
    Owner& o = ownerOf(kind);
    // Another site's login ends here: nothing of it passes to this one.
    if (o.held && o.site != site) forget(kind);
    o.held = true;
    o.site = site;
}

bool loginBelongsTo(Login kind, const std::string& site) {
    const Owner& o = ownerOf(kind);
    return !o.held || o.site == site;
}

void siteConnectionOpened(const std::string& site) {
    // Logins expire when looked at: a page that opens after its site's
    // login ran out must not revive it.
    siteExpireLogins();
    ++s_open[site].open;
}

int siteConnectionClosed(const std::string& site) {
    auto it = s_open.find(site);
    if (it == s_open.end() || it->second.open <= 0) return 0;
    if (--it->second.open == 0) it->second.lastClosed = Clock::now();
    return it->second.open;
}

void siteExpireLogins() {
    const Clock::time_point now = Clock::now();
    const Clock::duration outlives = loginOutlivesPage();
    for (Login kind : {Login::finger, Login::pin}) {
        const Owner& o = ownerOf(kind);
        if (!o.held) continue;
        auto it = s_open.find(o.site);
        const bool gone =
            it == s_open.end() || (it->second.open == 0 && now - it->second.lastClosed >= outlives);
        if (gone) forget(kind);
    }
    for (auto it = s_open.begin(); it != s_open.end();)
        if (it->second.open == 0 && now - it->second.lastClosed >= outlives &&
            it->first != s_finger.site && it->first != s_pin.site)
            it = s_open.erase(it);
        else
            ++it;
}

bool pinTryAllowed(const std::string& site) {
    auto it = s_wrong.find(site);
    if (it == s_wrong.end()) return true;
    if (Clock::now() - it->second.since >= kWrongPinWindow) {
        s_wrong.erase(it);
        return true;
    }
    return it->second.count < kWrongPinsPerWindow;
}

void pinTried(const std::string& site, bool wrong) {
    if (!wrong) {
        s_wrong.erase(site);
        return;
    }
    WrongPins& w = s_wrong[site];
    if (w.count == 0) w.since = Clock::now();
    ++w.count;
}
