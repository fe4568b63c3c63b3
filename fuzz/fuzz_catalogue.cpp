// The message catalogue loader on arbitrary file contents: the table is never
// overrun, every value fits its field, and the text entry and the stream entry
// read the same bytes into the same table. Nothing touches the file system.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "app/catalogue.h"
#include "fuzz/fuzz_check.h"

namespace {

// The table after a load, to compare the two ways in.
struct Snapshot {
    size_t count = 0;
    std::vector<std::string> values;
};

Snapshot Take(const std::vector<std::string>& keys) {
    Snapshot snapshot;
    snapshot.count = aputil::MessageCatalogueCount();
    for (const auto& key : keys) snapshot.values.push_back(aputil::LookupMessage(key).value_or("<absent>"));
    return snapshot;
}

void CheckLookup(std::string_view key) {
    constexpr char kCanary = '\x5A';
    std::array<char, aputil::kCatalogueFieldSize + 8> out;
    out.fill(kCanary);
    const std::string keyText(key);
    const bool found = aputil::LookupMessage(keyText.c_str(), out.data());
    for (size_t i = aputil::kCatalogueFieldSize; i < out.size(); ++i) FUZZ_REQUIRE(out[i] == kCanary);
    if (!found) {
        FUZZ_REQUIRE(out[0] == kCanary);
        return;
    }
    const size_t length = strnlen(out.data(), aputil::kCatalogueFieldSize);
    FUZZ_REQUIRE(length < aputil::kCatalogueFieldSize);
    const auto value = aputil::LookupMessage(key);
    FUZZ_REQUIRE(value && *value == std::string_view(out.data(), length));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    aputil::LoadMessageCatalogueText(text);
    FUZZ_REQUIRE(aputil::MessageCatalogueCount() <= aputil::kCatalogueCapacity);

    // Look up the first word of each of the first lines, as keys are written.
    std::vector<std::string> keys;
    size_t lineStart = 0;
    for (int line = 0; line < 8 && lineStart < text.size(); ++line) {
        const size_t lineEnd = std::min(text.find('\n', lineStart), text.size());
        const std::string_view lineText = text.substr(lineStart, lineEnd - lineStart);
        const size_t wordStart = std::min(lineText.find_first_not_of(" \t\r\v\f"), lineText.size());
        const size_t wordEnd = std::min(lineText.find_first_of(" \t\r\v\f", wordStart), lineText.size());
        const std::string_view word = lineText.substr(wordStart, wordEnd - wordStart);
        if (word.find('\0') == std::string_view::npos) {
            CheckLookup(word);
            keys.emplace_back(word);
        }
        lineStart = lineEnd + 1;
    }

    // The stream entry over the same bytes (an in-memory stream) builds the same table.
    const Snapshot fromText = Take(keys);
    std::vector<uint8_t> copy(data, data + size);
    copy.push_back(0);  // fmemopen refuses a buffer of size 0
    std::FILE* stream = fmemopen(copy.data(), size ? size : 1, "rb");
    FUZZ_REQUIRE(stream != nullptr);
    if (size == 0) std::fgetc(stream);  // leaves the stream at its end: an empty text
    FUZZ_REQUIRE(aputil::LoadMessageCatalogueStream(stream));
    std::fclose(stream);
    const Snapshot fromStream = Take(keys);
    FUZZ_REQUIRE(fromText.count == fromStream.count);
    FUZZ_REQUIRE(fromText.values == fromStream.values);
    return 0;
}
