// The security configuration page against a simulated access point (apsim)
// on a veth pair: entry, the tab guard, cancel, the WEP and MAC access
// editors, and apply judged by the image apsim commits. Every committed image
// is compared whole with the image read at login, edited by hand at the
// offsets the page owns, so a byte written anywhere else fails the test.
// Each step starts on a new window, with the simulator as it started or, where
// a step needs what an apply of another stores, with that in its state file.

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSet>
#include <QTreeWidget>
#include <QtTest/QtTest>

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

#include "app/gui/image_button.h"
#include "app/gui/message_form.h"
#include "app/gui/uinterface.h"
#include "image/transfer.h"
#include "protocol/frame.h"
#include "tests/ui/sim_window_test.h"
#include "tests/ui/ui_support.h"
#include "transport/adapter.h"
#include "ui/form1.h"
#include "ui/widgets.h"

using namespace aputil;
using namespace aputil::test;

namespace {

constexpr const char* kPassword = "sec-pw";

// Offsets of the MAC access fields the page owns.
constexpr size_t kMacEnabledAt = 1168;
constexpr size_t kMacCountAt = 1169;
constexpr size_t kMacTableAt = 1172;

using Mac = std::array<uint8_t, 6>;

// The five entries the device starts with (letters in them, so the listed
// text shows its case).
const std::vector<Mac> kDeviceEntries = {
    {0x00, 0x40, 0x96, 0xaa, 0xbb, 0x01}, {0x00, 0x40, 0x96, 0xaa, 0xbb, 0x02}, {0x00, 0x40, 0x96, 0xaa, 0xbb, 0x03},
    {0x00, 0x40, 0x96, 0xaa, 0xbb, 0x04}, {0x00, 0x40, 0x96, 0xaa, 0xbb, 0x05},
};

QString MacText(const Mac& mac, bool upper) {
    QString text = QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(mac.data()), 6).toHex(':'));
    return upper ? text.toUpper() : text;
}

QByteArray SecurityCatalogue() {
    return TestCatalogue(
        {"INVALID_WEP", "MAC_ERROR", "MAC_LIMIT", "WARNING_MSG", "WRITE_FAIL", "MAC_ACC_NO", "MAC_ACC_ADDR"});
}

}  // namespace

class SecurityTest : public SimWindowTest {
    Q_OBJECT

private slots:
    void entryShowsTheDeviceSettings();
    void tabGuardHoldsBothWaysUntilCancel();
    void untouchedApplySendsOnlyTheFinish();
    void sixtyFourBitKeyGoesIntoTheSelectedSlotOnly();
    void wrongLengthIsRefusedAndThirteenCharactersAreAscii();
    void disableWritesOnlyTheStatePair();
    void macTableEditsAreWrittenInListOrder();
    void switchingMacControlOffWritesOnlyTheEnableByte();
    void failedWriteIsReportedBeforeTheLoginPage();
    void secondApplyInsideTheWaitIsIgnored();

private:
    QByteArray Catalogue() const override { return SecurityCatalogue(); }
    QStringList SimOptions() const override;
    QByteArray SimState() const override;
    void FirstBrowseDone() override;

    // The device as the WEP steps before used to leave it: the 13-character
    // key stored in row 2 by the page (a state file would leave the rest of
    // the slot as generated, where the page writes zeros), then WEP off.
    bool StoreAsciiKeyInRow2ThenWepOff();
    // Logs in to the AP again once the browse after an apply is done.
    bool Login();
    // Security status page, then its setup button.
    void Enter();
    void Type(QLineEdit* field, const QString& text);
    void ClickCaption(QLabel* caption) { QTest::mouseClick(caption, Qt::LeftButton, {}, QPoint(3, 3)); }
    void ClickRow(int row);
    // Block requests logged so far, to count those of one step from.
    int BlockMark() const { return static_cast<int>(sim_->Requests(MSG_BLOCK).size()); }
    // Requests of one op after the mark, each counted once however often it
    // was resent (a finish is not answered, so the engine resends it).
    int BlockRequests(uint8_t op, int mark) const;
    int Commits() const;
    // The image apsim committed last.
    ConfigImage Committed() const;
    // The committed image equals `expected` in every byte but the checksum,
    // which is the image's own CRC.
    void ExpectCommitted(const ConfigImage& expected);

    std::vector<Mac> entries_;  // the device's MAC table as the steps leave it
};

