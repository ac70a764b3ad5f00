// What many suites need: temporary directories and child processes, the
// virtual key (fpkey-vkey) on temporary sockets, OpenSSL as the oracle for
// what a key computes, and a small WebSocket client. Kept free of Beast and
// OpenSSL so that test files compile quickly.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace support {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

// ---- Processes -------------------------------------------------------------

// A program under test: the one named by the environment variable `env`
// when set (scripts/cross-arm64 runs the packaged arm64 programs through
// qemu-aarch64 this way), else the one the build made.
const char* programPath(const char* env, const char* built);
// The virtual key under test (FPKEYD_ITEST_VKEY, else the one built).
const char* vkeyPath();

// A fresh temporary directory (under TMPDIR when set), removed with its
// contents at destruction.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path;
};

// Starts args[0] with `args`; its standard output and error go to `outPath`
// (appended to or replaced) unless that is empty. Returns the pid.
pid_t spawn(const std::vector<std::string>& args, const std::string& outPath, bool append = false);
// The whole content of a file ("" when unreadable).
std::string readFile(const std::string& path);
// A loopback TCP port nobody listens on right now.
unsigned short freePort();

// One fpkey-vkey process in `dir`: state in dir/state, data socket
// dir/sock, control socket dir/ctl, standard error appended to dir/vkey.log
// (so that a restarted key's log keeps what the first run said).
class VKey {
  public:
    // Not started yet.
    explicit VKey(const std::string& dir);
    // Ends the process (SIGTERM, then SIGKILL when it will not end).
    ~VKey();
    VKey(const VKey&) = delete;
    VKey& operator=(const VKey&) = delete;

    // Starts it (after stopping one still running) with `args` after the
    // paths above; true once it listens on both sockets, false when it ended
    // or did not come up within 10 s. The arguments are kept for restart().
    bool start(const std::vector<std::string>& args = {});
    bool ready() const { return ready_; }
    pid_t pid() const { return pid_; }
    const std::string& socket() const { return sock_; }
    const std::string& control() const { return ctl_; }
    const std::string& stateDir() const { return stateDir_; }
    const std::string& stateFile() const { return stateFile_; }
    const std::string& logPath() const { return logPath_; }
    // Everything the key logged so far.
    std::string log() const;

    // `fpkey-vkey ctl CONTROL <command>`: its exit status, and in `out`
    // what it wrote to standard output and error.
    int ctlRun(const std::string& command, std::string* out = nullptr) const;
    // True on exit status 0.
    bool ctl(const std::string& command) const;
    // The key's answer line to a control command ("" when none).
    std::string ctlReply(const std::string& command) const;

    // Sends `sig` and waits at most `timeout`; false when the key had to be
    // killed with SIGKILL after that.
    bool stop(int sig = SIGTERM, milliseconds timeout = milliseconds(10000));
    // SIGKILL: no chance to tidy up.
    void kill() { stop(SIGKILL); }
    // Starts it again on the same state, sockets and arguments.
    bool restart();
    // Waits for the process to end by itself; its exit status (-1 when it
    // did not exit).
    int wait();

  private:
    std::string ctlLine(const std::string& command) const;
    std::string dir_, sock_, ctl_, stateDir_, stateFile_, logPath_;
    std::vector<std::string> args_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

// ---- OpenSSL oracle ----------------------------------------------------------

Bytes fromHex(const std::string& hex);
std::string toHex(const Bytes& b);
Bytes fromBase64(const std::string& text);
std::string toBase64(const Bytes& b);
Bytes bytesOf(const std::string& s);
// 04 || X || Y.
Bytes sm2Point(const Bytes& x, const Bytes& y);
// Verifies a DER signature SEQUENCE { INTEGER r, INTEGER s } over
// SM3(Z || msg), ID "1234567812345678", with the public key 04 || X || Y.
// Integers with leading zero bytes (the signature text keeps 32 bytes) are
// accepted; anything else around or after the SEQUENCE is not.
bool sm2VerifyDer(const Bytes& pub65, const Bytes& msg, const Bytes& der);
// The same for the raw integers r and s (big-endian).
bool sm2Verify(const Bytes& pub65, const Bytes& msg, const Bytes& r, const Bytes& s);
// e = SM3(Z || msg) with the default signer ID, Z of 04 || X || Y.
Bytes sm3WithZ(const Bytes& pub65, const Bytes& msg);
// Encrypts to 04 || X || Y; returns C1 (X || Y) || C3 || C2, empty on failure.
Bytes sm2EncryptRaw(const Bytes& pub65, const Bytes& plain);
// A fresh SM2 key pair of OpenSSL's, kept for decryption.
class Sm2KeyPair {
  public:
    Sm2KeyPair();
    ~Sm2KeyPair();
    Sm2KeyPair(const Sm2KeyPair&) = delete;
    Sm2KeyPair& operator=(const Sm2KeyPair&) = delete;
    // Decrypts raw C1 || C3 || C2; empty on failure.
    Bytes decryptRaw(const Bytes& raw) const;
    // Signs SM3(Z || msg) with signer ID `id`: r and s, 32 bytes each.
    bool sign(const Bytes& msg, Bytes& r, Bytes& s,
              const std::string& id = "1234567812345678") const;
    // 04 || X || Y.
    Bytes point() const { return sm2Point(x, y); }
    Bytes x, y;  // 32 bytes each

