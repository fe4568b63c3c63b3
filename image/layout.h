#pragma once
// Field accessors over the 4096-byte configuration image and the firmware
// block: each one reads or writes exactly the bytes of its own field, through
// bounds-checked access, and leaves every other byte as the AP sent it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "image/transfer.h"

namespace aputil {

// Longest texts a write accepts; each leaves room for the terminator inside its
// field. The password field is far wider, but the login field takes 40
// characters, so a longer password could never be typed at login.
inline constexpr size_t kMaxApNameLength = 79;
inline constexpr size_t kMaxSsidLength = 32;
inline constexpr size_t kMaxPasswordLength = 40;

inline constexpr int kChannelCount = 14;
inline constexpr int MAX_MAC_ENTRIES = 32;
inline constexpr int kWepKeySlots = 4;
inline constexpr size_t kWepKeyBytes64 = 5;
inline constexpr size_t kWepKeyBytes128 = 13;

using Ipv4Bytes = std::array<uint8_t, 4>;
using MacAddress = std::array<uint8_t, 6>;
using WepKeyBytes = std::array<uint8_t, kWepKeyBytes128>;

// Texts are read up to their terminator or the field's end. A write takes the
// text and its terminator and nothing else; it is refused (false, image
// unchanged) when the text is longer than the field's limit or holds a 0 byte.
std::string ReadApName(const ConfigImage& image);
bool WriteApName(ConfigImage& image, std::string_view text);
std::string ReadSsid(const ConfigImage& image);
bool WriteSsid(ConfigImage& image, std::string_view text);
bool WritePassword(ConfigImage& image, std::string_view text);

// Bit n of channelMask allows channel n + 1 (n = 0..13).
uint16_t ReadChannelMask(const ConfigImage& image);
// The allowed channels in ascending order.
std::vector<int> AllowedChannels(uint16_t channelMask);
uint8_t ReadChannel(const ConfigImage& image);
// Refuses (false, image unchanged) a channel outside 1..14.
bool WriteChannel(ConfigImage& image, int channel);

// The three addresses of the network settings. Each write also stores the
// address in its copy at 8..19, as the device expects both to agree.
enum class AddressField { IpAddress, SubnetMask, Gateway };
Ipv4Bytes ReadAddress(const ConfigImage& image, AddressField field);
// "%d.%d.%d.%d" of the four stored bytes.
std::string ReadAddressText(const ConfigImage& image, AddressField field);
std::string IpText(const Ipv4Bytes& address);
void WriteAddress(ConfigImage& image, AddressField field, const Ipv4Bytes& address);

// Set to 1 by every apply of the basic settings.
void WriteNetworkFlag(ConfigImage& image);

// WEP state as shown: disabled when wepEnabled or wepMode is 0, else 64-bit
// when wepMode is 1, else 128-bit.
enum class WepState { Disabled, Wep64, Wep128 };
WepState ReadWepState(const ConfigImage& image);
// Writes (wepMode, wepEnabled) as one pair: (0, 0), (1, 1) or (2, 1).
void WriteWepState(ConfigImage& image, WepState state);
// The raw bytes, for the key editor's change test.
uint8_t ReadWepMode(const ConfigImage& image);
uint8_t ReadWepEnabled(const ConfigImage& image);
// Index 0..3 of the key in use, as stored.
uint8_t ReadDefaultKey(const ConfigImage& image);
// Refuses (false, image unchanged) an index outside 0..3.
bool WriteDefaultKey(ConfigImage& image, int index);
// The 13 key bytes of slot 0..3, whatever the mode; empty for another slot.
std::optional<WepKeyBytes> ReadKeyBytes(const ConfigImage& image, int slot);
// Writes the key of n bytes (5 or 13) given as 2n hexadecimal digits into slot
// 0..3: three zero bytes, the key, three zero bytes; the rest of the slot keeps
// its content. Refuses (false, image unchanged) any other slot, n or text.
bool StoreKeyInSlot(ConfigImage& image, int slot, std::string_view hexText, int n);

// The MAC access table as stored: the enable byte as it is (control is on only
// when it is 1) and macEntryCount entries, whatever the enable byte holds.
struct MacTable {
    uint8_t accessEnabled = 0;
    std::vector<MacAddress> entries;
    [[nodiscard]] bool IsOn() const noexcept { return accessEnabled == 1; }
};
MacTable ReadMacTable(const ConfigImage& image);
// Writes the entries from 1172 on, the count and enable = 1; entries behind the
// last one keep their bytes. Refuses (false, image unchanged) more than 32.
bool WriteMacTable(ConfigImage& image, std::span<const MacAddress> entries);
// Writes enable = 0 only: the count and the entries stay for the next login.
void SwitchMacControlOff(ConfigImage& image);

// Texts of the firmware block shown on the about page.
std::string ReadFirmwareDate(const FirmwareBlock& block);
std::string ReadFirmwareVersion(const FirmwareBlock& block);

}  // namespace aputil
