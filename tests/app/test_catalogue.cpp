// The message catalogue: file rules, look-up, and the default "message.txt".

#include "app/catalogue.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace aputil {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

const std::string kDataDir = APUTIL_TEST_DATA_DIR;

// A fresh directory for generated catalogue files, removed afterwards.
class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "aputil-catalogue-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string Write(const std::string& name, const std::string& bytes) const {
        const fs::path file = path_ / name;
        std::ofstream(file, std::ios::binary) << bytes;
        return file.string();
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

using Lookups = std::vector<std::pair<std::string, std::optional<std::string>>>;

void ExpectLookups(const Lookups& lookups, const std::string& context) {
    for (const auto& [key, value] : lookups) {
        EXPECT_EQ(LookupMessage(key), value) << context << ", key " << key;
    }
}

TEST(CatalogueFormat, EachLineRule) {
    ASSERT_TRUE(LoadMessageCatalogue((kDataDir + "/format.txt").c_str()));
    ExpectLookups(
        {
            {"SSID_INFO", "SSID"},
            {"NO_MARKER", "SSID\n"},        // no "**": the line end stays
            {"MANY_BLANKS", "two  words"},  // after the first run of blanks
            {"KEY_ALONE", std::nullopt},
            {"KEY_ALONE_MARKED", std::nullopt},
            {"TWICE", "first"},    // the first entry of a key wins
            {"TAB_SEP", "words"},  // a tab is no separator
            {"TAB_SEP\ttwo", std::nullopt},
            {"EMPTY_VALUE", ""},
            {"COMMENT_AFTER", "text"},
            {"INDENTED", "value"},
            {"A", "A B"},  // the scan starts at the key's length from the line start
            {"TRAILING", "text with blanks   "},
            {"Mixed_Case", "upper and lower"},
            {"MIXED_CASE", std::nullopt},  // case-sensitive
            {"ssid_info", std::nullopt},
            {"", std::nullopt},
            {"**", std::nullopt},
        },
        "format.txt");
    // The comment lines, the empty line and the two lone keys add nothing.
    EXPECT_EQ(MessageCatalogueCount(), 12u);
}

TEST(CatalogueLookup, CopiesTheValueWithItsTerminatorOrLeavesTheBuffer) {
    ASSERT_TRUE(LoadMessageCatalogue((kDataDir + "/format.txt").c_str()));
    std::array<char, kCatalogueFieldSize> out;

    out.fill('#');
    ASSERT_TRUE(LookupMessage("SSID_INFO", out.data()));
    EXPECT_STREQ(out.data(), "SSID");
    EXPECT_EQ(out[5], '#') << "only the value and its terminator are copied";

    out.fill('#');
    EXPECT_FALSE(LookupMessage("ssid_info", out.data()));
    EXPECT_FALSE(LookupMessage(static_cast<const char*>(nullptr), out.data()));
    EXPECT_FALSE(LookupMessage("SSID_INFO", nullptr));
    for (const char c : out) ASSERT_EQ(c, '#');
}

TEST(CatalogueLoad, MissingFileEmptiesTheTable) {
    ASSERT_TRUE(LoadMessageCatalogue((kDataDir + "/ssid.txt").c_str()));
    ASSERT_EQ(LookupMessage("SSID_INFO"), "SSID");

    EXPECT_FALSE(LoadMessageCatalogue((kDataDir + "/no-such-file.txt").c_str()));
    EXPECT_EQ(MessageCatalogueCount(), 0u);
    EXPECT_EQ(LookupMessage("SSID_INFO"), std::nullopt);
    EXPECT_FALSE(LoadMessageCatalogue(nullptr));
}

TEST(CatalogueLoad, ReadsMessageTxtFromTheCurrentDirectory) {
    TempDir dir;
    dir.Write("message.txt", "UTILITY_NAME Caption from here**\n");
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    const bool loaded = LoadMessageCatalogue();
    const auto caption = LookupMessage("UTILITY_NAME");
    fs::current_path(previous);
    EXPECT_TRUE(loaded);
    EXPECT_EQ(caption, "Caption from here");

    fs::remove(dir.path() / "message.txt");
    fs::current_path(dir.path());
    const bool loadedWithout = LoadMessageCatalogue();
    fs::current_path(previous);
    EXPECT_FALSE(loadedWithout);
    EXPECT_EQ(MessageCatalogueCount(), 0u);
}

