#pragma once
// Keys that edit a text field without typing a character into it: the
// platform's shortcuts for selecting, copying, cutting, pasting, undoing and
// moving by word or line. The fields' key filters let these through; what a
// paste brings in is held to the field's character rules by its validator.

#include <QKeyEvent>
#include <QKeySequence>

#include <algorithm>
#include <iterator>

namespace aputil {

inline bool IsEditingShortcut(const QKeyEvent* event) {
    // Laid out by hand: the table reads better packed.
    // clang-format off
    static constexpr QKeySequence::StandardKey kEditing[] = {
        QKeySequence::SelectAll,         QKeySequence::Copy,
        QKeySequence::Cut,               QKeySequence::Paste,
        QKeySequence::Undo,              QKeySequence::Redo,
        QKeySequence::MoveToNextWord,    QKeySequence::MoveToPreviousWord,
        QKeySequence::SelectNextWord,    QKeySequence::SelectPreviousWord,
        QKeySequence::MoveToStartOfLine, QKeySequence::MoveToEndOfLine,
        QKeySequence::SelectStartOfLine, QKeySequence::SelectEndOfLine,
        QKeySequence::MoveToStartOfDocument, QKeySequence::MoveToEndOfDocument,
        QKeySequence::SelectStartOfDocument, QKeySequence::SelectEndOfDocument,
        QKeySequence::MoveToStartOfBlock, QKeySequence::MoveToEndOfBlock,
        QKeySequence::SelectStartOfBlock, QKeySequence::SelectEndOfBlock,
        QKeySequence::MoveToNextChar,    QKeySequence::MoveToPreviousChar,
        QKeySequence::SelectNextChar,    QKeySequence::SelectPreviousChar,
        QKeySequence::DeleteStartOfWord, QKeySequence::DeleteEndOfWord,
        QKeySequence::DeleteEndOfLine,   QKeySequence::DeleteCompleteLine,
        QKeySequence::Delete,            QKeySequence::Backspace,
    };
    // clang-format on
    return std::any_of(std::begin(kEditing), std::end(kEditing),
                       [event](QKeySequence::StandardKey key) { return event->matches(key); });
}

}  // namespace aputil
