// Field accessors of the configuration image and the firmware block. Offsets
// are written out as numbers here, so that a wrong offset in the accessors
// shows up instead of being shared with the test.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "image/image.h"

namespace aputil {
namespace {

// An image as a device might send it: no zero byte anywhere and neighbours
// that differ, so a stray write, a missing terminator or an overread shows.
ConfigImage PatternImage() {
    ConfigImage image{};
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(1 + (i * 37 + i / 251) % 255);
    return image;
}

struct Range {
    size_t begin;  // first byte
    size_t end;    // one past the last
};

// Every byte outside the given ranges is as it was.
void ExpectOnlyChanged(const ConfigImage& before, const ConfigImage& after, std::initializer_list<Range> ranges) {
    for (size_t i = 0; i < before.size(); ++i) {
        bool inside = false;
        for (const Range& r : ranges) inside = inside || (i >= r.begin && i < r.end);
        if (!inside) {
            EXPECT_EQ(after[i], before[i]) << "byte " << i << " changed";
        }
    }
}

std::string Printable(size_t length) {
    std::string text;
    for (size_t i = 0; i < length; ++i) text.push_back(static_cast<char>('!' + i % 94));
    return text;
}

struct TextField {
    const char* name;
    bool (*write)(ConfigImage&, std::string_view);
    std::string (*read)(const ConfigImage&);  // nullptr: never read back
    size_t offset;
    size_t width;
    size_t maxLength;
};

const TextField kTextFields[] = {
    {"apName", WriteApName, ReadApName, 472, 80, 79},
    {"ssid", WriteSsid, ReadSsid, 1032, 36, 32},
    {"password", WritePassword, nullptr, 552, 480, 40},
};

TEST(TextFields, AcceptedTextIsStoredWithItsTerminatorAndNothingElse) {
    for (const TextField& f : kTextFields) {
        for (size_t length : {size_t{0}, size_t{2}, f.maxLength}) {
            SCOPED_TRACE(std::string(f.name) + " of " + std::to_string(length));
            ConfigImage image = PatternImage();
            const ConfigImage before = image;
            const std::string text = Printable(length);

            ASSERT_TRUE(f.write(image, text));

            EXPECT_EQ(std::string(image.begin() + static_cast<long>(f.offset),
                                  image.begin() + static_cast<long>(f.offset + length)),
                      text);
            EXPECT_EQ(image[f.offset + length], 0);
            ExpectOnlyChanged(before, image, {{f.offset, f.offset + length + 1}});
            if (f.read) {
                EXPECT_EQ(f.read(image), text);
            }
        }
    }
}

TEST(TextFields, TextThatWouldLeaveItsFieldOrHoldsAZeroIsRefused) {
    for (const TextField& f : kTextFields) {
        const std::string withZero = std::string("ab") + '\0' + "cd";
        for (const std::string& text : {Printable(f.maxLength + 1), Printable(f.width + 10), withZero}) {
            SCOPED_TRACE(std::string(f.name) + " of " + std::to_string(text.size()));
            ConfigImage image = PatternImage();
            const ConfigImage before = image;
            EXPECT_FALSE(f.write(image, text));
            EXPECT_EQ(image, before);
        }
    }
}

// Without a terminator a text ends with its field, not in the next one.
TEST(TextFields, ReadingAnUnterminatedFieldStopsAtItsEnd) {
    const ConfigImage image = PatternImage();
    for (const TextField& f : kTextFields) {
        if (!f.read) continue;
        SCOPED_TRACE(f.name);
        const std::string expected(image.begin() + static_cast<long>(f.offset),
                                   image.begin() + static_cast<long>(f.offset + f.width));
        EXPECT_EQ(f.read(image), expected);
    }
}

TEST(Channels, MaskIsLittleEndianAtSixAndListsTheAllowedChannels) {
    ConfigImage image = PatternImage();
    image[6] = 0x00;
    image[7] = 0x06;
    EXPECT_EQ(ReadChannelMask(image), 0x0600);
    EXPECT_EQ(AllowedChannels(ReadChannelMask(image)), (std::vector<int>{10, 11}));

    struct Case {
        uint16_t mask;
        std::vector<int> channels;
    };
    const Case cases[] = {
        {0x0000, {}},
        {0x0001, {1}},
        {0x2000, {14}},
        {0x2001, {1, 14}},
        {0xC000, {}},  // bits 14 and 15 name no channel
        {0x3FFF, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}},
        {0xFFFF, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}},
    };
    for (const Case& c : cases) EXPECT_EQ(AllowedChannels(c.mask), c.channels) << "mask " << c.mask;
}

