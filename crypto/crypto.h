// The daemon's own cryptography and encodings: SM3 and the SM2 signer Z
// value, SM4, SHA-1 and the PKCS#1 helpers, Base64, and the small DER writer
// with the PKCS#7 / signature packaging. Nothing here links a crypto
// library. Functions return result codes (no exceptions) and never allocate
// on the heap, except the Base64 convenience methods that return a string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// ===========================================================================
// SM3 (GM/T 0004-2012): 32-byte digest.
// ===========================================================================
constexpr int kSm3Len = 32;

struct sm3_context {
    uint32_t state[8];
    uint64_t total;  // bytes absorbed so far
    uint8_t block[64];
};

// Incremental hashing: starts, any number of updates (any split gives the
// same digest), finish. finish wipes the context.
void sm3_starts(sm3_context* ctx);
void sm3_update(sm3_context* ctx, const uint8_t* data, size_t length);
void sm3_finish(sm3_context* ctx, uint8_t out[kSm3Len]);

// Length of the padded message: the next multiple of 64 that leaves room
// for the 0x80 byte and the 8-byte bit count (55 -> 64, 56 -> 128).
uint64_t sm3_calc_paddingmsg_length(uint64_t length);

// One-shot SM3 of `length` bytes into out (32 bytes). Hashes in place
// without copying the message; the bit count is the full 64-bit one, so
// every length is hashed correctly. Returns 0, or -1 when out is null or
// message is null with a non-zero length.
int sm3(const uint8_t* message, uint32_t length, uint8_t* out);

// ---------------------------------------------------------------------------
// SM2 signer identity value Z (GM/T 0003.2 with the curve of GM/T 0003.5).
// Z input = ENTL(2, big-endian bit length of ID) || ID || a || b || xG || yG
//           || xA || yA; Z = SM3(Z input). xA, yA: 32 bytes big-endian each.
// ===========================================================================
constexpr char kSm2DefaultId[] = "1234567812345678";  // GM/T 0009 default
constexpr uint32_t kSm2DefaultIdLen = 16;
constexpr uint32_t kSm2ZFixedLen = 194;  // Z input length without the ID
constexpr uint32_t kSm2MaxIdLen = 8191;  // ENTL is a 16-bit bit count
// Largest message sm3WithZ accepts (its 4096-byte work area less the
// 210-byte Z input).
constexpr uint32_t kSm3WithZMaxMsg = 3886;

// Identity used by sm2ExportZValue / sm2HashZValue when given a null ID with
// length 0 (18 bytes; no caller relies on it).
extern const uint8_t ENTLA_ID[18];

// Writes the 210-byte Z input for the default identity into out (at least
// 210 bytes); returns 210, or 0 when an argument is null.
int sm3_ZVal(uint8_t* out, const uint8_t* xA, const uint8_t* yA);

// out (32 bytes) = SM3(Z || message) with the default identity. Returns 32,
// or 0 (out untouched) when the message is longer than kSm3WithZMaxMsg or an
// argument is null.
int sm3WithZ(uint8_t* out, const uint8_t* message, uint32_t length, const uint8_t* xA,
             const uint8_t* yA);

// Writes the Z input for identity id/idLength into out. *outLength is in/out:
// on entry the capacity of out, on success the bytes written (194 + ID
// length). id == nullptr with idLength 0 selects ENTLA_ID; a non-null id with
// length 0 is the empty identity. Returns 0, or -1 for a null argument, an ID
// of 8192 bytes or more, or too small a capacity.
int sm2ExportZValue(const uint8_t* xA, const uint8_t* yA, const uint8_t* id, uint32_t idLength,
                    uint8_t* out, uint32_t* outLength);

// out (32 bytes) = SM3(SM3(Z input) || message) for the given identity (same
// identity rules as sm2ExportZValue). Returns 0, or -1 for a null argument or
// an ID of 8192 bytes or more.
int sm2HashZValue(const uint8_t* xA, const uint8_t* yA, const uint8_t* id, uint32_t idLength,
                  const uint8_t* message, uint32_t length, uint8_t* out);