QStringList SecurityTest::SimOptions() const {
    return {QStringLiteral("--seed"), QStringLiteral("21"), QStringLiteral("--password"),
            QString::fromLatin1(kPassword)};
}

QByteArray SecurityTest::SimState() const {
    QByteArray text =
        "0 name Office\n* wep off\n* default-key 1\n"
        "* key 0 00112233445566778899aabbcc\n* key 1 a1b2c3d4e5\n"
        "* key 2 0f1e2d3c4b5a69788796a5b4c3\n* key 3 fedcba9876\n* mac-access off\n* mac-entries";
    for (const Mac& mac : kDeviceEntries) text += ' ' + MacText(mac, false).toLatin1();
    return text + '\n';
}

namespace {

// What the device holds after the applies of other steps, as state lines.
// The 64-bit key of sixtyFourBitKeyGoesIntoTheSelectedSlotOnly:
const QByteArray kKey3Stored = "0 wep 64\n0 default-key 2\n0 key 2 a1b2c3d4e5\n";
// The ASCII key of wrongLengthIsRefusedAndThirteenCharactersAreAscii:
const QByteArray kAsciiKey2Stored = "0 wep 128\n0 default-key 1\n0 key 1 30313233343536373839616263\n";

// A full table with control on, as macTableEditsAreWrittenInListOrder leaves it.
QByteArray FullMacTableStored() {
    QByteArray text = "0 mac-access on\n0 mac-entries";
    for (const Mac& mac : kDeviceEntries) text += ' ' + MacText(mac, false).toLatin1();
    for (uint8_t n = 0; n < 32 - kDeviceEntries.size(); ++n) {
        text += ' ' + MacText(Mac{0x02, 0x11, 0x22, 0x33, 0x44, n}, false).toLatin1();
    }
    return text + '\n';
}

}  // namespace

void SecurityTest::FirstBrowseDone() {
    QCOMPARE(form_->accessPointCount, 1);
    entries_ = kDeviceEntries;
}

bool SecurityTest::Login() {
    if (form_->LIAPP_Timer->isActive() || form_->browsing) {
        QSignalSpy finished(form_.get(), &TForm1::BrowseFinished);
        if (!finished.wait(20000)) return false;
    }
    if (form_->accessPointCount != 1) return false;
    form_->ComboBox1->setCurrentIndex(0);
    form_->Edit1->setText(QString::fromLatin1(kPassword));
    form_->BitBtn5->click();
    return !form_->Panel2->isHidden();
}

bool SecurityTest::StoreAsciiKeyInRow2ThenWepOff() {
    const int commits = Commits();
    if (!Login()) return false;
    Enter();
    form_->RadioButton4->click();  // 128-bit
    form_->RadioButton6->click();  // key 2
    const QStringList chars13{"01234", "56789", "abc", "", "", ""};
    for (int s = 0; s < 6; ++s) Type(form_->MaskEdit[static_cast<size_t>(6 + s)], chars13[s]);
    form_->BitBtn19->click();
    if (!Login()) return false;
    Enter();
    form_->RadioButton9->click();  // WEP off
    form_->BitBtn19->click();
    return Commits() == commits + 2;
}

void SecurityTest::Enter() {
    form_->BitBtn2->click();
    QVERIFY(!form_->Panel4->isHidden());
    form_->BitBtn9->click();
    QVERIFY(!form_->Panel8->isHidden());
}

void SecurityTest::Type(QLineEdit* field, const QString& text) {
    field->setFocus();
    field->clear();
    field->setCursorPosition(0);
    QTest::keyClicks(field, text);
}

void SecurityTest::ClickRow(int row) {
    QTreeWidgetItem* item = form_->ListView3->topLevelItem(row);
    QVERIFY(item != nullptr);
    const QRect rect = form_->ListView3->visualItemRect(item);
    QTest::mouseClick(form_->ListView3->viewport(), Qt::LeftButton, {}, rect.center());
}

int SecurityTest::BlockRequests(uint8_t op, int mark) const {
    const QList<QJsonObject> blocks = sim_->Requests(MSG_BLOCK);
    QSet<int> sequences;
    for (qsizetype i = mark; i < blocks.size(); ++i) {
        if (blocks[i].value(QStringLiteral("op")).toInt(-1) == op) {
            sequences.insert(blocks[i].value(QStringLiteral("seq")).toInt());
        }
    }
    return static_cast<int>(sequences.size());
}

