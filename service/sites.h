// Sites and their approval, inside the service: whether a site may use the
// key, how the user is asked, and what belongs to which site (logins,
// pushed results, wrong PINs). Network thread only unless said otherwise.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "service/service.h"

// The site of pages whose origin is opaque ("null": file pages, sandboxed
// frames). Never remembered; each such connection is its own site, named
// "null#" and the connection's id where sites are told apart.
constexpr const char* kOpaqueSite = "null";
// Whether `site` is an opaque page's ("null" or one of "null#N").
inline bool isOpaqueSite(const std::string& site) {
    return site.compare(0, 4, kOpaqueSite) == 0 && (site.size() == 4 || site[4] == '#');
}
// The site as pages and the user are told it: "null" for any opaque page.
inline std::string shownSite(const std::string& site) {
    return isOpaqueSite(site) ? std::string(kOpaqueSite) : site;
}

// Result codes of the site rules (none of them comes from the key).
constexpr int kSiteNotAllowed = 130;
constexpr int kSitePinLimit = 131;
constexpr int kPinTriesKept = 132;
constexpr int kKeyBusyForAnotherSite = 133;

enum class SiteVerdict { allowed, ask, refused };
// What the policy says of `site` (a normalised origin, or kOpaqueSite).
SiteVerdict judgeSite(const std::string& site);
// Remembers a site the user allowed in the user's file (not "null").
void rememberSite(const std::string& site);

// The uid owning the client end of a loopback TCP connection to us, from
// the kernel's socket table; -1 when it cannot be found.
long loopbackPeerUid(uint32_t peerAddr, uint16_t peerPort, uint32_t ourAddr, uint16_t ourPort);

// ---- Approval by touch ----------------------------------------------------
// Asks the user to allow `site` for the connection `client`; `decided` is
// called once on the network thread with true (allowed) or false (refused,
// or no touch in time). A site already being asked gains one more waiter.
void askApproval(const Client& client, std::function<void(bool)> decided);
// Forgets the waiters of a connection that closed.
void dropApprovalWaiter(uint64_t clientId);
// Called after every command: a waiting approval starts once the module is free.
void kickApproval();
// A page's command needs the fingerprint module: the touch stops until the
// command is done (kickApproval starts it again). Session lock held.
void pauseApproval();
// The wait for a touch, in milliseconds (30 s; FPKEYD_APPROVAL_WAIT_MS in tests).
int approvalWaitMs();
// A time that tests shorten: the milliseconds of the environment variable
// `name` when they lie from 100 to `normal`, else `normal`.
int millisFromEnv(const char* name, int normal);

// ---- Desktop notification -------------------------------------------------
// Shows (or withdraws) the desktop notification naming a site that asks.
// Without a session bus or a notification service nothing is shown.
void notifySiteAsks(const std::string& site);
void notifySiteDone();

// ---- What belongs to a site -------------------------------------------------
enum class Login { finger, pin };
// A login made by `site` (replacing any of its kind).
void loginMadeBy(Login kind, const std::string& site);
// Whether `site` may use the login of `kind` (true when it made it).
bool loginBelongsTo(Login kind, const std::string& site);
// Every login ends (the key went away). Session lock held.
void forgetLogins();
// Open connections of a site come and go; a login ends 60 s after its
// site's last connection closed. Session lock held for siteExpireLogins and
// siteConnectionOpened (which expires first).
void siteConnectionOpened(const std::string& site);
// Returns how many connections of the site are still open.
int siteConnectionClosed(const std::string& site);
void siteExpireLogins();
// Wrong PINs: whether `site` may try another now, and the outcome of a try.
bool pinTryAllowed(const std::string& site);
void pinTried(const std::string& site, bool wrong);
