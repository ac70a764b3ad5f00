// The compact reply form: members in byte order, no white space except in
// short arrays, which are written "[ a, b ]".
#pragma once

#include <cstddef>
#include <string>

#include <json/value.h>

namespace replywriter {
// Appends the text of `value` to `out`.
void write(const Json::Value& value, std::string& out);
}  // namespace replywriter
