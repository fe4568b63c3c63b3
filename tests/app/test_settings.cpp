// The shared rules of the setup and security pages: which values pass, which
// bytes an accepted set of values writes, and that a refusal leaves the image
// exactly as it was.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "app/settings.h"

// The cases name only the values they give; the rest stay empty on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using namespace aputil;

// A small image: channels 1-11 allowed, WEP off, three MAC entries, access
// off, bytes everywhere else that a stray write would disturb.
ConfigImage Fixture() {
    ConfigImage image{};
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
    image[6] = 0xFF;  // channelMask 0x07FF
    image[7] = 0x07;
    image[20] = 0x10;
    image[21] = 0;
    image[472] = 0;     // empty name
    image[1032] = 'a';  // ssid "a"
    image[1033] = 0;
    image[1068] = 6;
    image[1069] = 0;  // WEP off
    image[1070] = 0;
    image[1071] = 0;
    image[1168] = 0;  // access off, three entries
    image[1169] = 3;
    for (size_t i = 0; i < 18; ++i) image[1172 + i] = static_cast<uint8_t>(0x10 + i);
    return image;
}

std::set<size_t> ChangedOffsets(const ConfigImage& a, const ConfigImage& b) {
    std::set<size_t> changed;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) changed.insert(i);
    }
    return changed;
}

bool AllWithin(const std::set<size_t>& offsets, size_t from, size_t to) {
    for (const size_t o : offsets) {
        if (o < from || o >= to) return false;
    }
    return true;
}

TEST(BasicSettings, RefusedValuesNameTheFieldAndLeaveTheImage) {
    const struct {
        const char* what;
        BasicSettings settings;
        SettingError expected;
    } cases[] = {
        {"empty ssid", {.ssid = ""}, SettingError::Ssid},
        {"33-character ssid", {.ssid = std::string(33, 's')}, SettingError::Ssid},
        {"ssid with a tab", {.ssid = "lab\tnet"}, SettingError::Ssid},
        {"ssid with a Latin-1 letter", {.ssid = "caf\xe9"}, SettingError::Ssid},
        {"channel off the mask", {.channel = 12}, SettingError::Channel},
        {"channel 15", {.channel = 15}, SettingError::Channel},
        {"channel 0", {.channel = 0}, SettingError::Channel},
        {"80-byte name", {.apName = std::string(80, 'n')}, SettingError::ApName},
        {"name with a 0 byte", {.apName = std::string("ab\0cd", 5)}, SettingError::ApName},
        {"41-character password", {.password = std::string(41, 'p')}, SettingError::Password},
        {"password with a control character", {.password = "se\x01cret"}, SettingError::Password},
        // A good value beside a bad one is not written either.
        {"good ssid, bad channel", {.ssid = "office", .channel = 14}, SettingError::Channel},
        {"good address, bad name", {.apName = "", .ipAddress = Ipv4Bytes{10, 0, 0, 1}}, SettingError::ApName},
    };
    for (const auto& c : cases) {
        ConfigImage image = Fixture();
        EXPECT_EQ(ApplyBasicSettings(image, c.settings), c.expected) << c.what;
        EXPECT_EQ(image, Fixture()) << c.what;
    }
}

TEST(BasicSettings, EachValueWritesOnlyItsField) {
    const struct {
        const char* what;
        BasicSettings settings;
        size_t from, to;  // every changed byte lies here
    } cases[] = {
        {"32-character ssid", {.ssid = std::string(32, 'S')}, 1032, 1068},
        {"channel 11", {.channel = 11}, 1068, 1069},
        {"79-byte Latin-1 name", {.apName = std::string(78, 'n') + "\xe9"}, 472, 552},
        {"40-character password", {.password = std::string(40, 'p')}, 552, 1032},
    };
    for (const auto& c : cases) {
        ConfigImage image = Fixture();
        ASSERT_EQ(ApplyBasicSettings(image, c.settings), SettingError::None) << c.what;
        const auto changed = ChangedOffsets(Fixture(), image);
        EXPECT_FALSE(changed.empty()) << c.what;
        EXPECT_TRUE(AllWithin(changed, c.from, c.to)) << c.what;
    }
    ConfigImage image = Fixture();
    ASSERT_EQ(ApplyBasicSettings(image, {.ssid = "office", .channel = 1}), SettingError::None);
    EXPECT_EQ(ReadSsid(image), "office");
    EXPECT_EQ(ReadChannel(image), 1);
    EXPECT_EQ(image[21], 0) << "no address given: the network flag stays";
}

