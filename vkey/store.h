// The key's state file: DIR/key.state, a versioned line-oriented text with
// hex fields and a closing SHA-256 line, replaced atomically (temp file,
// fsync, rename, fsync of the directory) after every change.
#pragma once

#include <string>

#include "vkey/vkey.h"

namespace vkey {

class Card;

constexpr int kStateFormat = 1;
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
    OpenResult load(Card& card, std::string& err);
    bool save(const Card& card, std::string& err);
    const std::string& dir() const { return m_dir; }

    static std::string serialize(const Card& card);
    static bool parse(const std::string& text, Card& card, std::string& err);

  private:
    std::string m_dir;
    int m_lockFd = -1;
};

}  // namespace vkey
