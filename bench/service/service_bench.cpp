// Round trips per second of "GetVersion" through the real endpoint and
// dispatcher, beside a minimal Beast echo server with the same threading
// (one io_context thread) in the same run. Prints both rates and the ratio.
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "service/service.h"

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

const char kCommand[] = R"({"function":"GetVersion","params":{},"randomId":"1"})";

// The baseline: echoes every message back, reading the next one while the
// reply is written, like the service does.
class EchoSession : public std::enable_shared_from_this<EchoSession> {
  public:
    explicit EchoSession(tcp::socket s) : ws_(std::move(s)) {}
    void start() {
        ws_.async_accept([self = shared_from_this()](beast::error_code ec) {
            if (!ec) self->read();
        });
    }

  private:
    void read() {
        ws_.async_read(in_, [self = shared_from_this()](beast::error_code ec, size_t) {
            if (ec) return;
            self->out_ = beast::buffers_to_string(self->in_.data());
            self->in_.consume(self->in_.size());
            self->ws_.text(true);
            self->ws_.async_write(net::buffer(self->out_), [self](beast::error_code ec, size_t) {
                if (!ec) self->read();
            });
        });
    }
    websocket::stream<tcp::socket> ws_;
    beast::flat_buffer in_;
    std::string out_;
};

class EchoServer {
  public:
    EchoServer() : acceptor_(ioc_, tcp::endpoint(net::ip::make_address_v4("127.0.0.1"), 0)) {
        accept();
        thread_ = std::thread([this] { ioc_.run(); });
    }
    ~EchoServer() {
        ioc_.stop();
        thread_.join();
    }
    unsigned short port() const { return acceptor_.local_endpoint().port(); }

  private:
    void accept() {
        acceptor_.async_accept([this](beast::error_code ec, tcp::socket s) {
            if (!ec) {
                s.set_option(tcp::no_delay(true));
                std::make_shared<EchoSession>(std::move(s))->start();
            }
            accept();
        });
    }
    net::io_context ioc_{1};
    tcp::acceptor acceptor_;
    std::thread thread_;
};

// `clients` connections, each sending and waiting for one reply at a time,
// for `seconds`. Returns round trips per second over all clients.
double roundTrips(unsigned short port, int clients, double seconds) {
    std::atomic<long> total{0};
    std::atomic<bool> go{false};
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < clients; ++k)
        threads.emplace_back([&] {
            net::io_context ioc;
            websocket::stream<tcp::socket> ws(ioc);
            ws.next_layer().connect(tcp::endpoint(net::ip::make_address_v4("127.0.0.1"), port));
            ws.next_layer().set_option(tcp::no_delay(true));
            ws.handshake("127.0.0.1", "/websocket");
            ws.text(true);
            beast::flat_buffer buffer;
            ++ready;
            while (!go)
                std::this_thread::yield();
            long n = 0;
            auto end = Clock::now() + std::chrono::duration<double>(seconds);
            while (Clock::now() < end) {
                ws.write(net::buffer(kCommand, sizeof kCommand - 1));
                ws.read(buffer);
                buffer.consume(buffer.size());
                ++n;
            }
            total += n;
            beast::error_code ignored;
            ws.close(websocket::close_code::normal, ignored);
        });
    while (ready < clients)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    go = true;
    for (auto& t : threads)
        t.join();
    return static_cast<double>(total) / seconds;
}

unsigned short freePort() {
    net::io_context ioc;
    tcp::acceptor a(ioc, tcp::endpoint(net::ip::make_address_v4("127.0.0.1"), 0));
    return a.local_endpoint().port();
}

int run(int argc, char** argv) {
    double seconds = argc > 1 ? atof(argv[1]) : 2.0;
    int rounds = argc > 2 ? atoi(argv[2]) : 3;
    // Keep the diagnostic log off whatever the machine has configured.
    setenv("FPKEYD_LOG_CFG", "/nonexistent/fpkeyd-bench.cfg", 1);

    unsigned short servicePort = freePort();
    std::thread service([servicePort] { work_run(servicePort); });
    // Stops and joins the daemon's loop on every way out, a thrown one too.
    struct Stop {
        std::thread& loop;
        ~Stop() {
            work_stop();
            loop.join();
        }
    } stop{service};
    EchoServer echo;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    // The reply must be the real one, or the comparison means nothing.
    {
        net::io_context ioc;
        websocket::stream<tcp::socket> ws(ioc);
        ws.next_layer().connect(tcp::endpoint(net::ip::make_address_v4("127.0.0.1"), servicePort));
        ws.handshake("127.0.0.1", "/websocket");
        ws.write(net::buffer(kCommand, sizeof kCommand - 1));
        beast::flat_buffer b;
        ws.read(b);
        std::string reply = beast::buffers_to_string(b.data());
        if (reply !=
            R"({"function":"GetVersion","randomId":"1","result":"1.0.1.32 MEBO","reterr":0})") {
            fprintf(stderr, "unexpected reply: %s\n", reply.c_str());
            return 1;
        }
        ws.close(websocket::close_code::normal);
    }

    printf("GetVersion round trips per second over loopback (%.1f s per run, best of %d)\n",
           seconds, rounds);
    printf("%-8s %14s %14s %8s\n", "clients", "echo", "fpkeyd", "ratio");
    for (int clients : {1, 8}) {
        double bestEcho = 0, bestService = 0;
        // Interleaved so that load from elsewhere hits both alike.
        for (int r = 0; r < rounds; ++r) {
            bestEcho = std::max(bestEcho, roundTrips(echo.port(), clients, seconds));
            bestService = std::max(bestService, roundTrips(servicePort, clients, seconds));
        }
        printf("%-8d %14.0f %14.0f %8.2f\n", clients, bestEcho, bestService,
               bestService / bestEcho);
    }
    fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Beast reports a failed connection or handshake by throwing.
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        fprintf(stderr, "service_bench: %s\n", e.what());
    } catch (...) {
        fprintf(stderr, "service_bench: unknown failure\n");
    }
    return 1;
}
