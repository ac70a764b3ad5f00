// Integration-test kit for commands that reach a key: a virtual key process
// (fpkey-vkey), provisioning with fpkey-provision, the setup of users and
// finger records through the smart-key API, and OpenSSL checks of what the
// daemon returns.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace keykit {

using Bytes = std::vector<uint8_t>;

// A fresh temporary directory, removed with its contents at destruction.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path;
};

// One fpkey-vkey process on sockets in `dir` (blank state on first start).
// `extraArgs` go to its command line as they are (e.g. --finger-wait MS).
class VKey {
  public:
    VKey(const std::string& dir, const std::string& portPath = "01.03",
         const std::vector<std::string>& extraArgs = {});
    ~VKey();
    VKey(const VKey&) = delete;
    VKey& operator=(const VKey&) = delete;

    bool ready() const { return ready_; }
    const std::string& socket() const { return sock_; }
    const std::string& stateFile() const { return stateFile_; }
    // `fpkey-vkey ctl CONTROL <command>`; true on exit status 0.
    bool ctl(const std::string& command) const;
    // The key's answer line to a control command ("" when none).
    std::string ctlReply(const std::string& command) const;
    // Everything the key logged on standard error (one line per card
    // command: it runs with --verbose).
    std::string log() const;
    // Ends the process with SIGKILL (no chance to tidy up) and waits for it.
    void kill();
    // Starts the process again on the same state and sockets; ready() tells
    // whether it came up.
    bool restart();

  private:
    void start();
    std::string dir_, portPath_, sock_, ctl_, errPath_, stateFile_;
    std::vector<std::string> extraArgs_;
    int pid_ = -1;
    bool ready_ = false;
};

// Runs fpkey-provision against the key; returns its exit status and its
// output in `output`. An empty `caDir`: the tool's own temporary CA.
int provision(const VKey& key, const std::string& caDir, std::string* output = nullptr,
              bool force = false);

// Card commands of one kind (CLA, INS) in a verbose key log.
int countCommands(const std::string& log, uint8_t cla, uint8_t ins);

// The user PIN tries left of the application with identifier `appId`, read
// from the key's state file; -1 when not found.
int userPinTriesLeft(const std::string& stateFile, unsigned appId);

// Users and finger records written with the smart-key API straight to the
// key (the daemon must not be connected to it meanwhile).
struct Finger {
    int number;
    int templateId;
    std::string displayName;
};
struct User {
    std::string name;
    std::vector<Finger> fingers;
};
// Creates the users; containers named "<finger>_<template>" whose
// signature-certificate slot holds the display name; `extraBaseCot` adds a
// container "baseCot" to the base application. Empty string on success,
// else what failed.
std::string makeRecords(const std::string& socket, const std::vector<User>& users,
                        bool extraBaseCot);

// ---- OpenSSL side -------------------------------------------------------
Bytes fromHex(const std::string& hex);
std::string toHex(const Bytes& b);
Bytes fromBase64(const std::string& text);
std::string toBase64(const Bytes& b);
Bytes bytesOf(const std::string& s);
// Verifies a DER signature SEQUENCE { INTEGER r, INTEGER s } over
// SM3(Z || msg), ID "1234567812345678", with the public key 04 || X || Y.
// Integers with leading zero bytes (the signature text keeps 32 bytes) are
// accepted; anything else around or after the SEQUENCE is not.
bool sm2VerifyDer(const Bytes& pub65, const Bytes& msg, const Bytes& der);
// Encrypts to 04 || X || Y; returns C1 (X || Y) || C3 || C2.
Bytes sm2EncryptRaw(const Bytes& pub65, const Bytes& plain);
Bytes sm4EcbEncrypt(const Bytes& key, const Bytes& plain);
// The public key (65 bytes) of a DER certificate; empty when unreadable.
Bytes certPublicKey(const Bytes& der);

// The parts of a PKCS#7 SignedData that the checks need.
struct SignedData {
    bool parsed = false;
    std::string contentType;  // dotted OIDs
    std::string innerType;
    std::string digestAlg;
    std::string signatureAlg;
    Bytes content;
    Bytes certificate;
    Bytes signature;
    std::string issuerOfSigner;  // one-line name text
    std::string issuerOfCert;
    bool serialMatches = false;
};
SignedData parseSignedData(const Bytes& der);

}  // namespace keykit