  private:
    void* pkey_;
};
// DER SEQUENCE { INTEGER r, INTEGER s } of 32-byte r and s: minimal, or in
// the key's form (each kept at 32 bytes, 00 in front only before a high bit).
Bytes sm2SignatureDer(const Bytes& r, const Bytes& s, bool keyForm);
Bytes sm4EcbEncrypt(const Bytes& key, const Bytes& plain);
// The public key (65 bytes) of a DER certificate; empty when unreadable.
Bytes certPublicKey(const Bytes& der);

// The parts of a PKCS#7 SignedData that the checks need.
struct SignedData {
    bool parsed = false;
    std::string contentType;  // dotted OIDs
    std::string innerType;
    std::string digestAlg;
    std::string signatureAlg;
    Bytes content;
    Bytes certificate;
    Bytes signature;
    std::string issuerOfSigner;  // one-line name text
    std::string issuerOfCert;
    bool serialMatches = false;
};
SignedData parseSignedData(const Bytes& der);

// ---- WebSocket ---------------------------------------------------------------

// Sends `request` as is on a new TCP connection and returns what comes back
// until the peer closes or `timeout` passes.
std::string rawHttp(unsigned short port, const std::string& request,
                    milliseconds timeout = milliseconds(3000));

// A WebSocket client. Every call blocks at most the timeout given; after a
// time-out or an error the client is closed.
class WsClient {
  public:
    WsClient();
    ~WsClient();
    WsClient(const WsClient&) = delete;
    WsClient& operator=(const WsClient&) = delete;

    bool connect(unsigned short port, const std::string& path = "/websocket",
                 milliseconds timeout = milliseconds(5000));
    // The same as a page of `origin` (sent as the Origin header).
    bool connectAs(unsigned short port, const std::string& origin,
                   const std::string& path = "/websocket",
                   milliseconds timeout = milliseconds(5000));
    bool sendText(const std::string& text, milliseconds timeout = milliseconds(5000));
    bool sendBinary(const std::string& bytes, milliseconds timeout = milliseconds(5000));
    // The next message, or nothing on time-out, close or error.
    std::optional<std::string> recv(milliseconds timeout = milliseconds(5000));
    // Whether the last message received was a text frame.
    bool lastWasText() const;
    bool isOpen() const;
    // Text of the last failure ("" when none).
    std::string lastError() const;
    // Sends one command and returns its reply ("<no reply: why>" when none).
    std::string call(const std::string& command, milliseconds timeout = milliseconds(5000));

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A TCP connection that performs the WebSocket handshake by hand and then
// writes frames byte for byte, for framing edge cases.
class RawWs {
  public:
    RawWs();
    ~RawWs();
    RawWs(const RawWs&) = delete;
    RawWs& operator=(const RawWs&) = delete;

    bool connect(unsigned short port, const std::string& path = "/websocket",
                 milliseconds timeout = milliseconds(5000));
    // A masked client frame (FIN set) holding `payload`.
    static std::string frame(const std::string& payload, int opcode = 1);
    bool write(const std::string& bytes);
    // Reads one unmasked server frame; returns its payload.
    std::optional<std::string> readFrame(milliseconds timeout = milliseconds(5000),
                                         int* opcode = nullptr);
    void close();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace support
