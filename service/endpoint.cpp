// The WebSocket endpoint: one io_context on the calling thread, every
// command executed there one at a time. This is the only file that sees
// Beast and Asio.
// GCC cannot instrument Asio's atomic fences under TSan and says so; the
// fences are Asio's own business.
#if defined(__SANITIZE_THREAD__) && defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wtsan"
#endif
#include <sys/resource.h>
#include <unistd.h>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <optional>

#include "app/app.h"
#include "log/log.h"
#include "service/endpoint.h"
#include "service/logmask.h"
#include "service/options.h"
#include "service/service.h"
#include "site/site.h"
#include "util/util.h"

using namespace codes;
namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

namespace {

// A message larger than this closes its connection: the largest real
// command is a few kilobytes (Base64 data above about 4 KB is refused anyway).
constexpr size_t kMaxMessage = 64u << 10;
// Replies queued for a client that does not read them: past this many bytes
// the connection is not read until they drain.
constexpr size_t kMaxQueuedBytes = 1u << 20;
// Commands of a site not yet allowed that wait for the user's answer, and
// the bytes they hold per connection and in all; a connection that sends
// more is closed. Such a connection is read on, so that its close is seen.
constexpr size_t kMaxHeldCommands = 16;
constexpr size_t kMaxHeldBytes = 1u << 20;
constexpr size_t kMaxHeldBytesInAll = 16u << 20;
// Connections of sites not yet allowed, per site (every opaque page counts
// as one site) and in all: the other slots stay for allowed sites and local
// programs.
constexpr size_t kMaxUnallowedPerSite = 32;
constexpr size_t kMaxUnallowed = 64;
// A connection must finish its HTTP request, and any frame it began, within
// this time.
constexpr auto kRequestTimeout = std::chrono::seconds(30);
constexpr auto kFrameTimeout = std::chrono::seconds(30);
// Open connections at most; descriptors beyond them stay for the key, the
// log and the session bus.
constexpr size_t kMaxConnections = 256;
// Connections of other users of the machine, which only learn that they
// are refused: they never take the slots of the daemon's own user.
constexpr size_t kMaxForeignConnections = 16;
constexpr rlim_t kReservedDescriptors = 64;

std::atomic<int> m_mg_run_forever{0};
std::atomic<net::io_context*> s_ioc{nullptr};

net::io_context& context();

class Connection;
// The connection delayed results go to, and its site; only the network
// thread touches them.
std::weak_ptr<Connection> m_mg_nc;
std::string s_targetSite;
// Every open WebSocket connection by its client's id (network thread only).
std::map<uint64_t, std::weak_ptr<Connection>> s_open;
uint64_t s_lastClientId = 0;
size_t s_connections = 0;
size_t s_foreignConnections = 0;
size_t s_connectionCap = kMaxConnections;
size_t s_heldBytes = 0;
std::map<std::string, size_t> s_unallowedBySite;
size_t s_unallowed = 0;

// The port a Host header must name. Set before the loop starts.
unsigned short s_port = kServicePort;

// A connection of `site` opening, upgrading or closing drops the remembered
// target of that site's delayed results; another site's never does.
void dropTargetOf(const std::string& site) {
    if (s_targetSite == site) m_mg_nc.reset();
}

// A page may only reach us under our own loopback name: a page of another
// site whose name was made to resolve to 127.0.0.1 (DNS rebinding) sends
// that name. A client that leaves out the port still names no other site.
bool isOwnHost(beast::string_view value) {
    std::string host;
    for (char c : value)
        host += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    const size_t colon = host.rfind(':');
    if (colon != std::string::npos) {
        if (host.compare(colon + 1, std::string::npos, std::to_string(s_port)) != 0) return false;
        host.erase(colon);
    }
    return host == "127.0.0.1" || host == "localhost";
}

// A connection is let in only when its socket belongs to the user the
// daemon runs as: the browser runs as the desktop user, and another local
// user could send any Origin.
bool isOwnUser(const tcp::socket& socket) {
    beast::error_code ec;
    const tcp::endpoint peer = socket.remote_endpoint(ec);
    if (ec) return false;
    const tcp::endpoint self = socket.local_endpoint(ec);
    if (ec || !peer.address().is_v4() || !self.address().is_v4()) return false;
    const long uid = loopbackPeerUid(peer.address().to_v4().to_uint(), peer.port(),
                                     self.address().to_v4().to_uint(), self.port());
    return uid >= 0 && static_cast<uid_t>(uid) == geteuid();
}

// One TCP connection: an HTTP request, then (when it asks for it) a
// WebSocket carrying one command per message.
class Connection : public std::enable_shared_from_this<Connection> {
  public:
    Connection(tcp::socket&& socket, bool foreign)
        : stream_(std::move(socket)),
          frameTimer_(context()),
          pollTimer_(context()),
          foreign_(foreign) {
        client_.id = ++s_lastClientId;
        client_.allowed = false;
        ++(foreign_ ? s_foreignConnections : s_connections);
        nvlogtm();
        _nvlogstr("\nConnection created");
    }
    ~Connection() {
        --(foreign_ ? s_foreignConnections : s_connections);
        s_open.erase(client_.id);
        dropHeld();
        stopWaiting();
        dropApprovalWaiter(client_.id);
        _nvlogstr("Connection closed");
        if (!counts_) return;
        dropTargetOf(client_.site);
        // A close ends only what belongs to its site: its operation, once
        // none of its pages is left. Logins outlive it (logins.cpp).
        std::lock_guard<std::mutex> session(CNvId::sessionLock());
        if (siteConnectionClosed(client_.site) == 0 && pushSite() == client_.site) {
            const int state = CNvId::getFpState();
            if (state == 2) CNvId::cancelVerify(false);
            if (state == 1) CNvId::cancelEnroll();
        }
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void start() { readRequest(); }

    const Client& client() const { return client_; }
    bool isTarget() const { return counts_; }

    // Queues one text frame; replies leave in the order they were queued.
    void send(std::string text) {
        if (!ws_ || !ws_->is_open()) return;
        queuedBytes_ += text.size();
        outbox_.push_back(std::move(text));
        if (outbox_.size() == 1) writeNext();
    }

  private:
    void readRequest() {
        parser_.emplace();
        parser_->body_limit(1u << 20);
        stream_.expires_after(kRequestTimeout);
        http::async_read(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](beast::error_code ec, size_t) { self->onRequest(ec); });
    }

