// A port operation table for the fuzz targets: it keeps the last request
// frame sent and answers each receive with the next reply taken from the
// fuzz input. A reply is given either as a payload, which is framed here
// with the channel and sequence of the last request and a right checksum
// (so mutations reach what lies behind the envelope checks), or as raw bytes
// sent as they are.
//
// Reply stream: repeated  flags(1) | length(2, little-endian) | bytes
//   flags bit 0: continuation byte 1 (another frame follows)
//   flags bit 1: cipher byte 1
//   flags bit 2: raw frame (bytes sent unchanged)
//   flags bit 3: stale sequence (request sequence + 1)
//   flags bit 4: wrong channel (request channel ^ 1)
// When the stream is used up a receive times out (SS_ERR_TIMEOUT).
#pragma once

#include <cstddef>
#include <cstdint>

#include "transport/transport.h"

namespace fuzzport {

// Starts a new input: the replies are read from [data, data + size).
void reset(const uint8_t* data, size_t size);
// The operation table (handle 1).
_ST_DEV_OPT table();
// Binds and opens a link over this port.
void attach(CLink& link);
// Receives served so far.
int served();

}  // namespace fuzzport
