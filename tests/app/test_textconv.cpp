// Text forms of MAC addresses, IPv4 addresses and WEP keys.

#include "app/textconv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

namespace aputil {
namespace {

using Mac = std::array<uint8_t, kMacBytes>;
using Ip = std::array<uint8_t, kIpBytes>;

TEST(StripBlanks, RemovesOnlyTheBlankCharacter) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"", ""},
        {"   ", ""},
        {"a b  c", "abc"},
        {" 10. 0. 0.  1", "10.0.0.1"},
        {"a\tb\nc", "a\tb\nc"},  // tabs and line ends stay
        {std::string("x\0 y", 4), std::string("x\0y", 3)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StripBlanks(c.in), c.out) << "input: " << c.in;
    }
}

TEST(StripBlanks, KeepsEveryCharacterOfAVeryLongText) {
    // Far past any fixed scratch size: nothing is cut and nothing overruns.
    std::string in;
    for (int i = 0; i < 5000; ++i) in += static_cast<char>('a' + i % 26) + std::string(" ");
    const std::string out = StripBlanks(in);
    ASSERT_EQ(out.size(), 5000u);
    for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], 'a' + static_cast<int>(i % 26));
}

TEST(FormatMac, WritesLowerCaseGroupsWithTheirSeparator) {
    const struct {
        Mac mac;
        const char* dashed;
        const char* colons;
    } cases[] = {
        {{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}, "00-11-22-33-44-55", "00:11:22:33:44:55"},
        {{0xAB, 0xCD, 0xEF, 0x0A, 0xF0, 0xFF}, "ab-cd-ef-0a-f0-ff", "ab:cd:ef:0a:f0:ff"},
        {{0, 0, 0, 0, 0, 0}, "00-00-00-00-00-00", "00:00:00:00:00:00"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatMacDashed(c.mac), c.dashed);
        EXPECT_EQ(FormatMacText(c.mac), c.colons);
        std::array<char, kMacTextSize> buffer{};
        ASSERT_TRUE(FormatMacDashed(buffer, c.mac));
        EXPECT_STREQ(buffer.data(), c.dashed);
        ASSERT_TRUE(FormatMacText(buffer, c.mac));
        EXPECT_STREQ(buffer.data(), c.colons);
    }
}

