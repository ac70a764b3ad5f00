// The WebSocket client; the only test file that sees Beast.
// GCC cannot instrument Asio's atomic fences under TSan and says so; the
// fences are Asio's own business.
#if defined(__SANITIZE_THREAD__) && defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wtsan"
#endif
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <random>

#include "tests/support/support.h"

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace http = beast::http;
using tcp = net::ip::tcp;

namespace support {
namespace {

tcp::endpoint loopback(unsigned short port) {
    return tcp::endpoint(net::ip::make_address_v4("127.0.0.1"), port);
}

// Runs the context until `done` or the time-out; on time-out closes the
// socket so the pending operation ends, and reports false.
template <class Socket>
bool runUntil(net::io_context& ioc, const bool& done, milliseconds timeout, Socket& socket) {
    ioc.restart();
    ioc.run_for(timeout);
    if (done) return true;
    beast::error_code ignored;
    socket.close(ignored);
    ioc.restart();
    ioc.run();
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------
std::string rawHttp(unsigned short port, const std::string& request, milliseconds timeout) {
    net::io_context ioc;
    tcp::socket socket(ioc);
    std::string received;
    bool done = false;
    char chunk[4096];
    std::function<void(beast::error_code, size_t)> onRead = [&](beast::error_code ec, size_t n) {
        received.append(chunk, n);
        if (ec) {
            done = true;
            return;
        }
        socket.async_read_some(net::buffer(chunk), onRead);
    };
    socket.async_connect(loopback(port), [&](beast::error_code ec) {
        if (ec) {
            done = true;
            return;
        }
        net::async_write(socket, net::buffer(request), [&](beast::error_code ec, size_t) {
            if (ec) {
                done = true;
                return;
            }
            socket.async_read_some(net::buffer(chunk), onRead);
        });
    });
    runUntil(ioc, done, timeout, socket);
    return received;
}

// ---------------------------------------------------------------------------
struct WsClient::Impl {
    net::io_context ioc;
    websocket::stream<tcp::socket> ws{ioc};
    bool open = false;
    bool lastText = true;
    std::string error;

    bool fail(const std::string& what, beast::error_code ec) {
        error = what + ": " + ec.message();
        beast::error_code ignored;
        ws.next_layer().close(ignored);
        open = false;
        return false;
    }

    template <class Start>
    bool run(const char* what, milliseconds timeout, Start start) {
        bool done = false;
        beast::error_code result;
        start([&](beast::error_code ec) {
            result = ec;
            done = true;
        });
        if (!runUntil(ioc, done, timeout, ws.next_layer())) {
            error = std::string(what) + ": timed out";
            open = false;
            return false;
        }
        if (result) return fail(what, result);
        return true;
    }
};

WsClient::WsClient() : impl_(new Impl) {}
WsClient::~WsClient() {
    if (impl_->open) {
        beast::error_code ignored;
        impl_->ws.next_layer().close(ignored);
    }
}

bool WsClient::connect(unsigned short port, const std::string& path, milliseconds timeout) {
    return connectAs(port, "", path, timeout);
}

bool WsClient::connectAs(unsigned short port, const std::string& origin, const std::string& path,
                         milliseconds timeout) {
    Impl& d = *impl_;
    if (!origin.empty())
        d.ws.set_option(websocket::stream_base::decorator(
            [origin](websocket::request_type& r) { r.set(http::field::origin, origin); }));
    if (!d.run("connect", timeout,
               [&](auto done) { d.ws.next_layer().async_connect(loopback(port), done); }))
        return false;
    d.ws.read_message_max(64u << 20);
    if (!d.run("handshake", timeout, [&](auto done) {
            d.ws.async_handshake("127.0.0.1:" + std::to_string(port), path, done);
        }))
        return false;
    d.open = true;
    return true;
}

bool WsClient::sendText(const std::string& text, milliseconds timeout) {
    Impl& d = *impl_;
    d.ws.text(true);
    return d.run("write", timeout, [&](auto done) {
        d.ws.async_write(net::buffer(text), [done](beast::error_code ec, size_t) { done(ec); });
    });
}

bool WsClient::sendBinary(const std::string& bytes, milliseconds timeout) {
    Impl& d = *impl_;
    d.ws.binary(true);
    return d.run("write", timeout, [&](auto done) {
        d.ws.async_write(net::buffer(bytes), [done](beast::error_code ec, size_t) { done(ec); });
    });
}

std::optional<std::string> WsClient::recv(milliseconds timeout) {
    Impl& d = *impl_;
    beast::flat_buffer buffer;
    if (!d.open) return std::nullopt;
    if (!d.run("read", timeout, [&](auto done) {
            d.ws.async_read(buffer, [done](beast::error_code ec, size_t) { done(ec); });
        }))
        return std::nullopt;
    d.lastText = d.ws.got_text();
    return beast::buffers_to_string(buffer.data());
}

bool WsClient::lastWasText() const {
    return impl_->lastText;
}
bool WsClient::isOpen() const {
    return impl_->open;
}
std::string WsClient::lastError() const {
    return impl_->error;
}

std::string WsClient::call(const std::string& command, milliseconds timeout) {
    if (!sendText(command, timeout)) return "<no reply: " + lastError() + ">";
    auto reply = recv(timeout);
    return reply ? *reply : "<no reply: " + lastError() + ">";
}

// ---------------------------------------------------------------------------
struct RawWs::Impl {
    net::io_context ioc;
    tcp::socket socket{ioc};
    std::string pending;  // bytes read past the handshake
};

RawWs::RawWs() : impl_(new Impl) {}
RawWs::~RawWs() {
    close();
}

bool RawWs::connect(unsigned short port, const std::string& path, milliseconds timeout) {
    Impl& d = *impl_;
    bool done = false;
    bool ok = false;
    std::string request = "GET " + path +
                          " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                          "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                          "Sec-WebSocket-Version: 13\r\n\r\n";
    d.socket.async_connect(loopback(port), [&](beast::error_code ec) {
        if (ec) {
            done = true;
            return;
        }
        net::async_write(d.socket, net::buffer(request), [&](beast::error_code ec, size_t) {
            if (ec) {
                done = true;
                return;
            }
            net::async_read_until(d.socket, net::dynamic_buffer(d.pending), "\r\n\r\n",
                                  [&](beast::error_code ec, size_t n) {
                                      done = true;
                                      if (ec) return;
                                      ok = d.pending.compare(0, 12, "HTTP/1.1 101") == 0;
                                      d.pending.erase(0, n);
                                  });
        });
    });
    return runUntil(d.ioc, done, timeout, d.socket) && ok;
}

std::string RawWs::frame(const std::string& payload, int opcode) {
    static std::mt19937 rng(12345);
    std::string f;
    f += static_cast<char>(0x80 | (opcode & 0x0F));
    size_t n = payload.size();
    if (n < 126) {
        f += static_cast<char>(0x80 | n);
    } else if (n < 65536) {
        f += static_cast<char>(0x80 | 126);
        f += static_cast<char>(n >> 8);
        f += static_cast<char>(n & 0xFF);
    } else {
        f += static_cast<char>(0x80 | 127);
        for (int i = 7; i >= 0; --i)
            f += static_cast<char>((n >> (8 * i)) & 0xFF);
    }
    char mask[4];
    for (char& m : mask)
        m = static_cast<char>(rng());
    f.append(mask, 4);
    for (size_t i = 0; i < n; ++i)
        f += static_cast<char>(payload[i] ^ mask[i % 4]);
    return f;
}

bool RawWs::write(const std::string& bytes) {
    beast::error_code ec;
    net::write(impl_->socket, net::buffer(bytes), ec);
    return !ec;
}

std::optional<std::string> RawWs::readFrame(milliseconds timeout, int* opcode) {
    Impl& d = *impl_;
    auto need = [&](size_t n) {
        bool done = false;
        bool ok = false;
        if (d.pending.size() >= n) return true;
        net::async_read(d.socket, net::dynamic_buffer(d.pending),
                        net::transfer_at_least(n - d.pending.size()),
                        [&](beast::error_code ec, size_t) {
                            done = true;
                            ok = !ec;
                        });
        return runUntil(d.ioc, done, timeout, d.socket) && (ok || d.pending.size() >= n);
    };
    if (!need(2)) return std::nullopt;
    auto b0 = static_cast<uint8_t>(d.pending[0]);
    auto b1 = static_cast<uint8_t>(d.pending[1]);
    size_t header = 2;
    uint64_t len = b1 & 0x7F;
    if (len == 126) {
        header = 4;
        if (!need(header)) return std::nullopt;
        len = (uint64_t(uint8_t(d.pending[2])) << 8) | uint8_t(d.pending[3]);
    } else if (len == 127) {
        header = 10;
        if (!need(header)) return std::nullopt;
        len = 0;
        for (int i = 0; i < 8; ++i)
            len = (len << 8) | uint8_t(d.pending[2 + i]);
    }
    if (!need(header + len)) return std::nullopt;
    if (opcode) *opcode = b0 & 0x0F;
    std::string payload = d.pending.substr(header, len);
    d.pending.erase(0, header + len);
    return payload;
}

void RawWs::close() {
    beast::error_code ignored;
    impl_->socket.close(ignored);
}

}  // namespace support