std::string Lines(size_t count, const std::string& prefix, size_t first = 0) {
    std::string text;
    for (size_t i = first; i < first + count; ++i) {
        text += prefix + std::to_string(i) + " v" + std::to_string(i) + "**\n";
    }
    return text;
}

std::string Repeat(const std::string& line, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += line;
    return text;
}

TEST(CatalogueLoad, PiecesLimitsAndOddBytes) {
    const std::string x249(249, 'x');
    const std::string longLine = "LONG " + x249 + "TAIL tail**\n";  // 254 characters, then the rest
    const struct {
        const char* name;
        std::string content;
        Lookups lookups;
        size_t count;
    } cases[] = {
        {"only the first 200 lines are read",
         Lines(201, "K"),
         {{"K0", "v0"}, {"K199", "v199"}, {"K200", std::nullopt}},
         200},
        {"comment lines count toward the 200",
         Repeat("** c\n", 150) + Lines(60, "K"),
         {{"K0", "v0"}, {"K49", "v49"}, {"K50", std::nullopt}},
         50},
        {"a longer line is read in pieces of 254", longLine, {{"LONG", std::string(59, 'x')}, {"TAIL", "tail"}}, 2},
        {"the pieces of a long line count toward the 200",
         Lines(198, "K") + longLine + "LAST l**\n",
         {{"K197", "v197"}, {"LONG", std::string(59, 'x')}, {"TAIL", "tail"}, {"LAST", std::nullopt}},
         200},
        {"a line of 254 with its line end leaves an empty piece",
         "EDGE " + std::string(249, 'z') + "\nAFTER a**\n",
         {{"EDGE", std::string(59, 'z')}, {"AFTER", "a"}},
         2},
        {"CR LF reads as LF, a lone CR stays",
         "A one**\r\nB two\r\nC x\ry**\r\n",
         {{"A", "one"}, {"B", "two\n"}, {"C", "x\ry"}},
         3},
        {"a key and a value longer than 59 are cut",
         std::string(70, 'K') + " " + std::string(80, 'v') + "**\n",
         {{std::string(70, 'K'), std::string(59, 'v')},
          {std::string(59, 'K'), std::string(59, 'v')},
          {std::string(58, 'K'), std::nullopt}},
         1},
        {"a zero byte ends the line's text",
         "NUL val\0ue**\nKEY\0 hidden**\n\0LEAD hidden**\nAFTER a**\n"s,
         {{"NUL", "val"}, {"KEY", std::nullopt}, {"LEAD", std::nullopt}, {"", std::nullopt}, {"AFTER", "a"}},
         2},
        {"the last line needs no line end", "FIRST f**\nLAST end", {{"FIRST", "f"}, {"LAST", "end"}}, 2},
        {"an empty file", "", {{"ANY", std::nullopt}}, 0},
        {"blanks alone add nothing", "   \n \n\t\n", {{"", std::nullopt}}, 0},
    };
    TempDir dir;
    for (const auto& c : cases) {
        const std::string path = dir.Write("catalogue.txt", c.content);
        ASSERT_TRUE(LoadMessageCatalogue(path.c_str())) << c.name;
        EXPECT_EQ(MessageCatalogueCount(), c.count) << c.name;
        ExpectLookups(c.lookups, c.name);
    }
}

