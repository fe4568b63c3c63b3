#include "app/settings.h"

#include <algorithm>

#include "app/textconv.h"
#include "protocol/hex.h"

namespace aputil {
namespace {

// The stored mode counts as the one a key is checked against when none is given.
WepState ModeInEffect(const ConfigImage& image, const SecuritySettings& s) {
    return s.wep ? *s.wep : ReadWepState(image);
}

SettingError CheckSecurity(const ConfigImage& image, const SecuritySettings& s, std::array<std::string, 4>& hexKeys) {
    if (s.macTable && s.macTable->size() > static_cast<size_t>(MAX_MAC_ENTRIES)) return SettingError::MacTableFull;
    if (s.defaultKey && (*s.defaultKey < 0 || *s.defaultKey >= kWepKeySlots)) return SettingError::DefaultKey;
    // Switching access on alone writes the stored table back, which the
    // writer takes only up to 32 entries.
    if (s.macAccess && *s.macAccess && !s.macTable &&
        ReadMacTable(image).entries.size() > static_cast<size_t>(MAX_MAC_ENTRIES)) {
        return SettingError::MacTableFull;
    }
    const WepState mode = ModeInEffect(image, s);
    const size_t n = KeyBytesOf(mode);
    for (size_t k = 0; k < s.keys.size(); ++k) {
        if (!s.keys[k]) continue;
        std::string text = *s.keys[k];
        // An ASCII key is stored as its character codes; only printable ones
        // can be typed again at a station.
        if (n == 0 || (text.size() == n && !IsPrintableAscii(text)) || !CheckKeyText(n, text)) {
            return SettingError::WepKey;
        }
        hexKeys[k] = std::move(text);
    }
    // The page writes the key in use with every mode it switches on; a mode
    // switched without it would leave a key of the other length in use.
    if (s.wep && *s.wep != WepState::Disabled && *s.wep != ReadWepState(image)) {
        const int inUse = s.defaultKey ? *s.defaultKey : ReadDefaultKey(image);
        if (inUse < 0 || inUse >= kWepKeySlots || !s.keys[static_cast<size_t>(inUse)]) {
            return SettingError::WepKeyMissing;
        }
    }
    return SettingError::None;
}

}  // namespace

bool IsPrintableAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7e; });
}

bool IsValidSsid(std::string_view text) {
    return !text.empty() && text.size() <= kMaxSsidLength && IsPrintableAscii(text);
}

bool IsValidApName(std::string_view text) {
    return !text.empty() && text.size() <= kMaxApNameLength && text.find('\0') == std::string_view::npos;
}

bool IsValidPassword(std::string_view text) {
    return !text.empty() && text.size() <= kMaxPasswordLength && IsPrintableAscii(text);
}

bool IsAllowedChannel(uint16_t channelMask, int channel) {
    if (channel < 1 || channel > kChannelCount) return false;
    return (channelMask >> (channel - 1)) & 1u;
}

std::optional<Ipv4Bytes> ParseAddress(std::string_view text) {
    const std::string stripped = StripBlanks(text);
    Ipv4Bytes bytes{};
    if (!IsValidIpText(stripped) || !ParseIpText(bytes, stripped)) return std::nullopt;
    return bytes;
}

std::optional<MacAddress> ParseMacAddress(std::string_view text) {
    if (text.size() != kMacTextLength) return std::nullopt;
    const char separator = text[2];
    if (separator != ':' && separator != '-') return std::nullopt;
    MacAddress mac{};
    for (size_t i = 0; i < kMacBytes; ++i) {
        const size_t at = 3 * i;
        if (i > 0 && text[at - 1] != separator) return std::nullopt;
        if (!ParseHex(text.substr(at, 2), std::span<uint8_t>(&mac[i], 1))) return std::nullopt;
    }
    if (mac[0] & 1u) return std::nullopt;  // a group address cannot associate
    return mac;
}

