#pragma once
// Hexadecimal text to bytes and back: two digits a byte, high nibble first,
// nothing else between them (no prefix, no separators, no spaces). Parsing
// takes either case, writing gives lower case; callers strip or add their own
// decoration.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace aputil {

// The value of one hexadecimal digit; -1 for any other character.
constexpr int HexDigit(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Fills out from exactly 2 * out.size() digits; false when the text is not
// that (out may then be partly written).
constexpr bool ParseHex(std::string_view text, std::span<uint8_t> out) noexcept {
    if (text.size() != 2 * out.size()) return false;
    for (size_t i = 0; i < out.size(); ++i) {
        const int high = HexDigit(text[2 * i]);
        const int low = HexDigit(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        out[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

// The bytes spelt by an even number of digits (none for empty text); absent
// for an odd count or any other character.
inline std::optional<std::vector<uint8_t>> ParseHexBytes(std::string_view text) {
    if (text.size() % 2 != 0) return std::nullopt;
    std::vector<uint8_t> bytes(text.size() / 2);
    if (!ParseHex(text, bytes)) return std::nullopt;
    return bytes;
}

// Two lower-case digits for each byte.
inline std::string HexText(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * bytes.size());
    for (const uint8_t b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return text;
}

}  // namespace aputil
