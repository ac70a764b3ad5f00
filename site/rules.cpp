// The site rules every command that touches the key passes, and the cancel
// rule: what a command of one site may do to another site's operation,
// logins and PIN tries. Each rule reads the facts of the command's row,
// never its name.
#include <mutex>

#include "app/app.h"
#include "log/log.h"
#include "site/internal.h"
#include "util/util.h"

using namespace codes;

namespace {

const FpOps kSessionOps = {CNvId::getFpState, CNvId::cancelVerify, CNvId::cancelEnroll, nvSleep};
const FpOps* s_ops = &kSessionOps;
SiteHooks s_hooks;

// The site that started the running (or last) fingerprint operation, and
// the one of the last looping verification. Read by the threads that push.
std::mutex s_siteMutex;
std::string s_fpSite = kAnySite;
std::string s_verifySite;

void setFpSite(const std::string& site) {
    std::lock_guard<std::mutex> lock(s_siteMutex);
    s_fpSite = site;
}

bool isPinLogin(const Json::Value& p) {
    return p.isArray() && p.size() == 3 && p[2].isString() && !p[2].asString().empty();
}

// The running operation belongs to another site than `site`.
bool anotherSitesOperation(int state, const std::string& site) {
    if (state == 0) return false;
    const std::string owner = pushSite();
    return owner != kAnySite && owner != site;
}

}  // namespace

void setSiteHooks(const SiteHooks& hooks) {
    s_hooks = hooks;
}

boost::asio::io_context& siteint::loop() {
    return *s_hooks.loop;
}

void siteint::tellApproval(uint64_t clientId, const std::string& site, const char* state) {
    if (s_hooks.tellApproval) s_hooks.tellApproval(clientId, site, state);
}

void siteint::tellConfirm(uint64_t clientId, const std::string& site, const char* state,
                          const std::string& text) {
    if (s_hooks.tellConfirm) s_hooks.tellConfirm(clientId, site, state, text);
}

std::string pushSite() {
    std::lock_guard<std::mutex> lock(s_siteMutex);
    return s_fpSite;
}

void setFpOps(const FpOps* ops) {
    s_ops = ops ? ops : &kSessionOps;
}

void cancelOtherFamily(const CommandFacts* facts, const std::string& site) {
    // Watching for keys touches no key: a page may start it mid-enrolment.
    const Family family = facts ? facts->family : Family::none;
    if (family == Family::neutral) return;
    const int state = s_ops->getFpState();
    if (state == 0 || anotherSitesOperation(state, site)) return;
    if (state == 2 && family != Family::verification) {
        _nvlogstr("other CancelVerify");
        s_ops->cancelVerify(false);
        s_ops->sleepMs(300);
    } else if (state == 1 && family != Family::enrolment) {
        _nvlogstr("other CancelEnroll");
        s_ops->cancelEnroll();
        s_ops->sleepMs(300);
    }
}

int siteRuleBefore(const CommandFacts& c, const Json::Value& p, const std::string& site) {
    siteExpireLogins();
    if (anotherSitesOperation(s_ops->getFpState(), site)) {
        // Another site's enrolment or verification: a page may neither
        // steer nor end it; what would need the module waits its turn.
        if (c.role == Role::waits) return kWaitsForNothing;
        if (c.role == Role::cancels) return kCanceled;
        if (c.role == Role::polls) return kNoUser;
        if (c.usesModule) return kKeyBusyForAnotherSite;
    }
    // While the user is asked to touch the key for a site, no page starts a
    // fingerprint operation that the touch would go to.
    const bool waitsForFinger =
        c.role == Role::starts || (c.role == Role::startsLater && !isPinLogin(p));
    if (waitsForFinger && approvalAwaitsTouch()) return kKeyBusyForAnotherSite;
    if (c.usesModule && CNvId::approvalBusy()) pauseApproval();
    if (c.needs == Login::polling && s_verifySite != site) return kNoUser;
    if (c.needs == Login::finger && !loginBelongsTo(Login::finger, site)) return kNoUser;
    if (c.needs == Login::pin && !loginBelongsTo(Login::pin, site)) return kOpenApp;
    if (c.triesPin && isPinLogin(p) && !site.empty()) {
        // A page can never lock the key: few wrong PINs per site, and the
        // key's last tries are left to its owner's own programs. Every
        // opaque page counts as one site here: a new file page earns no
        // new tries.
        if (!pinTryAllowed(shownSite(site))) return kSitePinLimit;
        const std::string name = p[0].isString() ? p[0].asString() : std::string();
        const int left = CNvId::pinTriesLeft(p[0].isString() ? name.c_str() : nullptr);
        if (left >= 0 && left <= 2) return kPinTriesKept;
    }
    // A login started here belongs to this site from now on.
    if (c.makes == Login::finger) loginMadeBy(Login::finger, site);
    if (c.makes == Login::pin || c.makes == Login::polling) loginMadeBy(Login::pin, site);
    return kRunIt;
}

void siteRuleAfter(const CommandFacts& c, const Json::Value& p, const std::string& site, int code) {
    if (c.triesPin && isPinLogin(p) && !site.empty() && (code == kOk || code == kBadPin))
        pinTried(shownSite(site), code == kBadPin);
    const bool started = (c.role == Role::starts && code == kOk) ||
                         (c.role == Role::startsLater && code == kAnswerLater);
    if (!started) return;
    setFpSite(site);
    if (c.makes == Login::polling) s_verifySite = site;
}
