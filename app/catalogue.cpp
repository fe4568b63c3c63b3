#include "app/catalogue.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace aputil {
namespace {

constexpr size_t kFieldChars = kCatalogueFieldSize - 1;

struct CatalogueTable {
    char key[kCatalogueCapacity][kCatalogueFieldSize];
    char value[kCatalogueCapacity][kCatalogueFieldSize];
    int32_t count;
};

CatalogueTable catalogue{};

bool IsSpace(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Cuts to the field size, so an over-long key or value never overruns the table.
void CopyField(char (&field)[kCatalogueFieldSize], std::string_view text) noexcept {
    const size_t n = text.size() < kFieldChars ? text.size() : kFieldChars;
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

// Hands out the file in pieces the way a text-mode line read with a 255-byte
// buffer does: at most 254 characters, up to and including a line's LF, with
// CR LF read as LF.
class PieceReader {
public:
    explicit PieceReader(std::FILE* file) noexcept : file_(file) {}

    // False at the end of the file with nothing read.
    bool Next(std::array<char, kCataloguePieceLength>& piece, size_t& length) noexcept {
        length = 0;
        while (length < piece.size()) {
            int c = std::fgetc(file_);
            if (c == EOF) break;
            if (c == '\r') {
                const int next = std::fgetc(file_);
                if (next == '\n') c = '\n';
                else if (next != EOF) std::ungetc(next, file_);
            }
            piece[length++] = static_cast<char>(c);
            if (c == '\n') break;
        }
        return length > 0;
    }

private:
    std::FILE* file_;
};

void AddLine(std::string_view line) noexcept {
    // The piece is a C string to the rest of the rules: a zero byte ends it.
    line = line.substr(0, line.find('\0'));
    if (line.empty()) return;
    line = line.substr(0, line.find("**"));

    size_t keyStart = 0;
    while (keyStart < line.size() && IsSpace(line[keyStart])) ++keyStart;
    size_t keyEnd = keyStart;
    while (keyEnd < line.size() && !IsSpace(line[keyEnd])) ++keyEnd;
    const std::string_view key = line.substr(keyStart, keyEnd - keyStart);
    if (key.empty()) return;

    // The scan for the separator starts at the key's length counted from the
    // start of the line, not from the key: that is why keys must begin the line.
    for (size_t p = key.size(); p < line.size(); ++p) {
        if (line[p] == ' ' && (p + 1 == line.size() || line[p + 1] != ' ')) {
            if (catalogue.count >= static_cast<int32_t>(kCatalogueCapacity)) return;
            const auto entry = static_cast<size_t>(catalogue.count);
            CopyField(catalogue.key[entry], key);
            CopyField(catalogue.value[entry], line.substr(p + 1));
            ++catalogue.count;
            return;
        }
    }
}

// The first entry whose key equals `key`, compared to the field's length.
const char* FindValue(std::string_view key) noexcept {
    if (key.size() > kFieldChars) key = key.substr(0, kFieldChars);
    for (int32_t i = 0; i < catalogue.count; ++i) {
        const auto entry = static_cast<size_t>(i);
        if (key == std::string_view(catalogue.key[entry])) return catalogue.value[entry];
    }
    return nullptr;
}

}  // namespace

bool LoadMessageCatalogue() { return LoadMessageCatalogue(kMessageFileName); }

bool LoadMessageCatalogue(const char* path) {
    catalogue.count = 0;
    if (!path) return false;
    std::FILE* file = std::fopen(path, "rb");
    if (!file) return false;
    PieceReader reader(file);
    std::array<char, kCataloguePieceLength> piece{};
    size_t length = 0;
    for (size_t pieces = 0; pieces < kCatalogueCapacity && reader.Next(piece, length); ++pieces) {
        AddLine(std::string_view(piece.data(), length));
    }
    std::fclose(file);
    return true;
}

bool LookupMessage(const char* key, char* out) noexcept {
    if (!key || !out) return false;
    const char* value = FindValue(std::string_view(key, strnlen(key, kCatalogueFieldSize)));
    if (!value) return false;
    std::memcpy(out, value, std::strlen(value) + 1);
    return true;
}

std::optional<std::string> LookupMessage(std::string_view key) {
    const char* value = FindValue(key);
    if (!value) return std::nullopt;
    return std::string(value);
}

size_t MessageCatalogueCount() noexcept { return static_cast<size_t>(catalogue.count); }

}  // namespace aputil
