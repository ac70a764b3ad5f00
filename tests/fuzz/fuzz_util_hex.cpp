// Hex text and number parsing from page input: hex2asc (both forms, with and
// without an output buffer) and str2i in every mode. Byte 0 chooses the
// modes and the output room; the rest is the text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "util/util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    const char* text = reinterpret_cast<const char*>(data + 1);
    const int len = static_cast<int>(size - 1);

    // Bounded form: output exactly `room` bytes; the count with no buffer
    // must match what the buffered run reports.
    const size_t room = static_cast<size_t>(mode & 0x0F) * 7;
    std::vector<uint8_t> out(room);
    const int single = (mode >> 4) & 1;
    const int n = hex2asc(text, len, out.data(), single, room);
    const int counted = hex2asc(text, len, nullptr, single, room);
    if (n < 0 || static_cast<size_t>(n) > room || n != counted) abort();

    // Unbounded form: never more bytes than characters.
    std::vector<uint8_t> whole(len > 0 ? len : 1);
    const int m = hex2asc(text, len, whole.data(), single);
    if (m < 0 || m > (len > 0 ? len : 0)) abort();

    // Numbers: explicit length, and the zero-terminated form on a copy.
    const bool hex = mode & 0x20, strict = mode & 0x40;
    if (len > 0) (void)str2i(text, hex, strict, len);  // 0 would mean zero-terminated
    std::vector<char> z(text, text + len);
    z.push_back(0);
    (void)str2i(z.data(), hex, strict, 0);

    // Bytes -> text -> bytes gives the bytes back.
    if (len > 0 && len <= 512) {
        std::vector<char> t(static_cast<size_t>(len) * 5 + 64);
        const int tl = asc2hex(data + 1, len, t.data(), (mode >> 7) ? 1 : 0);
        std::vector<uint8_t> back(static_cast<size_t>(len));
        const int bl = hex2asc(t.data(), tl, back.data(), 0, back.size());
        if (bl != len || memcmp(back.data(), data + 1, static_cast<size_t>(len)) != 0) abort();
    }
    return 0;
}
