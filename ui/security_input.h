#pragma once
// Character filters of the security configuration page's key and address
// fields, shared by the key editor and the MAC access table.

#include <QKeyEvent>
#include <QKeySequence>
#include <QString>

namespace aputil {

enum class KeyCharClass {
    Any,    // every character
    Ascii,  // 0-9, A-Z, a-z
    Hex,    // 0-9, A-F, a-f
};

inline bool IsKeyChar(KeyCharClass accepted, QChar c) {
    const char16_t u = c.unicode();
    const bool digit = u >= u'0' && u <= u'9';
    switch (accepted) {
        case KeyCharClass::Any:
            return true;
        case KeyCharClass::Ascii:
            return digit || (u >= u'A' && u <= u'Z') || (u >= u'a' && u <= u'z');
        case KeyCharClass::Hex:
            return digit || (u >= u'A' && u <= u'F') || (u >= u'a' && u <= u'f');
    }
    return false;
}

// True when a key press must not reach a field that takes only `accepted`.
// Backspace always passes; so do the keys that move the caret or the focus
// and carry no character. A character typed with Ctrl held is a control
// character, and paste brings characters past the filter: both are refused.
inline bool IsKeyRefused(const QKeyEvent* event, KeyCharClass accepted) {
    switch (event->key()) {
        case Qt::Key_Backspace:
        case Qt::Key_Delete:
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
            return false;
        default:
            break;
    }
    if (accepted == KeyCharClass::Any) return false;
    // Pasted text would pass by the filter whole.
    if (event->matches(QKeySequence::Paste)) return true;
    const QString text = event->text();
    if (text.isEmpty()) return false;
    if (event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier)) return true;
    for (QChar c : text) {
        if (!IsKeyChar(accepted, c)) return true;
    }
    return false;
}

}  // namespace aputil
