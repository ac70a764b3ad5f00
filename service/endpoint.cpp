// The WebSocket endpoint: one io_context on the calling thread, every
// command executed there one at a time. This is the only file that sees
// Beast and Asio.
// GCC cannot instrument Asio's atomic fences under TSan and says so; the
// fences are Asio's own business.
#if defined(__SANITIZE_THREAD__) && defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wtsan"
#endif
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
#include <memory>
#include <optional>

#include "app/app.h"
#include "log/log.h"
#include "service/logmask.h"
#include "service/options.h"
#include "service/service.h"
#include "util/util.h"

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

namespace {

// A command larger than this closes its connection (the page would never
// send one: the largest real command is a few kilobytes).
constexpr size_t kMaxMessage = 8u << 20;
// A client that stops reading replies stops being read once this many wait.
constexpr size_t kMaxQueuedReplies = 64;
// A connection must finish its HTTP request within this time.
constexpr auto kRequestTimeout = std::chrono::seconds(30);

std::atomic<int> m_mg_run_forever{0};
std::atomic<net::io_context*> s_ioc{nullptr};

class Connection;
// The connection delayed results go to; only the network thread touches it.
std::weak_ptr<Connection> m_mg_nc;

// Which pages may open the WebSocket, and the port a Host header must name.
// Set before the loop starts; read on the network thread only.
OriginPolicy s_policy;
unsigned short s_port = kServicePort;

// `counts`: whether this connection may touch what all clients share (the
// remembered connection, the device session). Under an allow-list only a
// connection that passed the check does, so a refused page cannot take a
// delayed result away from an allowed one or close the key under it.
void connectionCreated(bool counts) {
    if (counts) m_mg_nc.reset();
    nvlogtm();
    _nvlogstr("\nConnection created");
}

void connectionClosed(bool counts) {
    if (counts) m_mg_nc.reset();
    _nvlogstr("Connection closed");
    if (!counts) return;
    std::lock_guard<std::mutex> session(CNvId::sessionLock());
    CNvId::closeDev();
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

// Why a WebSocket handshake is refused ("host" or "origin"), null when it may
// proceed. Without an allow-list every origin may connect, a missing one too.
const char* policyRefusal(const http::request<http::string_body>& request) {
    if (request.count(http::field::host) != 1 || !isOwnHost(request[http::field::host]))
        return "host";
    if (!s_policy.restricted) return nullptr;
    if (request.count(http::field::origin) != 1) return "origin";
    std::string origin;
    if (!normaliseOrigin(std::string(request[http::field::origin]), origin)) return "origin";
    for (const std::string& allowed : s_policy.origins)
        if (allowed == origin) return nullptr;
    return "origin";
}

void handshakeDone() {
    m_mg_nc.reset();
    _nvlogstr("socket handshake done");
    std::lock_guard<std::mutex> session(CNvId::sessionLock());
    CNvId::openDev();
}

// One TCP connection: an HTTP request, then (when it asks for it) a
// WebSocket carrying one command per message.
class Connection : public std::enable_shared_from_this<Connection> {
  public:
    explicit Connection(tcp::socket&& socket)
        : stream_(std::move(socket)), counts_(!s_policy.restricted) {}
    ~Connection() { connectionClosed(counts_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void start() { readRequest(); }

    // Queues one text frame; replies leave in the order they were queued.
    void send(std::string text) {
        if (!ws_ || !ws_->is_open()) return;
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

    void onRequest(beast::error_code ec) {
        if (ec) return;
        request_ = parser_->release();
        // Host and origin come first, for plain requests too, so a page of
        // another site learns nothing; no request body is logged (a page
        // decides what it holds).
        // Refused before the handshake: such a page never opens the key, and
        // its close leaves the key to the others.
        if (const char* what = policyRefusal(request_)) {
            counts_ = false;
            const bool host = what[0] == 'h';
            nvlogE("refused WebSocket handshake: %s \"%.200s\"", what,
                   std::string(request_[host ? http::field::host : http::field::origin]).c_str());
            answer(http::status::forbidden, host ? "host not allowed\n" : "origin not allowed\n",
                   false);
            return;
        }
        // Every path is upgraded, "/websocket" or not: pages in the field use both.
        if (request_.find(http::field::sec_websocket_key) == request_.end()) {
            answer(http::status::upgrade_required, "WS upgrade expected\n", request_.keep_alive());
            return;
        }
        if (!counts_) {
            counts_ = true;
            m_mg_nc.reset();
        }
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
        if (status == http::status::forbidden)
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
        handshakeDone();
        readMessage();
    }

    void readMessage() {
        reading_ = true;
        ws_->async_read(buffer_, [self = shared_from_this()](beast::error_code ec, size_t) {
            self->onMessage(ec);
        });
    }

    void onMessage(beast::error_code ec) {
        reading_ = false;
        if (ec) return;
        // Text and binary frames alike carry one command.
        std::string command = beast::buffers_to_string(buffer_.data());
        buffer_.consume(buffer_.size());
        logmask::logCommand(command);
        std::string reply;
        if (Ckjson::excute(command, reply) == 0) {
            logmask::logReply(reply);
            send(std::move(reply));
        } else {
            m_mg_nc = weak_from_this();
            _nvlogstr("wait end...");
        }
        if (outbox_.size() < kMaxQueuedReplies) readMessage();
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
            return;
        }
        outbox_.pop_front();
        if (!outbox_.empty()) writeNext();
        if (!reading_ && ws_->is_open() && outbox_.size() < kMaxQueuedReplies) readMessage();
    }

    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    http::request<http::string_body> request_;
    http::response<http::string_body> response_;
    // The WebSocket keeps its own handshake timer; the plain socket below it
    // spares a timer check on every read and write.
    std::optional<websocket::stream<tcp::socket>> ws_;
    std::deque<std::string> outbox_;
    bool reading_ = false;
    bool counts_;
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
        connectionCreated(true);
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
            socket.set_option(tcp::no_delay(true), ignored);
            connectionCreated(!s_policy.restricted);
            std::make_shared<Connection>(std::move(socket))->start();
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

}  // namespace

namespace {
// To the connection remembered when it runs, on the network thread.
void deliver(const std::string& text) {
    if (auto c = m_mg_nc.lock()) {
        logmask::logReply(text);
        c->send(text);
    }
}
}  // namespace

void sendMessage(const std::string& text) {
    _nvlogstr("sendMessage");
    net::io_context* ioc = s_ioc.load();
    if (!ioc) return;
    net::dispatch(*ioc, [text] { deliver(text); });
}

void sendMessageLater(const std::string& text) {
    _nvlogstr("sendMessage");
    net::io_context* ioc = s_ioc.load();
    if (!ioc) return;
    net::post(*ioc, [text] { deliver(text); });
}

void setOriginPolicy(const OriginPolicy& policy) {
    s_policy = policy;
}

int work_run(unsigned short port) {
    m_mg_run_forever = 1;
    s_port = port;
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