SettingError ApplyBasicSettings(ConfigImage& image, const BasicSettings& s) {
    if (s.ssid && !IsValidSsid(*s.ssid)) return SettingError::Ssid;
    if (s.channel && !IsAllowedChannel(ReadChannelMask(image), *s.channel)) return SettingError::Channel;
    if (s.apName && !IsValidApName(*s.apName)) return SettingError::ApName;
    if (s.password && !IsValidPassword(*s.password)) return SettingError::Password;

    ConfigImage edited = image;
    if (s.password) WritePassword(edited, *s.password);
    const std::pair<const std::optional<Ipv4Bytes>&, AddressField> addresses[] = {
        {s.ipAddress, AddressField::IpAddress},
        {s.subnetMask, AddressField::SubnetMask},
        {s.gateway, AddressField::Gateway},
    };
    bool anyAddress = false;
    for (const auto& [address, field] : addresses) {
        if (!address) continue;
        WriteAddress(edited, field, *address);
        anyAddress = true;
    }
    if (anyAddress) WriteNetworkFlag(edited);
    if (s.apName) WriteApName(edited, *s.apName);
    if (s.ssid) WriteSsid(edited, *s.ssid);
    if (s.channel) WriteChannel(edited, *s.channel);
    image = edited;
    return SettingError::None;
}

SettingError ApplySecuritySettings(ConfigImage& image, const SecuritySettings& s) {
    std::array<std::string, 4> hexKeys;
    if (const SettingError error = CheckSecurity(image, s, hexKeys); error != SettingError::None) return error;

    ConfigImage edited = image;
    const size_t n = KeyBytesOf(ModeInEffect(image, s));
    if (s.wep) WriteWepState(edited, *s.wep);
    if (s.defaultKey) WriteDefaultKey(edited, *s.defaultKey);
    for (size_t k = 0; k < s.keys.size(); ++k) {
        if (s.keys[k]) StoreKeyInSlot(edited, static_cast<int>(k), hexKeys[k], static_cast<int>(n));
    }
    const bool wasOn = ReadMacTable(image).IsOn();
    const bool on = s.macAccess.value_or(wasOn);
    if (s.macTable) WriteMacTable(edited, *s.macTable);
    if (on) {
        // Switching on writes the table as it stands, which also sets the switch.
        if (!s.macTable && s.macAccess) WriteMacTable(edited, ReadMacTable(image).entries);
    } else if (s.macAccess || s.macTable) {
        SwitchMacControlOff(edited);
    }
    image = edited;
    return SettingError::None;
}

size_t KeyBytesOf(WepState state) {
    switch (state) {
    case WepState::Wep64:
        return kWepKeyBytes64;
    case WepState::Wep128:
        return kWepKeyBytes128;
    case WepState::Disabled:
        break;
    }
    return 0;
}

uint8_t ReadRegulatoryDomain(const ConfigImage& image) { return image[20]; }

std::optional<std::string> RegulatoryDomainName(uint8_t code) {
    static constexpr std::pair<uint8_t, const char*> kDomains[] = {
        {0x10, "FCC"},    {0x20, "DOC"},   {0x30, "ETSI"},  {0x31, "SPAIN"},
        {0x32, "FRANCE"}, {0x42, "JAPAN"}, {0x41, "TELEC"}, {0x40, "ARIB"},
    };
    for (const auto& [c, name] : kDomains) {
        if (c == code) return std::string(name);
    }
    return std::nullopt;
}

uint32_t StoredChecksum(const ConfigImage& image) {
    const size_t at = kImageChecksumOffset;
    return static_cast<uint32_t>(image[at]) | static_cast<uint32_t>(image[at + 1]) << 8 |
           static_cast<uint32_t>(image[at + 2]) << 16 | static_cast<uint32_t>(image[at + 3]) << 24;
}

bool StoredChecksumValid(const ConfigImage& image) { return StoredChecksum(image) == ImageChecksum(image); }

const std::vector<NamedRegion>& NamedRegions() {
    static const std::vector<NamedRegion> regions = {
        {"allowed_channels", 6, 2},
        {"regulatory_domain", 20, 1},
        {"name", 472, 80},
        {"password", 552, 480},
        {"ssid", 1032, 36},
        {"channel", 1068, 1},
        {"wep", 1069, 2},
        {"default_key", 1071, 1},
        {"keys", 1072, 80},
        {"ip", 1156, 4},
        {"mask", 1160, 4},
        {"gateway", 1164, 4},
        {"mac_access", 1168, 1},
        {"mac_table", 1169, 1},
        {"mac_table", 1172, static_cast<size_t>(MAX_MAC_ENTRIES) * 6},
        {"checksum", kImageChecksumOffset, 4},
    };
    return regions;
}

}  // namespace aputil