    // Why a WebSocket handshake whose Host is ours is refused ("user" or
    // "origin"), null when it may proceed; sets the client's site and
    // whether it is allowed already.
    const char* judge(const http::request<http::string_body>& request) {
        // Pages and local programs alike: only the daemon's own user.
        if (foreign_) return "user";
        const size_t origins = request.count(http::field::origin);
        if (origins == 0) {
            // A local program, not a page.
            client_.site.clear();
            client_.allowed = true;
            return nullptr;
        }
        if (origins != 1) return "origin";
        const std::string text(request[http::field::origin]);
        std::string site;
        if (text == kOpaqueSite)
            site = kOpaqueSite;
        else if (!normaliseOrigin(text, site))
            return "origin";
        const SiteVerdict verdict = judgeSite(site);
        if (verdict == SiteVerdict::refused) return "origin";
        client_.site = site == kOpaqueSite ? site + "#" + std::to_string(client_.id) : site;
        client_.allowed = verdict == SiteVerdict::allowed;
        if (!client_.allowed) {
            size_t& ofSite = s_unallowedBySite[shownSite(site)];
            if (ofSite >= kMaxUnallowedPerSite || s_unallowed >= kMaxUnallowed) {
                if (ofSite == 0) s_unallowedBySite.erase(shownSite(site));
                return "many";
            }
            ++ofSite;
            ++s_unallowed;
            waiting_ = true;
        }
        return nullptr;
    }

    // No longer a connection of a site not yet allowed.
    void stopWaiting() {
        if (!waiting_) return;
        waiting_ = false;
        --s_unallowed;
        auto it = s_unallowedBySite.find(shownSite(client_.site));
        if (it != s_unallowedBySite.end() && --it->second == 0) s_unallowedBySite.erase(it);
    }

