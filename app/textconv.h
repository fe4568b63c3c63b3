#pragma once
// Text forms of MAC addresses, IPv4 addresses and WEP keys, as the pages show
// and accept them. Pure functions: they keep no state and report nothing; the
// pages turn a false result into a catalogue message.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace aputil {

inline constexpr size_t kMacBytes = 6;
inline constexpr size_t kIpBytes = 4;
inline constexpr size_t kMacTextLength = 17;  // "xx:xx:xx:xx:xx:xx"
inline constexpr size_t kMacTextSize = kMacTextLength + 1;
inline constexpr size_t kHexKeyLead = 3;  // zero bytes ahead of the key bytes in ParseHexKey's output

// The text without its blanks (0x20). Tabs and every other character stay.
std::string StripBlanks(std::string_view text);

// Six lower-case two-digit hex groups joined by '-' (the access point list).
std::string FormatMacDashed(std::span<const uint8_t, kMacBytes> mac);
// The same into a caller's buffer with its terminator: needs kMacTextSize bytes.
// A smaller buffer gets an empty text (when it has room for one) and false.
bool FormatMacDashed(std::span<char> out, std::span<const uint8_t, kMacBytes> mac) noexcept;

// Six lower-case two-digit hex groups joined by ':' (the MAC access tables).
std::string FormatMacText(std::span<const uint8_t, kMacBytes> mac);
bool FormatMacText(std::span<char> out, std::span<const uint8_t, kMacBytes> mac) noexcept;

// Reads up to six bytes of hex digits; any non-hex character separates groups,
// and a group of one digit counts as if written with a leading 0. Bytes not
// produced stay 0; a digit still pending when the text ends produces nothing;
// the text after the sixth byte is ignored. Never fails.
void ParseMacText(std::string_view text, std::span<uint8_t, kMacBytes> out) noexcept;

// 17 characters once the blanks are gone, and not a group address (lowest bit
// of the first byte clear). The separators get no further test.
bool IsValidMacText(std::string_view text);

// Blanks removed, the text must be exactly four decimal numbers (each an
// optional sign and at least one digit) joined by '.', with nothing after the
// fourth; each number in 0..255 and not all four 255.
bool IsValidIpText(std::string_view text);

// Reads the same four numbers and stores the low 8 bits of each, in text order.
// No range check (callers check with IsValidIpText first); a text that is not
// four numbers joined by '.' returns false and leaves `out` untouched.
bool ParseIpText(std::span<uint8_t, kIpBytes> out, std::string_view text);

// Writes three zero bytes, then `count` key bytes spelled by the digit pairs at
// text positions 2i, 2i+1. `out` needs kHexKeyLead + count bytes. Returns false,
// writing nothing, when `out` is too small, the text is shorter than 2 * count or
// a character of those pairs is not a hex digit.
bool ParseHexKey(std::span<uint8_t> out, std::string_view text, size_t count) noexcept;

// A WEP key text of n key bytes (5 or 13). 2n characters: a hex key, valid when
// every character is a hex digit, left as it is. n characters: an ASCII key,
// replaced by its 2n upper-case hex digits (high half first) and valid. Any
// other length, or n == 0, is invalid and leaves the text as it is. The form is
// decided by the length alone.
bool CheckKeyText(size_t n, std::string& text);

}  // namespace aputil
