// The text conversions on arbitrary texts: no overrun, and the results agree
// with each other (what validates parses, what is formatted reads back).

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "app/textconv.h"
#include "fuzz/fuzz_check.h"

namespace {

using namespace aputil;

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

void CheckMac(std::string_view text) {
    const std::string stripped = StripBlanks(text);
    FUZZ_REQUIRE(stripped.find(' ') == std::string::npos);
    FUZZ_REQUIRE(stripped.size() == text.size() - static_cast<size_t>(std::count(text.begin(), text.end(), ' ')));

    std::array<uint8_t, kMacBytes> mac{};
    ParseMacText(text, mac);
    if (IsValidMacText(text)) {
        FUZZ_REQUIRE(stripped.size() == kMacTextLength);
        std::array<uint8_t, kMacBytes> fromStripped{};
        ParseMacText(stripped, fromStripped);
        FUZZ_REQUIRE((fromStripped[0] & 1) == 0);
    }
    // Both text forms read back as the same six bytes.
    for (const std::string& formatted : {FormatMacText(mac), FormatMacDashed(mac)}) {
        FUZZ_REQUIRE(formatted.size() == kMacTextLength);
        std::array<uint8_t, kMacBytes> again{};
        ParseMacText(formatted, again);
        FUZZ_REQUIRE(again == mac);
        FUZZ_REQUIRE(IsValidMacText(formatted) == ((mac[0] & 1) == 0));
    }
    // The buffer forms stay inside whatever size they are given.
    std::array<char, kMacTextSize + 4> buffer;
    for (size_t size = 0; size <= kMacTextSize + 1; ++size) {
        buffer.fill('#');
        const bool ok = FormatMacText(std::span<char>(buffer.data(), size), mac);
        FUZZ_REQUIRE(ok == (size >= kMacTextSize));
        for (size_t i = std::max(size, ok ? kMacTextSize : size_t{0}); i < buffer.size(); ++i) {
            FUZZ_REQUIRE(buffer[i] == '#');
        }
    }
}

void CheckIp(std::string_view text) {
    std::array<uint8_t, kIpBytes> ip{};
    const bool parsed = ParseIpText(ip, text);
    if (!IsValidIpText(text)) return;
    FUZZ_REQUIRE(parsed);
    FUZZ_REQUIRE(!(ip[0] == 255 && ip[1] == 255 && ip[2] == 255 && ip[3] == 255));
    char formatted[16];
    std::snprintf(formatted, sizeof formatted, "%d.%d.%d.%d", ip[0], ip[1], ip[2], ip[3]);
    FUZZ_REQUIRE(IsValidIpText(formatted));
    std::array<uint8_t, kIpBytes> again{};
    FUZZ_REQUIRE(ParseIpText(again, formatted) && again == ip);
}

void CheckKey(size_t n, std::string_view text) {
    std::string key(text);
    const bool valid = CheckKeyText(n, key);
    if (!valid) {
        FUZZ_REQUIRE(key == text);
        return;
    }
    FUZZ_REQUIRE(key.size() == 2 * n);
    FUZZ_REQUIRE(std::all_of(key.begin(), key.end(), IsHex));
    if (text.size() == 2 * n) FUZZ_REQUIRE(key == text);

    std::array<uint8_t, kHexKeyLead + 32 + 4> bytes;
    bytes.fill(0xEE);
    FUZZ_REQUIRE(ParseHexKey(std::span<uint8_t>(bytes.data(), kHexKeyLead + n), key, n));
    FUZZ_REQUIRE(bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 0);
    for (size_t i = kHexKeyLead + n; i < bytes.size(); ++i) FUZZ_REQUIRE(bytes[i] == 0xEE);
    if (text.size() == n) {  // an ASCII key: the bytes are its characters
        for (size_t i = 0; i < n; ++i) FUZZ_REQUIRE(bytes[kHexKeyLead + i] == static_cast<uint8_t>(text[i]));
    }
    // One byte too small an output is refused without a write.
    bytes.fill(0xEE);
    FUZZ_REQUIRE(!ParseHexKey(std::span<uint8_t>(bytes.data(), kHexKeyLead + n - 1), key, n));
    FUZZ_REQUIRE(std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xEE; }));
}

}  // namespace

// First byte: the key length to check (1..32, weighted to the real 5 and 13);
// the rest: the text given to every conversion.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t n = data[0] < 128 ? 5 : data[0] < 224 ? 13 : (data[0] & 31) + 1u;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    CheckMac(text);
    CheckIp(text);
    CheckKey(n, text);
    return 0;
}
