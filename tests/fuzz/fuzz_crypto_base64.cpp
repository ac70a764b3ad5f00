// Base64 decoding of page text: the tolerant decoder with an exactly sized
// output, with a short output, the string form, and encode -> decode of the
// input bytes in both alphabets.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/crypto.h"

namespace {
// Exactly sized buffers (ASan sees a write one past them); an empty one is
// still a valid, non-null pointer as the decoder requires.
uint8_t* at(std::vector<uint8_t>& v) {
    static uint8_t none;
    return v.empty() ? &none : v.data();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    const char* text = reinterpret_cast<const char*>(data);
    const int n = static_cast<int>(size);

    const int need = Base64DecodeRequireSize(n);
    if (need < 0) abort();
    std::vector<uint8_t> out(static_cast<size_t>(need));
    int got = need;
    const bool ok = Base64Decode(text, n, at(out), &got);
    if (!ok || got < 0 || got > need) abort();  // the required size always suffices

    // A third of the room: either it fits or the decoder says no; never a
    // write past the room (ASan watches the exact vector).
    const int small = need / 3;
    std::vector<uint8_t> shortOut(static_cast<size_t>(small));
    int shortGot = small;
    if (Base64Decode(text, n, at(shortOut), &shortGot)) {
        if (shortGot != got || memcmp(at(shortOut), at(out), static_cast<size_t>(got)) != 0)
            abort();
    }

    int viaString = need;
    std::vector<uint8_t> out2(static_cast<size_t>(need));
    if (!Base64::decodeBase64(std::string(text, size), at(out2), &viaString)) {
        // The string form stops at a zero byte like the C form; only a fit
        // failure is allowed, and then it reports the room it would need.
        if (viaString < 0) abort();
    }

    // Bytes -> text -> bytes, both alphabets, with and without line breaks.
    if (size <= 4096) {
        const bool lines = size & 1, url = (size >> 1) & 1;
        int cap = Base64EncodeRequireSize(n, lines);
        if (cap < 0) abort();
        std::vector<char> enc(static_cast<size_t>(cap) + 1);
        int encLen = cap;
        if (n > 0) {
            if (!Base64Encode(data, n, enc.data(), &encLen, lines, url) || encLen > cap) abort();
            std::vector<uint8_t> back(static_cast<size_t>(Base64DecodeRequireSize(encLen)));
            int backLen = static_cast<int>(back.size());
            if (!Base64Decode(enc.data(), encLen, back.data(), &backLen) || backLen != n ||
                memcmp(back.data(), data, size) != 0)
                abort();
        }
    }
    return 0;
}