    void dropHeld() {
        s_heldBytes -= heldBytes_;
        heldBytes_ = 0;
        held_.clear();
    }

    void onRequest(beast::error_code ec) {
        if (ec) return;
        request_ = parser_->release();
        // Nothing of a request is looked at, or logged, before its Host is
        // ours; no request body is logged (a page decides what it holds).
        if (request_.count(http::field::host) != 1 || !isOwnHost(request_[http::field::host])) {
            const beast::string_view host = request_[http::field::host];
            nvlogE("refused %s: host \"%s\"",
                   request_.count(http::field::sec_websocket_key) != 0 ? "WebSocket handshake"
                                                                       : "request",
                   logEscaped(host.data(), host.size(), 200).c_str());
            answer(http::status::forbidden, "host not allowed\n", false);
            return;
        }
        // Every path is upgraded, "/websocket" or not: pages in the field use both.
        if (request_.find(http::field::sec_websocket_key) == request_.end()) {
            answer(http::status::upgrade_required, "WS upgrade expected\n", request_.keep_alive());
            return;
        }
        // Refused before the handshake: such a client never opens the key,
        // and its close leaves the key to the others.
        if (const char* what = judge(request_)) {
            const beast::string_view shown =
                request_[what[0] == 'u' ? http::field::host : http::field::origin];
            nvlogE("refused WebSocket handshake: %s \"%s\"", what,
                   logEscaped(shown.data(), shown.size(), 200).c_str());
            if (what[0] == 'm')
                answer(http::status::service_unavailable,
                       "too many pages of sites not yet allowed\n", false);
            else
                answer(http::status::forbidden,
                       what[0] == 'u' ? "local user not allowed\n" : "origin not allowed\n", false);
            return;
        }
        // A page of a site whose delayed results wait drops that target now,
        // before it hears that its handshake is done.
        if (client_.allowed) dropTargetOf(client_.site);
        stream_.expires_never();
        ws_.emplace(stream_.release_socket());
        // Only the handshake is timed: a page may stay idle for as long as it
        // likes, and on loopback a vanished peer is always reported.
        websocket::stream_base::timeout limits{};
        limits.handshake_timeout = std::chrono::seconds(30);
        limits.idle_timeout = websocket::stream_base::none();
        limits.keep_alive_pings = false;
        ws_->set_option(limits);
        ws_->read_message_max(kMaxMessage);
        ws_->async_accept(
            request_, [self = shared_from_this()](beast::error_code ec) { self->onAccept(ec); });
    }

    // A request that is no WebSocket handshake gets 426 and the connection
    // stays open for another request; a refused handshake gets 403 and the
    // connection ends.
    void answer(http::status status, const char* body, bool keepAlive) {
        response_ = {};
        response_.result(status);
        response_.version(request_.version());
        response_.keep_alive(keepAlive);
        if (status != http::status::upgrade_required)
            response_.set(http::field::content_type, "text/plain");
        response_.body() = body;
        response_.prepare_payload();
        http::async_write(
            stream_, response_, [self = shared_from_this()](beast::error_code ec, size_t) {
                if (ec) return;
                if (self->response_.keep_alive()) {
                    self->readRequest();
                } else {
                    beast::error_code ignored;
                    self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
                }
            });
    }

    void onAccept(beast::error_code ec) {
        if (ec) return;
        s_open[client_.id] = weak_from_this();
        _nvlogstr("socket handshake done");
        if (client_.allowed) becomeAllowed();
        readMessage();
    }

    // From now on this connection reaches the key and what clients share.
    void becomeAllowed() {
        stopWaiting();
        client_.allowed = true;
        counts_ = true;
        dropTargetOf(client_.site);
        std::lock_guard<std::mutex> session(CNvId::sessionLock());
        siteConnectionOpened(client_.site);
        // Connected once for all: reconnecting would end another site's
        // operation and the logins on the key.
        CNvId::chkopendev();
    }

    // Reads one message in pieces, so that a frame that was begun and is
    // not finished in time can be told from a client that sends nothing.
    void readMessage() {
        if (reading_ || !ws_->is_open()) return;
        reading_ = true;
        ws_->async_read_some(
            buffer_, kMaxMessage,
            [self = shared_from_this()](beast::error_code ec, size_t) { self->onPiece(ec); });
    }

