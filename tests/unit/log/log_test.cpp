// The log switches on once per process, so every case runs in a child
// process of its own with the control, log and note files in a fresh
// directory.
#include <gtest/gtest.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

const std::regex kPrefix(R"(^\[\d\d:\d\d:\d\d\])");

class Log : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/fpkeyd-log-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        cfg_ = dir_ + "/nuvolog.cfg";
        file_ = dir_ + "/fpkeyweb.log";
        note_ = dir_ + "/xy3eftest.log";
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    void writeCfg(const std::string& text) { std::ofstream(cfg_) << text; }

    // Runs `body` in a child with the test paths; returns its standard output.
    std::string inChild(const std::function<void()>& body) {
        std::string out = dir_ + "/stdout";
        fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            if (!freopen(out.c_str(), "w", stdout) ||
                !freopen((dir_ + "/stderr").c_str(), "w", stderr))
                _exit(127);
            setenv("FPKEYD_LOG_CFG", cfg_.c_str(), 1);
            setenv("FPKEYD_LOG_FILE", file_.c_str(), 1);
            setenv("FPKEYD_LOG_NOTE", note_.c_str(), 1);
            body();
            nvlogClose();  // waits for the lines, then removes the queue
            fflush(stdout);
            _exit(testing::Test::HasFailure() ? 1 : 0);
        }
        // A child that hangs (a log thread stuck on a FIFO, writers stuck on
        // a full queue) fails instead of hanging the test.
        int status = 0;
        for (int i = 0; i < 3000 && waitpid(pid, &status, WNOHANG) == 0; ++i)
            usleep(10000);
        if (waitpid(pid, &status, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "the child hung";
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        return slurp(out);
    }
    static void start() {
        judgeLogOpen();
        nvlogExec();
    }

    std::string dir_, cfg_, file_, note_;
};

}  // namespace

TEST_F(Log, NoControlFileMeansNoLog) {
    std::string out = inChild([] {
        start();
        judgeLogOpen();
        _nvlogstr("a");
        _nvlog("%d", 1);
        nvlogE("err %s", "x");
        _nvlogstrEx("abc", 3);
        nvlogtm();
        _nvlogM("t", "ab", 2);
        if (nvlog::isOpen()) _exit(3);
    });
    EXPECT_EQ(out, "not log\n");
    EXPECT_FALSE(exists(file_));
    EXPECT_FALSE(exists(note_));
}

TEST_F(Log, EmptyControlFileUsesTheDefaultFile) {
    writeCfg("");
    std::string out = inChild([] {
        start();
        _nvlogstr("first line");
    });
    std::vector<std::string> o = lines(out);
    ASSERT_GE(o.size(), 2u) << out;
    EXPECT_EQ(o[0], file_);
    EXPECT_EQ(o[1].rfind("msgget ok ,msgid = ", 0), 0u) << out;
    std::vector<std::string> note = lines(slurp(note_));
    ASSERT_EQ(note.size(), 1u);
    EXPECT_TRUE(std::regex_search(note[0], kPrefix));
    EXPECT_EQ(note[0].substr(10), file_);
    std::vector<std::string> log = lines(slurp(file_));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(std::regex_search(log[0], kPrefix)) << log[0];
    EXPECT_EQ(log[0].substr(10), "first line");
}

TEST_F(Log, ControlFileNamesTheDirectory) {
    std::string sub = dir_ + "/logs";
    mkdir(sub.c_str(), 0700);
    writeCfg("  " + sub + "   ignored words\nmore\n");
    std::string out = inChild([] {
        start();
        _nvlogstr("to the directory");
    });
    std::string expected = sub + "/fpkeydll.log";
    EXPECT_EQ(lines(out)[0], expected);
    EXPECT_EQ(slurp(note_).substr(10), expected + "\n");
    EXPECT_EQ(slurp(expected).substr(10), "to the directory\n");
    EXPECT_FALSE(exists(file_));
}

TEST_F(Log, OverlongDirectoryKeepsTheDefault) {
    writeCfg(std::string(250, 'd') + std::string(250, 'e'));
    std::string out = inChild([] { start(); });
    EXPECT_EQ(lines(out)[0], file_);
    // A word that just fits is taken (a folder that exists: logging is on).
    std::string fits = dir_ + "/" + std::string(254 - dir_.size(), 'f');
    ASSERT_EQ(mkdir(fits.c_str(), 0700), 0);
    writeCfg(fits + "\n");
    out = inChild([] { start(); });
    EXPECT_EQ(lines(out)[0], fits + "/fpkeydll.log");
}

