// Who may use the key: the site a connection belongs to, what the
// administrator and the user allow (the origin policy and its files), the
// user's approval by a touch on the key with its desktop notification, what
// belongs to which site (logins, the running fingerprint operation, wrong
// PINs), the peer's uid, and the site rules every command passes, driven by
// the facts of its row in the command table. The service above lends this
// layer its network loop and a way to tell a connection how its question
// stands (setSiteHooks); nothing here knows the service. Network thread
// only unless said otherwise.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <json/value.h>

namespace boost {
namespace asio {
class io_context;
}  // namespace asio
}  // namespace boost

// ---- Connections and sites --------------------------------------------------

// Who sent a command. The endpoint keeps one per WebSocket connection; the
// dispatcher sees it while the command runs (network thread only).
struct Client {
    uint64_t id = 0;           // unique per connection, never reused
    std::string site;          // normalised origin; "" for a local program
    bool allowed = true;       // may reach the key and what clients share
    bool watchDevice = false;  // receives key arrival and removal messages
};

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

// What the service lends this layer; set before the loop runs.
struct SiteHooks {
    boost::asio::io_context* loop = nullptr;
    // Tells connection `clientId` how its site's question stands: "wait",
    // "touch" or "allowed"; null when the site was not allowed.
    void (*tellApproval)(uint64_t clientId, const std::string& site, const char* state) = nullptr;
    // Tells connection `clientId` how the confirmation of its act stands:
    // "wait" or "touch", with the site and the text shown.
    void (*tellConfirm)(uint64_t clientId, const std::string& site, const char* state,
                        const std::string& text) = nullptr;
};
void setSiteHooks(const SiteHooks& hooks);

// The uid owning the client end of a loopback TCP connection to us, from
// the kernel's socket table; -1 when it cannot be found.
long loopbackPeerUid(uint32_t peerAddr, uint16_t peerPort, uint32_t ourAddr, uint16_t ourPort);

// A time that tests shorten: the milliseconds of the environment variable
// `name` when they lie from 100 to `normal`, else `normal`.
int millisFromEnv(const char* name, int normal);

// ---- The origin policy and its files ----------------------------------------

// How sites that nobody listed are treated: asked (the user allows them by
// a touch on the key), refused, or let in as they are.
enum class SiteMode { ask, listOnly, any };
// The mode as the administrator's file spells it: "ask", "list-only", "any".
const char* siteModeName(SiteMode mode);

// Which pages may use the key. A listed site may at once; under `ask` any
// other waits for the user's touch, under `listOnly` it is refused at the
// handshake, under `any` it is let in. The origin "null" is never listed.
struct OriginPolicy {
    SiteMode mode = SiteMode::ask;
    // Normalised origins allowed for this run: the administrator's file and
    // the command line.
    std::vector<std::string> origins;
    // The user's remembered sites (read again when it changes, written when
    // the user allows a site); "" when there is no home to keep it in.
    std::string userFile;
};

// The administrator's file: sites allowed for every user and the mode.
constexpr const char* kAdminOriginFile = "/etc/fpkeyd/origins";

// Normalises one origin "scheme://host[:port]" for exact comparison: scheme
// and host in lower case, a decimal port without leading zeros, the default
// port of http/ws (80) and https/wss (443) left out, and one trailing "/"
// dropped. No user, path, query or fragment; a host is ASCII (a name in
// punycode, an IPv4 address, or an IPv6 address in brackets). Returns false
// for anything else, "null" included.
bool normaliseOrigin(const std::string& text, std::string& out);

// Where the origins file lives: $XDG_CONFIG_HOME/fpkeyd/origins when that is
// an absolute path, else $HOME/.config/fpkeyd/origins; "" when neither is set.
std::string originFilePath(const char* xdgConfigHome, const char* home);