    void onPiece(beast::error_code ec) {
        reading_ = false;
        if (ec) {
            frameTimer_.cancel();
            // Gone while its commands waited for the user: the question goes too.
            if (!held_.empty()) {
                dropHeld();
                dropApprovalWaiter(client_.id);
            }
            return;
        }
        if (!ws_->is_message_done()) {
            if (!frameStarted_) {
                frameStarted_ = true;
                // Shortened in tests (FPKEYD_FRAME_WAIT_MS), like the approval's wait.
                static const std::chrono::milliseconds frameWait(millisFromEnv(
                    "FPKEYD_FRAME_WAIT_MS",
                    static_cast<int>(std::chrono::milliseconds(kFrameTimeout).count())));
                frameTimer_.expires_after(frameWait);
                frameTimer_.async_wait([self = shared_from_this()](beast::error_code ec) {
                    if (ec || !self->frameStarted_) return;
                    nvlogE("a frame not finished in time: connection closed");
                    beast::error_code ignored;
                    beast::get_lowest_layer(*self->ws_).close(ignored);
                });
            }
            readMessage();
            return;
        }
        frameStarted_ = false;
        frameTimer_.cancel();
        // Text and binary frames alike carry one command.
        std::string command = beast::buffers_to_string(buffer_.data());
        buffer_.consume(buffer_.size());
        onCommand(std::move(command));
    }

    void onCommand(std::string command) {
        if (!client_.allowed) {
            std::string reply;
            if (refused_ && Ckjson::refuseIfKeyed(command, kSiteNotAllowed, reply)) {
                send(std::move(reply));
                resume();
                return;
            }
            if (!held_.empty() || Ckjson::needsKey(command)) {
                // Held, in order, until the user decides (the question keeps
                // the connection alive: it ends within the wait). Reading goes
                // on, so that a page that leaves withdraws its question.
                if (held_.size() >= kMaxHeldCommands ||
                    heldBytes_ + command.size() > kMaxHeldBytes ||
                    s_heldBytes + command.size() > kMaxHeldBytesInAll) {
                    nvlogE("too many commands wait for the user: connection closed");
                    beast::error_code ignored;
                    beast::get_lowest_layer(*ws_).close(ignored);
                    dropHeld();
                    dropApprovalWaiter(client_.id);
                    return;
                }
                heldBytes_ += command.size();
                s_heldBytes += command.size();
                held_.push_back(std::move(command));
                if (held_.size() == 1)
                    askApproval(client_, [self = shared_from_this()](bool allowed) {
                        self->decided(allowed);
                    });
                resume();
                return;
            }
        }
        run(command);
        resume();
    }

    void run(const std::string& command) {
        logmask::logCommand(command);
        answered(command, 1);
    }

    // Sends the reply of `command`, the `tries`th run of it. A poll whose
    // outcome is pending runs again a little later instead: meanwhile this
    // client's next commands wait unread, as they would behind a command
    // that took that long, and every other client is served.
    void answered(const std::string& command, int tries) {
        std::string reply;
        const int later = Ckjson::excute(command, reply, client_);
        if (later == kPollAgain && tries < kPollTries) {
            polling_ = command;
            pollTimer_.expires_after(std::chrono::milliseconds(kPollEveryMs));
            pollTimer_.async_wait([self = shared_from_this(), tries](beast::error_code ec) {
                if (ec) return;
                std::string again;
                again.swap(self->polling_);
                self->answered(again, tries + 1);
                if (self->polling_.empty()) {
                    self->runHeld();
                    self->resume();
                }
            });
        } else if (later == 0 || later == kPollAgain) {
            logmask::logReply(reply);
            send(std::move(reply));
        } else if (later == 1) {
            m_mg_nc = weak_from_this();
            s_targetSite = client_.site;
            _nvlogstr("wait end...");
        }
        kickApproval();
    }

    void decided(bool allowed) {
        if (!ws_->is_open()) return;
        if (allowed) {
            becomeAllowed();
        } else {
            refused_ = true;
        }
        runHeld();
        resume();
    }