TEST_F(Log, LinesAndTheirPrefix) {
    writeCfg("");
    inChild([] {
        start();
        nvlogtm();
        _nvlogstr("\nConnection created");
        _nvlog(">>-%s %d%%", "openDev", 7);
        _nvlogstr("100% literal %s");
        // Text from outside cannot start a line of its own or drive a terminal.
        _nvlog("\norigin \"%s\"\n", "a\x1b[2J\n[00:00:00]b\xff\\\r\n");
    });
    std::vector<std::string> log = lines(slurp(file_));
    ASSERT_EQ(log.size(), 7u) << slurp(file_);
    for (int i : {0, 1, 3, 4, 5})
        EXPECT_TRUE(std::regex_search(log[i], kPrefix)) << log[i];
    EXPECT_TRUE(
        std::regex_match(log[0].substr(10), std::regex(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d)")))
        << log[0];
    EXPECT_EQ(log[1].size(), 10u);  // only the prefix
    EXPECT_EQ(log[2], "Connection created");
    EXPECT_EQ(log[3].substr(10), ">>-openDev 7%");
    EXPECT_EQ(log[4].substr(10), "100% literal %s");
    EXPECT_EQ(log[5].size(), 10u);
    EXPECT_EQ(log[6], R"(origin "a\x1b[2J\x0a[00:00:00]b\xff\\x0d\x0a")");
    // A quoted field cannot end its quotes either.
    EXPECT_EQ(logEscaped("x\"\\\x01yz", 6, 5), R"(x\x22\x5c\x01y)");
}

TEST_F(Log, RawBytesEndAtZeroAndLongLinesAreCut) {
    writeCfg("");
    inChild([] {
        start();
        _nvlogstrEx("abc\0def", 7);
        std::string longLine(5000, 'x');
        _nvlogstr(longLine.c_str());
        _nvlog("%s", longLine.c_str());
        std::vector<char> raw(3000, 'y');  // not zero-terminated
        _nvlogstrEx(raw.data(), raw.size());
    });
    std::vector<std::string> log = lines(slurp(file_));
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].substr(10), "abc");
    EXPECT_EQ(log[1].substr(10), std::string(nvlog::kLineMax, 'x'));
    EXPECT_EQ(log[2].substr(10), std::string(nvlog::kLineMax, 'x'));
    EXPECT_EQ(log[3].substr(10), std::string(nvlog::kLineMax, 'y'));
}

TEST_F(Log, HexDump) {
    writeCfg("");
    inChild([] {
        start();
        const unsigned char b[] = {1, 2, 3};
        _nvlogM("t", b, 3);
        std::vector<unsigned char> many(40);
        for (size_t i = 0; i < many.size(); ++i)
            many[i] = static_cast<unsigned char>(i);
        _nvlogM(nullptr, many.data(), many.size());
        std::vector<unsigned char> big(1500, 0xAB);  // over 1024: warned and cut
        _nvlogM("big", big.data(), big.size());
    });
    std::string log = slurp(file_);
    EXPECT_NE(log.find("[t]\tsize:0003(H:0003)\r\n010203\n"), std::string::npos) << log;
    EXPECT_NE(log.find("]\r\n000102030405060708090A0B0C0D0E0F 101112131415161718191A1B1C1D1E1F"
                       "\r\n2021222324252627\n"),
              std::string::npos)
        << log;
    size_t big = log.find("[big]\tsize:1500(H:05DC)\nWARRYINT too SIZE, ONLY show 2.5K\r\n");
    ASSERT_NE(big, std::string::npos) << log;
    size_t end = log.find('\n', log.find("2.5K\r\n", big) + 6);
    // The whole record is one line of at most the line limit after the prefix.
    EXPECT_LE(end - log.rfind('[', big) - 10 - 1, nvlog::kLineMax + 1);
}

TEST_F(Log, FileStartsAfreshPastThreeMiB) {
    writeCfg("");
    {
        std::ofstream big(file_, std::ios::binary);
        big << std::string(nvlog::kMaxFileBytes + 1, 'o');
    }
    inChild([] {
        start();
        _nvlogstr("fresh");
    });
    std::vector<std::string> log = lines(slurp(file_));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].substr(10), "fresh");
}

TEST_F(Log, FileAtExactlyThreeMiBIsKept) {
    writeCfg("");
    {
        std::ofstream big(file_, std::ios::binary);
        big << std::string(nvlog::kMaxFileBytes, 'o');
    }
    inChild([] {
        start();
        _nvlogstr("kept");
    });
    std::string log = slurp(file_);
    EXPECT_EQ(log.size(), static_cast<size_t>(nvlog::kMaxFileBytes) + 10 + 5);
}

