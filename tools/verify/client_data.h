// Internal to fpkverify: the reader of the assertion's clientData.
#pragma once

#include <string>

#include "tools/verify/verify.h"

namespace fpkverify {

struct ClientData {
    std::string origin;
    std::string challenge;
    std::string text;
    Assertion assertion;
};

// Takes `text` only when it is byte for byte what the daemon writes: the
// nine members in their order, of their types, in its compact form and
// quoting. Fails with Failed::ClientData otherwise.
Check readClientData(const std::string& text, ClientData& out);

}  // namespace fpkverify
