// The WEP key editor of the security configuration page, without the wire:
// the window runs over a packet driver that lists no interface, and the
// configuration image is set up in memory before the page is entered. Covers
// the segment family (character filters, focus moves, clicks), the layout per
// mode and format, the ASCII and Hex switches with the fill character, the
// keys shown from the image, the key text handed to apply and the change test
// that guards the tab.

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QRadioButton>
#include <QtTest/QtTest>

#include <array>
#include <functional>
#include <memory>

#include "app/gui/image_button.h"
#include "image/transfer.h"
#include "tests/support/fake_driver.h"
#include "tests/ui/ui_support.h"
#include "transport/adapter.h"
#include "ui/form1.h"
#include "ui/widgets.h"

using namespace aputil;
using namespace aputil::test;

namespace {

using Mode = TForm1::EncryptionMode;
using Format = TForm1::KeyFormat;

// A key's bytes start three bytes into its slot.
constexpr size_t KeyByteAt(int slot, int i) { return KeySlotAt(slot) + 3 + static_cast<size_t>(i); }

// The four stored keys, 13 bytes each; letters among the digits so that the
// case of the shown text matters.
constexpr std::array<std::array<uint8_t, 13>, 4> kStoredKeys = {{
    {0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f, 0x60, 0x71, 0x82, 0x93, 0xa4, 0xb5, 0xc6},
    {0xde, 0xad, 0xbe, 0xef, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0xf0},
    {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd},
    {0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10, 0x0f, 0x1e, 0x2d, 0x3c, 0x4b},
}};
// The same keys as the editor must show them: "%02x" per byte, split 5, 5, 4, 4, 4, 4.
const std::array<QStringList, 4> kShownKeys = {{
    {"0a1b2", "c3d4e", "5f60", "7182", "93a4", "b5c6"},
    {"deadb", "eef01", "2345", "6789", "abcd", "eff0"},
    {"11223", "34455", "6677", "8899", "aabb", "ccdd"},
    {"fedcb", "a9876", "5432", "100f", "1e2d", "3c4b"},
}};

struct StoredWep {
    uint8_t mode = 1;
    uint8_t enabled = 1;
    uint8_t defaultKey = 1;
};

void PrepareImage(const StoredWep& wep) {
    configImage.fill(0);
    configImage[kWepModeAt] = wep.mode;
    configImage[kWepEnabledAt] = wep.enabled;
    configImage[kDefaultKeyAt] = wep.defaultKey;
    for (int k = 0; k < 4; ++k) {
        const auto& key = kStoredKeys[static_cast<size_t>(k)];
        for (int i = 0; i < 13; ++i) configImage[KeyByteAt(k, i)] = key[static_cast<size_t>(i)];
    }
}

}  // namespace

class WepEditorTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void storedKeysAreShownInHexOnEntry();
    void layoutFollowsModeAndFormat_data();
    void layoutFollowsModeAndFormat();
    void filterRefusesOrKeepsEachCharacter_data();
    void filterRefusesOrKeepsEachCharacter();
    void fullSegmentMovesTheFocus_data();
    void fullSegmentMovesTheFocus();
    void clickSelectsOrClearsTheSegment_data();
    void clickSelectsOrClearsTheSegment();
    void hexSwitchTurnsAsciiKeysIntoCodes_data();
    void hexSwitchTurnsAsciiKeysIntoCodes();
    void asciiSwitchClearsEveryKeyAndSixtyFourBitTrimsIt();
    void assembledKeyTextFollowsTheEnabledSegments_data();
    void assembledKeyTextFollowsTheEnabledSegments();
    void changeTestComparesWithTheImage();

private:
    // Enters the page from the security status page, as BitBtn9 does.
    void Enter(const StoredWep& wep);
    // The user's clicks on the mode and format buttons.
    void ChooseMode(Mode mode);
    void ChooseFormat(Format format);
    QLineEdit* Segment(int number) const { return form_->MaskEdit[static_cast<size_t>(number - 1)]; }
    QStringList RowTexts(int key) const;

    std::unique_ptr<WorkFolder> folder_;
    std::unique_ptr<TForm1> form_;
};

