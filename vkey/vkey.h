// The virtual key: a software security key that answers the same frames as
// the USB key. One process (`fpkey-vkey`) is one key; its whole persistent
// state lives in a state directory.
//
// Layers inside this folder, bottom up:
//   crypto_ossl  SM2/SM3/SM4/SHA-1 through OpenSSL (independent of crypto/)
//   store        the state file: versioned text, saved atomically
//   cos_*        the card operating system (channel 8): APDU in, reply out
//   finger       the fingerprint module (channel 6) and the vault (channel 7)
//   key          one key: frame check, channel dispatch, save-before-reply
//   server       the socket front end and the control interface
//
// Wire formats the key fixes where the daemon leaves them to the card (the
// daemon does not depend on them, tools may):
//   open application reply (10 bytes): admin max tries, admin tries left,
//     user max tries, user tries left, create-file rights (4, LE), ID (2, LE)
//   container type/info reply (11 bytes): type (0 empty, 2 ECC), signature
//     key bits (4, LE; 0 absent), encryption key bits (4), signature
//     certificate present (1), encryption certificate present (1)
//   create file (INS 0x30, P1/P2 = application ID low/high): LV2 name,
//     size (4), read rights (4), write rights (4)
//   file information (INS 0x36, P1/P2 = application ID): LV2 name; reply =
//     size (4), read rights (4), write rights (4)
//   read file (INS 0x38): application ID (2), LV2 name, offset (4), length (4)
//   write file (INS 0x3A): application ID (2), LV2 name, offset (4), LV4 data
//   delete file needs the file's write rights; create needs the application's
//     create-file rights (0x01 administrator, 0x10 user, 0xFF anyone)
//   elementary-file read reply: count of the bytes that follow (2, LE), bytes
//   names lists: at most kListChunk bytes per reply, whole names, each
//     followed by NUL, then one more NUL; 0x6A9E when more follow, continued
//     by the next listing command of the same kind (any other command starts
//     the next listing afresh)
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vkey {

// The daemon's built-in device-authentication key, given to a blank key.
constexpr char kDefaultDeviceKey[] = "3141592653589793";
constexpr uint16_t kDefaultProduct = 0x2549;
constexpr char kDefaultPortPath[] = "01.03";

// One USB transfer unit; every socket packet is exactly this long.
constexpr size_t kUnit = 64;
// Largest frame either side exchanges (payload 2046 bytes).
constexpr size_t kMaxFrame = 2056;
// Largest reply frame the daemon accepts (it offers 2048 bytes to a receive).
constexpr size_t kMaxReplyFrame = 2048;
// Names-list replies are cut at this many bytes (whole names) and continued.
constexpr size_t kListChunk = 256;

// Results of opening a key's state.
enum class OpenResult { ok, created, corrupt, io, busy, badArg };

class Card;
class Store;
class FingerModule;
class Vault;
class ModuleHost;
struct Reply;

// Where a key's reply frames go. The card OS answers each request at once
// with one frame; services that answer later or in several frames (the
// fingerprint module: continuation byte 1 on all but the last) use the same
// sink.
class FrameSink {
  public:
    virtual ~FrameSink() = default;
    virtual void sendFrame(const uint8_t* frame, size_t len) = 0;
};

// One key: persistent state, card OS, frame handling. Not thread-safe: the
// server drives it from one thread.
class Key {
  public:
    ~Key();
    // Loads the key in `stateDir` (created blank when the directory holds no
    // state). `deviceKey` (16 bytes) is the factory device-authentication
    // key of a blank key; null means kDefaultDeviceKey. On failure `err` says
    // why; a corrupt state file is refused, never replaced.
    static OpenResult open(const std::string& stateDir, const uint8_t* deviceKey,
                           std::unique_ptr<Key>& out, std::string& err);

    // One whole request frame in (`len` bytes, zero padding after the tail
    // allowed); replies go to `out`, echoing channel and sequence. A
    // malformed request is dropped and logged. Services are chosen by the
    // frame's channel byte; a channel without one gets status 0x6E00.
    void receive(const uint8_t* frame, size_t len, FrameSink& out);

    // receive() for one immediate reply, written to `reply` (capacity
    // `cap`). Returns its length, or 0 when nothing was answered.
    size_t handleFrame(const uint8_t* frame, size_t len, uint8_t* reply, size_t cap);

    // The card OS alone: one APDU (header + data) in, the reply body
    // (SW LE, data length LE, data) out. Returns the body length.
    size_t cardCommand(const uint8_t* apdu, size_t len, uint8_t* out, size_t cap);

    // Power lost: logins, device authentication, open objects, the pending
    // challenge and listing cursors, the module's pending command and the
    // vault's share key are forgotten; stored state stays.
    void powerCycle();
    // The host went away: a pending module command is forgotten unanswered.
    void hostGone();

    // Fingerprint sensor. `touch` places a named finger (one capture: at
    // once when the module waits for a finger, else at its next wait); the
    // module's replies go to `out`. False when the name is not valid.
    bool touch(const std::string& finger, FrameSink& out);
    void lift();
    // Ends the module's wait when its time is up; call when msToDeadline()
    // has passed.
    void tick(FrameSink& out);
    // Milliseconds until the module's wait ends, -1 when it waits for nothing.
    long msToDeadline() const;
    // Counts the module's waits for a finger (a new value: a new wait).
    uint32_t moduleWaitSerial() const;
    // How long the module waits for a finger (default 10000 ms).
    void setFingerWait(unsigned ms);
    // Puts the public part of a vault item (at most 472 bytes), saved at once.
    bool vaultPut(uint32_t index, const uint8_t* pub, size_t n, std::string& err);

    // Logs one line per command (channel, sequence, header, status; never
    // command data, which may hold PIN cryptograms or keys).
    void setVerbose(bool on) { m_verbose = on; }

    // Short facts for the control interface's status line.
    std::string describe() const;
    const std::string& stateDir() const;

  private:
    class Host;
    Key();
    bool save(std::string& err);
    std::unique_ptr<Card> m_card;
    std::unique_ptr<FingerModule> m_module;
    std::unique_ptr<Vault> m_vault;
    std::unique_ptr<Host> m_host;
    std::unique_ptr<Store> m_store;
    std::unique_ptr<Reply> m_reply;    // one command at a time; too large for a stack frame
    std::unique_ptr<uint8_t[]> m_out;  // the reply frame being built
    bool m_verbose = false;
};

// Front-end options of one `fpkey-vkey` process.
struct ServerOptions {
    std::string stateDir;
    std::string socketPath;
    std::string controlPath;
    uint16_t product = kDefaultProduct;
    std::string portPath = kDefaultPortPath;
    bool verbose = false;
    bool haveDeviceKey = false;
    uint8_t deviceKey[16] = {};
    unsigned fingerWaitMs = 10000;
    std::string autoTouch;  // finger touched whenever the module waits
    unsigned autoTouchDelayMs = 500;
};

// Runs the key's sockets until SIGINT/SIGTERM. Returns the exit status.
int runServer(Key& key, const ServerOptions& opt);

// `fpkey-vkey ctl PATH CMD...`: sends one command line to a running key and
// prints its reply line. Returns 0 on "OK", 1 on "ERR", 2 when unreachable.
int runControlClient(const std::string& path, const std::string& line, std::string& reply);

// Process entry (argument parsing), shared by the executable and tests.
int vkeyMain(int argc, char** argv);

}  // namespace vkey
