// The virtual key's request parser: request frames in, reply frames out,
// through the frame check, the card OS (channel 8), the fingerprint module
// (6), the vault (7) and the refusal of other channels. Every input starts
// from the same freshly made key state, so a finding replays alone.
//
// Input: a stream of events  flags(1) | length(2, little-endian) | bytes
//   flags bits 0-1: channel 8, 6, 7, or the first byte of the bytes
//   flags bit 2: raw frame (bytes sent unchanged; otherwise they are the
//                payload, framed here with a right checksum)
//   flags bit 3: cipher byte 1
//   flags bit 4: continuation byte 1
//   flags bit 5: instead of a frame, a finger touches the sensor (the bytes
//                name it); with bit 6 as well the finger is lifted
//   flags bit 6 alone: the module's wait ends now (tick)
//   flags bit 7: power cycle before the event
// Every reply frame the key sends must pass the daemon's frame rule and fit
// the daemon's receive buffer, and the state the key saved must load again.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "transport/frame.h"
#include "vkey/vkey.h"

namespace {

class CheckingSink : public vkey::FrameSink {
  public:
    void sendFrame(const uint8_t* frame, size_t len) override {
        if (len > vkey::kMaxReplyFrame || len < FRAME_ENVELOPE) abort();
        if (!frameCheckEx(frame, len, FRAME_MAX_PAYLOAD)) abort();
        if (frameTotalLen(frame) != len) abort();
        ++frames;
    }
    int frames = 0;
};

std::string g_dir;
std::string g_pristine;  // state file of a blank key

std::string stateFile() {
    return g_dir + "/key.state";
}

bool writeFile(const std::string& path, const std::string& bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return false;
    const bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    close(fd);
    return ok;
}

std::string readFile(const std::string& path) {
    std::string s;
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<size_t>(n));
    close(fd);
    return s;
}

// Removes everything the key left in its directory but the state itself.
void clearDir() {
    if (DIR* d = opendir(g_dir.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") unlink((g_dir + "/" + name).c_str());
        }
        closedir(d);
    }
}

std::unique_ptr<vkey::Key> freshKey() {
    std::unique_ptr<vkey::Key> key;
    std::string err;
    if (g_dir.empty()) {
        char tmpl[] = "/tmp/fpkeyd-fuzz-vkey-XXXXXX";
        if (!mkdtemp(tmpl)) abort();
        g_dir = tmpl;
        if (vkey::Key::open(g_dir, nullptr, key, err) != vkey::OpenResult::created) abort();
        key.reset();
        g_pristine = readFile(stateFile());
        if (g_pristine.empty()) abort();
        atexit([] {
            clearDir();
            rmdir(g_dir.c_str());
        });
    }
    clearDir();
    if (!writeFile(stateFile(), g_pristine)) abort();
    if (vkey::Key::open(g_dir, nullptr, key, err) != vkey::OpenResult::ok) abort();
    key->setFingerWait(50);
    return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 16384) return 0;
    std::unique_ptr<vkey::Key> key = freshKey();
    CheckingSink sink;
    static const uint8_t kChannels[3] = {FRAME_CH_APDU, FRAME_CH_FPM, FRAME_CH_PWD};
    static uint8_t frame[FRAME_BUF_SIZE + 64];
    uint8_t seq = 0;
    const uint8_t* p = data;
    size_t left = size;
    while (left >= 3) {
        const uint8_t flags = p[0];
        size_t n = static_cast<size_t>(p[1] | (p[2] << 8));
        p += 3, left -= 3;
        if (n > left) n = left;
        const uint8_t* bytes = p;
        p += n, left -= n;

        if (flags & 0x80) key->powerCycle();
        if (flags & 0x20) {
            if (flags & 0x40)
                key->lift();
            else
                key->touch(std::string(reinterpret_cast<const char*>(bytes), n), sink);
            continue;
        }
        if (flags & 0x40) {
            key->tick(sink);
            continue;
        }
        size_t len;
        if (flags & 4) {
            len = n < sizeof frame ? n : sizeof frame;
            memcpy(frame, bytes, len);
        } else {
            uint8_t channel;
            if ((flags & 3) == 3) {
                if (n == 0) continue;
                channel = bytes[0];
                ++bytes, --n;
            } else {
                channel = kChannels[flags & 3];
            }
            if (n > FRAME_MAX_PAYLOAD) n = FRAME_MAX_PAYLOAD;
            memcpy(frame + FRAME_OFS_PAYLOAD, bytes, n);
            len = frameBuild(frame, sizeof frame, n, channel, (flags & 8) ? 1 : 0, seq++,
                             (flags & 16) ? 1 : 0);
        }
        // The socket front end hands over whole 64-byte units: zero padding
        // after the frame is allowed.
        key->receive(frame, len, sink);
    }
    key.reset();
    // Whatever the requests stored, the key comes back from its state file
    // (a state it cannot load again would leave the key unusable).
    std::unique_ptr<vkey::Key> again;
    std::string err;
    if (vkey::Key::open(g_dir, nullptr, again, err) != vkey::OpenResult::ok) {
        fprintf(stderr, "state does not load again: %s\n", err.c_str());
        abort();
    }
    return 0;
}
