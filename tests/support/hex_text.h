#pragma once
// MAC addresses as the tests print and compare them, and frames read back
// from a peer's hex lines (bytes as text are protocol/hex.h's HexText).

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/hex.h"

namespace aputil::test {

// "02:5e:00:00:00:01".
inline std::string MacText(const uint8_t* mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}

// The bytes of a hex line; none when it is not one, so the caller's length
// checks fail rather than read a half-parsed frame.
inline std::vector<uint8_t> FromHex(std::string_view text) {
    return ParseHexBytes(text).value_or(std::vector<uint8_t>{});
}

}  // namespace aputil::test
