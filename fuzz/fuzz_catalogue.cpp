// The message catalogue loader on arbitrary file contents: the table is never
// overrun and every value fits its field.

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "app/catalogue.h"
#include "fuzz/fuzz_check.h"

namespace {

// One temporary file per process, rewritten for every input. It is unlinked
// at once and reached through /proc, so no run (not even a crash) leaves it behind.
class InputFile {
public:
    InputFile() {
        const char* dir = std::getenv("TMPDIR");
        std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/aputil-fuzz-catalogue-XXXXXX";
        fd_ = mkstemp(pattern.data());
        FUZZ_REQUIRE(fd_ >= 0);
        unlink(pattern.c_str());
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~InputFile() { close(fd_); }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    const char* Write(const uint8_t* data, size_t size) {
        FUZZ_REQUIRE(ftruncate(fd_, 0) == 0);
        size_t done = 0;
        while (done < size) {
            const ssize_t n = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
            FUZZ_REQUIRE(n > 0);
            done += static_cast<size_t>(n);
        }
        return path_.c_str();
    }

private:
    int fd_ = -1;
    std::string path_;
};

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
    static InputFile input;
    FUZZ_REQUIRE(aputil::LoadMessageCatalogue(input.Write(data, size)));
    FUZZ_REQUIRE(aputil::MessageCatalogueCount() <= aputil::kCatalogueCapacity);

    // Look up the first word of each of the first lines, as keys are written.
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    size_t lineStart = 0;
    for (int line = 0; line < 8 && lineStart < text.size(); ++line) {
        const size_t lineEnd = std::min(text.find('\n', lineStart), text.size());
        const std::string_view lineText = text.substr(lineStart, lineEnd - lineStart);
        const size_t wordStart = std::min(lineText.find_first_not_of(" \t\r\v\f"), lineText.size());
        const size_t wordEnd = std::min(lineText.find_first_of(" \t\r\v\f", wordStart), lineText.size());
        const std::string_view word = lineText.substr(wordStart, wordEnd - wordStart);
        if (word.find('\0') == std::string_view::npos) CheckLookup(word);
        lineStart = lineEnd + 1;
    }
    return 0;
}