void WepEditorTest::initTestCase() {
    // No interface at all: the window's browse has nothing to visit, so
    // nothing can reach a real network.
    theAdapter.SetDriver(std::make_unique<FakeDriver>());
    folder_ = std::make_unique<WorkFolder>(QByteArray(), true);
    folder_->Enter();
    form_ = std::make_unique<TForm1>();
    form_->show();
    form_->LIAPP_Timer->stop();  // its browse would take the focus from the segments
    form_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(form_.get()));
    QCOMPARE(theAdapter.usableCount, 0);
}

void WepEditorTest::cleanupTestCase() { form_.reset(); }

void WepEditorTest::init() { Enter(StoredWep{}); }

void WepEditorTest::Enter(const StoredWep& wep) {
    PrepareImage(wep);
    // What a login does, then the security status page and its setup button.
    form_->ResetSecurityPage();
    form_->Panel1->hide();
    form_->Panel8->hide();
    form_->Panel4->show();
    form_->BitBtn9->click();
    QVERIFY(!form_->Panel8->isHidden());
    QVERIFY(form_->Panel4->isHidden());
}

void WepEditorTest::ChooseMode(Mode mode) {
    QRadioButton* button = mode == Mode::Wep64    ? form_->RadioButton1
                           : mode == Mode::Wep128 ? form_->RadioButton4
                                                  : form_->RadioButton9;
    button->click();
    QVERIFY(button->isChecked());
}

void WepEditorTest::ChooseFormat(Format format) {
    QRadioButton* button = format == Format::Ascii ? form_->RadioButton10 : form_->RadioButton11;
    button->click();
    QVERIFY(button->isChecked());
}

QStringList WepEditorTest::RowTexts(int key) const {
    QStringList texts;
    for (int s = 1; s <= 6; ++s) texts << Segment(6 * key + s)->text();
    return texts;
}

void WepEditorTest::storedKeysAreShownInHexOnEntry() {
    // Stored WEP off with a key length left in wepMode: DISABLE, every
    // segment greyed, the keys still shown.
    Enter(StoredWep{1, 0, 3});
    QVERIFY(form_->RadioButton9->isChecked());
    QVERIFY(form_->RadioButton11->isChecked());
    QVERIFY(form_->RadioButton8->isChecked());
    QCOMPARE(form_->editedKeyIndex, 3);
    for (int k = 0; k < 4; ++k) QCOMPARE(RowTexts(k), kShownKeys[static_cast<size_t>(k)]);
    for (QLineEdit* segment : form_->MaskEdit) QVERIFY(!segment->isEnabled());
    for (QRadioButton* r : {form_->RadioButton5, form_->RadioButton8, form_->RadioButton10, form_->RadioButton11}) {
        QVERIFY(!r->isEnabled());
    }
    // Every segment shows a mask character, never the key.
    QCOMPARE(form_->MaskEdit[0]->echoMode(), QLineEdit::Password);
    QCOMPARE(form_->MaskEdit[23]->echoMode(), QLineEdit::Password);

    // A wepMode above 2 with WEP on reads as 128-bit.
    Enter(StoredWep{3, 1, 0});
    QVERIFY(form_->RadioButton4->isChecked());
    QVERIFY(form_->RadioButton5->isChecked());
    for (QLineEdit* segment : form_->MaskEdit) QVERIFY(segment->isEnabled());
}