TEST(Channels, OnlyChannelsOneToFourteenAreWrittenAtOffset1068) {
    struct Case {
        int channel;
        bool accepted;
    };
    const Case cases[] = {{1, true}, {11, true}, {14, true}, {0, false}, {15, false}, {-1, false}, {257, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.channel);
        ConfigImage image = PatternImage();
        const ConfigImage before = image;
        EXPECT_EQ(WriteChannel(image, c.channel), c.accepted);
        if (c.accepted) {
            EXPECT_EQ(image[1068], c.channel);
            EXPECT_EQ(ReadChannel(image), c.channel);
            ExpectOnlyChanged(before, image, {{1068, 1069}});
        } else {
            EXPECT_EQ(image, before);
        }
    }
}

TEST(Addresses, EachIsStoredInDottedOrderAndInItsCopy) {
    struct Case {
        AddressField field;
        size_t offset;
        size_t copyOffset;
    };
    const Case cases[] = {
        {AddressField::IpAddress, 1156, 8},
        {AddressField::SubnetMask, 1160, 12},
        {AddressField::Gateway, 1164, 16},
    };
    const Ipv4Bytes address{192, 168, 1, 254};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        ConfigImage image = PatternImage();
        const ConfigImage before = image;

        WriteAddress(image, c.field, address);

        for (size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(image[c.offset + i], address[i]);
            EXPECT_EQ(image[c.copyOffset + i], address[i]);
        }
        ExpectOnlyChanged(before, image, {{c.offset, c.offset + 4}, {c.copyOffset, c.copyOffset + 4}});
        EXPECT_EQ(ReadAddress(image, c.field), address);
        EXPECT_EQ(ReadAddressText(image, c.field), "192.168.1.254");
    }
}

TEST(Addresses, TextFormTakesTheBytesAsUnsigned) {
    EXPECT_EQ(IpText({0, 0, 0, 0}), "0.0.0.0");
    EXPECT_EQ(IpText({255, 255, 255, 0}), "255.255.255.0");
    EXPECT_EQ(IpText({10, 128, 7, 200}), "10.128.7.200");
}

TEST(NetworkFlag, IsSetToOneAtOffset21) {
    ConfigImage image = PatternImage();
    const ConfigImage before = image;
    WriteNetworkFlag(image);
    EXPECT_EQ(image[21], 1);
    ExpectOnlyChanged(before, image, {{21, 22}});
}

TEST(WepState, IsDerivedFromModeAndEnableBytes) {
    struct Case {
        uint8_t mode;     // byte 1069
        uint8_t enabled;  // byte 1070
        WepState state;
    };
    const Case cases[] = {
        {0, 0, WepState::Disabled}, {0, 1, WepState::Disabled}, {2, 0, WepState::Disabled},
        {1, 0, WepState::Disabled}, {1, 1, WepState::Wep64},    {1, 7, WepState::Wep64},
        {2, 1, WepState::Wep128},   {3, 1, WepState::Wep128},   {255, 1, WepState::Wep128},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << int{c.mode} << " enabled " << int{c.enabled});
        ConfigImage image = PatternImage();
        image[1069] = c.mode;
        image[1070] = c.enabled;
        EXPECT_EQ(ReadWepState(image), c.state);
        EXPECT_EQ(ReadWepMode(image), c.mode);
        EXPECT_EQ(ReadWepEnabled(image), c.enabled);
    }
}

// The pair is written together; the default key and the slots stay.
TEST(WepState, IsWrittenAsOnePair) {
    struct Case {
        WepState state;
        uint8_t mode;
        uint8_t enabled;
    };
    const Case cases[] = {{WepState::Disabled, 0, 0}, {WepState::Wep64, 1, 1}, {WepState::Wep128, 2, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.state));
        ConfigImage image = PatternImage();
        const ConfigImage before = image;
        WriteWepState(image, c.state);
        EXPECT_EQ(image[1069], c.mode);
        EXPECT_EQ(image[1070], c.enabled);
        ExpectOnlyChanged(before, image, {{1069, 1071}});
        EXPECT_EQ(ReadWepState(image), c.state);
    }
}