int SecurityTest::Commits() const { return sim_->Commits(true); }

ConfigImage SecurityTest::Committed() const {
    ConfigImage image{};
    const QStringList files = QDir(dumps_).entryList({QStringLiteral("*.bin")}, QDir::Files);
    if (files.size() != 1) return image;
    QFile file(QDir(dumps_).filePath(files.first()));
    if (!file.open(QIODevice::ReadOnly)) return image;
    const QByteArray bytes = file.readAll();
    if (bytes.size() != static_cast<qsizetype>(image.size())) return image;
    std::copy(bytes.begin(), bytes.end(), image.begin());
    return image;
}

void SecurityTest::ExpectCommitted(const ConfigImage& expected) {
    const ConfigImage committed = Committed();
    for (size_t i = 0; i < kCrcAt; ++i) {
        if (committed[i] != expected[i]) {
            QFAIL(qPrintable(
                QStringLiteral("byte %1: committed %2, expected %3").arg(i).arg(committed[i]).arg(expected[i])));
        }
    }
    QCOMPARE(StoredCrc(committed), DeviceCrc(committed));
}

void SecurityTest::entryShowsTheDeviceSettings() {
    QVERIFY(Login());
    Enter();
    for (QWidget* b : {form_->BitBtn1, form_->BitBtn2, form_->BitBtn3}) QVERIFY(!b->isEnabled());
    QCOMPARE(form_->BitBtn2->StripFile(), QStringLiteral("security_down_yellow.bmp"));
    QCOMPARE(form_->BitBtn2->FaceCount(), 3);
    QVERIFY(!form_->GroupBox1->isHidden());
    QVERIFY(form_->GroupBox2->isHidden());
    QVERIFY(form_->RadioButton9->isChecked());   // stored WEP off
    QVERIFY(form_->RadioButton6->isChecked());   // default key 1
    QVERIFY(form_->RadioButton11->isChecked());  // keys shown in hex
    QCOMPARE(form_->MaskEdit[6]->text() + form_->MaskEdit[7]->text(), QStringLiteral("a1b2c3d4e5"));

    // The table as stored: lower case, numbered, greyed while control is off.
    QVERIFY(!form_->CheckBox3->isChecked());
    QCOMPARE(form_->ListView3->topLevelItemCount(), static_cast<int>(kDeviceEntries.size()));
    for (int i = 0; i < form_->ListView3->topLevelItemCount(); ++i) {
        QCOMPARE(form_->ListView3->topLevelItem(i)->text(0), QString::number(i + 1));
        QCOMPARE(form_->ListView3->topLevelItem(i)->text(1), MacText(kDeviceEntries[static_cast<size_t>(i)], false));
    }
    QCOMPARE(form_->ListView3->headerItem()->text(0), QStringLiteral("mac_acc_no text"));
    QCOMPARE(form_->ListView3->headerItem()->text(1), QStringLiteral("mac_acc_addr text"));
    for (QWidget* w : {static_cast<QWidget*>(form_->MaskEdit28), static_cast<QWidget*>(form_->ListView3),
                       static_cast<QWidget*>(form_->BitBtn15), static_cast<QWidget*>(form_->BitBtn16),
                       static_cast<QWidget*>(form_->BitBtn17)}) {
        QVERIFY(!w->isEnabled());
    }
}

