#include "app/textconv.h"

#include <array>
#include <optional>

namespace aputil {
namespace {

constexpr char kLowerHex[] = "0123456789abcdef";
constexpr char kUpperHex[] = "0123456789ABCDEF";

int HexValue(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool FormatMac(std::span<char> out, std::span<const uint8_t, kMacBytes> mac, char separator) noexcept {
    if (out.size() < kMacTextSize) {
        if (!out.empty()) out[0] = '\0';
        return false;
    }
    size_t pos = 0;
    for (size_t i = 0; i < kMacBytes; ++i) {
        if (i) out[pos++] = separator;
        out[pos++] = kLowerHex[mac[i] >> 4];
        out[pos++] = kLowerHex[mac[i] & 0x0F];
    }
    out[pos] = '\0';
    return true;
}

std::string FormatMac(std::span<const uint8_t, kMacBytes> mac, char separator) {
    std::array<char, kMacTextSize> text{};
    FormatMac(text, mac, separator);
    return std::string(text.data(), kMacTextLength);
}

// One number: an optional sign and at least one digit. Keeps what the callers
// need without overflowing on long digit runs: the low 8 bits of the value, and
// whether it lies in 0..255.
struct DecimalNumber {
    uint8_t low8 = 0;
    bool inByteRange = false;
    bool is255 = false;
};

std::optional<DecimalNumber> ReadDecimal(std::string_view text, size_t& pos) noexcept {
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    const size_t firstDigit = pos;
    unsigned mod256 = 0;
    unsigned capped = 0;  // the value, held at 256 once it goes past 255
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        const unsigned digit = static_cast<unsigned>(text[pos] - '0');
        mod256 = (mod256 * 10 + digit) & 0xFF;
        capped = capped * 10 + digit;
        if (capped > 255) capped = 256;
        ++pos;
    }
    if (pos == firstDigit) return std::nullopt;
    DecimalNumber n;
    n.low8 = static_cast<uint8_t>(negative ? (256 - mod256) & 0xFF : mod256);
    n.inByteRange = capped <= 255 && (!negative || capped == 0);
    n.is255 = !negative && capped == 255;
    return n;
}

struct IpNumbers {
    std::array<DecimalNumber, kIpBytes> number;
};

std::optional<IpNumbers> ReadIpNumbers(std::string_view rawText) {
    const std::string text = StripBlanks(rawText);
    IpNumbers ip;
    size_t pos = 0;
    for (size_t i = 0; i < kIpBytes; ++i) {
        if (i) {
            if (pos >= text.size() || text[pos] != '.') return std::nullopt;
            ++pos;
        }
        const auto n = ReadDecimal(text, pos);
        if (!n) return std::nullopt;
        ip.number[i] = *n;
    }
    if (pos != text.size()) return std::nullopt;
    return ip;
}

}  // namespace

std::string StripBlanks(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (c != ' ') out.push_back(c);
    }
    return out;
}

std::string FormatMacDashed(std::span<const uint8_t, kMacBytes> mac) { return FormatMac(mac, '-'); }

bool FormatMacDashed(std::span<char> out, std::span<const uint8_t, kMacBytes> mac) noexcept {
    return FormatMac(out, mac, '-');
}

std::string FormatMacText(std::span<const uint8_t, kMacBytes> mac) { return FormatMac(mac, ':'); }

bool FormatMacText(std::span<char> out, std::span<const uint8_t, kMacBytes> mac) noexcept {
    return FormatMac(out, mac, ':');
}

void ParseMacText(std::string_view text, std::span<uint8_t, kMacBytes> out) noexcept {
    for (auto& b : out) b = 0;
    size_t produced = 0;
    int pending = -1;
    for (const char c : text) {
        if (produced == kMacBytes) break;
        const int digit = HexValue(c);
        if (digit >= 0) {
            if (pending < 0) {
                pending = digit;
            } else {
                out[produced++] = static_cast<uint8_t>(pending << 4 | digit);
                pending = -1;
            }
        } else if (pending >= 0) {
            out[produced++] = static_cast<uint8_t>(pending);
            pending = -1;
        }
    }
}

bool IsValidMacText(std::string_view text) {
    const std::string stripped = StripBlanks(text);
    if (stripped.size() != kMacTextLength) return false;
    std::array<uint8_t, kMacBytes> mac{};
    ParseMacText(stripped, mac);
    return (mac[0] & 0x01) == 0;
}

bool IsValidIpText(std::string_view text) {
    const auto ip = ReadIpNumbers(text);
    if (!ip) return false;
    bool all255 = true;
    for (const auto& n : ip->number) {
        if (!n.inByteRange) return false;
        all255 = all255 && n.is255;
    }
    return !all255;
}

bool ParseIpText(std::span<uint8_t, kIpBytes> out, std::string_view text) {
    const auto ip = ReadIpNumbers(text);
    if (!ip) return false;
    for (size_t i = 0; i < kIpBytes; ++i) out[i] = ip->number[i].low8;
    return true;
}

bool ParseHexKey(std::span<uint8_t> out, std::string_view text, size_t count) noexcept {
    if (count > out.size() || out.size() - count < kHexKeyLead) return false;
    if (count > text.size() / 2) return false;
    for (size_t i = 0; i < 2 * count; ++i) {
        if (HexValue(text[i]) < 0) return false;
    }
    out[0] = out[1] = out[2] = 0;
    for (size_t i = 0; i < count; ++i) {
        out[kHexKeyLead + i] = static_cast<uint8_t>(HexValue(text[2 * i]) << 4 | HexValue(text[2 * i + 1]));
    }
    return true;
}

bool CheckKeyText(size_t n, std::string& text) {
    if (n == 0) return false;
    if (text.size() / 2 == n && text.size() % 2 == 0) {
        for (const char c : text) {
            if (HexValue(c) < 0) return false;
        }
        return true;
    }
    if (text.size() != n) return false;
    std::string hex;
    hex.reserve(2 * n);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        hex.push_back(kUpperHex[byte >> 4]);
        hex.push_back(kUpperHex[byte & 0x0F]);
    }
    text = std::move(hex);
    return true;
}

}  // namespace aputil
