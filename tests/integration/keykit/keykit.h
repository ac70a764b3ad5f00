// Integration-test kit for commands that reach a key: a virtual key process
// (fpkey-vkey), provisioning with fpkey-provision, the setup of users and
// finger records through the smart-key API, and the OpenSSL checks of
// tests/support for what the daemon returns.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/support.h"

namespace keykit {

using support::Bytes;
using support::TempDir;

// One fpkey-vkey process on sockets in `dir` (blank state on first start),
// its port path given and every card command logged (--verbose); ready()
// tells whether it came up. `extraArgs` go to its command line as they are
// (e.g. --finger-wait MS).
class VKey : public support::VKey {
  public:
    explicit VKey(const std::string& dir, const std::string& portPath = "01.03",
                  std::vector<std::string> extraArgs = {})
        : support::VKey(dir) {
        extraArgs.insert(extraArgs.begin(), {"--port-path", portPath, "--verbose"});
        start(extraArgs);
    }
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

// The OpenSSL side (tests/support).
using support::bytesOf;
using support::certPublicKey;
using support::fromBase64;
using support::fromHex;
using support::parseSignedData;
using support::SignedData;
using support::sm2EncryptRaw;
using support::sm2VerifyDer;
using support::sm4EcbEncrypt;
using support::toBase64;
using support::toHex;

}  // namespace keykit