void SecurityTest::tabGuardHoldsBothWaysUntilCancel() {
    QVERIFY(Login());
    Enter();
    const int messagesBefore = messages_->texts.size();
    // A WEP change keeps the user on the WEP tab.
    form_->RadioButton1->click();
    Type(form_->MaskEdit[0], QStringLiteral("12345"));
    ClickCaption(form_->Label37);
    QCOMPARE(messages_->texts.size(), messagesBefore + 1);
    QCOMPARE(messages_->texts.last(), QStringLiteral("warning_msg text"));
    QVERIFY(!form_->GroupBox1->isHidden());
    QVERIFY(form_->GroupBox2->isHidden());

    // Cancel: back to the status page, nothing written.
    const int commits = Commits();
    form_->BitBtn18->click();
    QVERIFY(form_->Panel8->isHidden());
    QVERIFY(!form_->Panel4->isHidden());
    for (QWidget* b : {form_->BitBtn1, form_->BitBtn2, form_->BitBtn3}) QVERIFY(b->isEnabled());
    QCOMPARE(form_->BitBtn2->StripFile(), QStringLiteral("security.bmp"));
    QCOMPARE(form_->BitBtn2->FaceCount(), 4);

    // Re-entry shows the device's settings again; the switch now works.
    form_->BitBtn9->click();
    QVERIFY(form_->RadioButton9->isChecked());
    ClickCaption(form_->Label37);
    QCOMPARE(messages_->texts.size(), messagesBefore + 1);
    QVERIFY(form_->GroupBox1->isHidden());
    QVERIFY(!form_->GroupBox2->isHidden());
    QCOMPARE(form_->Label37->palette().color(QPalette::WindowText), QColor(Qt::blue));
    QCOMPARE(form_->Label35->palette().color(QPalette::WindowText), QColor(Qt::black));

    // A MAC change keeps the user on the MAC access tab.
    form_->CheckBox3->click();
    QVERIFY(form_->MaskEdit28->isEnabled());
    // The window's focus (the message dialog may hold the activation).
    QCOMPARE(form_->focusWidget(), form_->MaskEdit28);
    Type(form_->MaskEdit28, QStringLiteral("020000000001"));
    form_->BitBtn15->click();
    QCOMPARE(form_->ListView3->topLevelItemCount(), static_cast<int>(kDeviceEntries.size()) + 1);
    ClickCaption(form_->Label35);
    QCOMPARE(messages_->texts.size(), messagesBefore + 2);
    QCOMPARE(messages_->texts.last(), QStringLiteral("warning_msg text"));
    QVERIFY(!form_->GroupBox2->isHidden());

    // Cancel puts the table back as stored and the next entry opens on WEP.
    form_->BitBtn18->click();
    QCOMPARE(form_->ListView3->topLevelItemCount(), static_cast<int>(kDeviceEntries.size()));
    QVERIFY(!form_->CheckBox3->isChecked());
    QVERIFY(!form_->ListView3->isEnabled());
    QCOMPARE(form_->MaskEdit28->displayText(), QStringLiteral("  :  :  :  :  :  "));
    form_->BitBtn9->click();
    QVERIFY(!form_->GroupBox1->isHidden());
    QVERIFY(form_->GroupBox2->isHidden());
    QCOMPARE(form_->Label35->palette().color(QPalette::WindowText), QColor(Qt::blue));
    QCOMPARE(form_->Label37->palette().color(QPalette::WindowText), QColor(Qt::black));
    QCOMPARE(Commits(), commits);
    QVERIFY(configImage == form_->imageSnapshot);
}

void SecurityTest::untouchedApplySendsOnlyTheFinish() {
    // Stored: WEP off, MAC control off; the page is as entered.
    QVERIFY(Login());
    Enter();
    const int mark = BlockMark();
    const int commits = Commits();
    const int messages = messages_->texts.size();
    form_->BitBtn19->click();

    QCOMPARE(BlockRequests(BLOCK_OP_WRITE, mark), 0);
    QCOMPARE(Commits(), commits);
    QCOMPARE(BlockRequests(BLOCK_OP_FINISH, mark), 8);
    QCOMPARE(messages_->texts.size(), messages);
    QVERIFY(!form_->Panel1->isHidden());
    QVERIFY(form_->Panel8->isHidden());
    for (QWidget* b : {form_->BitBtn1, form_->BitBtn2, form_->BitBtn3}) QVERIFY(!b->isEnabled());
    QCOMPARE(form_->BitBtn2->StripFile(), QStringLiteral("security.bmp"));
    QCOMPARE(form_->BitBtn2->FaceCount(), 4);
    QVERIFY(form_->LIAPP_Timer->isActive());  // the device is browsed for again
}

void SecurityTest::sixtyFourBitKeyGoesIntoTheSelectedSlotOnly() {
    QVERIFY(Login());
    Enter();
    const ConfigImage before = form_->imageSnapshot;
    const int commits = Commits();

    form_->RadioButton1->click();  // 64-bit
    form_->RadioButton7->click();  // key 3
    Type(form_->MaskEdit[12], QStringLiteral("a1B2c"));
    Type(form_->MaskEdit[13], QStringLiteral("3d4E5"));
    // Another row's segments are edited too, and must not be stored.
    Type(form_->MaskEdit[0], QStringLiteral("99999"));
    form_->BitBtn19->click();
    QCOMPARE(Commits(), commits + 1);

    ConfigImage expected = before;
    expected[kWepModeAt] = 1;
    expected[kWepEnabledAt] = 1;
    expected[kDefaultKeyAt] = 2;
    const uint8_t key[5] = {0xa1, 0xb2, 0xc3, 0xd4, 0xe5};
    for (size_t i = 0; i < 3; ++i) expected[KeySlotAt(2) + i] = 0;
    for (size_t i = 0; i < 5; ++i) expected[KeySlotAt(2) + 3 + i] = key[i];
    for (size_t i = 8; i < 11; ++i) expected[KeySlotAt(2) + i] = 0;
    ExpectCommitted(expected);
}