// An origins file as it stands: one origin a line; blank lines and text
// from '#' on are comments.
struct OriginFile {
    bool found = false;  // false: nothing at the path (an empty list)
    // Each line as read, its '\n' included (the last may have none): the
    // whole file, so that rewriting it keeps what the user wrote.
    std::vector<std::string> lines;
    // The normalised origin of each line; "" for a comment, a blank line, a
    // mode line or a line that is none of these.
    std::vector<std::string> origins;
    // "PATH:N: why" for each line that is none of these, its text escaped.
    std::vector<std::string> problems;
    bool modeSet = false;
    SiteMode mode = SiteMode::ask;
};

// Reads the file at `path` (a regular file of at most 256 KiB). With
// `withMode` a line "mode ask|list-only|any" sets the mode (the
// administrator's file). False with `error` naming the file when it cannot
// be read; a line that is not understood is only listed in `problems`.
bool readOriginLines(const std::string& path, OriginFile& file, std::string& error, bool withMode);

// Adds the origins of the file at `path` to `policy`; a missing file adds
// nothing. With `withMode` (the administrator's file) a mode line sets the
// mode, and a line that is neither an origin nor that makes it return false
// with `error` naming the file and line: the run would otherwise go on with
// a policy nobody wrote. The user's file (without `withMode`), which the
// daemon writes itself, is read leniently: such a line is skipped and named
// in `error` (one line per problem) while the function returns true, so an
// odd line never costs the user the sites on the other lines. False with
// `error` for either file when it cannot be read.
bool readOriginFile(const std::string& path, OriginPolicy& policy, std::string& error,
                    bool withMode = false);

// The user's allowed sites: `--list-sites` prints them (and the sites the
// administrator allows for everybody) to `out`; `--revoke-site` removes one.
// 0, or 1 with a message on standard error.
int listSites(const OriginPolicy& policy, FILE* out);
int revokeSite(const OriginPolicy& policy, const std::string& origin);

// The policy of this run; call before the loop runs. The Host check
// (127.0.0.1 or localhost, on the listening port) applies under every policy.
void setOriginPolicy(const OriginPolicy& policy);

enum class SiteVerdict { allowed, ask, refused };
// What the policy says of `site` (a normalised origin, or kOpaqueSite).
SiteVerdict judgeSite(const std::string& site);
// Remembers a site the user allowed in the user's file (not "null").
void rememberSite(const std::string& site);

// ---- Approval by touch ------------------------------------------------------

// Asks the user to allow the site of `client`; `decided` is called once on
// the network thread with true (allowed) or false (refused, no touch in
// time, or asked too recently). A site already being asked gains one more
// waiter.
void askApproval(const Client& client, std::function<void(bool)> decided);
// Asks the user to confirm an act of `client` by a fresh touch, showing
// `site` and `text`. An `assertion` shows the page's own text and only an
// enrolled finger counts; an act's text is the daemon's name for it.
// `confirmed` is called once on the network thread with 0 or the code of
// why not (kNotConfirmed: no touch in time), the module template the touch
// matched (0 when any finger counted), and whether the desktop showed the
// question. Taken in turn with the sites' questions.
void askConfirmation(const Client& client, const std::string& site, const std::string& text,
                     bool assertion, std::function<void(int, int, bool)> confirmed);
// Forgets the waiters of a connection that closed.
void dropApprovalWaiter(uint64_t clientId);
// Called after every command: a waiting approval starts once the module is free.
void kickApproval();
// A page's command needs the fingerprint module: the touch stops until the
// command is done (kickApproval starts it again). Session lock held.
void pauseApproval();
// The wait for a touch, in milliseconds (30 s; FPKEYD_APPROVAL_WAIT_MS in tests).
int approvalWaitMs();
// Whether a question is shown and its touch awaited now: a touch then is
// that question's, so no page's fingerprint operation may start.
bool approvalAwaitsTouch();

// Shows (or withdraws) the desktop notification naming a site that asks,
// or a site's act or assertion to confirm with its text. Without a session
// bus or a
// notification service nothing is shown.
void notifySiteAsks(const std::string& site);
void notifyConfirmAsks(const std::string& site, const std::string& text, bool assertion);
void notifySiteDone();
// Whether the notification service took the question shown last.
bool notificationTaken();

