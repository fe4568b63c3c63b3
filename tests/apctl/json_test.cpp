// apctl's JSON output: whatever bytes an AP's image holds come out as valid
// JSON text (escaped, Latin-1 as UTF-8), and objects keep their key order, so
// that scripts see one shape.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "tools/apctl/json.h"

namespace {

using apctl::Json;

TEST(ApctlJson, HostileTextsStayValidAndReadBackAsTheirCharacters) {
    const struct {
        std::string bytes;
        std::string utf8;  // what a JSON parser must read back
    } cases[] = {
        {"plain", "plain"},
        {"quote\" and \\ back", "quote\" and \\ back"},
        {std::string("nul\0x", 5), std::string("nul\0x", 5)},
        {"\x01\x1f\x7f\n\t\r", "\x01\x1f\x7f\n\t\r"},
        {"Caf\xe9 \xff", "Caf\xc3\xa9 \xc3\xbf"},
    };
    for (const auto& c : cases) {
        Json o = Json::Object();
        o.Set("text", c.bytes);
        for (const bool pretty : {false, true}) {
            const auto parsed = nlohmann::json::parse(o.Dump(pretty), nullptr, false);
            ASSERT_FALSE(parsed.is_discarded()) << o.Dump(pretty);
            EXPECT_EQ(parsed.at("text").get<std::string>(), c.utf8);
        }
    }
}

TEST(ApctlJson, ShapeKeepsOrderTypesAndEmptyArrays) {
    Json o = Json::Object();
    o.Set("command", "show");
    o.Set("ok", true);
    o.Set("error", Json());
    o.Set("results", Json::Array());
    Json& list = o.Set("numbers", Json::Array());
    list.Push(1);
    list.Push(-14);
    o.Set("ok", false);  // a key set again keeps its place
    const std::string text = o.Dump(true);
    const auto parsed = nlohmann::json::parse(text);
    ASSERT_TRUE(parsed.is_object());
    EXPECT_EQ(parsed.at("ok"), false);
    EXPECT_TRUE(parsed.at("error").is_null());
    EXPECT_TRUE(parsed.at("results").is_array());
    EXPECT_TRUE(parsed.at("results").empty());
    EXPECT_EQ(parsed.at("numbers"), nlohmann::json({1, -14}));
    EXPECT_LT(text.find("\"command\""), text.find("\"ok\""));
    EXPECT_LT(text.find("\"ok\""), text.find("\"error\""));
    EXPECT_LT(text.find("\"results\""), text.find("\"numbers\""));
}

}  // namespace
