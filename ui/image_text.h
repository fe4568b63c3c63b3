#pragma once
// The texts of the image (names, SSID, firmware version and date) hold 8-bit
// characters, one per byte: they are shown and stored as Latin-1, so a text
// read and written back unchanged keeps every byte.

#include <QString>

#include <optional>
#include <string>

namespace aputil {

inline QString ImageText(const std::string& bytes) {
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// The bytes of a text, or nothing when a character has no byte of its own
// (above U+00FF): such a text cannot be stored.
inline std::optional<std::string> ImageBytes(const QString& text) {
    for (const QChar c : text) {
        if (c.unicode() > 0xFF) return std::nullopt;
    }
    return text.toLatin1().toStdString();
}

}  // namespace aputil
