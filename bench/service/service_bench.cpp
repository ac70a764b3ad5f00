// Round trips per second of "GetVersion" from a page of a site the user
// allowed, through the real endpoint (site check included) and dispatcher,
// beside a minimal Beast echo server with the same threading (one
// io_context thread) in the same run. Prints both rates and the ratio.
//
// `service_bench --trips N` instead makes N round trips with one client to
// each server and prints nothing: bench/service/instructions counts the
// instructions of each server's thread per round trip with it.
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "service/options.h"
#include "service/service.h"

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

const char kCommand[] = R"({"function":"GetVersion","params":{},"randomId":"1"})";
// The page's site, which the policy lists, as a site the user allowed.
const char kSite[] = "https://app.example";

void allowBenchSite() {
    OriginPolicy policy;
    policy.origins.push_back(kSite);
    setOriginPolicy(policy);
}

// Connects and opens the WebSocket as a page of kSite would.
void open(websocket::stream<tcp::socket>& ws, unsigned short port) {
    ws.next_layer().connect(tcp::endpoint(net::ip::make_address_v4("127.0.0.1"), port));
    ws.next_layer().set_option(tcp::no_delay(true));
    ws.set_option(websocket::stream_base::decorator(
        [](websocket::request_type& req) { req.set(beast::http::field::origin, kSite); }));
    ws.handshake("127.0.0.1", "/websocket");
    ws.text(true);
}

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
            open(ws, port);
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

// `trips` round trips of one client, one after the other.
void fixedTrips(unsigned short port, long trips) {
    net::io_context ioc;
    websocket::stream<tcp::socket> ws(ioc);
    open(ws, port);
    beast::flat_buffer buffer;
    for (long n = 0; n < trips; ++n) {
        ws.write(net::buffer(kCommand, sizeof kCommand - 1));
        ws.read(buffer);
        buffer.consume(buffer.size());
    }
    ws.close(websocket::close_code::normal);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

unsigned short freePort() {
    net::io_context ioc;
    tcp::acceptor a(ioc, tcp::endpoint(net::ip::make_address_v4("127.0.0.1"), 0));
    return a.local_endpoint().port();
}

int run(int argc, char** argv) {
    const bool fixed = argc > 2 && std::string(argv[1]) == "--trips";
    const long trips = fixed ? atol(argv[2]) : 0;
    double seconds = !fixed && argc > 1 ? atof(argv[1]) : 0.5;
    int rounds = !fixed && argc > 2 ? atoi(argv[2]) : 9;
    if (seconds <= 0 || rounds < 1) {
        fprintf(stderr, "usage: service_bench [SECONDS_PER_RUN [ROUNDS]] | --trips N\n");
        return 2;
    }
    // Keep the diagnostic log off whatever the machine has configured.
    setenv("FPKEYD_LOG_CFG", "/nonexistent/fpkeyd-bench.cfg", 1);
    allowBenchSite();

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
        open(ws, servicePort);
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

    if (fixed) {
        fixedTrips(servicePort, trips);
        fixedTrips(echo.port(), trips);
        return 0;
    }

    printf(
        "GetVersion round trips per second over loopback from an allowed site\n"
        "(%d rounds of %.2f s per server, medians; ratio: the median of each round's)\n",
        rounds, seconds);
    printf("%-8s %14s %14s %8s\n", "clients", "echo", "fpkeyd", "ratio");
    for (int clients : {1, 8}) {
        std::vector<double> echoRates, serviceRates, ratios;
        // Each round runs both servers back to back, so that the machine's
        // speed, which drifts on a shared host, is nearly the same for the
        // pair; the median ratio of the pairs is what a change moves.
        for (int r = 0; r < rounds; ++r) {
            echoRates.push_back(roundTrips(echo.port(), clients, seconds));
            serviceRates.push_back(roundTrips(servicePort, clients, seconds));
            ratios.push_back(serviceRates.back() / echoRates.back());
        }
        printf("%-8d %14.0f %14.0f %8.3f\n", clients, median(echoRates), median(serviceRates),
               median(ratios));
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