// ===========================================================================
// SM4 (GM/T 0002-2012): 16-byte blocks and key. Callers pad; lengths must be
// multiples of 16. Wipe a context with sm4_clear when done with the key.
// ===========================================================================
constexpr int kSm4Block = 16;

struct sm4_context {
    int mode;         // 1 = set up for encipherment, 0 = for decipherment
    uint32_t sk[32];  // round keys, reversed for decipherment
};

// Key schedules; nothing happens when ctx or key is null.
void sm4_setkey_enc(sm4_context* ctx, const uint8_t key[16]);
void sm4_setkey_dec(sm4_context* ctx, const uint8_t key[16]);
void sm4_clear(sm4_context* ctx);

// ECB: each block goes through the context's round keys (the direction is
// that of the key schedule). input and output may be the same buffer.
// Returns 0 (also for length 0), or -1 (nothing written) for a null
// argument, a negative length or one that is not a multiple of 16.
int sm4_crypt_ecb(const sm4_context* ctx, int length, const uint8_t* input, uint8_t* output);

// CBC: encipherment when ctx->mode is 1, decipherment otherwise. The IV is
// read, never updated: every call starts a new chain from iv. input and
// output may be the same buffer. Results as for ECB (also -1 for a null iv).
int sm4_crypt_cbc(const sm4_context* ctx, int length, const uint8_t iv[16], const uint8_t* input,
                  uint8_t* output);

// ===========================================================================
// SHA-1 (FIPS 180-4).
// ===========================================================================
constexpr int kSha1Len = 20;

struct sha1_context {
    uint32_t total[2];  // bytes absorbed, low word then high word
    uint32_t state[5];
    uint8_t buffer[64];
};

void sha1_starts(sha1_context* ctx);
void sha1_update(sha1_context* ctx, const uint8_t* data, size_t length);
void sha1_finish(sha1_context* ctx, uint8_t out[kSha1Len]);  // wipes ctx

// SHA-1 of count bytes, absorbed in pieces of `piece` bytes (0: all at
// once); the digest does not depend on the piece size.
void Sha1Ex(const uint8_t* data, uint32_t count, uint8_t out[kSha1Len], uint32_t piece);
// Sha1Ex with 32768-byte pieces.
void Sha1(const uint8_t* data, uint32_t count, uint8_t out[kSha1Len]);

// ===========================================================================
// PKCS#1 v1.5 helpers (RFC 8017): DigestInfo and block types 1 and 2.
// ===========================================================================
// Digest type numbers of the DigestInfo table; any other number means SHA-1.
enum Pkcs1HashType : int {
    kPkcs1Sha1 = 2,
    kPkcs1Sha256 = 4,
    kPkcs1Sha512 = 8,
    kPkcs1Md5 = 9,
    kPkcs1Sm3 = 11,
};
// Largest DigestInfo (SHA-512: 19-byte prefix + 64-byte digest).
constexpr int kPkcs1HashMax = 83;

// DigestInfo prefix of a type and its digest length (the prefix's last
// byte). Returns the prefix length.
int pkcs1DigestPrefix(int type, const uint8_t** prefix, int* digestLength);

// out = SHA-1 DigestInfo prefix || 20-byte digest; *outLength = 35. Returns
// 0, or -1 for a null argument.
int createPkcs1Hash(const uint8_t* digest, uint8_t* out, int* outLength);
// out = prefix of `type` || digest (the type's digest length). digest and
// out may overlap (works in place). out needs prefix + digest length bytes
// (at most kPkcs1HashMax). Returns 0, or -1 for a null argument.
int createPkcs1HashEx(const uint8_t* digest, uint8_t* out, int* outLength, int type);
// Digest of data (SM3 for kPkcs1Sm3, SHA-1 for the SHA-1 types) wrapped in
// its DigestInfo. Returns 0, or -1 for a null argument or for SHA-256,
// SHA-512 and MD5, which have no digest function here (*outLength = 0).
int pkcs1HashPackEx(const uint8_t* data, uint32_t count, uint8_t* out, int* outLength, int type);
int pkcs1HashPack(const uint8_t* data, uint32_t count, uint8_t* out, int* outLength);