void SecurityTest::wrongLengthIsRefusedAndThirteenCharactersAreAscii() {
    QVERIFY2(RestartSimWith(kKey3Stored), qPrintable(sim_->Failure()));
    QVERIFY(Login());
    Enter();
    QVERIFY(form_->RadioButton1->isChecked());  // what the device holds
    QVERIFY(form_->RadioButton7->isChecked());
    const ConfigImage before = form_->imageSnapshot;

    form_->RadioButton4->click();  // 128-bit
    form_->RadioButton6->click();  // key 2
    const QStringList digits25{"01234", "56789", "abcd", "ef01", "2345", "678"};
    for (int s = 0; s < 6; ++s) Type(form_->MaskEdit[static_cast<size_t>(6 + s)], digits25[s]);
    const int mark = BlockMark();
    form_->BitBtn19->click();
    QCOMPARE(messages_->texts.last(), QStringLiteral("invalid_wep text"));
    QVERIFY(!form_->Panel8->isHidden());
    QCOMPARE(form_->MaskEdit[11]->text(), QStringLiteral("678"));
    QCOMPARE(BlockMark(), mark);  // nothing at all went to the device
    QVERIFY(configImage == before);

    // Thirteen characters typed in Hex form make an ASCII key.
    const QStringList chars13{"01234", "56789", "abc", "", "", ""};
    for (int s = 0; s < 6; ++s) Type(form_->MaskEdit[static_cast<size_t>(6 + s)], chars13[s]);
    const int commits = Commits();
    form_->BitBtn19->click();
    QCOMPARE(Commits(), commits + 1);

    ConfigImage expected = before;
    expected[kWepModeAt] = 2;
    expected[kWepEnabledAt] = 1;
    expected[kDefaultKeyAt] = 1;
    const QByteArray codes("0123456789abc");
    for (size_t i = 0; i < 3; ++i) expected[KeySlotAt(1) + i] = 0;
    for (size_t i = 0; i < 13; ++i) {
        expected[KeySlotAt(1) + 3 + i] = static_cast<uint8_t>(codes[static_cast<qsizetype>(i)]);
    }
    for (size_t i = 16; i < 19; ++i) expected[KeySlotAt(1) + i] = 0;
    ExpectCommitted(expected);
}

void SecurityTest::disableWritesOnlyTheStatePair() {
    QVERIFY2(RestartSimWith(kAsciiKey2Stored), qPrintable(sim_->Failure()));
    QVERIFY(Login());
    Enter();
    QVERIFY(form_->RadioButton4->isChecked());
    const ConfigImage before = form_->imageSnapshot;
    form_->RadioButton9->click();
    for (QLineEdit* segment : form_->MaskEdit) QVERIFY(!segment->isEnabled());
    const int commits = Commits();
    form_->BitBtn19->click();
    QCOMPARE(Commits(), commits + 1);

    ConfigImage expected = before;
    expected[kWepModeAt] = 0;
    expected[kWepEnabledAt] = 0;
    ExpectCommitted(expected);
}

