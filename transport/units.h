// Transfer units: a frame travels as whole units of one fixed size (64 or 1024
// bytes), the last one zero-padded; the receiver completes a frame from the
// length field of its first bytes. The USB port and the virtual port both move
// frames through these two functions, so the bounds rules live in one place.
#pragma once

#include <cstddef>
#include <cstdint>

// Result codes of the ports (USB and virtual). 0 is success.
constexpr int SS_ERR_TXD = -1;        // a unit could not be sent whole
constexpr int SS_ERR_RXD = -2;        // a unit could not be received (device gone, I/O error)
constexpr int SS_ERR_INIT = -3;       // libusb cannot be initialised
constexpr int SS_ERR_LIST = -4;       // no device list
constexpr int SS_ERR_CLAIM = -6;      // interface cannot be claimed
constexpr int SS_ERR_TOO_LONG = -8;   // announced frame longer than the receive buffer
constexpr int SS_ERR_LISTING = -13;   // a libusb call failed during a listing
constexpr int SS_ERR_TIMEOUT = -107;  // no unit within the wait time

// Largest transfer unit of any port.
constexpr size_t UNIT_MAX = 1024;
// Consecutive empty units tolerated before a receive gives up.
constexpr int UNIT_MAX_EMPTY = 16;

// Sends one whole unit of `unitLen` bytes; 0 or a negative code.
using UnitWriteFn = int (*)(void* ctx, const uint8_t* unit, size_t unitLen);
// Receives one unit into `unit` (room for `unitLen`), storing the byte count
// in *got; 0 or a negative code.
using UnitReadFn = int (*)(void* ctx, uint8_t* unit, size_t unitLen, size_t* got);

// Sends `len` bytes as ceil(len / unitLen) units. Whole units go straight
// from `bytes`; the remainder is copied into `staging` (unitLen bytes, owned
// by the sending direction only) and zero-padded. len 0 sends nothing.
// Returns 0 or the writer's code.
int unitsSend(UnitWriteFn write, void* ctx, uint8_t* staging, size_t unitLen, const uint8_t* bytes,
              size_t len);

// Receives one frame unit by unit into `out` (room for `capacity` bytes; out
// may be null, then the frame is read and dropped). The frame length is the
// big-endian length at bytes 1-2 plus 10; bytes of the last unit beyond it
// are dropped. A frame longer than `capacity` is read to its end without
// storing anything past the first three bytes and SS_ERR_TOO_LONG is
// returned, so the next exchange starts on a frame boundary. On success the
// frame length goes to *outLen (if given) and 0 is returned; a failed read
// returns the reader's code and leaves *outLen untouched. `staging` is the
// receiving direction's own unit buffer.
int unitsReceive(UnitReadFn read, void* ctx, uint8_t* staging, size_t unitLen, uint8_t* out,
                 size_t capacity, uint32_t* outLen);