TEST(FormatMac, BufferFormNeverWritesPastTheGivenSize) {
    const Mac mac{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
    for (const size_t size : {size_t{0}, size_t{1}, size_t{17}, size_t{18}, size_t{19}}) {
        for (const bool dashed : {true, false}) {
            std::array<char, 32> buffer;
            buffer.fill('#');
            const std::span<char> out(buffer.data(), size);
            const bool ok = dashed ? FormatMacDashed(out, mac) : FormatMacText(out, mac);
            EXPECT_EQ(ok, size >= kMacTextSize) << "size " << size;
            if (ok) {
                EXPECT_STREQ(buffer.data(), dashed ? "12-34-56-78-9a-bc" : "12:34:56:78:9a:bc");
            } else if (size > 0) {
                EXPECT_EQ(buffer[0], '\0') << "a refused format leaves an empty text";
            }
            const size_t written = ok ? kMacTextSize : std::min<size_t>(size, 1);
            for (size_t i = written; i < buffer.size(); ++i) {
                ASSERT_EQ(buffer[i], '#') << "byte " << i << " written with size " << size;
            }
        }
    }
}

TEST(ParseMacText, ReadsDigitPairsAndSingleDigitGroups) {
    const struct {
        const char* text;
        Mac mac;
    } cases[] = {
        {"00:11:22:33:44:55", {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}},
        {"0:1b:2:3c:4:5d", {0x00, 0x1B, 0x02, 0x3C, 0x04, 0x5D}},
        {"00-1B-02-3C-04-5D", {0x00, 0x1B, 0x02, 0x3C, 0x04, 0x5D}},
        {"0:1:2:3:4:5", {0, 1, 2, 3, 4, 0}},                                // last digit still pending: dropped
        {"0123456789abcdef", {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB}},         // first six pairs
        {"aa:bb:cc:dd:ee:ff:11:22", {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}},  // rest ignored
        {"a g b z c.", {0x0A, 0x0B, 0x0C, 0, 0, 0}},                        // any non-digit separates
        {"123", {0x12, 0, 0, 0, 0, 0}},
        {"", {0, 0, 0, 0, 0, 0}},
        {"xyz::--", {0, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        Mac out;
        out.fill(0xEE);  // every byte not produced must come back 0
        ParseMacText(c.text, out);
        EXPECT_EQ(out, c.mac) << "text: " << c.text;
    }
}

TEST(IsValidMacText, NeedsSeventeenCharactersAndAnIndividualAddress) {
    const struct {
        const char* text;
        bool valid;
    } cases[] = {
        {"00:11:22:33:44:55", true},  {"00 :11:22:33:44:55 ", true},  // blanks do not count
        {"fe:ff:ff:ff:ff:ff", true},  {"01:00:5e:00:00:01", false},   // group bit
        {"ff:ff:ff:ff:ff:ff", false}, {"00:11:22:33:44:5", false},   {"00:11:22:33:44:556", false}, {"", false},
        {"00-11-22-33-44-55", true},   // separators are not examined
        {"0g:11:22:33:44:55", true},   // nor are the digits: "0" then "g" separates
        {"01g11:22:33:44:55", false},  // same length, "01" leads: group bit
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsValidMacText(c.text), c.valid) << "text: " << c.text;
    }
}

TEST(IpText, ValidatesAndParsesFourNumbers) {
    const struct {
        const char* text;
        bool valid;
        std::optional<Ip> parsed;  // nothing: ParseIpText refuses the text
    } cases[] = {
        {"192.168.1.1", true, Ip{192, 168, 1, 1}},
        {" 10. 0. 0.  1", true, Ip{10, 0, 0, 1}},
        {"  0.  0.  0.  0", true, Ip{0, 0, 0, 0}},
        {"255.255.255.254", true, Ip{255, 255, 255, 254}},
        {"+1.2.3.4", true, Ip{1, 2, 3, 4}},
        {"010.001.000.009", true, Ip{10, 1, 0, 9}},
        {"255.255.255.255", false, Ip{255, 255, 255, 255}},
        {"256.1.1.1", false, Ip{0, 1, 1, 1}},  // parsing keeps the low 8 bits
        {"-1.2.3.4", false, Ip{255, 2, 3, 4}},
        {"1.2.3.-0", true, Ip{1, 2, 3, 0}},
        // 10^20 - 1; 10^20 is a multiple of 256, so its low 8 bits are 0xFF.
        {"1.2.3.99999999999999999999", false, Ip{1, 2, 3, 255}},
        {"1.2.3", false, std::nullopt},
        {"", false, std::nullopt},
        {"   .   .   .   ", false, std::nullopt},  // an empty masked field
        {"1.2.3.4.5", false, std::nullopt},
        {"1.2.3.4x", false, std::nullopt},
        {"1.2.3.4\t", false, std::nullopt},
        {"1.\t2.3.4", false, std::nullopt},  // only blanks are removed
        {"1..2.3", false, std::nullopt},
        {"1,2,3,4", false, std::nullopt},
        {"a.b.c.d", false, std::nullopt},
        {"1.2.3.+", false, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsValidIpText(c.text), c.valid) << "text: " << c.text;
        Ip out{0xA5, 0xA5, 0xA5, 0xA5};
        const bool parsed = ParseIpText(out, c.text);
        EXPECT_EQ(parsed, c.parsed.has_value()) << "text: " << c.text;
        EXPECT_EQ(out, c.parsed.value_or(Ip{0xA5, 0xA5, 0xA5, 0xA5})) << "text: " << c.text;
    }
}

TEST(ParseHexKey, WritesThreeZeroBytesThenTheKey) {
    const struct {
        const char* text;
        size_t count;
        std::vector<uint8_t> key;
    } cases[] = {
        {"0123456789", 5, {0x01, 0x23, 0x45, 0x67, 0x89}},
        {"aBcDeF0fF0", 5, {0xAB, 0xCD, 0xEF, 0x0F, 0xF0}},
        {"00112233445566778899AABBCC",
         13,
         {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC}},
        {"0123456789ffff", 5, {0x01, 0x23, 0x45, 0x67, 0x89}},  // characters past 2 * count unread
    };
    for (const auto& c : cases) {
        std::array<uint8_t, 32> buffer;
        buffer.fill(0xEE);
        ASSERT_TRUE(ParseHexKey(std::span(buffer.data(), kHexKeyLead + c.count), c.text, c.count)) << c.text;
        std::vector<uint8_t> expected(3 + c.key.size(), 0);
        std::copy(c.key.begin(), c.key.end(), expected.begin() + 3);
        EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + static_cast<long>(expected.size())), expected)
            << c.text;
        for (size_t i = expected.size(); i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xEE) << "byte " << i;
    }
}

