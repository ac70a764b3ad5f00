// Shape checks of "params" shared by the command handlers.
#pragma once

#include <json/value.h>

namespace params {
// A JSON integer: written without fraction or exponent, within int range.
inline bool isInteger(const Json::Value& v) {
    return (v.type() == Json::intValue || v.type() == Json::uintValue) && v.isInt();
}
inline bool isStringOrNull(const Json::Value& v) {
    return v.isNull() || v.isString();
}
// An array of exactly `n` elements.
inline bool isArrayOf(const Json::Value& p, Json::ArrayIndex n) {
    return p.isArray() && p.size() == n;
}
}  // namespace params