// Every key the window asks for, with the caption its control carries when the
// catalogue lacks the key (empty for the stored message texts).
const std::vector<std::pair<std::string, std::vector<std::string>>> kDefaultTexts = {
    {"MESSAGE_NAME", {"Warning"}},
    {"UTILITY_NAME", {"Wireless Access Point Utility"}},
    {"AP_NAME_TITLE", {"AP's NAME"}},
    {"PASSWD_TITLE", {"password"}},
    {"AP_NAME_INFO", {"AP's name"}},
    {"SSID_INFO", {"SSID"}},
    {"CHANNEL_INFO", {"channel"}},
    {"IP_ADDRESS", {"IP address"}},
    {"SUBNET_MASK", {"subnetmask", "subnet mask"}},
    {"DEFAULT_GATEWAY", {"defaultgateway", "default gateway"}},
    {"SSID_INFO_CFG", {"SSID"}},
    {"CHANNEL_INFO_CFG", {"channel"}},
    {"AP_NAME_INFO_CFG", {"AP's name"}},
    {"NEW_PASSWD_INFO_CFG", {"new password"}},
    {"CONFIRM_PASSWD_INFO_CFG", {"confirm password"}},
    {"SECURITY_SEC", {"security"}},
    {"SEC_DESC_SEC", {"Current encryption status is:"}},
    {"MAC_CONTROL_SEC", {"MAC access control"}},
    {"MAC_CONTROL_TABLE_SEC", {"MAC access control:"}},
    {"PASSWORD_CHAR", {}},
    {"WEP_TITLE_SEC_CFG", {"WEP"}},
    {"MAC_TITLE_SEC_CFG", {"MAC access"}},
    {"MAC_TABLE_SEC_CFG", {"MAC access table"}},
    {"TABLE_ADD_SEC_CFG", {"ADD"}},
    {"TABLE_MODIFY_SEC_CFG", {"MODIFY"}},
    {"TABLE_REMOVE_SEC_CFG", {"REMOVE"}},
    {"ENABLE_CONTROL_SEC_CFG", {"Enabled MAC access control"}},
    {"WEP_DISABLE_SEC_CFG", {"DISABLE"}},
    {"WEP_64BIT_SEC_CFG", {"WEP 64bit"}},
    {"WEP_128_SEC_CFG", {"WEP 128bit"}},
    {"KEY1_SEC_CFG", {"key1"}},
    {"KEY2_SEC_CFG", {"key2"}},
    {"KEY3_SEC_CFG", {"key3"}},
    {"KEY4_SEC_CFG", {"key4"}},
    {"ASCII", {"ASCII"}},
    {"HEX", {"Hex"}},
    {"ENCRYPTION_STATUS", {"Encryption"}},
    {"KEY_FORMAT", {"Key format"}},
    {"KEY_EDIT", {"Edit key"}},
    {"FW_VER", {"firmware version:"}},
    {"UTI_VER", {"utility version:"}},
    {"FW_DATE_VER", {"date:"}},
    {"UTI_DATE_VER", {"date:"}},
    {"INVALID_PASSWORD", {}},
    {"PASSWORD_MISMATCH", {}},
    {"INVALID_WEP", {}},
    {"CONNECTION_FAIL", {}},
    {"AP_INFO_NOT_AVAILIBLE", {}},
    {"WEP_KEY_UNCOMPLETED", {}},
    {"IP_ERROR", {}},
    {"MASK_ERROR", {}},
    {"GW_ERROR", {}},
    {"MAC_ERROR", {}},
    {"MAC_ACC_NO", {}},
    {"MAC_ACC_ADDR", {}},
    {"MAC_LIMIT", {}},
    {"MAC_DUPLEX", {}},
    {"BROWSE_AGAIN", {}},
    {"DISABLED", {}},
    {"WEP_64", {}},
    {"WEP_128", {}},
    {"WARNING_MSG", {}},
    {"WRITE_FAIL", {}},
    {"TEXT_NOT_STORABLE", {}},
};

TEST(DefaultCatalogue, HoldsEveryKeyOnceWithAUsableText) {
    ASSERT_TRUE(LoadMessageCatalogue(APUTIL_DEFAULT_CATALOGUE));
    // No key twice and none unknown: a repeated key would hide its later text.
    EXPECT_EQ(MessageCatalogueCount(), kDefaultTexts.size());
    for (const auto& [key, captions] : kDefaultTexts) {
        const auto text = LookupMessage(key);
        ASSERT_TRUE(text.has_value()) << key;
        EXPECT_FALSE(text->empty()) << key;
        EXPECT_EQ(text->find_first_of("\r\n"), std::string::npos) << key << " lacks its \"**\"";
        EXPECT_LT(text->size(), kCatalogueFieldSize - 1) << key << " may have been cut";
        EXPECT_NE(text->front(), ' ') << key;
        if (!captions.empty()) {
            EXPECT_NE(std::find(captions.begin(), captions.end(), *text), captions.end())
                << key << " reads \"" << *text << "\"";
        }
    }
}

}  // namespace
}  // namespace aputil