TEST(DefaultKey, OnlyIndexesZeroToThreeAreWrittenAtOffset1071) {
    for (int index : {-1, 0, 1, 3, 4, 255}) {
        SCOPED_TRACE(index);
        ConfigImage image = PatternImage();
        const ConfigImage before = image;
        const bool valid = index >= 0 && index <= 3;
        EXPECT_EQ(WriteDefaultKey(image, index), valid);
        if (valid) {
            EXPECT_EQ(image[1071], index);
            EXPECT_EQ(ReadDefaultKey(image), index);
            ExpectOnlyChanged(before, image, {{1071, 1072}});
        } else {
            EXPECT_EQ(image, before);
        }
    }
}

TEST(WepKeys, ReadingASlotGivesItsThirteenKeyBytes) {
    const ConfigImage image = PatternImage();
    for (int slot = 0; slot < 4; ++slot) {
        SCOPED_TRACE(slot);
        const std::optional<WepKeyBytes> key = ReadKeyBytes(image, slot);
        ASSERT_TRUE(key.has_value());
        const size_t first = 1075 + 20 * static_cast<size_t>(slot);
        for (size_t i = 0; i < 13; ++i) EXPECT_EQ((*key)[i], image[first + i]) << "key byte " << i;
    }
    EXPECT_FALSE(ReadKeyBytes(image, -1).has_value());
    EXPECT_FALSE(ReadKeyBytes(image, 4).has_value());
}