// Block type 1: 00 01 FF.. 00 data, exactly toLength bytes; any filler
// length >= 0 is accepted. Returns 1, or 0 (nothing written) when
// toLength <= fromLength or toLength - fromLength - 3 < 0.
int padRSATypeSign(uint8_t* to, int toLength, const uint8_t* from, int fromLength);
// Block type 2: 00 02 <non-zero random bytes> 00 data, from the system's
// random source. Same rules; also 0 when no random bytes could be read or
// the filler would pass 512 bytes (blocks of 4096-bit keys fit).
int padRSATypeEncypt(uint8_t* to, int toLength, const uint8_t* from, int fromLength);

// Strip block type 1 / 2: after the first byte equal to the block type, the
// first 00 that is not the block's last byte ends the padding; the rest is
// the data. *toLength is in/out (capacity, then data length). Returns 1, or
// 0 (nothing written) when there is no such 00 or the data do not fit.
int stripPKCS1Verify(const uint8_t* from, int fromLength, uint8_t* to, int* toLength);
int stripPKCS1Decrypt(const uint8_t* from, int fromLength, uint8_t* to, int* toLength);

// ===========================================================================
// Base64 (RFC 4648, "=" padding). Encoding: optional CR LF after every
// 76-character line and optional URL-safe alphabet ("-" "_"). Decoding is
// tolerant: both alphabets, every other character skipped, padding ignored,
// a zero byte where a new group would start ends the text.
// ===========================================================================
extern const char B64_ENCODINGTABLE[65];

// Capacity Base64Encode requires: 4 * ceil(n / 3), plus (size / 76 + 1) * 2
// with line breaks. 0 for n <= 0, -1 when the size would not fit an int.
int Base64EncodeRequireSize(int n, bool lineBreaks);
// Encodes n bytes into out; *size is in/out (capacity, then characters
// written; no terminator). Returns false (nothing written) for a null
// argument, a negative n or a capacity below Base64EncodeRequireSize.
bool Base64Encode(const uint8_t* in, int n, char* out, int* size, bool lineBreaks, bool urlSafe);
inline bool Base64EncodeA(const uint8_t* in, int n, char* out, int* size, bool lineBreaks,
                          bool urlSafe) {
    return Base64Encode(in, n, out, size, lineBreaks, urlSafe);
}
// Capacity for decoding n characters: (n / 4 + (n % 4 != 0)) * 3.
int Base64DecodeRequireSize(int n);
// Decodes n characters into out; *size is in/out (capacity, then bytes
// written). Returns false for a null argument, a negative n, or when the
// output would pass the capacity (the groups before stay in out).
bool Base64Decode(const char* in, int n, uint8_t* out, int* size);
inline bool Base64DecodeA(const char* in, int n, uint8_t* out, int* size) {
    return Base64Decode(in, n, out, size);
}

class Base64 {
  public:
    // The text of n bytes (empty for n < 1).
    static std::string encodeBase64(const uint8_t* in, int n, bool lineBreaks = false,
                                    bool urlSafe = false);
    // Base64Decode over the text; on failure *size receives the capacity
    // the text would need.
    static bool decodeBase64(const std::string& text, uint8_t* out, int* size);
    // *size receives Base64EncodeRequireSize(n, lineBreaks); out must hold
    // that many bytes. n < 1 returns false. Then *size = characters written.
    static bool encodeBase64Ex(const uint8_t* in, int n, char* out, int* size,
                               bool lineBreaks = false, bool urlSafe = false);
    // Base64Decode; on failure *size receives Base64DecodeRequireSize(n).
    static bool decodeBase64Ex(const char* in, int n, uint8_t* out, int* size);
};