void WepEditorTest::layoutFollowsModeAndFormat_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("format");
    QTest::addColumn<QString>("enabled");  // per segment 1..6 of every row
    QTest::addColumn<int>("thirdLength");
    QTest::addColumn<int>("thirdWidth");
    QTest::addColumn<bool>("radios");

    QTest::newRow("disabled, hex") << int(Mode::Disabled) << int(Format::Hex) << "000000" << 4 << 40 << false;
    QTest::newRow("disabled, ascii") << int(Mode::Disabled) << int(Format::Ascii) << "000000" << 4 << 40 << false;
    QTest::newRow("64, hex") << int(Mode::Wep64) << int(Format::Hex) << "110000" << 4 << 40 << true;
    QTest::newRow("64, ascii") << int(Mode::Wep64) << int(Format::Ascii) << "100000" << 4 << 40 << true;
    QTest::newRow("128, hex") << int(Mode::Wep128) << int(Format::Hex) << "111111" << 4 << 40 << true;
    QTest::newRow("128, ascii") << int(Mode::Wep128) << int(Format::Ascii) << "111000" << 3 << 33 << true;
}

void WepEditorTest::layoutFollowsModeAndFormat() {
    QFETCH(int, mode);
    QFETCH(int, format);
    QFETCH(QString, enabled);
    QFETCH(int, thirdLength);
    QFETCH(int, thirdWidth);
    QFETCH(bool, radios);

    // From 128-bit first, so that each case has something to switch off.
    ChooseMode(Mode::Wep128);
    ChooseFormat(Format(format));
    ChooseMode(Mode(mode));
    for (int k = 0; k < 4; ++k) {
        for (int s = 1; s <= 6; ++s) {
            QCOMPARE(Segment(6 * k + s)->isEnabled(), enabled[s - 1] == QLatin1Char('1'));
        }
        QCOMPARE(Segment(6 * k + 3)->maxLength(), thirdLength);
        QCOMPARE(Segment(6 * k + 3)->width(), thirdWidth);
        QCOMPARE(Segment(6 * k + 1)->maxLength(), 5);
        QCOMPARE(Segment(6 * k + 6)->maxLength(), 4);
    }
    for (QRadioButton* r : {form_->RadioButton5, form_->RadioButton6, form_->RadioButton7, form_->RadioButton8,
                            form_->RadioButton10, form_->RadioButton11}) {
        QCOMPARE(r->isEnabled(), radios);
    }
    // Disabled segments are painted apart from the ones that take input.
    QVERIFY(Segment(1)->palette().color(QPalette::Disabled, QPalette::Base) !=
            Segment(1)->palette().color(QPalette::Active, QPalette::Base));
}

void WepEditorTest::filterRefusesOrKeepsEachCharacter_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("segment");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("kept");

    // Segments 1 to 3 follow the format; 4 to 6 take hexadecimal digits only.
    QTest::newRow("hex refuses g") << int(Mode::Wep64) << int(Format::Hex) << 1 << "g"
                                   << "";
    QTest::newRow("hex keeps upper F") << int(Mode::Wep64) << int(Format::Hex) << 2 << "F"
                                       << "F";
    QTest::newRow("hex keeps lower a") << int(Mode::Wep128) << int(Format::Hex) << 3 << "a"
                                       << "a";
    QTest::newRow("hex refuses hyphen") << int(Mode::Wep64) << int(Format::Hex) << 7 << "-"
                                        << "";
    QTest::newRow("ascii keeps g") << int(Mode::Wep64) << int(Format::Ascii) << 1 << "g"
                                   << "g";
    QTest::newRow("ascii keeps upper Z") << int(Mode::Wep128) << int(Format::Ascii) << 14 << "Z"
                                         << "Z";
    QTest::newRow("ascii refuses hyphen") << int(Mode::Wep64) << int(Format::Ascii) << 19 << "-"
                                          << "";
    QTest::newRow("ascii refuses blank") << int(Mode::Wep128) << int(Format::Ascii) << 3 << " "
                                         << "";
    QTest::newRow("segment 4 refuses g") << int(Mode::Wep128) << int(Format::Hex) << 4 << "g"
                                         << "";
    QTest::newRow("segment 6 keeps B") << int(Mode::Wep128) << int(Format::Hex) << 24 << "B"
                                       << "B";
    // Segments 5 and 6 of key 2 filter as their sisters do.
    QTest::newRow("MaskEdit11 refuses x") << int(Mode::Wep128) << int(Format::Hex) << 11 << "x"
                                          << "";
    QTest::newRow("MaskEdit12 refuses colon") << int(Mode::Wep128) << int(Format::Hex) << 12 << ":"
                                              << "";
    QTest::newRow("MaskEdit12 keeps c") << int(Mode::Wep128) << int(Format::Hex) << 12 << "c"
                                        << "c";
}