TEST(WepKeys, StoredKeyIsFramedByThreeZerosOnEachSide) {
    struct Case {
        const char* name;
        int slot;
        int n;
        const char* text;
        std::vector<uint8_t> key;
    };
    const Case cases[] = {
        {"64-bit in slot 0", 0, 5, "0123456789", {0x01, 0x23, 0x45, 0x67, 0x89}},
        {"64-bit in slot 2, mixed case", 2, 5, "aBcDeF0a1B", {0xAB, 0xCD, 0xEF, 0x0A, 0x1B}},
        {"128-bit in slot 1",
         1,
         13,
         "00112233445566778899AaBbCc",
         {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC}},
        {"128-bit in slot 3",
         3,
         13,
         "fedcba9876543210FEDCBA9876",
         {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10, 0xFE, 0xDC, 0xBA, 0x98, 0x76}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ConfigImage image = PatternImage();
        const ConfigImage before = image;
        const size_t slot = 1072 + 20 * static_cast<size_t>(c.slot);
        const size_t n = c.key.size();

        ASSERT_TRUE(StoreKeyInSlot(image, c.slot, c.text, c.n));

        for (size_t i = 0; i < 3; ++i) EXPECT_EQ(image[slot + i], 0) << "lead byte " << i;
        for (size_t i = 0; i < n; ++i) EXPECT_EQ(image[slot + 3 + i], c.key[i]) << "key byte " << i;
        for (size_t i = 0; i < 3; ++i) EXPECT_EQ(image[slot + 3 + n + i], 0) << "tail byte " << i;
        // The rest of the slot, the other slots and everything else stay.
        ExpectOnlyChanged(before, image, {{slot, slot + 3 + n + 3}});

        const std::optional<WepKeyBytes> read = ReadKeyBytes(image, c.slot);
        ASSERT_TRUE(read.has_value());
        EXPECT_TRUE(std::equal(c.key.begin(), c.key.end(), read->begin()));
    }
}

TEST(WepKeys, MalformedKeyRequestsChangeNothing) {
    struct Case {
        const char* name;
        int slot;
        int n;
        const char* text;
    };
    const Case cases[] = {
        {"slot below range", -1, 5, "0123456789"},
        {"slot above range", 4, 5, "0123456789"},
        {"key length other than 5 or 13", 0, 6, "012345678901"},
        {"one digit short", 0, 5, "012345678"},
        {"one digit too many", 0, 5, "0123456789a"},
        {"64-bit text for a 128-bit key", 0, 13, "0123456789"},
        {"not hexadecimal", 0, 5, "01234567zz"},
        {"hex prefix", 0, 5, "0x23456789"},
        {"blank inside", 1, 5, "01234 6789"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ConfigImage image = PatternImage();
        const ConfigImage before = image;
        EXPECT_FALSE(StoreKeyInSlot(image, c.slot, c.text, c.n));
        EXPECT_EQ(image, before);
    }
}

MacAddress Mac(int i) {
    return {0x00, 0x1B, static_cast<uint8_t>(i), 0x3C, static_cast<uint8_t>(0xF0 ^ i), static_cast<uint8_t>(i * 3)};
}

TEST(MacTable, ReadTakesTheStoredCountWhateverTheEnableByte) {
    struct Case {
        uint8_t enableByte;  // 1168
        uint8_t count;       // 1169
        bool on;
    };
    const Case cases[] = {{1, 5, true}, {0, 3, false}, {1, 0, true}, {1, 40, true}, {2, 255, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "enable " << int{c.enableByte} << " count " << int{c.count});
        ConfigImage image = PatternImage();
        image[1168] = c.enableByte;
        image[1169] = c.count;

        const MacTable table = ReadMacTable(image);

        EXPECT_EQ(table.accessEnabled, c.enableByte);
        EXPECT_EQ(table.IsOn(), c.on);
        ASSERT_EQ(table.entries.size(), c.count);
        for (size_t i = 0; i < c.count; ++i)
            for (size_t b = 0; b < 6; ++b) ASSERT_EQ(table.entries[i][b], image[1172 + 6 * i + b]) << "entry " << i;
    }
}

TEST(MacTable, WriteStoresEntriesCountAndEnableOnly) {
    for (int size : {0, 3, 32}) {
        SCOPED_TRACE(size);
        ConfigImage image = PatternImage();
        const ConfigImage before = image;
        std::vector<MacAddress> entries;
        for (int i = 0; i < size; ++i) entries.push_back(Mac(i));

        ASSERT_TRUE(WriteMacTable(image, entries));

        EXPECT_EQ(image[1168], 1);
        EXPECT_EQ(image[1169], size);
        for (size_t i = 0; i < entries.size(); ++i)
            for (size_t b = 0; b < 6; ++b) EXPECT_EQ(image[1172 + 6 * i + b], entries[i][b]) << "entry " << i;
        // Entries behind the last one keep their bytes; so do 1170 and 1171.
        ExpectOnlyChanged(before, image, {{1168, 1170}, {1172, 1172 + 6 * entries.size()}});

        const MacTable read = ReadMacTable(image);
        EXPECT_TRUE(read.IsOn());
        EXPECT_EQ(read.entries, entries);
    }
}

TEST(MacTable, MoreThanThirtyTwoEntriesAreRefused) {
    ConfigImage image = PatternImage();
    const ConfigImage before = image;
    std::vector<MacAddress> entries;
    for (int i = 0; i < 33; ++i) entries.push_back(Mac(i));
    EXPECT_FALSE(WriteMacTable(image, entries));
    EXPECT_EQ(image, before);
}

TEST(MacTable, SwitchingControlOffKeepsCountAndEntries) {
    ConfigImage image = PatternImage();
    image[1168] = 1;
    image[1169] = 5;
    const ConfigImage before = image;

    SwitchMacControlOff(image);

    EXPECT_EQ(image[1168], 0);
    EXPECT_EQ(image[1169], 5);
    ExpectOnlyChanged(before, image, {{1168, 1169}});  // the 30 entry bytes included
    const MacTable table = ReadMacTable(image);
    EXPECT_FALSE(table.IsOn());
    EXPECT_EQ(table.entries.size(), 5u);
}

TEST(FirmwareBlock, DateAtEightAndVersionAtFortyEndAtTheirTerminators) {
    FirmwareBlock block{};
    block.fill('x');
    const std::string date = "08/28/2002";
    const std::string version = "1.8.1";
    std::copy(date.begin(), date.end(), block.begin() + 8);
    block[8 + date.size()] = 0;
    std::copy(version.begin(), version.end(), block.begin() + 40);
    block[40 + version.size()] = 0;

    EXPECT_EQ(ReadFirmwareDate(block), date);
    EXPECT_EQ(ReadFirmwareVersion(block), version);
}

TEST(FirmwareBlock, UnterminatedTextsEndWithTheirFieldAndTheBlock) {
    FirmwareBlock block{};
    std::fill(block.begin(), block.begin() + 40, 'D');
    std::fill(block.begin() + 40, block.end(), 'V');
    EXPECT_EQ(ReadFirmwareDate(block), std::string(32, 'D'));
    EXPECT_EQ(ReadFirmwareVersion(block), std::string(424 - 40, 'V'));
}

TEST(DeviceInfo, NamesTheBlocksLittleEndianAtZeroAndTwenty) {
    DeviceInfo info{};
    info.fill(0xEE);
    const uint8_t firmware[] = {0x78, 0x56, 0x34, 0x12};
    const uint8_t image[] = {0x00, 0x10, 0x02, 0x80};
    std::copy(std::begin(firmware), std::end(firmware), info.begin());
    std::copy(std::begin(image), std::end(image), info.begin() + 20);
    EXPECT_EQ(FirmwareAddress(info), 0x12345678u);
    EXPECT_EQ(ImageAddress(info), 0x80021000u);
}

}  // namespace
}  // namespace aputil
