#include <cstring>

#include "log/log.h"
#include "util/util.h"

namespace {
uint8_t s_arena[cxBuf::kSize];
size_t s_pos = 0;
unsigned s_wraps = 0;

uint8_t* restart() {
    _nvlogstr("cxBuf out buf");
    s_pos = 0;
    ++s_wraps;
    return s_arena;
}
}  // namespace

uint8_t* cxBuf::init(size_t n) {
    memset(s_arena, 0, sizeof s_arena);
    s_pos = n <= kSize ? n : kSize;
    return s_arena;
}

uint8_t* cxBuf::mal(size_t n) {
    if (!fitsIn(s_pos, n, kSize)) {
        restart();
        if (n > kSize) return nullptr;  // can never fit: refuse instead of overrunning
    }
    uint8_t* p = s_arena + s_pos;
    s_pos += n;
    return p;
}

uint8_t* cxBuf::add(size_t n) {
    if (!fitsIn(s_pos, n, kSize)) return restart();
    s_pos += n;
    return s_arena + s_pos;
}

uint8_t* cxBuf::tryMal(size_t n) {
    if (!fitsIn(s_pos, n, kSize)) return nullptr;
    uint8_t* p = s_arena + s_pos;
    s_pos += n;
    return p;
}

size_t cxBuf::left() {
    return kSize - s_pos;
}
unsigned cxBuf::wraps() {
    return s_wraps;
}
