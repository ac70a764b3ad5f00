// "FactorySign" round trips through the daemon against a provisioned
// virtual key. In the same run it reads the CPU time the daemon and the key
// process spent, and prints the daemon's share of the round trip (all that
// is not the key's own processing is the daemon's or the sockets') as a
// ratio of the whole. Target: a daemon share under 0.2.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/support.h"

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

// User + system CPU seconds of a process so far.
double cpuSeconds(pid_t pid) {
    std::string stat = support::readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream in(stat.substr(close + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
        if (i == 14) utime = std::stoul(field);
        if (i == 15) stime = std::stoul(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int run(int argc, char** argv) {
    // Enough rounds that the 10 ms CPU-clock ticks stay small against the totals.
    const int rounds = argc > 1 ? atoi(argv[1]) : 2000;
    const support::TempDir dir;
    support::VKey key(dir.path);
    key.start();
    const pid_t prov = support::spawn(
        {FPKEY_PROVISION_PATH, "--virtual-key", key.socket(), "--ca-dir", dir.path + "/ca"},
        dir.path + "/provision.log");
    int status = 0;
    waitpid(prov, &status, 0);
    int rc = 1;
    pid_t daemon = -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "bench: provisioning failed:\n%s",
                support::readFile(dir.path + "/provision.log").c_str());
    } else {
        const unsigned short port = support::freePort();
        setenv("FPKEYD_PORT", std::to_string(port).c_str(), 1);
        daemon =
            support::spawn({FPKEYD_PATH, "--virtual-key", key.socket()}, dir.path + "/fpkeyd.log");
        try {
            net::io_context ioc;
            websocket::stream<tcp::socket> ws(ioc);
            for (int i = 0;; ++i) {
                beast::error_code ec;
                ws.next_layer().connect(tcp::endpoint(net::ip::make_address_v4("127.0.0.1"), port),
                                        ec);
                if (!ec) break;
                if (i > 500) throw std::runtime_error("daemon did not listen");
                ws.next_layer().close(ec);
                usleep(10000);
            }
            ws.handshake("127.0.0.1", "/websocket");
            ws.text(true);
            const std::string cmd =
                R"({"function":"FactorySign","params":["order 4711: 3 items, 129.90"],"randomId":"b"})";
            beast::flat_buffer in;
            auto once = [&] {
                ws.write(net::buffer(cmd));
                in.consume(in.size());
                ws.read(in);
                return beast::buffers_to_string(in.data());
            };
            std::string reply = once();
            if (reply.find("\"reterr\":0") == std::string::npos)
                throw std::runtime_error("FactorySign failed: " + reply);
            for (int i = 0; i < 20; ++i)
                once();
            const double d0 = cpuSeconds(daemon), k0 = cpuSeconds(key.pid());
            const auto t0 = Clock::now();
            for (int i = 0; i < rounds; ++i)
                once();
            const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
            const double d = cpuSeconds(daemon) - d0, k = cpuSeconds(key.pid()) - k0;
            printf("FactorySign round trips: %d in %.3f s (%.0f per second)\n", rounds, wall,
                   rounds / wall);
            printf("  daemon CPU %.3f s, key CPU %.3f s\n", d, k);
            printf("  key's share of the round trip:    %.3f\n", k / wall);
            printf("  daemon's share of the round trip: %.3f (target < 0.2)\n", d / wall);
            rc = 0;
        } catch (const std::exception& e) {
            fprintf(stderr, "bench: %s\n", e.what());
        }
    }
    if (daemon > 0) {
        kill(daemon, SIGTERM);
        waitpid(daemon, nullptr, 0);
    }
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    // What the round trips throw is caught in run(); this is the rest, an
    // allocation that failed while the processes were set up.
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        fprintf(stderr, "bench: %s\n", e.what());
    }
    return 1;
}