void WepEditorTest::filterRefusesOrKeepsEachCharacter() {
    QFETCH(int, mode);
    QFETCH(int, format);
    QFETCH(int, segment);
    QFETCH(QString, typed);
    QFETCH(QString, kept);

    ChooseMode(Mode(mode));
    ChooseFormat(Format(format));
    QLineEdit* edit = Segment(segment);
    QVERIFY(edit->isEnabled());
    edit->clear();
    edit->setFocus();
    QTest::keyClicks(edit, typed);
    QCOMPARE(edit->text(), kept);
    // Backspace always passes.
    QTest::keyClicks(edit, QStringLiteral("1"));
    QCOMPARE(edit->text(), kept + QStringLiteral("1"));
    QTest::keyClick(edit, Qt::Key_Backspace);
    QCOMPARE(edit->text(), kept);
    // A paste works and is held to the same rule as typing: what typing kept
    // comes in again, what it refused stays out.
    QApplication::clipboard()->setText(typed);
    QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(edit->text(), kept + kept);
    QTest::keyClick(edit, Qt::Key_Insert, Qt::ShiftModifier);
    QCOMPARE(edit->text(), kept + kept + kept);
    // A paste with one forbidden character in it is turned away whole.
    QApplication::clipboard()->setText(QStringLiteral(".1"));
    QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(edit->text(), kept + kept + kept);
}

void WepEditorTest::fullSegmentMovesTheFocus_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("segment");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("focus");      // object name of the focus afterwards
    QTest::addColumn<QString>("nextAfter");  // the next segment's text afterwards ("-": not looked at)

    QTest::newRow("64 hex, 1 to 2") << int(Mode::Wep64) << int(Format::Hex) << 1 << "12345"
                                    << "MaskEdit2"
                                    << "c3d4e";
    QTest::newRow("64 hex, 2 to apply") << int(Mode::Wep64) << int(Format::Hex) << 2 << "6789a"
                                        << "BitBtn19"
                                        << "-";
    QTest::newRow("64 hex, 4 digits stay") << int(Mode::Wep64) << int(Format::Hex) << 7 << "1234"
                                           << "MaskEdit7"
                                           << "-";
    QTest::newRow("64 ascii, 1 to apply") << int(Mode::Wep64) << int(Format::Ascii) << 13 << "abcde"
                                          << "BitBtn19"
                                          << "-";
    QTest::newRow("128 ascii, 2 to 3 cleared") << int(Mode::Wep128) << int(Format::Ascii) << 8 << "fghij"
                                               << "MaskEdit9"
                                               << "";
    QTest::newRow("128 ascii, 3 full at 3") << int(Mode::Wep128) << int(Format::Ascii) << 9 << "klm"
                                            << "BitBtn19"
                                            << "-";
    QTest::newRow("128 hex, 2 to 3 kept") << int(Mode::Wep128) << int(Format::Hex) << 20 << "11111"
                                          << "MaskEdit21"
                                          << "5432";
    QTest::newRow("128 hex, 3 to 4") << int(Mode::Wep128) << int(Format::Hex) << 21 << "2222"
                                     << "MaskEdit22"
                                     << "100f";
    QTest::newRow("128 hex, 4 to 5") << int(Mode::Wep128) << int(Format::Hex) << 22 << "3333"
                                     << "MaskEdit23"
                                     << "-";
    QTest::newRow("128 hex, 5 to 6") << int(Mode::Wep128) << int(Format::Hex) << 11 << "4444"
                                     << "MaskEdit12"
                                     << "-";
    QTest::newRow("128 hex, 6 to apply") << int(Mode::Wep128) << int(Format::Hex) << 24 << "5555"
                                         << "BitBtn19"
                                         << "-";
}

