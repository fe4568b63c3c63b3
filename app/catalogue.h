#pragma once
// The message catalogue: every text a person reads in the windows can be
// replaced from the plain text file "message.txt". The file is read once at
// start-up into a fixed table; the windows ask for each text by key and keep
// their built-in text when the key is missing.
//
// File format, one entry per line ("KEY text**"):
//  - the key is the first word of the line (leading white space skipped, ended
//    by a blank, tab or line end); keys are written at the start of the line;
//  - the value starts after one or more blanks (0x20; a tab is no separator)
//    and runs to the "**" comment marker, which drops itself and the rest of
//    the line; a value not ended by "**" keeps the line's LF as its last byte;
//  - a line with only a key, only a comment, or nothing adds no entry;
//  - lines are read in pieces of at most 254 characters (the rest of a longer
//    line is read as if it were the next line) and only the first 200 pieces
//    are read; CR LF reads as LF; a zero byte ends a piece's text;
//  - a key or value longer than 59 characters is cut to 59;
//  - the first entry of a key wins; look-ups are case-sensitive.
// Texts are bytes taken as they are; no character set conversion is applied.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace aputil {

inline constexpr size_t kCatalogueCapacity = 200;  // entries, and pieces read
inline constexpr size_t kCatalogueFieldSize = 60;  // key or value with its terminator
inline constexpr size_t kCataloguePieceLength = 254;
inline constexpr const char* kMessageFileName = "message.txt";

// Reads "message.txt" from the current directory into the table, which is
// emptied first. Returns false when the file cannot be opened (the table then
// stays empty and every look-up fails); nothing is reported.
bool LoadMessageCatalogue();
// The same for a file named by the caller (the copy installed beside the
// program, a test fixture).
bool LoadMessageCatalogue(const char* path);
// Reads the first "message.txt" that is a regular file and opens, trying the
// folders in order (see data_folders.h); false when none does.
bool LoadMessageCatalogueFromFolders(const std::vector<std::string>& folders);
// The same for an open stream, read from where it stands to its end; the
// caller keeps and closes it. False only for a null stream.
bool LoadMessageCatalogueStream(std::FILE* file);
// The same for the text of a catalogue already in memory (no file involved).
void LoadMessageCatalogueText(std::string_view text);

// Copies the value of the first entry whose key equals `key` (byte for byte,
// case-sensitive, significant to 59 characters) with its terminator into `out`,
// which has room for at least kCatalogueFieldSize bytes, and returns true.
// Without a match returns false and leaves `out` untouched.
bool LookupMessage(const char* key, char* out) noexcept;

// The value of `key`, or nothing when the catalogue lacks it.
std::optional<std::string> LookupMessage(std::string_view key);

// Entries in the table now.
size_t MessageCatalogueCount() noexcept;

}  // namespace aputil
