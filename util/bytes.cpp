// Small byte-buffer utilities.
#include <cstring>

#include "util/util.h"

void swapFlow(uint8_t* buffer, int count) {
    if (!buffer || count < 2) return;
    for (int i = 0, j = count - 1; i < j; ++i, --j) {
        uint8_t t = buffer[i];
        buffer[i] = buffer[j];
        buffer[j] = t;
    }
}

void swapFlow(uint8_t* buffer, int count, int group) {
    if (!buffer || count < 1 || group == 0) return;
    if (group > 0) {
        for (int i = 0; i < count; i += group)
            swapFlow(buffer + i, count - i < group ? count - i : group);
    } else {
        int g = -group;
        int lead = count % g;
        swapFlow(buffer, lead);
        for (int i = lead; i < count; i += g)
            swapFlow(buffer + i, g);
    }
    swapFlow(buffer, count);
}

void swapFlow(uint8_t* a, uint8_t* b, int count) {
    if (!a || !b) return;
    for (int i = 0; i < count; ++i) {
        uint8_t t = a[i];
        a[i] = b[i];
        b[i] = t;
    }
}

int cvtflow(uint8_t* buffer, int count) {
    swapFlow(buffer, count);
    return count / 2;
}

int convertFlow(uint8_t* buffer, int count) {
    return cvtflow(buffer, count);
}

int asciiget(const char* text, int count, char* out) {
    if (!text || !out) return 0;
    int n = 0;
    for (int i = 0; i < count; ++i)
        if (text[i] != '\r' && text[i] != '\n') out[n++] = text[i];
    out[n] = 0;
    return n;
}

void* mixmemcpy(void* dst, const void* src, size_t count) {
    if (!dst || !src) return nullptr;
    return memmove(dst, src, count);
}

int pwdcmp(const uint8_t* a, const uint8_t* b, uint8_t count) {
    if (!a || !b) return 1;
    // Looks at every byte so the time taken does not tell where they differ.
    uint8_t diff = 0;
    for (unsigned i = 0; i < count; ++i)
        diff |= static_cast<uint8_t>(a[i] ^ b[i]);
    return diff ? 1 : 0;
}

int bytecmp(const uint8_t* buffer, uint8_t byte, int count) {
    if (!buffer) return 1;
    for (int i = 0; i < count; ++i)
        if (buffer[i] != byte) return 1;
    return 0;
}

int IsCharacterInBuffer(const uint8_t* buffer, uint8_t byte, int count) {
    if (!buffer) return 0;
    for (int i = 0; i < count; ++i)
        if (buffer[i] == byte) return 1;
    return 0;
}

int BcdToStr(const uint8_t* bcd, int count, char* out) {
    if (!bcd || !out || count <= 0) return 0;
    for (int i = 0; i < count; ++i) {
        const size_t at = 2 * static_cast<size_t>(i);
        out[at] = static_cast<char>('0' + (bcd[i] >> 4));
        out[at + 1] = static_cast<char>('0' + (bcd[i] & 0x0F));
    }
    return 2 * count;
}

void delaySoftUs(unsigned n) {
    for (volatile unsigned long i = 0; i < 5ul * n; i = i + 1) {
    }
}

void delaySoftMs(unsigned n) {
    for (volatile unsigned long i = 0; i < 5325ul * n; i = i + 1) {
    }
}
