// Which pages may open the WebSocket: every origin by default (a site not
// yet allowed waits for the user's touch before it reaches the key), only
// the listed ones under the administrator's "mode list-only", and never a
// Host header other than the daemon's own loopback name.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "service/options.h"
#include "service/service.h"
#include "tests/integration/harness/harness.h"

using namespace fpkit;

namespace {

const char kGetVersion[] = R"({"function":"GetVersion","params":{}})";
const char kVersionReply[] = R"({"function":"GetVersion","result":"1.0.1.32 MEBO","reterr":0})";
const char kNoOrigin[] = "-";  // leaves the Origin header out
const char kOwnHost[] = "=";   // Host 127.0.0.1:<port>

// A scratch directory, removed with its contents at the end.
class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/fpkeyd-origin-XXXXXX";
        if (mkdtemp(pattern)) path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }
    // Writes `text` to the origins file under this directory as XDG_CONFIG_HOME.
    void writeOrigins(const std::string& text) const {
        mkdir((path_ + "/fpkeyd").c_str(), 0700);
        std::ofstream(path_ + "/fpkeyd/origins") << text;
    }
    // The administrator's file of a daemon started with configFor.
    std::string adminFile() const { return path_ + "/admin-origins"; }

  private:
    std::string path_;
};

// A hand-made handshake, so that Host and Origin can be anything.
class Handshake {
  public:
    Handshake(unsigned short port, const std::string& origin, const std::string& host = kOwnHost,
              const std::string& extraHeaders = "") {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        timeval tv{5, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(port);
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) return;
        std::string request = "GET /websocket HTTP/1.1\r\n";
        if (host == kOwnHost)
            request += "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
        else if (host != kNoOrigin)
            request += "Host: " + host + "\r\n";
        if (origin != kNoOrigin) request += "Origin: " + origin + "\r\n";
        request +=
            extraHeaders +
            "Upgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
        if (write(fd_, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
            return;
        // The head, then for a refusal the body up to the daemon's close.
        char c;
        while (head_.find("\r\n\r\n") == std::string::npos && read(fd_, &c, 1) == 1)
            head_ += c;
        if (accepted()) return;
        char chunk[512];
        ssize_t n;
        while ((n = read(fd_, chunk, sizeof chunk)) > 0)
            body_.append(chunk, static_cast<size_t>(n));
        closedAfterRefusal_ = n == 0;
    }
    ~Handshake() {
        if (fd_ >= 0) close(fd_);
    }
    Handshake(const Handshake&) = delete;
    Handshake& operator=(const Handshake&) = delete;

    bool accepted() const { return head_.compare(0, 13, "HTTP/1.1 101 ") == 0; }
    bool forbidden() const { return head_.compare(0, 13, "HTTP/1.1 403 ") == 0; }
    const std::string& head() const { return head_; }
    const std::string& body() const { return body_; }
    bool closedAfterRefusal() const { return closedAfterRefusal_; }

    // One command over the accepted socket; its reply (short replies only).
    std::string call(const std::string& command) {
        return send(command) ? next() : "<write failed>";
    }
    bool send(const std::string& command) {
        std::string frame = RawWs::frame(command);
        return write(fd_, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size());
    }
    // The next frame's payload (short frames only).
    std::string next() {
        unsigned char h[2];
        if (read(fd_, h, 2) != 2 || (h[1] & 0x7f) >= 126) return "<bad frame>";
        std::string payload(h[1] & 0x7f, '\0');
        size_t got = 0;
        while (got < payload.size()) {
            ssize_t n = read(fd_, &payload[got], payload.size() - got);
            if (n <= 0) return "<short frame>";
            got += static_cast<size_t>(n);
        }
        return payload;
    }

  private:
    int fd_ = -1;
    std::string head_;
    std::string body_;
    bool closedAfterRefusal_ = false;
};

std::string describe(const Handshake& h) {
    return h.head() + h.body();
}

void expectAllowed(unsigned short port, const std::string& origin,
                   const std::string& host = kOwnHost) {
    Handshake h(port, origin, host);
    ASSERT_TRUE(h.accepted()) << "origin " << origin << ", host " << host << ":\n" << describe(h);
    EXPECT_EQ(h.call(kGetVersion), kVersionReply) << origin;
}

void expectRefused(unsigned short port, const std::string& origin, const std::string& host,
                   const char* body, const std::string& extraHeaders = "") {
    Handshake h(port, origin, host, extraHeaders);
    EXPECT_TRUE(h.forbidden()) << "origin " << origin << ", host " << host << ":\n" << describe(h);
    EXPECT_EQ(h.body(), body) << origin;
    EXPECT_TRUE(h.closedAfterRefusal()) << origin;
}

void expectOriginRefused(unsigned short port, const std::string& origin,
                         const std::string& extraHeaders = "") {
    expectRefused(port, origin, kOwnHost, "origin not allowed\n", extraHeaders);
}

void expectHostRefused(unsigned short port, const std::string& host,
                       const std::string& origin = kNoOrigin) {
    expectRefused(port, origin, host, "host not allowed\n");
}

// A daemon whose origins files (if any) live in `config` and nowhere else;
// `listOnly` lets in only the listed sites, as an administrator may.
Daemon::Config configFor(const TempDir& config, std::vector<std::string> args = {},
                         bool listOnly = false) {
    if (listOnly) std::ofstream(config.adminFile()) << "mode list-only\n";
    Daemon::Config c;
    c.args = std::move(args);
    c.env = {{"XDG_CONFIG_HOME", config.path()}, {"FPKEYD_ADMIN_ORIGINS", config.adminFile()}};
    return c;
}

// Runs fpkeyd to its end (it is expected to refuse to start); returns its
// exit status and everything it wrote.
int runToEnd(const std::vector<std::string>& args, const std::string& env, std::string& output) {
    std::string command = "FPKEYD_PORT=" + std::to_string(freePort()) +
                          " FPKEYD_LOG_CFG=/nonexistent/fpkeyd-test/nuvolog.cfg " + env +
                          " timeout 20 '" + daemonPath() + "'";
    for (const std::string& a : args)
        command += " '" + a + "'";
    command += " 2>&1";
    FILE* p = popen(command.c_str(), "r");
    if (!p) return -1;
    char chunk[512];
    size_t n;
    output.clear();
    while ((n = fread(chunk, 1, sizeof chunk, p)) > 0)
        output.append(chunk, n);
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

// By default every origin connects (what touches nothing answers at once),
// but a page must name the daemon's own loopback address as its Host.
TEST(OriginPolicy, DefaultLetsEveryOriginInButChecksHost) {
    TempDir config;
    Daemon d(configFor(config));
    const unsigned short port = d.port();
    const std::string p = std::to_string(port);

    expectAllowed(port, "https://any.example");
    expectAllowed(port, kNoOrigin);
    expectAllowed(port, "null");
    expectAllowed(port, "https://any.example", "localhost:" + p);
    expectAllowed(port, "https://any.example", "LocalHost:" + p);
    // Clients that leave out the port (as some native ones do) still name us.
    expectAllowed(port, kNoOrigin, "127.0.0.1");

    // DNS rebinding: another site's name that was made to resolve to us.
    expectHostRefused(port, "rebind.example:" + p, "http://rebind.example:" + p);
    expectHostRefused(port, "127.0.0.1.rebind.example:" + p);
    expectHostRefused(port, "localhost.rebind.example:" + p);
    expectHostRefused(port, "localhostx:" + p);
    expectHostRefused(port, "127.0.0.1:" + std::to_string(port + 1));
    expectHostRefused(port, "127.0.0.1:");
    expectHostRefused(port, "[::1]:" + p);
    expectHostRefused(port, "0.0.0.0:" + p);
    expectHostRefused(port, "");
    expectHostRefused(port, kNoOrigin);
    {
        // Two Host headers, the second one foreign.
        Handshake h(port, kNoOrigin, kOwnHost, "Host: rebind.example:" + p + "\r\n");
        EXPECT_TRUE(h.forbidden()) << describe(h);
        EXPECT_EQ(h.body(), "host not allowed\n");
    }
    // A plain request is no handshake and gets 426, once its Host is ours.
    std::string r =
        rawHttp(port, "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + p + "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(r.compare(0, 13, "HTTP/1.1 426 "), 0) << r;
    r = rawHttp(port, "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(r.compare(0, 13, "HTTP/1.1 403 "), 0) << r;

    // Every refusal left the daemon serving.
    expectAllowed(port, "https://any.example");
    int status = d.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// --allow-origin under "mode list-only": only the listed origins, compared
// after normalising case and default ports; every other and a "null" one
// refused; a local program of the daemon's own user still served.
TEST(OriginPolicy, CommandLineListAdmitsOnlyItsOrigins) {
    TempDir config;
    Daemon d(configFor(
        config,
        {"--allow-origin", "HTTPS://Bank.Example:443/", "--allow-origin=http://127.0.0.1:8080",
         "--allow-origin=http://[::1]:8080", "--allow-origin", "wss://app.example:0443"},
        true));
    const unsigned short port = d.port();

    expectAllowed(port, "https://bank.example");
    expectAllowed(port, "https://BANK.example:443");
    expectAllowed(port, "http://127.0.0.1:8080");
    expectAllowed(port, "http://[::1]:8080");
    expectAllowed(port, "wss://app.example");
    expectAllowed(port, "https://bank.example", "localhost:" + std::to_string(port));

    expectOriginRefused(port, "https://evil.example");
    expectOriginRefused(port, "http://bank.example");        // another scheme
    expectOriginRefused(port, "https://bank.example:8443");  // another port
    expectOriginRefused(port, "https://bank.example.evil.example");
    expectOriginRefused(port, "https://sub.bank.example");
    expectOriginRefused(port, "http://127.0.0.1:8081");
    expectOriginRefused(port, "http://127.0.0.1");
    expectOriginRefused(port, "http://[::1]");
    expectOriginRefused(port, "https://app.example");
    expectOriginRefused(port, "https://bank.example/path");
    expectOriginRefused(port, "https://user@bank.example");
    expectAllowed(port, kNoOrigin);
    expectOriginRefused(port, "null");
    expectOriginRefused(port, "");
    // An allowed origin next to a foreign one is no allowed origin.
    expectOriginRefused(port, "https://bank.example", "Origin: https://evil.example\r\n");
    // An allowed origin under a foreign Host is still a rebinding page.
    expectHostRefused(port, "bank.example:" + std::to_string(port), "https://bank.example");

    expectAllowed(port, "https://bank.example");
    int status = d.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// The origins file: comments, blank lines and spaces ignored; its list and
// the command line's count together; $HOME/.config when XDG_CONFIG_HOME is
// not an absolute path. A line of the user's file that is no origin costs
// only itself.
TEST(OriginPolicy, OriginsFileAdmitsItsOrigins) {
    const std::string file =
        "# pages of the intranet\n"
        "\n"
        "  HTTPS://Portal.Example/   # the portal\n"
        "\thttp://localhost:3000\r\n"
        "https://caf\xc3\xa9.example\n"
        "chrome-extension://abcdefghijklmnop\n";
    {
        TempDir config;
        config.writeOrigins(file);
        Daemon d(configFor(config, {"--allow-origin", "https://bank.example"}, true));
        expectAllowed(d.port(), "https://portal.example");
        expectAllowed(d.port(), "http://localhost:3000");
        expectAllowed(d.port(), "chrome-extension://abcdefghijklmnop");
        expectAllowed(d.port(), "https://bank.example");
        expectOriginRefused(d.port(), "http://portal.example");
        expectOriginRefused(d.port(), "http://localhost:3001");
        expectOriginRefused(d.port(), "chrome-extension://other");
    }
    {
        TempDir home;
        mkdir((home.path() + "/.config").c_str(), 0700);
        mkdir((home.path() + "/.config/fpkeyd").c_str(), 0700);
        std::ofstream(home.path() + "/.config/fpkeyd/origins") << "https://home.example\n";
        std::ofstream(home.adminFile()) << "mode list-only\n";
        Daemon::Config c;
        c.env = {{"XDG_CONFIG_HOME", "relative/dir"},
                 {"HOME", home.path()},
                 {"FPKEYD_ADMIN_ORIGINS", home.adminFile()}};
        Daemon d(c);
        expectAllowed(d.port(), "https://home.example");
        expectOriginRefused(d.port(), "https://portal.example");
    }
    {
        // The administrator's file: its sites for everybody, and its mode.
        TempDir config;
        config.writeOrigins("# nothing allowed yet\n\n");
        std::ofstream(config.adminFile()) << "https://intranet.example\nmode list-only\n";
        Daemon::Config c = configFor(config);
        Daemon d(c);
        expectAllowed(d.port(), "https://intranet.example");
        expectOriginRefused(d.port(), "https://any.example");
    }
}

// A list the daemon cannot read, or an administrator's list or command line
// it cannot understand, stops it at start with exit 2 and a message naming
// the problem; it never runs with a guessed policy.
TEST(OriginPolicy, UnusableListStopsTheStart) {
    std::string out;
    {
        TempDir config;
        std::ofstream(config.adminFile()) << "https://ok.example\nhttps://bad.example/path\n";
        const std::string env = "XDG_CONFIG_HOME='" + config.path() + "' FPKEYD_ADMIN_ORIGINS='" +
                                config.adminFile() + "'";
        EXPECT_EQ(runToEnd({}, env, out), 2) << out;
        EXPECT_NE(out.find(config.adminFile() + ":2: not an origin: https://bad.example/path"),
                  std::string::npos)
            << out;
        std::ofstream(config.adminFile()) << "mode list-only\nnull\n";
        EXPECT_EQ(runToEnd({}, env, out), 2) << out;
        EXPECT_NE(out.find("admin-origins:2: not an origin: null"), std::string::npos) << out;
    }
    {
        // A directory where the file should be cannot be read.
        TempDir config;
        mkdir((config.path() + "/fpkeyd").c_str(), 0700);
        mkdir((config.path() + "/fpkeyd/origins").c_str(), 0700);
        EXPECT_EQ(runToEnd({}, "XDG_CONFIG_HOME='" + config.path() + "'", out), 2) << out;
        EXPECT_NE(out.find("cannot read the origins file " + config.path() + "/fpkeyd/origins"),
                  std::string::npos)
            << out;
    }
    TempDir empty;
    const std::string env = "XDG_CONFIG_HOME='" + empty.path() + "'";
    for (const char* bad : {"null", "bank.example", "https://", "https://a.example:0",
                            "https://a.example:65536", "https://a.example?x", "https://[::1"}) {
        EXPECT_EQ(runToEnd({"--allow-origin", bad}, env, out), 2) << bad << ": " << out;
        EXPECT_NE(out.find("--allow-origin needs an origin"), std::string::npos) << out;
    }
    EXPECT_EQ(runToEnd({"--allow-origin"}, env, out), 2) << out;
}

// A refused page never opens the key and is logged; an allowed one after it
// is served as usual.
TEST(OriginPolicy, RefusalIsLoggedAndOpensNothing) {
    TempDir dir;
    const std::string cfg = dir.path() + "/nuvolog.cfg";
    const std::string file = dir.path() + "/fpkeyweb.log";
    std::ofstream(cfg.c_str()).flush();
    Daemon::Config c = configFor(dir, {"--allow-origin", "https://bank.example"}, true);
    c.env.push_back({"FPKEYD_LOG_CFG", cfg});
    c.env.push_back({"FPKEYD_LOG_FILE", file});
    c.env.push_back({"FPKEYD_LOG_NOTE", dir.path() + "/note.log"});
    {
        Daemon d(c);
        expectOriginRefused(d.port(), "https://evil.example");
        expectHostRefused(d.port(), "rebind.example", "https://bank.example");
        expectAllowed(d.port(), "https://bank.example");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        int status = d.stop();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    std::ifstream in(file);
    std::stringstream s;
    s << in.rdbuf();
    const std::string log = s.str();
    const size_t origin = log.find("refused WebSocket handshake: origin \"https://evil.example\"");
    const size_t host = log.find("refused WebSocket handshake: host \"rebind.example\"");
    const size_t opened = log.find("socket handshake done");
    ASSERT_NE(origin, std::string::npos) << log;
    ASSERT_NE(host, std::string::npos) << log;
    ASSERT_NE(opened, std::string::npos) << log;
    // Only the allowed page, last of the three, got as far as the key.
    EXPECT_GT(opened, host) << log;
    EXPECT_GT(host, origin) << log;
    EXPECT_EQ(log.find("socket handshake done", opened + 1), std::string::npos) << log;
}

// Under an allow-list a refused page cannot take a pushed result away from
// the allowed page that waits for it; an allowed newcomer still does, as
// without a list. The endpoint runs in this process so that the test can
// push as the event thread does.
TEST(OriginPolicy, RefusedPageLeavesTheWaitingPageItsResult) {
    setenv("FPKEYD_LOG_CFG", "/nonexistent/fpkeyd-test/nuvolog.cfg", 1);
    OriginPolicy policy;
    policy.mode = SiteMode::listOnly;
    policy.origins = {"https://bank.example"};
    setOriginPolicy(policy);
    const unsigned short port = freePort();
    std::thread loop([port] { work_run(port); });
    auto push = [](const std::string& text) { std::thread([text] { sendMessage(text); }).join(); };

    std::unique_ptr<Handshake> a;
    for (int i = 0; i < 500; ++i) {
        a.reset(new Handshake(port, "https://bank.example"));
        if (a->accepted()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(a->accepted()) << describe(*a);
    // A delayed command makes `a` the page that results go to; whatever it
    // is answered now comes before the version reply.
    ASSERT_TRUE(a->send(R"({"function":"WaitEnroll","params":{}})"));
    ASSERT_TRUE(a->send(kGetVersion));
    std::string got;
    for (int i = 0; i < 5 && got != kVersionReply; ++i)
        got = a->next();
    ASSERT_EQ(got, kVersionReply);

    expectOriginRefused(port, "https://evil.example");
    expectHostRefused(port, "rebind.example", "https://bank.example");
    EXPECT_EQ(rawHttp(port, "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
                  .compare(0, 13, "HTTP/1.1 403 "),
              0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the closes are seen
    push("kept");
    EXPECT_EQ(a->next(), "kept");

    {
        Handshake b(port, "https://bank.example");
        ASSERT_TRUE(b.accepted()) << describe(b);
        push("dropped");
        EXPECT_EQ(b.call(kGetVersion), kVersionReply);
    }
    EXPECT_EQ(a->call(kGetVersion), kVersionReply);

    work_stop();
    loop.join();
    setOriginPolicy(OriginPolicy());
}