TEST(BasicSettings, AnAddressGoesToBothCopiesAndSetsTheNetworkFlag) {
    ConfigImage image = Fixture();
    ASSERT_EQ(ApplyBasicSettings(image, {.ipAddress = Ipv4Bytes{192, 168, 1, 254}}), SettingError::None);
    EXPECT_EQ(ReadAddress(image, AddressField::IpAddress), (Ipv4Bytes{192, 168, 1, 254}));
    EXPECT_EQ(std::vector<uint8_t>(image.begin() + 8, image.begin() + 12), (std::vector<uint8_t>{192, 168, 1, 254}));
    EXPECT_EQ(image[21], 1);
    // The mask and gateway, and their copies, are untouched.
    const auto changed = ChangedOffsets(Fixture(), image);
    for (const size_t o : changed) EXPECT_TRUE((o >= 8 && o < 12) || o == 21 || (o >= 1156 && o < 1160)) << o;
}

TEST(SecuritySettings, RefusedCombinationsLeaveTheImage) {
    std::vector<MacAddress> full(33, MacAddress{0x00, 0x11, 0x22, 0x33, 0x44, 0x00});
    const struct {
        const char* what;
        SecuritySettings settings;
        SettingError expected;
    } cases[] = {
        {"key while WEP stays off", {.keys = {"abcde"}}, SettingError::WepKey},
        {"6 hex digits for 64-bit",
         {.wep = WepState::Wep64, .defaultKey = 0, .keys = {"abcdef"}},
         SettingError::WepKey},
        {"10 digits, one not hex",
         {.wep = WepState::Wep64, .defaultKey = 0, .keys = {"01234567g9"}},
         SettingError::WepKey},
        {"128-bit with a 64-bit key",
         {.wep = WepState::Wep128, .defaultKey = 0, .keys = {"abcde"}},
         SettingError::WepKey},
        {"ASCII key with a control character",
         {.wep = WepState::Wep64,
          .defaultKey = 0,
          .keys = {"ab\x01"
                   "de"}},
         SettingError::WepKey},
        {"WEP on without the key in use",
         {.wep = WepState::Wep64, .keys = {std::nullopt, "abcde"}},
         SettingError::WepKeyMissing},
        {"default key 4 (index)", {.defaultKey = 4}, SettingError::DefaultKey},
        {"33 MAC entries", {.macAccess = true, .macTable = full}, SettingError::MacTableFull},
    };
    for (const auto& c : cases) {
        ConfigImage image = Fixture();
        EXPECT_EQ(ApplySecuritySettings(image, c.settings), c.expected) << c.what;
        EXPECT_EQ(image, Fixture()) << c.what;
    }
}

