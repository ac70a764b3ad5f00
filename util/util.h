// Byte, hex and text helpers, the sleep and uptime helpers, and the scratch
// arena shared by the command path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// ---------------------------------------------------------------------------
// Scratch arena: one process-wide 3072-byte buffer, reset per command.
class cxBuf {
  public:
    static constexpr size_t kSize = 3072;
    // Clears the whole arena, restarts at its beginning, reserves n bytes and
    // returns the beginning.
    static uint8_t* init(size_t n);
    // Returns the current position and advances by n; restarts at the
    // beginning (logging "cxBuf out buf") when the end would pass the arena.
    static uint8_t* mal(size_t n);
    // Advances by n after a callee filled bytes at mal(0).
    static uint8_t* add(size_t n);
    // Bytes left before the arena would restart.
    static size_t left();
    // Number of restarts since start; a builder compares it before and after
    // to detect that slices it still holds were overwritten.
    static unsigned wraps();
    // Like mal(n), but returns nullptr instead of restarting.
    static uint8_t* tryMal(size_t n);
};

// ---------------------------------------------------------------------------
// Clears `n` bytes at `p` in a way the optimiser may not drop: PINs, keys,
// plain texts and cryptograms.
inline void secureWipe(void* p, size_t n) {
    volatile uint8_t* v = static_cast<volatile uint8_t*>(p);
    while (n--)
        *v++ = 0;
}

// Hex text and numbers.
int asc2hex(const uint8_t* bytes, int count, char* text, int mode);
// Writes at most `length` bytes (all any text yields without ":" repeat counts).
int hex2asc(const char* text, int length, uint8_t* out, int singleDigitHigh);
// Writes at most outSize bytes; with out null it only counts them.
int hex2asc(const char* text, int length, uint8_t* out, int singleDigitHigh, size_t outSize);
uint32_t str2i(const char* text, bool hex, bool strict, int length);
int i2str(uint32_t value, char* text, bool hex);
int dec2asc(const char* text, uint8_t* out);
void swapFlow(uint8_t* buffer, int count);
void swapFlow(uint8_t* buffer, int count, int group);
void swapFlow(uint8_t* a, uint8_t* b, int count);
int cvtflow(uint8_t* buffer, int count);
int convertFlow(uint8_t* buffer, int count);
int asciiget(const char* text, int count, char* out);
void* mixmemcpy(void* dst, const void* src, size_t count);
int pwdcmp(const uint8_t* a, const uint8_t* b, uint8_t count);
int bytecmp(const uint8_t* buffer, uint8_t byte, int count);
int IsCharacterInBuffer(const uint8_t* buffer, uint8_t byte, int count);
int BcdToStr(const uint8_t* bcd, int count, char* out);
void delaySoftUs(unsigned n);
void delaySoftMs(unsigned n);
bool _isHexCh(char c);
int _c2i(char c);
char _i2c(uint8_t value, int lowNibble);

// ---------------------------------------------------------------------------
// One value held both as bytes and as hex text.
class CBytesEx {
  public:
    static bool S_bDefault_space;
    static bool S_bCapital;
    static void s_SetSpace(bool defaultSpace, bool capital);

    CBytesEx();
    explicit CBytesEx(int size);
    CBytesEx(const void* data, int length, int isHex);
    CBytesEx(const CBytesEx& other, int length = 0);
    ~CBytesEx();
    CBytesEx& operator=(const CBytesEx& other);
    bool operator==(const CBytesEx& other) const;
    bool operator!=(const CBytesEx& other) const { return !(*this == other); }

    int Set(const CBytesEx& other, int length, int offset);
    int Set(const void* data, int length, int isHex);
    int setBytes(const void* data, int length, int isHex);
    int setHex(const char* text, int length);
    int setStr(const char* text, int isHex);
    int update(int length);
    int cp(const void* data, int length, int offset);
    int getBytes(void* out) const;
    int getHex(char* out) const;
    int getStr(char* out) const;
    int getLen(int which) const;
    uint8_t* getBytesPtr() const;
    char* getStrPtr() const;
    char* getHexPtr() const;
    char* operator*() const { return getStrPtr(); }
    void setSpace(bool space, bool cArray);

  private:
    void clear();
    bool reserve(int bytes, int hexChars);
    void rebuildHex();

    uint8_t* m_bytes = nullptr;
    char* m_hex = nullptr;
    int m_byteLen = 0;
    int m_hexLen = 0;
    int m_capacity = 0;
    int m_hexCapacity = 0;
    bool m_space = false;
    bool m_cArray = false;
};

// ---------------------------------------------------------------------------
// Time.
void nvSleep(unsigned milliseconds);
// Uptime in whole seconds; returns 1, or 0 (logging "sysinfo error").
int getCurTm(long* seconds);

// ---------------------------------------------------------------------------
// Bounds helper of this layer: true when [offset, offset + count) lies within
// a buffer of `size` bytes, without overflow.
constexpr bool fitsIn(size_t offset, size_t count, size_t size) {
    return offset <= size && count <= size - offset;
}

// ---------------------------------------------------------------------------
// JSON text.
// Whether `text` is well-formed UTF-8: shortest forms only, no surrogate
// code points (JsonCpp turns a lone "\udc00" into one), at most U+10FFFF.
bool isUtf8(const char* text, size_t size);
// Appends `text` as a quoted JSON string: the two specials and the five
// short escapes, other bytes below 0x20 as \u00XX in upper case. Valid UTF-8
// is written as it is; any other text one character per byte, the bytes
// 0x80-0xFF as \u0080-\u00FF, so that a reply stays valid UTF-8 (a browser
// drops a connection on a text frame that is not) and a page gets every byte
// back with charCodeAt.
void quoteJson(const std::string& text, std::string& out);
