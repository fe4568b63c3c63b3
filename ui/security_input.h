#pragma once
// Character filters of the security configuration page's key and address
// fields, shared by the key editor and the MAC access table.

#include <QKeyEvent>
#include <QKeySequence>
#include <QString>
#include <QValidator>

#include <functional>
#include <utility>

#include "ui/key_rules.h"

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
// and carry no character, and the editing shortcuts (a paste is checked by
// the field's KeyCharValidator). Any other character typed with Ctrl held
// is a control character and is refused.
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
    if (accepted == KeyCharClass::Any || IsEditingShortcut(event)) return false;
    const QString text = event->text();
    if (text.isEmpty()) return false;
    if (event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier)) return true;
    for (QChar c : text) {
        if (!IsKeyChar(accepted, c)) return true;
    }
    return false;
}

// Holds whatever reaches a field by other roads than a typed key (a paste,
// an input method) to the characters the field takes at that moment; the
// field's own fills are not checked.
class KeyCharValidator : public QValidator {
public:
    KeyCharValidator(std::function<KeyCharClass()> accepted, QObject* parent)
        : QValidator(parent), accepted_(std::move(accepted)) {}
    State validate(QString& input, int& /*pos*/) const override {
        const KeyCharClass accepted = accepted_();
        for (QChar c : input) {
            if (!IsKeyChar(accepted, c)) return Invalid;
        }
        return Acceptable;
    }

private:
    std::function<KeyCharClass()> accepted_;
};

}  // namespace aputil
