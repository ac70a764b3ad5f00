// A scripted virtual key for the transport tests: listens on a SEQPACKET
// socket, answers the hello packets, and on a data connection answers each
// request frame with one reply frame (same sequence, channel 8, status 0x9000,
// data = the request payload reversed). Key-side frames go through the same
// unit helpers as the daemon's side.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FakeKey {
  public:
    FakeKey(std::string path, uint16_t pid, std::string portPath);
    ~FakeKey();
    bool start();
    void stop();
    // Unplugged: data connections are closed (the data loop has ended when
    // this returns), hellos answered ABSENT.
    void unplug();
    void plug() { m_plugged = true; }
    // Requests received on data connections so far.
    int requests() const { return m_requests; }
    // Next reply announces this payload length but carries only its units.
    void replyOversize(uint16_t announced) { m_oversize = announced; }
    const std::string& path() const { return m_path; }

  private:
    void acceptLoop();
    void serve(int fd);
    void dataLoop(int fd);

    std::string m_path;
    uint16_t m_pid;
    std::string m_portPath;
    int m_listen = -1;
    std::atomic<bool> m_plugged{true};
    bool m_dataOpen = false;  // a data connection is served; under m_mu
    std::condition_variable m_dataEnded;
    std::atomic<int> m_requests{0};
    std::atomic<uint16_t> m_oversize{0};
    std::thread m_acceptor;
    std::mutex m_mu;
    std::vector<std::thread> m_workers;
    std::vector<int> m_fds;
};

// Key-side frame I/O on a connected SEQPACKET fd (blocking, 64-byte units).
int keyReadFrame(int fd, uint8_t* out, size_t capacity, uint32_t* len);
int keyWriteFrame(int fd, const uint8_t* frame, size_t len);
// A unique socket path under TMPDIR.
std::string tempSocketPath(const char* tag);
