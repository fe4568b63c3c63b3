#include "image/layout.h"

#include <algorithm>
#include <cstdio>

#include "protocol/bytes.h"
#include "protocol/hex.h"

namespace aputil {
namespace {

// Where each field lies in the image: offset and width in bytes.
struct Field {
    size_t offset;
    size_t width;
};

constexpr Field kChannelMaskField{6, 2};
constexpr Field kAddressCopyField{8, 12};  // ip, mask, gateway again
constexpr Field kNetworkFlagField{21, 1};
constexpr Field kApNameField{472, 80};
constexpr Field kPasswordField{552, 480};  // up to the SSID at 1032
constexpr Field kSsidField{1032, 36};
constexpr Field kChannelField{1068, 1};
constexpr Field kWepModeField{1069, 1};
constexpr Field kWepEnabledField{1070, 1};
constexpr Field kDefaultKeyField{1071, 1};
constexpr Field kKeySlotsField{1072, 80};  // four slots of 20 bytes
constexpr Field kAddressField{1156, 12};   // ip, mask, gateway
constexpr Field kMacEnabledField{1168, 1};
constexpr Field kMacCountField{1169, 1};
// A stored count may be anything up to 255, and the reader shows them all; the
// writer owns only the 32 entries it may write.
constexpr Field kMacTableReadField{1172, 255 * 6};
constexpr Field kMacTableWriteField{1172, MAX_MAC_ENTRIES * 6};

constexpr size_t kKeySlotSize = 20;
constexpr size_t kKeyLeadBytes = 3;  // zero bytes in front of the key
constexpr size_t kKeyTailBytes = 3;  // zero bytes behind the key

constexpr Field kFirmwareDateField{8, 32};  // up to where the version starts
constexpr Field kFirmwareVersionField{40, kFirmwareBlockSize - 40};

// No field may reach the checksum, and the writable ones must not overlap.
constexpr bool InImage(Field f) { return f.offset + f.width <= kImageChecksumOffset; }
constexpr bool Before(Field a, Field b) { return a.offset + a.width <= b.offset; }
static_assert(InImage(kMacTableReadField));
static_assert(Before(kChannelMaskField, kAddressCopyField) && Before(kAddressCopyField, kNetworkFlagField) &&
              Before(kNetworkFlagField, kApNameField) && Before(kApNameField, kPasswordField) &&
              Before(kPasswordField, kSsidField) && Before(kSsidField, kChannelField) &&
              Before(kChannelField, kWepModeField) && Before(kWepModeField, kWepEnabledField) &&
              Before(kWepEnabledField, kDefaultKeyField) && Before(kDefaultKeyField, kKeySlotsField) &&
              Before(kKeySlotsField, kAddressField) && Before(kAddressField, kMacEnabledField) &&
              Before(kMacEnabledField, kMacCountField) && Before(kMacCountField, kMacTableWriteField) &&
              InImage(kMacTableWriteField));
static_assert(kMaxApNameLength < kApNameField.width && kMaxSsidLength < kSsidField.width &&
              kMaxPasswordLength < kPasswordField.width);
static_assert(kKeyLeadBytes + kWepKeyBytes128 + kKeyTailBytes <= kKeySlotSize);
static_assert(kFirmwareVersionField.offset + kFirmwareVersionField.width <= kFirmwareBlockSize);

template <size_t N>
std::span<uint8_t> Bytes(std::array<uint8_t, N>& block, Field f) {
    return std::span<uint8_t>(block).subspan(f.offset, f.width);
}
template <size_t N>
std::span<const uint8_t> Bytes(const std::array<uint8_t, N>& block, Field f) {
    return std::span<const uint8_t>(block).subspan(f.offset, f.width);
}

uint8_t ReadByte(const ConfigImage& image, Field f) {
    ByteReader r(Bytes(image, f));
    return r.u8();
}
void WriteByte(ConfigImage& image, Field f, uint8_t value) {
    ByteWriter w(Bytes(image, f));
    w.u8(value);
}

std::string ReadText(std::span<const uint8_t> field) {
    const auto end = std::find(field.begin(), field.end(), uint8_t{0});
    return std::string(field.begin(), end);
}

bool WriteText(std::span<uint8_t> field, std::string_view text, size_t maxLength) {
    if (text.size() > maxLength || text.find('\0') != std::string_view::npos) return false;
    ByteWriter w(field);
    for (char c : text) w.u8(static_cast<uint8_t>(c));
    w.u8(0);
    return w.ok();
}

size_t AddressIndex(AddressField field) {
    switch (field) {
    case AddressField::IpAddress:
        return 0;
    case AddressField::SubnetMask:
        return 1;
    case AddressField::Gateway:
        return 2;
    }
    return 0;
}

}  // namespace

std::string ReadApName(const ConfigImage& image) { return ReadText(Bytes(image, kApNameField)); }
bool WriteApName(ConfigImage& image, std::string_view text) {
    return WriteText(Bytes(image, kApNameField), text, kMaxApNameLength);
}
std::string ReadSsid(const ConfigImage& image) { return ReadText(Bytes(image, kSsidField)); }
bool WriteSsid(ConfigImage& image, std::string_view text) {
    return WriteText(Bytes(image, kSsidField), text, kMaxSsidLength);
}
bool WritePassword(ConfigImage& image, std::string_view text) {
    return WriteText(Bytes(image, kPasswordField), text, kMaxPasswordLength);
}

uint16_t ReadChannelMask(const ConfigImage& image) {
    ByteReader r(Bytes(image, kChannelMaskField));
    return r.u16le();
}

std::vector<int> AllowedChannels(uint16_t channelMask) {
    std::vector<int> channels;
    for (int n = 0; n < kChannelCount; ++n)
        if (channelMask & (1u << n)) channels.push_back(n + 1);
    return channels;
}

uint8_t ReadChannel(const ConfigImage& image) { return ReadByte(image, kChannelField); }
bool WriteChannel(ConfigImage& image, int channel) {
    if (channel < 1 || channel > kChannelCount) return false;
    WriteByte(image, kChannelField, static_cast<uint8_t>(channel));
    return true;
}

Ipv4Bytes ReadAddress(const ConfigImage& image, AddressField field) {
    ByteReader r(Bytes(image, kAddressField));
    r.skip(4 * AddressIndex(field));
    Ipv4Bytes address{};
    r.bytes(address.data(), address.size());
    return address;
}

std::string IpText(const Ipv4Bytes& address) {
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", address[0], address[1], address[2], address[3]);
    return text;
}

std::string ReadAddressText(const ConfigImage& image, AddressField field) { return IpText(ReadAddress(image, field)); }

void WriteAddress(ConfigImage& image, AddressField field, const Ipv4Bytes& address) {
    for (Field f : {kAddressField, kAddressCopyField}) {
        ByteWriter w(Bytes(image, f));
        w.seek(4 * AddressIndex(field));
        w.bytes(address.data(), address.size());
    }
}

void WriteNetworkFlag(ConfigImage& image) { WriteByte(image, kNetworkFlagField, 1); }

WepState ReadWepState(const ConfigImage& image) {
    const uint8_t mode = ReadWepMode(image);
    if (ReadWepEnabled(image) == 0 || mode == 0) return WepState::Disabled;
    return mode == 1 ? WepState::Wep64 : WepState::Wep128;
}

void WriteWepState(ConfigImage& image, WepState state) {
    uint8_t mode = 0;
    uint8_t enabled = 0;
    switch (state) {
    case WepState::Disabled:
        break;
    case WepState::Wep64:
        mode = 1;
        enabled = 1;
        break;
    case WepState::Wep128:
        mode = 2;
        enabled = 1;
        break;
    }
    WriteByte(image, kWepModeField, mode);
    WriteByte(image, kWepEnabledField, enabled);
}

uint8_t ReadWepMode(const ConfigImage& image) { return ReadByte(image, kWepModeField); }
uint8_t ReadWepEnabled(const ConfigImage& image) { return ReadByte(image, kWepEnabledField); }
uint8_t ReadDefaultKey(const ConfigImage& image) { return ReadByte(image, kDefaultKeyField); }

bool WriteDefaultKey(ConfigImage& image, int index) {
    if (index < 0 || index >= kWepKeySlots) return false;
    WriteByte(image, kDefaultKeyField, static_cast<uint8_t>(index));
    return true;
}

std::optional<WepKeyBytes> ReadKeyBytes(const ConfigImage& image, int slot) {
    if (slot < 0 || slot >= kWepKeySlots) return std::nullopt;
    ByteReader r(Bytes(image, kKeySlotsField));
    r.skip(kKeySlotSize * static_cast<size_t>(slot) + kKeyLeadBytes);
    WepKeyBytes key{};
    if (!r.bytes(key.data(), key.size())) return std::nullopt;
    return key;
}

bool StoreKeyInSlot(ConfigImage& image, int slot, std::string_view hexText, int n) {
    if (slot < 0 || slot >= kWepKeySlots) return false;
    if (n != static_cast<int>(kWepKeyBytes64) && n != static_cast<int>(kWepKeyBytes128)) return false;
    // The key spelt by exactly 2n digits.
    uint8_t key[kWepKeyBytes128];
    if (!ParseHex(hexText, std::span<uint8_t>(key, static_cast<size_t>(n)))) return false;
    ByteWriter w(Bytes(image, kKeySlotsField).subspan(kKeySlotSize * static_cast<size_t>(slot), kKeySlotSize));
    for (size_t i = 0; i < kKeyLeadBytes; ++i) w.u8(0);
    w.bytes(key, static_cast<size_t>(n));
    for (size_t i = 0; i < kKeyTailBytes; ++i) w.u8(0);
    return w.ok();
}

MacTable ReadMacTable(const ConfigImage& image) {
    MacTable table;
    table.accessEnabled = ReadByte(image, kMacEnabledField);
    const uint8_t count = ReadByte(image, kMacCountField);
    ByteReader r(Bytes(image, kMacTableReadField));
    for (uint8_t i = 0; i < count; ++i) {
        MacAddress mac{};
        if (!r.bytes(mac.data(), mac.size())) break;
        table.entries.push_back(mac);
    }
    return table;
}

bool WriteMacTable(ConfigImage& image, std::span<const MacAddress> entries) {
    if (entries.size() > static_cast<size_t>(MAX_MAC_ENTRIES)) return false;
    ByteWriter w(Bytes(image, kMacTableWriteField));
    for (const MacAddress& mac : entries) w.bytes(mac.data(), mac.size());
    WriteByte(image, kMacCountField, static_cast<uint8_t>(entries.size()));
    WriteByte(image, kMacEnabledField, 1);
    return w.ok();
}

void SwitchMacControlOff(ConfigImage& image) { WriteByte(image, kMacEnabledField, 0); }

std::string ReadFirmwareDate(const FirmwareBlock& block) { return ReadText(Bytes(block, kFirmwareDateField)); }
std::string ReadFirmwareVersion(const FirmwareBlock& block) { return ReadText(Bytes(block, kFirmwareVersionField)); }

}  // namespace aputil
