// OpenSSL SM2 helpers for the end-to-end tests: verify a signature over
// SM3(Z || M), encrypt to and decrypt with raw keys, DER <-> raw layouts.
#pragma once

#include "tests/unit/skf/fake_port.h"

// Verifies r||s over message M with the default signer ID under public key
// X||Y (32 bytes each).
bool osslSm2Verify(const Bytes& x, const Bytes& y, const Bytes& msg, const Bytes& r,
                   const Bytes& s);
// e = SM3(Z || M) with the default signer ID, computed with OpenSSL's SM3.
Bytes osslSm3WithZ(const Bytes& x, const Bytes& y, const Bytes& msg);
// Encrypts to X||Y; returns C1(X||Y) || C3 || C2 (raw), empty on failure.
Bytes osslSm2EncryptRaw(const Bytes& x, const Bytes& y, const Bytes& plain);

// A fresh OpenSSL SM2 key pair kept for decryption.
struct OsslSm2Key {
    OsslSm2Key();
    ~OsslSm2Key();
    Bytes x, y;
    // Decrypts raw C1 || C3 || C2; empty on failure.
    Bytes decryptRaw(const Bytes& raw) const;
    void* pkey;
};