// ---- What belongs to a site ---------------------------------------------------

// A login, as a command needs or makes it: the finger login (FingerSign's
// user), the PIN login (the application rkLogin opened), or the looping
// verification's (startVerify then LoopVerify, which makes a PIN login too).
enum class Login { none, finger, pin, polling };
// A login made by `site` (replacing any of its kind).
void loginMadeBy(Login kind, const std::string& site);
// Whether `site` may use the login of `kind` (true when it made it).
bool loginBelongsTo(Login kind, const std::string& site);
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

// The site whose pages receive the pushed results of the fingerprint
// operation (kAnySite before any operation started); safe from any thread.
constexpr const char* kAnySite = "*";
std::string pushSite();

// ---- The site rules -----------------------------------------------------------

// The family of fingerprint operations a command belongs to: a command
// outside the running operation's family ends it first (the cancel rule);
// a neutral command never ends one.
enum class Family { none, verification, enrolment, neutral };
// What a command does to a fingerprint operation: starts one (on success,
// or when answered later), waits for its end, cancels it, or polls it.
enum class Role { none, starts, startsLater, waits, cancels, polls };

// What the site rules and the cancel rule know of a command: each row of
// the command table carries one, written with the setters below.
struct CommandFacts {
    bool touchesKey = true;   // false: touches neither the key nor what clients share
    bool usesModule = false;  // talks to the fingerprint module or reopens the key
    Family family = Family::none;
    Role role = Role::none;
    Login needs = Login::none;  // whose absence answers as if nobody logged in
    Login makes = Login::none;
    bool triesPin = false;  // a PIN from a page: counted, and never the key's last tries

    constexpr CommandFacts touchesNothing() const {
        CommandFacts f = *this;
        f.touchesKey = false;
        return f;
    }
    constexpr CommandFacts module() const {
        CommandFacts f = *this;
        f.usesModule = true;
        return f;
    }
    constexpr CommandFacts in(Family family_, Role role_ = Role::none) const {
        CommandFacts f = *this;
        f.family = family_;
        f.role = role_;
        return f;
    }
    constexpr CommandFacts acts(Role role_) const {
        CommandFacts f = *this;
        f.role = role_;
        return f;
    }
    constexpr CommandFacts needing(Login login) const {
        CommandFacts f = *this;
        f.needs = login;
        return f;
    }
    constexpr CommandFacts making(Login login) const {
        CommandFacts f = *this;
        f.makes = login;
        return f;
    }
    constexpr CommandFacts pin() const {
        CommandFacts f = *this;
        f.triesPin = true;
        return f;
    }
};

// The fingerprint-operation calls the rules make, as a table so that tests
// can watch the cancel rule at work.
struct FpOps {
    int (*getFpState)();
    int (*cancelVerify)(bool extra);
    int (*cancelEnroll)();
    void (*sleepMs)(unsigned ms);
};
// Installs `ops` (null restores the session's own operations).
void setFpOps(const FpOps* ops);

// The cancel rule, before a command of an allowed client runs: a command
// outside the running operation's family ends it first, when the operation
// is `site`'s own. `facts` is null for a function that is no command.
// Session lock held.
void cancelOtherFamily(const CommandFacts* facts, const std::string& site);

// Answers of siteRuleBefore besides result codes.
constexpr int kRunIt = -1;
constexpr int kWaitsForNothing = -2;  // no answer at all
// The site rules around a command that touches the key, for an allowed
// client of `site` ("" for a local program): before it runs, kRunIt,
// kWaitsForNothing or the code to answer with; after it ran, with its code.
// Session lock held.
int siteRuleBefore(const CommandFacts& facts, const Json::Value& params, const std::string& site);
void siteRuleAfter(const CommandFacts& facts, const Json::Value& params, const std::string& site,
                   int code);