    // Runs the commands held for the user's answer, in order, until one of
    // them polls (the rest follow its answer).
    void runHeld() {
        while (!held_.empty() && polling_.empty()) {
            std::string command = std::move(held_.front());
            held_.pop_front();
            heldBytes_ -= command.size();
            s_heldBytes -= command.size();
            std::string reply;
            if (refused_ && Ckjson::refuseIfKeyed(command, kSiteNotAllowed, reply))
                send(std::move(reply));
            else
                run(command);
        }
    }

    // Reads on unless the client leaves too many replies unread, or a poll
    // of its own waits for its outcome.
    void resume() {
        if (queuedBytes_ <= kMaxQueuedBytes && polling_.empty()) readMessage();
    }

    void writeNext() {
        ws_->text(true);
        ws_->async_write(
            net::buffer(outbox_.front()),
            [self = shared_from_this()](beast::error_code ec, size_t) { self->onWrite(ec); });
    }

    void onWrite(beast::error_code ec) {
        if (ec) {
            outbox_.clear();
            queuedBytes_ = 0;
            return;
        }
        queuedBytes_ -= outbox_.front().size();
        outbox_.pop_front();
        if (!outbox_.empty()) writeNext();
        if (ws_->is_open()) resume();
    }

    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    http::request<http::string_body> request_;
    http::response<http::string_body> response_;
    // The WebSocket keeps its own handshake timer; the plain socket below it
    // spares a timer check on every read and write.
    std::optional<websocket::stream<tcp::socket>> ws_;
    net::steady_timer frameTimer_;
    bool frameStarted_ = false;
    net::steady_timer pollTimer_;
    std::string polling_;  // a command asked again once pollTimer_ ends
    std::deque<std::string> outbox_;
    size_t queuedBytes_ = 0;
    std::deque<std::string> held_;
    size_t heldBytes_ = 0;
    bool waiting_ = false;  // counted among the connections of sites not yet allowed
    bool reading_ = false;
    const bool foreign_;  // another user's: refused at its handshake
    bool refused_ = false;
    bool counts_ = false;
    Client client_;
};

class Listener {
  public:
    explicit Listener(net::io_context& ioc) : ioc_(ioc), acceptor_(ioc), retry_(ioc) {}

    bool open(unsigned short port, std::string& error) {
        beast::error_code ec;
        tcp::endpoint at(net::ip::make_address_v4("127.0.0.1"), port);
        acceptor_.open(at.protocol(), ec);
        if (!ec) acceptor_.set_option(net::socket_base::reuse_address(true), ec);
        if (!ec) acceptor_.bind(at, ec);
        if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
        if (ec) {
            error = ec.message();
            return false;
        }
        accept();
        return true;
    }

  private:
    void accept() {
        acceptor_.async_accept(ioc_, [this](beast::error_code ec, tcp::socket socket) {
            if (ec) {
                // Out of descriptors and the like: try again shortly instead of spinning.
                retry_.expires_after(std::chrono::milliseconds(100));
                retry_.async_wait([this](beast::error_code) { accept(); });
                return;
            }
            beast::error_code ignored;
            // Told apart at once, so that another user's connections never
            // take the slots of the daemon's own.
            const bool foreign = !isOwnUser(socket);
            if (foreign ? s_foreignConnections >= kMaxForeignConnections
                        : s_connections >= s_connectionCap) {
                // Full: the pages already open keep their descriptors.
                nvlogE("connection refused: %zu open", s_connections);
                socket.close(ignored);
            } else {
                socket.set_option(tcp::no_delay(true), ignored);
                std::make_shared<Connection>(std::move(socket), foreign)->start();
            }
            accept();
        });
    }

    net::io_context& ioc_;
    tcp::acceptor acceptor_;
    net::steady_timer retry_;
};

net::io_context& context() {
    // Lives until the process ends: other threads may still post to it.
    static net::io_context* ioc = [] {
        auto* p = new net::io_context(1);
        s_ioc.store(p);
        return p;
    }();
    return *ioc;
}

// As many connections as the descriptor limit leaves room for, beside the
// key, the log and the bus, and never more than kMaxConnections.
size_t connectionCap() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return kMaxConnections;
    if (limit.rlim_cur <= 2 * kReservedDescriptors) return 1;
    const rlim_t room = limit.rlim_cur - kReservedDescriptors;
    return room < kMaxConnections ? static_cast<size_t>(room) : kMaxConnections;
}

}  // namespace

