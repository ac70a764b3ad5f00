// The key's state file: DIR/key.state, a versioned line-oriented text with
// hex fields and a closing SHA-256 line, replaced atomically (temp file,
// fsync, rename, fsync of the directory) after every change.
#pragma once

#include <string>

#include "vkey/vkey.h"

namespace vkey {

class Card;
class FingerModule;
class Vault;

// 2 added the fingerprint templates and the vault; format 1 files still load.
constexpr int kStateFormat = 2;
constexpr char kStateFile[] = "key.state";

class Store {
  public:
    ~Store();
    // Creates the directory when missing and takes its lock (one key process
    // per state directory).
    OpenResult open(const std::string& dir, std::string& err);
    bool exists() const;
    // Reads the state file into the card; a file that does not parse is
    // reported as corrupt with the reason.
    OpenResult load(Card& card, FingerModule& fp, Vault& vault, std::string& err);
    bool save(const Card& card, const FingerModule& fp, const Vault& vault, std::string& err);
    const std::string& dir() const { return m_dir; }

    static std::string serialize(const Card& card, const FingerModule& fp, const Vault& vault);
    static bool parse(const std::string& text, Card& card, FingerModule& fp, Vault& vault,
                      std::string& err);

  private:
    std::string m_dir;
    int m_lockFd = -1;
};

}  // namespace vkey