// ===========================================================================
// DER writer. Elements take their storage from the scratch arena cxBuf
// (util/util.h) and never restart it: a request that does not fit, a value
// length above 65535, or an append past the declared length marks the
// element failed (ok() false) and nothing is written. A parent built from a
// failed element is failed too, so a message is either complete or refused.
// Like the arena itself (and m_certData below), this is for the command
// path: one command at a time, not for concurrent use.
// ===========================================================================
constexpr uint32_t kDerMaxValue = 65535;

class cTlv {
  public:
    cTlv() = default;
    cTlv(uint8_t tag, uint32_t length) { set(tag, length); }
    cTlv(uint8_t tag, const cTlv& inner) { set(tag, inner); }
    ~cTlv() {}

    // Takes length + 8 bytes from the arena and writes tag and length header
    // (lengths below 128 in one byte, 81 xx up to 255, 82 xx xx up to
    // 65535). The value is then appended with add*.
    cTlv& set(uint8_t tag, uint32_t length);
    // set(tag, inner.len()) then addtlv(inner).
    cTlv& set(uint8_t tag, const cTlv& inner);

    uint32_t len() const { return m_len; }  // header + declared value length
    uint8_t* buf() const { return m_buf; }
    bool ok() const { return !m_failed; }
    // True when ok and exactly the declared length has been written.
    bool complete() const { return !m_failed && m_pos == m_len; }

    cTlv& addv1(uint8_t byte);
    cTlv& addbuf(const uint8_t* bytes, uint32_t n);
    cTlv& addtlv(const cTlv& inner);  // appends inner's first len() bytes

    void init() { m_pos = m_len = 0; }
    void unset() {}

  private:
    cTlv& fail();

    uint8_t* m_buf = nullptr;
    uint32_t m_len = 0;
    uint32_t m_pos = 0;
    bool m_failed = false;
};

// Makes element the INTEGER of an n-byte unsigned big-endian value: leading
// zero bytes dropped, 00 prepended when the high bit is set; zero is 02 01
// 00. n at most 120. Returns 0, or -1 when an argument is bad or the element
// was refused.
int asnIntchk(const uint8_t* bytes, int n, cTlv& element);

// Header length of the TLV at p (from its second byte: 81 -> 3, 82 -> 4,
// 83 -> 5, else 2), and header plus value length (83 headers count a value
// of 0). They read p[1..3] unchecked: use them on bytes known to be there.
int _getTLlen(const uint8_t* p);
int _getTLVlen(const uint8_t* p);

// Issuer Name TLV followed by the serial-number INTEGER TLV of the last
// certificate given to _getCertData (IssuerAndSerialNumber contents).
constexpr int kCertDataSize = 1024;
extern uint8_t m_certData[kCertDataSize];

// Reads issuer and serial number of a DER X.509 certificate into m_certData.
// Returns the bytes written, or 0 when the certificate cannot be read within
// length or the fields do not fit m_certData.
int _getCertData(const uint8_t* certificate, int length);

// out (at least 72 bytes) = SEQUENCE { INTEGER r, INTEGER s } of the 64-byte
// r || s signature; *outLength its length. Uses no arena. Returns 0, or -1
// when an argument is null.
int makepkcs10(const uint8_t* signature, uint8_t* out, int* outLength);

// PKCS#7 SignedData over data with the signer's certificate and the 64-byte
// SM2 signature r || s (digest SM3, signature algorithm SM2, content types of
// PKCS#7). On success *message points into the scratch arena (valid until it
// is re-initialised) and *messageLength is its length. Returns 0, -1 for a
// null or negative argument, -2 when the message does not fit the arena's
// free space (nothing is taken from it then). The message takes one slice
// of its own length + 8 bytes: at most certificate + data + the
// certificate's issuer Name and serial number + 200 bytes.
int makepkcs7Tilo(const uint8_t* certificate, int certificateLength, const uint8_t* data,
                  int dataLength, const uint8_t* signature, uint8_t** message, int* messageLength);
// The same with the GM/T 0010 content types, SignedData version 3 and
// algorithm identifiers with NULL parameters (SM2 signature OID).
int makepkcs7(const uint8_t* certificate, int certificateLength, const uint8_t* data,
              int dataLength, const uint8_t* signature, uint8_t** message, int* messageLength);
