// A recording port for the smart-key tests: an implementation of the port
// operation table that keeps every frame sent and answers from a script of
// replies. Frames are built here independently of the code under test.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

namespace fake {

struct Reply {
    Bytes frame;          // complete frame; sequence patched when echoSeq
    bool echoSeq = true;  // answer with the channel and sequence of the last request
    int rc = 0;           // non-zero: the receive fails with this status
};

extern std::vector<Bytes> sent;
extern std::deque<Reply> replies;
extern int txdRc;

// Empties the device table, handle map and script.
void reset();
// Puts a device named `name` in slot `slot` over this port; returns its handle.
void* attach(int slot, const char* name);

uint16_t fletcher(const uint8_t* p, size_t n);
// A reply frame (channel 8) whose payload is SW, N and the data.
Bytes replyFrame(uint16_t sw, const Bytes& data, uint8_t seq = 0);
void reply(uint16_t sw, const Bytes& data = {});
void replyFail(int rc);

// Payload (the command area: header and data) of sent frame i.
Bytes apdu(size_t i);
// Data field of sent command i.
Bytes data(size_t i);

}  // namespace fake

Bytes hexBytes(const std::string& hex);
Bytes seqBytes(uint8_t first, size_t n);