TEST_F(Log, ManyThreadsNeverInterleave) {
    writeCfg("");
    inChild([] {
        start();
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([t] {
                for (int i = 0; i < 200; ++i)
                    _nvlog("thread %d line %03d %s", t, i, "payload");
            });
        for (auto& th : threads)
            th.join();
    });
    // Lines the queue had no room for are counted, never half written.
    unsigned long count = 0;
    for (const std::string& l : lines(slurp(file_))) {
        if (l.find("log lines dropped") != std::string::npos) {
            count += std::stoul(l.substr(10));
            continue;
        }
        ++count;
        EXPECT_TRUE(std::regex_match(l.substr(10), std::regex(R"(thread \d line \d{3} payload)")))
            << l;
    }
    EXPECT_EQ(count, 800u);
}

TEST_F(Log, CloseRemovesTheQueue) {
    writeCfg("");
    inChild([] {
        start();
        _nvlogstr("before");
        nvlogClose();
        _nvlogstr("after");  // dropped, no error
    });
    EXPECT_EQ(lines(slurp(file_)).size(), 1u);
}

// The log's directory may be writable by others: nothing planted at the
// log's name is written to or waited for, and the log is the user's alone.
TEST_F(Log, PlantedFilesAreRefusedAndTheLogIsPrivate) {
    writeCfg("");
    const std::string target = dir_ + "/victim";
    std::ofstream(target) << "mine\n";
    ASSERT_EQ(symlink(target.c_str(), file_.c_str()), 0);
    std::string out = inChild([] {
        start();
        _nvlogstr("planted");
    });
    EXPECT_EQ(slurp(target), "mine\n");
    EXPECT_EQ(out, "not log\n");
    EXPECT_NE(slurp(dir_ + "/stderr").find("logging is off"), std::string::npos);

    // A hard link to a file of ours, and a FIFO nobody reads.
    ASSERT_EQ(unlink(file_.c_str()), 0);
    ASSERT_EQ(link(target.c_str(), file_.c_str()), 0);
    inChild([] {
        start();
        _nvlogstr("planted");
    });
    EXPECT_EQ(slurp(target), "mine\n");
    ASSERT_EQ(unlink(file_.c_str()), 0);
    ASSERT_EQ(mkfifo(file_.c_str(), 0666), 0);
    out = inChild([] {
        start();
        for (int i = 0; i < 100; ++i)
            _nvlogstr("into the fifo?");
    });
    EXPECT_EQ(out, "not log\n");
    // A directory opens for nothing: logging is off, and the user is told.
    ASSERT_EQ(unlink(file_.c_str()), 0);
    ASSERT_EQ(mkdir(file_.c_str(), 0700), 0);
    out = inChild([] {
        start();
        if (nvlog::isOpen()) _exit(3);
    });
    EXPECT_EQ(out, "not log\n");
    EXPECT_NE(slurp(dir_ + "/stderr").find("logging is off"), std::string::npos);

    // A file of ours that others could read is made private; a new one is.
    ASSERT_EQ(rmdir(file_.c_str()), 0);
    std::ofstream(file_) << "old\n";
    ASSERT_EQ(chmod(file_.c_str(), 0666), 0);
    inChild([] {
        start();
        _nvlogstr("private");
    });
    struct stat st {};
    ASSERT_EQ(stat(file_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(lines(slurp(file_)).size(), 2u);
    ASSERT_EQ(unlink(file_.c_str()), 0);
    inChild([] {
        start();
        _nvlogstr("new");
    });
    ASSERT_EQ(stat(file_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// A queue too small for the lines: writers never wait, and the lines lost
// are counted in a later line.
TEST_F(Log, AFullQueueDropsLinesAndSaysHowMany) {
    writeCfg("");
    const std::string out = dir_ + "/stdout";
    inChild([&out] {
        start();
        fflush(stdout);
        int id = -1;
        std::smatch m;
        std::string text = slurp(out);
        ASSERT_TRUE(std::regex_search(text, m, std::regex(R"(msgid = (\d+))")));
        id = std::stoi(m[1]);
        struct msqid_ds ds {};
        ASSERT_EQ(msgctl(id, IPC_STAT, &ds), 0);
        ds.msg_qbytes = 64;  // one line at a time
        ASSERT_EQ(msgctl(id, IPC_SET, &ds), 0);
        for (int i = 0; i < 300; ++i)
            _nvlog("line %03d %s", i, std::string(40, 'x').c_str());
        nvlog::flushForTest();
        _nvlogstr("last");
    });
    unsigned long written = 0, dropped = 0;
    for (const std::string& l : lines(slurp(file_))) {
        if (l.find(" xxxx") != std::string::npos) ++written;
        if (l.find("log lines dropped") != std::string::npos) dropped += std::stoul(l.substr(10));
    }
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(written + dropped, 300u);
}
