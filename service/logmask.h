// What the endpoint writes to the log about a message: the command and the
// reply with their secret values (PIN, keys, plain texts, texts signed)
// replaced, so a log can be shared without them.
#pragma once

#include <string>

namespace logmask {
// The text to log for a received command: the envelope as sent, secret
// parameters (all of them for an unknown function) written as "***"; a text
// that is not a JSON object only by its length.
std::string command(const std::string& text);
// The text to log for a reply or pushed message: as sent, with a secret
// result (a decrypted plain text, a PKCS#7 holding the data) as "***".
std::string reply(const std::string& text);
// Log the command or reply, masked, when logging is on (costs nothing
// otherwise).
void logCommand(const std::string& text);
void logReply(const std::string& text);
}  // namespace logmask
