// Handle map: ties application, container, file and session handles (1..16,
// one number space) to the card identifier, name and parent of the object.
// Internal to skf/.
#pragma once

#include <cstdint>

enum : int {
    HDL_FREE = 0,
    HDL_APP = 2,
    HDL_CONTAINER = 3,
    HDL_FILE = 5,
    HDL_SESSIONKEY = 6,
    HDL_HASH = 7,
    HDL_MAC = 8,
    HDL_AGREEMENT = 9,
};

constexpr int m_hdlMapNum = 16;
constexpr int kHdlNameMax = 64;

struct T_HdlMap {
    uint16_t type;
    uint16_t id;
    uint16_t aux;
    char name[kHdlNameMax + 1];
    uint64_t handle;  // index + 1 while in use, 0 when free
    uint64_t parent;
    void clr();
};

extern T_HdlMap m_hdlMap[m_hdlMapNum];

void* setHdlName(int type, const void* name, void* parent, unsigned short id, int maxLen);
void* setHdlID(int type, unsigned short id, void* parent, unsigned int aux);
int getHdlInfo(int type, void* handle, unsigned short& id, void*& parent, unsigned int* aux);
// Copies the name (without terminator) into `name`, which holds at least
// kHdlNameMax bytes and has been cleared by the caller.
int getHdlName(void* handle, void* name, void*& parent);
void delHdlName(int type, const void* name, void* parent, int maxLen);
void delbyHdl(void* handle);

// Test seam: empties the map.
void hdlResetForTest();
