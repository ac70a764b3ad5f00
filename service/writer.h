// The compact reply form: members in byte order, no white space except in
// short arrays, which are written "[ a, b ]".
#pragma once

#include <cstddef>
#include <string>

#include <json/value.h>

namespace replywriter {
// Appends the text of `value` to `out`.
void write(const Json::Value& value, std::string& out);
// Appends `text` as a quoted JSON string. Valid UTF-8 is written as it is;
// any other text one character per byte, the bytes 0x80-0xFF as
// \u0080-\u00FF, so the reply stays valid UTF-8 (a browser drops a
// connection on a text frame that is not) and a page gets every byte back
// with charCodeAt.
void quote(const std::string& text, std::string& out);
// Whether `text` is well-formed UTF-8: shortest forms only, no surrogate
// code points (JsonCpp turns a lone "\udc00" into one), at most U+10FFFF.
bool isUtf8(const char* text, size_t size);
}  // namespace replywriter