void SecurityTest::macTableEditsAreWrittenInListOrder() {
    QVERIFY(Login());
    Enter();
    const ConfigImage before = form_->imageSnapshot;
    ClickCaption(form_->Label37);
    QVERIFY(!form_->GroupBox2->isHidden());
    form_->CheckBox3->click();
    QVERIFY(form_->ListView3->isEnabled());
    const int messages = messages_->texts.size();
    auto rows = [this] { return form_->ListView3->topLevelItemCount(); };

    // Typed in lower case, listed in upper case.
    Type(form_->MaskEdit28, QStringLiteral("0a1b2c3d4e5f"));
    QCOMPARE(form_->MaskEdit28->displayText(), QStringLiteral("0a:1b:2c:3d:4e:5f"));
    form_->BitBtn15->click();
    QCOMPARE(rows(), 6);
    QCOMPARE(form_->ListView3->topLevelItem(5)->text(0), QStringLiteral("6"));
    QCOMPARE(form_->ListView3->topLevelItem(5)->text(1), QStringLiteral("0A:1B:2C:3D:4E:5F"));
    entries_.push_back({0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f});

    // The same address again, in either case, and a device row retyped in
    // upper case: nothing changes, nothing is shown.
    for (const QString& again :
         {QStringLiteral("0a1b2c3d4e5f"), QStringLiteral("0A1B2C3D4E5F"), QStringLiteral("004096AABB03")}) {
        Type(form_->MaskEdit28, again);
        form_->BitBtn15->click();
        QCOMPARE(rows(), 6);
    }
    QCOMPARE(messages_->texts.size(), messages);

    // A group address, an incomplete one and characters outside the digits.
    Type(form_->MaskEdit28, QStringLiteral("01005e000001"));
    form_->BitBtn15->click();
    QCOMPARE(messages_->texts.last(), QStringLiteral("mac_error text"));
    QCOMPARE(form_->MaskEdit28->displayText(), QStringLiteral("01:00:5e:00:00:01"));
    QCOMPARE(form_->MaskEdit28->selectedText(), form_->MaskEdit28->displayText());
    QCOMPARE(form_->focusWidget(), form_->MaskEdit28);
    Type(form_->MaskEdit28, QStringLiteral("02xyz000000000"));  // the letters are refused: 11 digits
    QCOMPARE(form_->MaskEdit28->displayText(), QStringLiteral("02:00:00:00:00:0 "));
    form_->BitBtn15->click();
    QCOMPARE(messages_->texts.size(), messages + 2);
    QCOMPARE(messages_->texts.last(), QStringLiteral("mac_error text"));
    QCOMPARE(rows(), 6);

    // Row click copies the address; modify replaces the selected row.
    ClickRow(1);
    QCOMPARE(form_->MaskEdit28->displayText(), MacText(kDeviceEntries[1], false));
    Type(form_->MaskEdit28, QStringLiteral("02aa00000002"));
    form_->BitBtn16->click();
    QCOMPARE(form_->ListView3->topLevelItem(1)->text(0), QStringLiteral("2"));
    QCOMPARE(form_->ListView3->topLevelItem(1)->text(1), QStringLiteral("02:AA:00:00:00:02"));
    entries_[1] = {0x02, 0xaa, 0x00, 0x00, 0x00, 0x02};

    // Remove row 3: the rows after it move up and are renumbered, the field is cleared.
    ClickRow(2);
    form_->BitBtn17->click();
    QCOMPARE(rows(), 5);
    entries_.erase(entries_.begin() + 2);
    for (int i = 0; i < rows(); ++i) {
        QCOMPARE(form_->ListView3->topLevelItem(i)->text(0), QString::number(i + 1));
        QCOMPARE(form_->ListView3->topLevelItem(i)->text(1).toLower(),
                 MacText(entries_[static_cast<size_t>(i)], false));
    }
    QCOMPARE(form_->MaskEdit28->displayText(), QStringLiteral("  :  :  :  :  :  "));

    // Up to 32 rows; the 33rd is refused, even one already listed.
    for (uint8_t n = 0; rows() < 32; ++n) {
        const Mac mac{0x02, 0x11, 0x22, 0x33, 0x44, n};
        form_->MaskEdit28->setText(MacText(mac, false));
        form_->BitBtn15->click();
        entries_.push_back(mac);
    }
    QCOMPARE(messages_->texts.size(), messages + 2);
    for (const QString& more : {QStringLiteral("02:99:99:99:99:99"), MacText(entries_.front(), true)}) {
        form_->MaskEdit28->setText(more);
        form_->BitBtn15->click();
        QCOMPARE(messages_->texts.last(), QStringLiteral("mac_limit text"));
        QCOMPARE(rows(), 32);
    }

    const int commits = Commits();
    form_->BitBtn19->click();
    QCOMPARE(Commits(), commits + 1);
    ConfigImage expected = before;
    expected[kMacEnabledAt] = 1;
    expected[kMacCountAt] = 32;
    for (size_t i = 0; i < entries_.size(); ++i) {
        const auto at = static_cast<std::ptrdiff_t>(kMacTableAt + 6 * i);
        std::copy(entries_[i].begin(), entries_[i].end(), expected.begin() + at);
    }
    ExpectCommitted(expected);
}