void WepEditorTest::fullSegmentMovesTheFocus() {
    QFETCH(int, mode);
    QFETCH(int, format);
    QFETCH(int, segment);
    QFETCH(QString, typed);
    QFETCH(QString, focus);
    QFETCH(QString, nextAfter);

    ChooseMode(Mode(mode));
    ChooseFormat(Format(format));
    if (Format(format) == Format::Ascii) {
        // Something in every place for the clearing to act on.
        for (int n = 1; n <= 24; ++n) Segment(n)->setText(QStringLiteral("xyz"));
    }
    QLineEdit* edit = Segment(segment);
    edit->clear();
    edit->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), edit);
    QTest::keyClicks(edit, typed);
    QCOMPARE(edit->text(), typed);
    QVERIFY(QApplication::focusWidget() != nullptr);
    QCOMPARE(QApplication::focusWidget()->objectName(), focus);
    if (nextAfter != QLatin1String("-")) QCOMPARE(Segment(segment + 1)->text(), nextAfter);
}

void WepEditorTest::clickSelectsOrClearsTheSegment_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("segment");
    QTest::addColumn<bool>("cleared");

    QTest::newRow("64 hex, segment 1") << int(Mode::Wep64) << int(Format::Hex) << 1 << false;
    QTest::newRow("128 hex, segment 3") << int(Mode::Wep128) << int(Format::Hex) << 15 << false;
    QTest::newRow("128 hex, segment 6") << int(Mode::Wep128) << int(Format::Hex) << 18 << false;
    QTest::newRow("128 ascii, segment 2") << int(Mode::Wep128) << int(Format::Ascii) << 20 << false;
    QTest::newRow("128 ascii, segment 3") << int(Mode::Wep128) << int(Format::Ascii) << 21 << true;
}

void WepEditorTest::clickSelectsOrClearsTheSegment() {
    QFETCH(int, mode);
    QFETCH(int, format);
    QFETCH(int, segment);
    QFETCH(bool, cleared);

    ChooseMode(Mode(mode));
    ChooseFormat(Format(format));
    QLineEdit* edit = Segment(segment);
    edit->setText(QStringLiteral("abc"));
    edit->setCursorPosition(2);
    // Twice: a click into a selection must end with all selected again.
    for (int i = 0; i < 2; ++i) {
        QTest::mouseClick(edit, Qt::LeftButton, {}, QPoint(edit->width() / 2, edit->height() / 2));
        if (cleared) {
            QCOMPARE(edit->text(), QString());
        } else {
            QCOMPARE(edit->text(), QStringLiteral("abc"));
            QCOMPARE(edit->selectionStart(), 0);
            QCOMPARE(edit->selectionEnd(), 3);
            QCOMPARE(edit->cursorPosition(), 0);
        }
    }
}

void WepEditorTest::hexSwitchTurnsAsciiKeysIntoCodes_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("key");
    QTest::addColumn<QStringList>("typed");     // ASCII segments 1.. of that key
    QTest::addColumn<QStringList>("expected");  // segments 1..6 after the switch to Hex

    // Codes: a 61, b 62, c 63, Z 5a, z 7a, 9 39, A 41, Q 51; the fill "1" is 31.
    QTest::newRow("64, three chars filled twice")
        << int(Mode::Wep64) << 0 << QStringList{"abc"} << QStringList{"61626", "33131", "", "", "", ""};
    QTest::newRow("64, five chars") << int(Mode::Wep64) << 2 << QStringList{"Zz9Ab"}
                                    << QStringList{"5a7a3", "94162", "", "", "", ""};
    QTest::newRow("64, one char") << int(Mode::Wep64) << 3 << QStringList{"Q"}
                                  << QStringList{"51313", "13131", "", "", "", ""};
    QTest::newRow("64, empty stays empty")
        << int(Mode::Wep64) << 1 << QStringList{} << QStringList{"", "", "", "", "", ""};
    QTest::newRow("128, thirteen chars") << int(Mode::Wep128) << 0 << QStringList{"abcde", "fghij", "klm"}
                                         << QStringList{"61626", "36465", "6667", "6869", "6a6b", "6c6d"};
    QTest::newRow("128, eleven chars") << int(Mode::Wep128) << 1 << QStringList{"abcde", "fghij", "k"}
                                       << QStringList{"61626", "36465", "6667", "6869", "6a6b", "3131"};
    QTest::newRow("128, one char") << int(Mode::Wep128) << 3 << QStringList{"Q"}
                                   << QStringList{"51313", "13131", "3131", "3131", "3131", "3131"};
}