TEST(SecuritySettings, KeysAreStoredAsTheirBytesInTheirSlot) {
    const struct {
        const char* what;
        WepState mode;
        int slot;
        std::string text;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"64-bit ASCII in key 1", WepState::Wep64, 0, "abcde", {'a', 'b', 'c', 'd', 'e'}},
        {"64-bit hex in key 3", WepState::Wep64, 2, "0a1B2c3D4e", {0x0A, 0x1B, 0x2C, 0x3D, 0x4E}},
        {"128-bit ASCII in key 4",
         WepState::Wep128,
         3,
         "ABCDEFGHIJKLM",
         {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M'}},
    };
    for (const auto& c : cases) {
        ConfigImage image = Fixture();
        SecuritySettings s{.wep = c.mode, .defaultKey = c.slot};
        s.keys[static_cast<size_t>(c.slot)] = c.text;
        ASSERT_EQ(ApplySecuritySettings(image, s), SettingError::None) << c.what;
        EXPECT_EQ(ReadWepState(image), c.mode) << c.what;
        EXPECT_EQ(ReadDefaultKey(image), c.slot) << c.what;
        const size_t at = 1072 + 20 * static_cast<size_t>(c.slot);
        EXPECT_EQ(std::vector<uint8_t>(image.begin() + static_cast<long>(at + 3),
                                       image.begin() + static_cast<long>(at + 3 + c.bytes.size())),
                  c.bytes)
            << c.what;
        EXPECT_EQ(image[at], 0) << c.what;  // lead bytes written as zero
        // Nothing outside the WEP fields changes.
        EXPECT_TRUE(AllWithin(ChangedOffsets(Fixture(), image), 1069, 1152)) << c.what;
    }
    // Once on, a key of the stored mode needs no mode given.
    ConfigImage image = Fixture();
    ASSERT_EQ(ApplySecuritySettings(image, {.wep = WepState::Wep64, .defaultKey = 0, .keys = {"abcde"}}),
              SettingError::None);
    SecuritySettings second;
    second.keys[1] = "vwxyz";
    EXPECT_EQ(ApplySecuritySettings(image, second), SettingError::None);
    EXPECT_EQ(image[1092 + 3], 'v');
}

TEST(SecuritySettings, MacAccessSwitchAndTable) {
    const MacAddress a{0x00, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e};
    {
        // On alone: the stored entries stay and the switch is set.
        ConfigImage image = Fixture();
        ASSERT_EQ(ApplySecuritySettings(image, {.macAccess = true}), SettingError::None);
        const MacTable t = ReadMacTable(image);
        EXPECT_TRUE(t.IsOn());
        EXPECT_EQ(t.entries, ReadMacTable(Fixture()).entries);
    }
    {
        // A new table while access stays off: stored for later, switch still off.
        ConfigImage image = Fixture();
        ASSERT_EQ(ApplySecuritySettings(image, {.macTable = std::vector<MacAddress>{a}}), SettingError::None);
        const MacTable t = ReadMacTable(image);
        EXPECT_FALSE(t.IsOn());
        EXPECT_EQ(t.entries, std::vector<MacAddress>{a});
    }
    {
        // Off keeps the count and the entries.
        ConfigImage image = Fixture();
        ASSERT_EQ(ApplySecuritySettings(image, {.macAccess = true, .macTable = std::vector<MacAddress>{a}}),
                  SettingError::None);
        ASSERT_EQ(ApplySecuritySettings(image, {.macAccess = false}), SettingError::None);
        EXPECT_FALSE(ReadMacTable(image).IsOn());
        EXPECT_EQ(image[1169], 1);
        EXPECT_EQ(ReadMacTable(image).entries, std::vector<MacAddress>{a});
    }
}

TEST(TextRules, MacAddressForms) {
    const struct {
        const char* text;
        bool valid;
    } cases[] = {
        {"00:11:22:aa:BB:cc", true},
        {"00-11-22-aa-bb-cc", true},
        {"00:11:22-aa:bb:cc", false},
        {"01:11:22:33:44:55", false},  // group address
        {"00:11:22:33:44", false},
        {"00:11:22:33:44:555", false},
        {"0g:11:22:33:44:55", false},
        {"00112233445566778", false},
        {"", false},
    };
    for (const auto& c : cases) {
        const auto mac = ParseMacAddress(c.text);
        EXPECT_EQ(mac.has_value(), c.valid) << c.text;
    }
    EXPECT_EQ(ParseMacAddress("00:11:22:aa:BB:cc"), (MacAddress{0x00, 0x11, 0x22, 0xaa, 0xbb, 0xcc}));
}

TEST(TextRules, AddressesAndChannels) {
    const struct {
        const char* text;
        std::optional<Ipv4Bytes> bytes;
    } cases[] = {
        {"192.168.1.254", Ipv4Bytes{192, 168, 1, 254}},
        {" 10. 0. 0. 1", Ipv4Bytes{10, 0, 0, 1}},  // blanks of the masked field
        {"1.2.3", std::nullopt},
        {"1.2.3.256", std::nullopt},
        {"255.255.255.255", std::nullopt},
        {"1.2.3.4.5", std::nullopt},
        {"a.b.c.d", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseAddress(c.text), c.bytes) << c.text;
    EXPECT_TRUE(IsAllowedChannel(0x0600, 10));
    EXPECT_TRUE(IsAllowedChannel(0x0600, 11));
    EXPECT_FALSE(IsAllowedChannel(0x0600, 9));
    EXPECT_FALSE(IsAllowedChannel(0xFFFF, 15));
    EXPECT_FALSE(IsAllowedChannel(0xFFFF, 0));
}

TEST(ImageFacts, RegulatoryDomainAndStoredChecksum) {
    EXPECT_EQ(RegulatoryDomainName(0x30), "ETSI");
    EXPECT_EQ(RegulatoryDomainName(0x40), "ARIB");
    EXPECT_EQ(RegulatoryDomainName(0x11), std::nullopt);
    ConfigImage image = Fixture();
    EXPECT_EQ(ReadRegulatoryDomain(image), 0x10);
    StampImageChecksum(image);
    EXPECT_TRUE(StoredChecksumValid(image));
    image[100] ^= 1;
    EXPECT_FALSE(StoredChecksumValid(image));
    image[100] ^= 1;
    image[4086] ^= 0x80;
    EXPECT_FALSE(StoredChecksumValid(image));
}

}  // namespace
