#include "app/catalogue.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace aputil {
namespace {

constexpr size_t kFieldChars = kCatalogueFieldSize - 1;

struct CatalogueTable {
    char key[kCatalogueCapacity][kCatalogueFieldSize];
    char value[kCatalogueCapacity][kCatalogueFieldSize];
    int32_t count;
};

CatalogueTable catalogue{};

bool IsSpace(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Cuts to the field size, so an over-long key or value never overruns the table.
void CopyField(char (&field)[kCatalogueFieldSize], std::string_view text) noexcept {
    const size_t n = text.size() < kFieldChars ? text.size() : kFieldChars;
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

// Byte sources for the piece reader: a FILE* or bytes in memory (the fuzzer
// and anything else that already holds the text need no file).
class FileSource {
public:
    explicit FileSource(std::FILE* file) noexcept : file_(file) {}
    int Get() noexcept { return std::fgetc(file_); }
    void Unget(int c) noexcept { std::ungetc(c, file_); }

private:
    std::FILE* file_;
};

class MemorySource {
public:
    explicit MemorySource(std::string_view text) noexcept : text_(text) {}
    int Get() noexcept { return at_ < text_.size() ? static_cast<unsigned char>(text_[at_++]) : EOF; }
    void Unget(int) noexcept {
        if (at_ > 0) --at_;
    }

private:
    std::string_view text_;
    size_t at_ = 0;
};

// Hands out the text in pieces the way a text-mode line read with a 255-byte
// buffer does: at most 254 characters, up to and including a line's LF, with
// CR LF read as LF.
template <class Source>
class PieceReader {
public:
    explicit PieceReader(Source& source) noexcept : source_(source) {}

    // False at the end of the text with nothing read.
    bool Next(std::array<char, kCataloguePieceLength>& piece, size_t& length) noexcept {
        length = 0;
        while (length < piece.size()) {
            int c = source_.Get();
            if (c == EOF) break;
            if (c == '\r') {
                const int next = source_.Get();
                if (next == '\n') c = '\n';
                else if (next != EOF) source_.Unget(next);
            }
            piece[length++] = static_cast<char>(c);
            if (c == '\n') break;
        }
        return length > 0;
    }

private:
    Source& source_;
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

template <class Source>
void LoadPieces(Source& source) noexcept {
    PieceReader<Source> reader(source);
    std::array<char, kCataloguePieceLength> piece{};
    size_t length = 0;
    for (size_t pieces = 0; pieces < kCatalogueCapacity && reader.Next(piece, length); ++pieces)
        AddLine(std::string_view(piece.data(), length));
}

}  // namespace

bool LoadMessageCatalogue() { return LoadMessageCatalogue(kMessageFileName); }

bool LoadMessageCatalogue(const char* path) {
    catalogue.count = 0;
    if (!path) return false;
    std::FILE* file = std::fopen(path, "rb");
    if (!file) return false;
    LoadMessageCatalogueStream(file);
    std::fclose(file);
    return true;
}

bool LoadMessageCatalogueFromFolders(const std::vector<std::string>& folders) {
    for (const std::string& folder : folders) {
        const std::filesystem::path file = std::filesystem::path(folder) / kMessageFileName;
        // fopen opens a directory too; only a file is a catalogue.
        std::error_code error;
        if (std::filesystem::is_regular_file(file, error) && LoadMessageCatalogue(file.c_str())) return true;
    }
    catalogue.count = 0;
    return false;
}

bool LoadMessageCatalogueStream(std::FILE* file) {
    catalogue.count = 0;
    if (!file) return false;
    FileSource source(file);
    LoadPieces(source);
    return true;
}

void LoadMessageCatalogueText(std::string_view text) {
    catalogue.count = 0;
    MemorySource source(text);
    LoadPieces(source);
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
