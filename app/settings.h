#pragma once
// The rules of the two setup pages, shared by the window and apctl: which
// values the basic setup and security pages accept, and how an accepted set
// of values edits the image. Texts are byte strings as the image stores them
// (8 bits per character). Nothing here sends anything or keeps state.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "image/layout.h"
#include "image/transfer.h"

namespace aputil {

// Why a value or a set of values was refused; None when accepted.
enum class SettingError {
    None,
    Ssid,       // empty, longer than 32, or a character outside printable ASCII
    ApName,     // empty, longer than 79 bytes, or holding a 0 byte
    Password,   // empty, longer than 40, or a character outside printable ASCII
    Channel,    // not among the channels the image's mask allows
    IpAddress,  // not a valid dotted address
    SubnetMask,
    Gateway,
    WepKey,         // wrong length or characters for the mode, or no WEP mode to hold it
    WepKeyMissing,  // WEP switched on or to another length without the key in use
    DefaultKey,     // index outside 0..3
    MacText,        // malformed or a group address
    MacTableFull,   // more than 32 entries
};

// Printable ASCII (0x20..0x7e) only; the SSID and password fields take no other.
bool IsPrintableAscii(std::string_view text);
bool IsValidSsid(std::string_view text);
bool IsValidApName(std::string_view text);
bool IsValidPassword(std::string_view text);
bool IsAllowedChannel(uint16_t channelMask, int channel);

// Blanks removed, a valid dotted address (IsValidIpText), as four bytes.
std::optional<Ipv4Bytes> ParseAddress(std::string_view text);

// A MAC address typed in full: six pairs of hex digits joined by ':' or by '-'
// (one separator throughout), any case, and not a group address.
std::optional<MacAddress> ParseMacAddress(std::string_view text);

// The values one apply of the basic setup page writes; an empty optional leaves
// that field as it is.
struct BasicSettings {
    std::optional<std::string> ssid;
    std::optional<int> channel;
    std::optional<std::string> apName;
    std::optional<std::string> password;
    std::optional<Ipv4Bytes> ipAddress;
    std::optional<Ipv4Bytes> subnetMask;
    std::optional<Ipv4Bytes> gateway;
};

// Checks every given value first and edits the image only when all pass (the
// first refusal is returned and the image is left as it was). An address also
// goes to its copy at 8..19, and any address sets the network flag, as the
// page's apply does.
SettingError ApplyBasicSettings(ConfigImage& image, const BasicSettings& settings);

// The values one apply of the security page writes.
struct SecuritySettings {
    std::optional<WepState> wep;
    std::optional<int> defaultKey;  // 0..3
    // Key texts as typed: n ASCII characters or 2n hex digits, n by the mode in
    // effect (the given one, else the stored one).
    std::array<std::optional<std::string>, kWepKeySlots> keys;
    std::optional<bool> macAccess;
    std::optional<std::vector<MacAddress>> macTable;
};

// As ApplyBasicSettings: everything checked, then written, or nothing. With
// access on the table (given or stored) is written with the switch; with it off
// only the switch, and a given table is still stored for later.
SettingError ApplySecuritySettings(ConfigImage& image, const SecuritySettings& settings);

// The key bytes of a mode: 5 or 13, 0 for disabled.
size_t KeyBytesOf(WepState state);

// The regulatory domain code at offset 20, and its name; empty for an unknown code.
uint8_t ReadRegulatoryDomain(const ConfigImage& image);
std::optional<std::string> RegulatoryDomainName(uint8_t code);

// The checksum stored at 4084 (little-endian) against the one the image's bytes give.
uint32_t StoredChecksum(const ConfigImage& image);
bool StoredChecksumValid(const ConfigImage& image);

// The image's regions that some page reads or writes, plus the checksum; a
// byte outside all of them belongs to no named field.
struct NamedRegion {
    const char* name;
    size_t offset;
    size_t width;
};
const std::vector<NamedRegion>& NamedRegions();

}  // namespace aputil
