#pragma once
// Bytes and MAC addresses as the tests print and compare them, and frames
// read back from a peer's hex lines.

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/hex.h"

namespace aputil::test {

// Two lower-case digits a byte, nothing between them.
inline std::string Hex(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * bytes.size());
    for (const uint8_t b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return text;
}

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