net::io_context& networkContext() {
    return context();
}

void sendToClient(uint64_t clientId, const std::string& text) {
    auto it = s_open.find(clientId);
    if (it == s_open.end()) return;
    if (auto c = it->second.lock()) c->send(text);
}

namespace {
// To the connection remembered when it runs, on the network thread; only a
// page of the site that started the operation gets its result.
void deliver(const std::string& text, const std::string& site) {
    if (auto c = m_mg_nc.lock()) {
        if (site != kAnySite && c->client().site != site) return;
        logmask::logReply(text);
        c->send(text);
    }
}
}  // namespace

void sendMessage(const std::string& text) {
    _nvlogstr("sendMessage");
    net::io_context* ioc = s_ioc.load();
    if (!ioc) return;
    net::dispatch(*ioc, [text, site = pushSite()] { deliver(text, site); });
}

void sendMessageLater(const std::string& text) {
    _nvlogstr("sendMessage");
    net::io_context* ioc = s_ioc.load();
    if (!ioc) return;
    net::post(*ioc, [text, site = pushSite()] { deliver(text, site); });
}

void sendToClients(const std::string& text, bool (*wants)(const Client&)) {
    net::io_context* ioc = s_ioc.load();
    if (!ioc) return;
    net::post(*ioc, [text, wants] {
        for (auto& open : s_open)
            if (auto c = open.second.lock())
                if (wants(c->client())) c->send(text);
    });
}

namespace {
// How a connection's question stands, as its page is told: a pushed
// "ackApprove" with the site and "wait", "touch" or "allowed", or 130.
void tellApproval(uint64_t clientId, const std::string& site, const char* state) {
    std::string text;
    if (state) {
        Json::Value value(Json::arrayValue);
        value.append(site);
        value.append(state);
        makeJsonJV(text, value, "ackApprove", "");
    } else {
        makeJsonErr(text, kSiteNotAllowed, "ackApprove", "");
    }
    sendToClient(clientId, text);
}

// How the confirmation of a page's act stands: a pushed "ackConfirm" with
// the site, "wait" or "touch", and the text the user is shown.
void tellConfirm(uint64_t clientId, const std::string& site, const char* state,
                 const std::string& shown) {
    Json::Value value(Json::arrayValue);
    value.append(site);
    value.append(state);
    value.append(shown);
    std::string text;
    makeJsonJV(text, value, "ackConfirm", "");
    sendToClient(clientId, text);
}
}  // namespace

int work_run(unsigned short port) {
    m_mg_run_forever = 1;
    SiteHooks hooks;
    hooks.loop = &context();
    hooks.tellApproval = tellApproval;
    hooks.tellConfirm = tellConfirm;
    setSiteHooks(hooks);
    s_port = port;
    s_connectionCap = connectionCap();
    CBytesEx::s_SetSpace(false, true);
    nvlogtm();
    _nvlogstr(kServiceVersion);
    _nvlogstr("http entering....");
    char where[32];
    snprintf(where, sizeof where, "127.0.0.1:%u", static_cast<unsigned>(port));
    nvlogE("Starting listener on %s", where);

    net::io_context& ioc = context();
    Listener listener(ioc);
    std::string error;
    if (!listener.open(port, error)) {
        fprintf(stderr, "fpkeyd: cannot listen on %s: %s\n", where, error.c_str());
        nvlogE("err listen %s", error.c_str());
        return 1;
    }
    net::signal_set signals(ioc, SIGINT, SIGTERM);
    signals.async_wait([](beast::error_code ec, int) {
        if (!ec) work_stop();
    });
    while (m_mg_run_forever) {
        ioc.run();
        if (m_mg_run_forever) ioc.restart();
    }
    _nvlogstr("http exit....");
    return 0;
}

int work_stop() {
    m_mg_run_forever = 0;
    context().stop();
    return 0;
}