void WepEditorTest::hexSwitchTurnsAsciiKeysIntoCodes() {
    QFETCH(int, mode);
    QFETCH(int, key);
    QFETCH(QStringList, typed);
    QFETCH(QStringList, expected);

    ChooseMode(Mode(mode));
    ChooseFormat(Format::Ascii);
    for (int i = 0; i < typed.size(); ++i) {
        QLineEdit* edit = Segment(6 * key + 1 + i);
        edit->setFocus();
        QTest::keyClicks(edit, typed[i]);
        QCOMPARE(edit->text(), typed[i]);
    }
    ChooseFormat(Format::Hex);
    QCOMPARE(RowTexts(key), expected);
    // The other keys were emptied by the switch to ASCII and stay empty.
    for (int k = 0; k < 4; ++k) {
        if (k != key) QCOMPARE(RowTexts(k).join(QString()), QString());
    }
    // Clicking Hex again converts nothing a second time.
    form_->RadioButton11->click();
    QCOMPARE(RowTexts(key), expected);
}

void WepEditorTest::asciiSwitchClearsEveryKeyAndSixtyFourBitTrimsIt() {
    ChooseMode(Mode::Wep128);
    QCOMPARE(RowTexts(2), kShownKeys[2]);
    ChooseFormat(Format::Ascii);
    for (QLineEdit* segment : form_->MaskEdit) QCOMPARE(segment->text(), QString());

    for (int k = 0; k < 4; ++k) {
        const QStringList parts{QStringLiteral("abcde"), QStringLiteral("fghij"), QStringLiteral("klm")};
        for (int s = 1; s <= 3; ++s) Segment(6 * k + s)->setText(parts[s - 1]);
    }
    // Under 64-bit an ASCII key is segment 1 alone: 2 and 3 are emptied.
    ChooseMode(Mode::Wep64);
    for (int k = 0; k < 4; ++k) {
        QCOMPARE(RowTexts(k), (QStringList{"abcde", "", "", "", "", ""}));
    }
    // 128-bit and disabled clear nothing.
    Segment(2)->setText(QStringLiteral("vwxyz"));
    ChooseMode(Mode::Disabled);
    ChooseMode(Mode::Wep128);
    QCOMPARE(RowTexts(0), (QStringList{"abcde", "vwxyz", "", "", "", ""}));
}

void WepEditorTest::assembledKeyTextFollowsTheEnabledSegments_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("key");
    QTest::addColumn<QStringList>("segments");  // 1..6, set as they are
    QTest::addColumn<QString>("expected");

    QTest::newRow("64 hex") << int(Mode::Wep64) << int(Format::Hex) << 2
                            << QStringList{"12345", "6789a", "bbbb", "cccc", "dddd", "eeee"} << "123456789a";
    QTest::newRow("64 hex, short first") << int(Mode::Wep64) << int(Format::Hex) << 1
                                         << QStringList{"123", "45678", "", "", "", ""} << "12345678";
    QTest::newRow("64 ascii, segment 2 ignored")
        << int(Mode::Wep64) << int(Format::Ascii) << 0 << QStringList{"abcde", "", "", "", "", ""} << "abcde";
    QTest::newRow("128 hex, 26 digits") << int(Mode::Wep128) << int(Format::Hex) << 3
                                        << QStringList{"01234", "56789", "abcd", "ef01", "2345", "6789"}
                                        << "0123456789abcdef0123456789";
    QTest::newRow("128 hex, 13 in hex form") << int(Mode::Wep128) << int(Format::Hex) << 0
                                             << QStringList{"01234", "56789", "abc", "", "", ""} << "0123456789abc";
    QTest::newRow("128 ascii") << int(Mode::Wep128) << int(Format::Ascii) << 1
                               << QStringList{"abcde", "fghij", "klm", "", "", ""} << "abcdefghijklm";
}