void SecurityTest::switchingMacControlOffWritesOnlyTheEnableByte() {
    QVERIFY2(RestartSimWith(FullMacTableStored()), qPrintable(sim_->Failure()));
    QVERIFY(Login());
    Enter();
    const ConfigImage before = form_->imageSnapshot;
    ClickCaption(form_->Label37);
    QVERIFY(form_->CheckBox3->isChecked());
    QCOMPARE(form_->ListView3->topLevelItemCount(), 32);
    form_->CheckBox3->click();
    // Greyed, with the rows kept.
    QVERIFY(!form_->MaskEdit28->isEnabled());
    QVERIFY(!form_->ListView3->isEnabled());
    QVERIFY(!form_->BitBtn15->isEnabled());
    QCOMPARE(form_->ListView3->topLevelItemCount(), 32);
    const int commits = Commits();
    form_->BitBtn19->click();
    QCOMPARE(Commits(), commits + 1);

    ConfigImage expected = before;
    expected[kMacEnabledAt] = 0;
    ExpectCommitted(expected);
}

void SecurityTest::failedWriteIsReportedBeforeTheLoginPage() {
    QVERIFY(Login());
    QCOMPARE(sim_->Command(QStringLiteral("fault refuse-write-chunk 3")), QStringLiteral("ok fault"));
    struct Reset {
        ApSim& sim;
        ~Reset() { sim.Command(QStringLiteral("fault refuse-write-chunk off")); }
    } reset{*sim_};
    Enter();
    form_->RadioButton1->click();
    const int commits = Commits();
    const int mark = BlockMark();
    bool loginPageUnderMessage = true;
    connect(
        messageForm_.get(), &TMessageForm::Showing, this, [&] { loginPageUnderMessage = !form_->Panel1->isHidden(); },
        Qt::SingleShotConnection);
    form_->BitBtn19->click();

    QCOMPARE(messages_->texts.last(), QStringLiteral("write_fail text"));
    QVERIFY(!loginPageUnderMessage);  // told before the window goes back
    QCOMPARE(Commits(), commits);
    QCOMPARE(BlockRequests(BLOCK_OP_WRITE, mark), 4);  // chunks 0 to 3, the last one refused
    QCOMPARE(BlockRequests(BLOCK_OP_FINISH, mark), 8);
    QVERIFY(!form_->Panel1->isHidden());
    QCOMPARE(form_->BitBtn2->StripFile(), QStringLiteral("security.bmp"));
}

void SecurityTest::secondApplyInsideTheWaitIsIgnored() {
    QVERIFY(StoreAsciiKeyInRow2ThenWepOff());
    QVERIFY(Login());
    Enter();
    const ConfigImage before = form_->imageSnapshot;
    const ScopedDelay delay(*sim_, 150, QStringLiteral("block"));
    QVERIFY2(delay.ok, qPrintable(delay.failure));

    form_->RadioButton4->click();  // 128-bit, with the shown key of row 2
    const int mark = BlockMark();
    const int commits = Commits();
    const int messages = messages_->texts.size();
    bool probed = false;
    bool applying = false;
    bool pageEnabled = true;
    QTimer::singleShot(300, this, [&] {
        probed = true;
        applying = form_->ApplyingSecurity() && TUInterface::Waiting();
        pageEnabled = form_->Panel8->isEnabled();
        form_->BitBtn19Click();
        form_->BitBtn19->click();
    });
    form_->BitBtn19->click();

    QVERIFY(probed);
    QVERIFY(applying);
    QVERIFY(!pageEnabled);
    QCOMPARE(BlockRequests(BLOCK_OP_WRITE, mark), 8);  // one image, 8 chunks
    QCOMPARE(BlockRequests(BLOCK_OP_COMMIT, mark), 1);
    QCOMPARE(Commits(), commits + 1);
    QCOMPARE(BlockRequests(BLOCK_OP_FINISH, mark), 8);
    QCOMPARE(messages_->texts.size(), messages);  // no second apply failed on the busy engine
    QVERIFY(!form_->ApplyingSecurity());

    ConfigImage expected = before;
    expected[kWepModeAt] = 2;
    expected[kWepEnabledAt] = 1;
    ExpectCommitted(expected);
}

APUTIL_WINDOW_TEST_MAIN(SecurityTest)

#include "ui_security_test.moc"
