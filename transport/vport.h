// The virtual port (inside the transport layer only): links to virtual keys
// (fpkey-vkey) over Unix SOCK_SEQPACKET sockets, one 64-byte transfer unit
// per packet. Hello packets: "FPKV INFO" and "FPKV OPEN", answered with
// "FPKV OK 0x%04X <port path>", "FPKV BUSY" or "FPKV ABSENT".
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "transport/transport.h"

constexpr size_t VPORT_UNIT = 64;
// Port handles of the virtual port: base + index of the key.
constexpr uint64_t VPORT_HANDLE_BASE = 0x100;

// One data connection to a key. Each direction has its own staging unit.
struct VKeyConn {
    std::atomic<int> fd{-1};
    uint8_t txdUnit[VPORT_UNIT];
    uint8_t rxdUnit[VPORT_UNIT];
};

// Frames over a connected socket (wait time: the ports' common one).
int vconnSend(VKeyConn* c, const uint8_t* bytes, size_t len);
int vconnReceive(VKeyConn* c, uint8_t* out, size_t capacity, uint32_t* outLen);
// Shuts the socket down (waking a receive waiting on it) and closes it.
void vconnClose(VKeyConn* c);

// What a key answered to a hello.
enum VKeyAnswer { VKEY_OK, VKEY_ABSENT, VKEY_BUSY, VKEY_BAD };
// Parses "FPKV OK 0x2549 01.03" into the product id and port numbers.
bool vkeyParseOk(const char* text, uint16_t* pid, uint8_t* ports, int* nports);

// Configuration and the port's operations.
int VPORT_Configure(const char* const* paths, int count);
int VPORT_Count();
// Asks key `index` for its identity without touching the port's own records
// (safe beside the session's use of the port): true with its name and
// product id while it is plugged in.
bool VPORT_Probe(int index, char* name, size_t cap, uint16_t* pid);
// Asks every configured key for its product id and port path (FPKV INFO).
void VPORT_Refresh();
// Names of the present keys with these ids, as ssUsblst writes them.
int VPORT_List(char* names, size_t capacity, uint32_t vid, uint32_t pid);
// The handle of the key listed under `name` (refreshing once when unknown),
// or 0 when no configured key has that name.
uint64_t VPORT_HandleFor(const char* name);
int VPORT_Open(uint64_t handle);
int VPORT_Close(uint64_t handle);
int VPORT_txd(uint64_t handle, const uint8_t* bytes, int len, int* sent);
int VPORT_rxd(uint64_t handle, uint8_t* buf, int capacity, int* received);
