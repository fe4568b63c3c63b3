// The WEP key editor of the security configuration page: four rows of six
// segment edits (MaskEdit1..MaskEdit24), the row and format radio buttons,
// the layout per mode and format, and the key texts in and out of the image.

#include <QLineEdit>
#include <QRadioButton>

#include <array>

#include "app/gui/image_button.h"
#include "image/layout.h"
#include "image/transfer.h"
#include "ui/form1.h"
#include "ui/security_input.h"
#include "ui/widgets.h"

namespace aputil {

namespace {

// Hex-form digits per segment: 5 + 5 + 4 + 4 + 4 + 4 = 26 digits = 13 bytes.
constexpr std::array<int, 6> kHexSegmentLength = {5, 5, 4, 4, 4, 4};
constexpr int kSegment3Width = 40;
constexpr int kSegment3NarrowWidth = 33;  // three ASCII characters
constexpr int kAsciiSegment3Length = 3;   // 5 + 5 + 3 = 13 characters
constexpr QChar kFillChar = QLatin1Char('1');

// The lower-case hexadecimal digits of each character code (Latin-1).
QString HexOfCodes(const QString& text) { return QString::fromLatin1(text.toLatin1().toHex()); }

// The 13 key bytes of a slot as 26 lower-case hexadecimal digits.
QString StoredKeyDigits(int slot) {
    const auto bytes = ReadKeyBytes(configImage, slot);
    if (!bytes) return {};
    const QByteArray raw(reinterpret_cast<const char*>(bytes->data()), static_cast<qsizetype>(bytes->size()));
    return QString::fromLatin1(raw.toHex());
}

}  // namespace

QLineEdit* TForm1::KeySegment(int key, int s) const { return MaskEdit[static_cast<size_t>(6 * key + s - 1)]; }

void TForm1::RadioButton5Click() {
    if (RadioButton5->isChecked()) editedKeyIndex = 0;
}
void TForm1::RadioButton6Click() {
    if (RadioButton6->isChecked()) editedKeyIndex = 1;
}
void TForm1::RadioButton7Click() {
    if (RadioButton7->isChecked()) editedKeyIndex = 2;
}
void TForm1::RadioButton8Click() {
    if (RadioButton8->isChecked()) editedKeyIndex = 3;
}

void TForm1::RadioButton10Click() {
    if (!RadioButton10->isChecked() || Panel8->isHidden()) return;
    for (QLineEdit* segment : MaskEdit) segment->clear();
    ApplyKeyEditorLayout(SelectedEncryptionMode(), KeyFormat::Ascii);
}

void TForm1::RadioButton11Click() {
    if (!RadioButton11->isChecked() || Panel8->isHidden()) return;
    ApplyKeyEditorLayout(SelectedEncryptionMode(), KeyFormat::Hex);
    ConvertAsciiKeysToHex();
}

KeyCharClass TForm1::SegmentCharClass(int number) const {
    const int s = (number - 1) % 6 + 1;
    // Segments 4 to 6 only ever hold hexadecimal digits, in every row.
    if (s > 3) return KeyCharClass::Hex;
    switch (SelectedKeyFormat()) {
    case KeyFormat::Ascii:
        return KeyCharClass::Ascii;
    case KeyFormat::Hex:
        return KeyCharClass::Hex;
    case KeyFormat::None:
        break;
    }
    return KeyCharClass::Any;
}

bool TForm1::MaskEditKeyPress(int number, QKeyEvent* event) { return IsKeyRefused(event, SegmentCharClass(number)); }

void TForm1::MaskEditChange(int number) {
    const int key = (number - 1) / 6;
    const int s = (number - 1) % 6 + 1;
    const bool asciiKey128 =
        SelectedEncryptionMode() == EncryptionMode::Wep128 && SelectedKeyFormat() == KeyFormat::Ascii;
    const int full = s == 3 && asciiKey128 ? kAsciiSegment3Length : kHexSegmentLength[static_cast<size_t>(s - 1)];
    if (KeySegment(key, s)->text().size() != full) return;

    QWidget* next = BitBtn19;
    if (s < 6) {
        QLineEdit* following = KeySegment(key, s + 1);
        if (following->isEnabled()) {
            // A 128-bit ASCII key continues in segment 3 with three fresh places.
            if (s == 2 && SelectedKeyFormat() == KeyFormat::Ascii) following->clear();
            next = following;
        }
    }
    next->setFocus();
}

void TForm1::MaskEditClick(int number) {
    const int key = (number - 1) / 6;
    const int s = (number - 1) % 6 + 1;
    QLineEdit* segment = KeySegment(key, s);
    if (s == 3 && SelectedEncryptionMode() == EncryptionMode::Wep128 && SelectedKeyFormat() == KeyFormat::Ascii) {
        segment->clear();
        return;
    }
    const int length = static_cast<int>(segment->text().size());
    segment->setSelection(length, -length);  // all of it, caret at the start
}

void TForm1::ApplyKeyEditorLayout(EncryptionMode mode, KeyFormat format) {
    const bool ascii = format == KeyFormat::Ascii;
    int enabledSegments = 0;
    switch (mode) {
    case EncryptionMode::Disabled:
        enabledSegments = 0;
        break;
    case EncryptionMode::Wep64:
        enabledSegments = ascii ? 1 : 2;
        break;
    case EncryptionMode::Wep128:
        enabledSegments = ascii ? 3 : 6;
        break;
    }
    const bool narrow = mode == EncryptionMode::Wep128 && ascii;
    for (int k = 0; k < 4; ++k) {
        for (int s = 1; s <= 6; ++s) KeySegment(k, s)->setEnabled(s <= enabledSegments);
        QLineEdit* third = KeySegment(k, 3);
        third->setMaxLength(narrow ? kAsciiSegment3Length : kHexSegmentLength[2]);
        third->resize(narrow ? kSegment3NarrowWidth : kSegment3Width, third->height());
    }
    const bool keysInUse = mode != EncryptionMode::Disabled;
    for (QRadioButton* radio : {RadioButton5, RadioButton6, RadioButton7, RadioButton8, RadioButton10, RadioButton11}) {
        radio->setEnabled(keysInUse);
    }
}

void TForm1::ShowKeysFromImage() {
    for (int k = 0; k < 4; ++k) {
        const QString digits = StoredKeyDigits(k);
        // Segment 3 takes four digits again, whatever the last layout was.
        KeySegment(k, 3)->setMaxLength(kHexSegmentLength[2]);
        int at = 0;
        for (int s = 1; s <= 6; ++s) {
            const int length = kHexSegmentLength[static_cast<size_t>(s - 1)];
            KeySegment(k, s)->setText(digits.mid(at, length));
            at += length;
        }
    }
}

void TForm1::ConvertAsciiKeysToHex() {
    const bool key64 = SelectedEncryptionMode() == EncryptionMode::Wep64;
    const int keyLength = key64 ? static_cast<int>(kWepKeyBytes64) : static_cast<int>(kWepKeyBytes128);
    for (int k = 0; k < 4; ++k) {
        QString text = KeySegment(k, 1)->text().left(5);
        if (!key64) {
            text = (text + KeySegment(k, 2)->text()).left(10);
            text = (text + KeySegment(k, 3)->text()).left(keyLength);
        }
        if (text.isEmpty()) continue;
        // A short key is filled up so that it still names a whole key.
        text = text.leftJustified(keyLength, kFillChar, true);
        const QString digits = HexOfCodes(text);
        int at = 0;
        const int segments = key64 ? 2 : 6;
        for (int s = 1; s <= segments; ++s) {
            const int length = kHexSegmentLength[static_cast<size_t>(s - 1)];
            KeySegment(k, s)->setText(digits.mid(at, length));
            at += length;
        }
    }
}

QString TForm1::AssembleKeyText() const {
    if (editedKeyIndex < 0 || editedKeyIndex > 3) return {};
    const int k = editedKeyIndex;
    QString text = KeySegment(k, 1)->text().left(5);
    const EncryptionMode mode = SelectedEncryptionMode();
    if (mode == EncryptionMode::Wep64) {
        if (KeySegment(k, 2)->isEnabled()) text = (text + KeySegment(k, 2)->text()).left(10);
        return text;
    }
    if (mode != EncryptionMode::Wep128) return text;
    text = (text + KeySegment(k, 2)->text()).left(10);
    text = (text + KeySegment(k, 3)->text()).left(SelectedKeyFormat() == KeyFormat::Ascii ? 13 : 14);
    const int cuts[3] = {18, 22, 26};
    for (int s = 4; s <= 6; ++s) {
        if (KeySegment(k, s)->isEnabled()) text = (text + KeySegment(k, s)->text()).left(cuts[s - 4]);
    }
    return text;
}

bool TForm1::WepSettingsChanged() {
    const EncryptionMode mode = SelectedEncryptionMode();
    // The mode is judged as the page shows the stored pair (a switched-off
    // WEP with a key length left in wepMode reads as disabled; a wepMode
    // above 2 reads as 128-bit), so an untouched page is never "changed" and
    // turning WEP on is never taken for no change.
    const WepState stored = ReadWepState(configImage);
    const EncryptionMode storedMode = stored == WepState::Wep64    ? EncryptionMode::Wep64
                                      : stored == WepState::Wep128 ? EncryptionMode::Wep128
                                                                   : EncryptionMode::Disabled;
    if (mode != storedMode) return true;
    if (mode == EncryptionMode::Disabled) return false;
    if (SelectedKeyFormat() != KeyFormat::Hex) return true;

    editedKeyIndex = CheckedKeyRow();
    if (editedKeyIndex != static_cast<int>(ReadDefaultKey(configImage))) return true;

    const bool key64 = mode == EncryptionMode::Wep64;
    const int k = editedKeyIndex;
    QString shown = KeySegment(k, 1)->text().left(5) + KeySegment(k, 2)->text().left(5);
    if (!key64) {
        for (int s = 3; s <= 6; ++s) shown += KeySegment(k, s)->text().left(4);
    }
    if (shown.isEmpty()) return false;
    const int digits = key64 ? 10 : 26;
    // Characters, not values: a key retyped in upper case counts as changed.
    return shown != StoredKeyDigits(k).left(digits);
}

}  // namespace aputil