TEST(ParseHexKey, RefusesBadInputWithoutWriting) {
    const struct {
        std::string_view text;
        size_t count;
        size_t outSize;
    } cases[] = {
        {std::string_view("0123456789", 9), 5, 8},  // one digit short, more digits behind the text
        {"", 5, 8},
        {"012345678g", 5, 8},  // not a hex digit
        {"0x23456789", 5, 8},
        {"01 3456789", 5, 8},
        {"0123456789", 5, 7},  // output one byte short
        {"0123456789", 5, 2},
    };
    for (const auto& c : cases) {
        std::array<uint8_t, 32> buffer;
        buffer.fill(0xEE);
        EXPECT_FALSE(ParseHexKey(std::span(buffer.data(), c.outSize), c.text, c.count)) << c.text;
        for (const uint8_t b : buffer) ASSERT_EQ(b, 0xEE) << c.text;
    }
}

TEST(CheckKeyText, DecidesTheFormByLengthAndConvertsAsciiKeys) {
    const struct {
        size_t n;
        std::string text;
        bool valid;
        std::string after;
    } cases[] = {
        {5, "abcde", true, "6162636465"},
        {5, "12345", true, "3132333435"},  // five digits are an ASCII key
        {5, std::string("\xFF\x00 ~\x7F", 5), true, "FF00207E7F"},
        {5, "0123456789", true, "0123456789"},
        {5, "abcdefABCD", true, "abcdefABCD"},  // a hex key keeps its case
        {5, "012345678g", false, "012345678g"},
        {5, "0123 56789", false, "0123 56789"},
        {5, "abcd", false, "abcd"},
        {5, "abcdef", false, "abcdef"},
        {5, "", false, ""},
        {13, "Hello, world!", true, "48656C6C6F2C20776F726C6421"},
        {13, "48656C6C6F2C20776F726C6421", true, "48656C6C6F2C20776F726C6421"},
        {13, "abcde", false, "abcde"},
        {0, "", false, ""},
    };
    for (const auto& c : cases) {
        std::string text = c.text;
        EXPECT_EQ(CheckKeyText(c.n, text), c.valid) << "n " << c.n << " text " << c.text;
        EXPECT_EQ(text, c.after) << "n " << c.n << " text " << c.text;
    }
}

TEST(CheckKeyText, LongAsciiKeyIsConvertedWhole) {
    // Longer than any fixed working copy: every character is converted.
    std::string text;
    for (int i = 0; i < 100; ++i) text += static_cast<char>('A' + i % 26);
    const std::string original = text;
    ASSERT_TRUE(CheckKeyText(original.size(), text));
    ASSERT_EQ(text.size(), 2 * original.size());
    std::array<uint8_t, 3 + 100> bytes{};
    ASSERT_TRUE(ParseHexKey(bytes, text, original.size()));
    EXPECT_EQ(std::string(bytes.begin() + 3, bytes.end()), original);
}

}  // namespace
}  // namespace aputil