void WepEditorTest::assembledKeyTextFollowsTheEnabledSegments() {
    QFETCH(int, mode);
    QFETCH(int, format);
    QFETCH(int, key);
    QFETCH(QStringList, segments);
    QFETCH(QString, expected);

    ChooseMode(Mode(mode));
    ChooseFormat(Format(format));
    QRadioButton* rows[4] = {form_->RadioButton5, form_->RadioButton6, form_->RadioButton7, form_->RadioButton8};
    rows[key]->click();
    QCOMPARE(form_->editedKeyIndex, key);
    for (int s = 1; s <= 6; ++s) Segment(6 * key + s)->setText(segments[s - 1]);
    // Another row's text never leaks in.
    Segment(6 * ((key + 1) % 4) + 1)->setText(QStringLiteral("99999"));
    QCOMPARE(form_->AssembleKeyText(), expected);
}

void WepEditorTest::changeTestComparesWithTheImage() {
    const struct {
        const char* name;
        StoredWep stored;
        std::function<void(WepEditorTest&)> edit;
        bool changed;
    } cases[] = {
        {"64, untouched", {1, 1, 1}, [](WepEditorTest&) {}, false},
        {"128, untouched", {2, 1, 2}, [](WepEditorTest&) {}, false},
        {"off, untouched", {0, 0, 0}, [](WepEditorTest&) {}, false},
        {"off with a key length left, untouched", {2, 0, 0}, [](WepEditorTest&) {}, false},
        {"mode 3 reads as 128, untouched", {3, 1, 0}, [](WepEditorTest&) {}, false},
        {"off with a key length left, WEP turned on",
         {1, 0, 0},
         [](WepEditorTest& t) { t.ChooseMode(Mode::Wep64); },
         true},
        {"64 turned off", {1, 1, 1}, [](WepEditorTest& t) { t.ChooseMode(Mode::Disabled); }, true},
        {"64 to 128", {1, 1, 1}, [](WepEditorTest& t) { t.ChooseMode(Mode::Wep128); }, true},
        {"other row", {1, 1, 1}, [](WepEditorTest& t) { t.form_->RadioButton7->click(); }, true},
        {"ascii chosen", {1, 1, 1}, [](WepEditorTest& t) { t.ChooseFormat(Format::Ascii); }, true},
        {"same key retyped in upper case",
         {1, 1, 1},
         [](WepEditorTest& t) { t.Segment(7)->setText(QStringLiteral("DEADB")); },
         true},
        {"same key retyped",
         {1, 1, 1},
         [](WepEditorTest& t) { t.Segment(7)->setText(QStringLiteral("deadb")); },
         false},
        {"64 key shortened", {1, 1, 1}, [](WepEditorTest& t) { t.Segment(8)->setText(QStringLiteral("eef0")); }, true},
        {"64 ignores segments 3 to 6",
         {1, 1, 1},
         [](WepEditorTest& t) { t.Segment(9)->setText(QStringLiteral("0000")); },
         false},
        {"128 looks at segment 6",
         {2, 1, 2},
         [](WepEditorTest& t) { t.Segment(18)->setText(QStringLiteral("cdd0")); },
         true},
        {"another row's key edited",
         {1, 1, 1},
         [](WepEditorTest& t) { t.Segment(1)->setText(QStringLiteral("00000")); },
         false},
    };
    for (const auto& c : cases) {
        Enter(c.stored);
        c.edit(*this);
        QVERIFY2(form_->WepSettingsChanged() == c.changed, c.name);
    }
}

APUTIL_WINDOW_TEST_MAIN(WepEditorTest)

#include "ui_wep_editor_test.moc"
