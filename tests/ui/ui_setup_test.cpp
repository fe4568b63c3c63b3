// The status pages and the basic setup page against simulated access points
// (apsim) on one veth pair: what the pages show after login, cancel, the
// checks of apply, what an apply commits, an apply that changes nothing, a
// refused write, and a second apply, a cancel or another AP chosen while the first waits.
// Each step starts on a new window, with the simulator as it started.

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest/QtTest>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "app/gui/image_button.h"
#include "app/gui/message_form.h"
#include "app/gui/uinterface.h"
#include "image/image.h"
#include "protocol/engine.h"
#include "protocol/frame.h"
#include "tests/ui/sim_window_test.h"
#include "tests/ui/ui_support.h"
#include "transport/adapter.h"
#include "ui/form1.h"
#include "ui/widgets.h"

using namespace aputil;
using namespace aputil::test;

namespace {

constexpr const char* kPassword = "pw-setup";

// Image offsets of the basic settings that the shared set does not name.
constexpr size_t kNameAt = 472;
constexpr size_t kPasswordAt = 552;
constexpr size_t kChannelAt = 1068;

QByteArray SetupCatalogue() {
    return TestCatalogue({"PASSWORD_MISMATCH", "IP_ERROR", "MASK_ERROR", "GW_ERROR", "DISABLED", "WEP_64", "WEP_128",
                          "MAC_ACC_NO", "MAC_ACC_ADDR", "WRITE_FAIL", "TEXT_NOT_STORABLE"});
}

// What a person leaves in a masked address field: each group in its three
// places.
void TypeAddress(QLineEdit* field, const QString& dotted) {
    QStringList groups = dotted.split(QLatin1Char('.'));
    for (QString& g : groups) g = g.rightJustified(3, QLatin1Char(' '));
    field->setText(groups.join(QLatin1Char('.')));
}

// Types each character as a key press carrying it, as a keyboard with those
// keys would (QTest's own clicks take Latin-1 letters only).
void TypeText(QWidget* field, const QString& text) {
    for (const QChar c : text) {
        const int key = c.toUpper().unicode();
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, QString(c));
        QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, QString(c));
        QApplication::sendEvent(field, &press);
        QApplication::sendEvent(field, &release);
    }
}

QString AddressOf(const QLineEdit* field) { return field->displayText().remove(QLatin1Char(' ')); }

}  // namespace

class SetupTest : public SimWindowTest {
    Q_OBJECT

private slots:
    void statusAndSetupPagesShowTheDevice_data();
    void statusAndSetupPagesShowTheDevice();
    void fieldsTakeNoMoreThanTheImageHolds();
    void cancelRestoresEveryFieldAndTheButtonImage();
    void failedChecksShowTheirMessageAndSendNothing();
    void applyWithoutChangesSendsOnlyTheFinish();
    void applyCommitsExactlyTheEditedFields();
    void channelOutsideTheMaskIsKept();
    void refusedWriteIsReportedBeforeTheLoginPage();
    void applyAndCancelDoNothingWhileAnApplyWaits();

private:
    QByteArray Catalogue() const override { return SetupCatalogue(); }
    QStringList SimOptions() const override;
    QByteArray SimState() const override;
    void SimStarted() override { QCOMPARE(sim_->aps.size(), 3); }
    void FirstBrowseDone() override { QCOMPARE(form_->accessPointCount, 3); }

    bool Login(int ap);
    bool OpenSetup(int ap);
    // Presses apply; returns how long the press took, and waits for the
    // browse that the return to the login page starts.
    qint64 ApplyAndWaitForBrowse(qint64* toBrowse = nullptr);
    std::optional<ConfigImage> Dump(int ap) const;
    // Block requests logged so far with the given op code.
    QList<QJsonObject> BlockOps(int op) const;
    int CommitLines() const;
};

QStringList SetupTest::SimOptions() const {
    return {QStringLiteral("--count"), QStringLiteral("3"),          QStringLiteral("--seed"),
            QStringLiteral("21"),      QStringLiteral("--password"), QString::fromLatin1(kPassword)};
}

QByteArray SetupTest::SimState() const {
    return "0 name Lobby\n0 ssid LobbyNet\n0 channel 6\n0 channel-mask 0x3fff\n"
           "0 ip 192.168.10.2\n0 mask 255.255.255.0\n0 gateway 192.168.10.1\n0 wep 64\n"
           "0 mac-access on\n0 mac-entries 00:11:22:33:44:55 00:11:22:33:44:56 0a:0b:0c:0d:0e:ff\n"
           "1 name Warehouse\xe9\n1 ssid StoreNet\n1 channel 11\n1 channel-mask 0x0600\n"
           "1 ip 10.0.0.9\n1 mask 255.0.0.0\n1 gateway 10.0.0.1\n1 wep 128\n"
           "1 mac-access off\n1 mac-entries 00:aa:bb:cc:dd:01 00:aa:bb:cc:dd:02\n"
           "2 name Roof\n2 ssid RoofNet\n2 channel 5\n2 channel-mask 0x0600\n"
           "2 ip 172.16.0.5\n2 mask 255.255.0.0\n2 gateway 0.0.0.0\n2 wep off\n"
           "2 mac-access off\n2 mac-entries\n"
           "* firmware-version 3.1.4\n* firmware-date 2002/07/30\n";
}

bool SetupTest::Login(int ap) {
    const int index = IndexOfAp(*form_, sim_->aps[ap].mac);
    if (index < 0) return false;
    form_->ComboBox1->setCurrentIndex(index);
    emit form_->ComboBox1->activated(index);  // back on the login page when another AP was in use
    form_->Edit1->setText(QString::fromLatin1(kPassword));
    form_->BitBtn5->click();
    return !form_->Panel2->isHidden();
}

bool SetupTest::OpenSetup(int ap) {
    if (!Login(ap)) return false;
    form_->BitBtn7->click();
    return !form_->Panel3->isHidden();
}

qint64 SetupTest::ApplyAndWaitForBrowse(qint64* toBrowse) {
    QSignalSpy started(form_.get(), &TForm1::BrowseStarted);
    QSignalSpy finished(form_.get(), &TForm1::BrowseFinished);
    QElapsedTimer clock;
    clock.start();
    form_->BitBtn8->click();
    const qint64 pressed = clock.elapsed();
    if (!started.wait(15000) && started.isEmpty()) return -1;
    if (toBrowse != nullptr) *toBrowse = clock.elapsed();
    if (finished.isEmpty() && !finished.wait(20000)) return -1;
    return pressed;
}

std::optional<ConfigImage> SetupTest::Dump(int ap) const { return ReadDump(dumps_, sim_->aps[ap].mac); }

QList<QJsonObject> SetupTest::BlockOps(int op) const {
    QList<QJsonObject> out;
    for (const QJsonObject& o : sim_->Requests(MSG_BLOCK)) {
        if (o.value(QStringLiteral("op")).toInt(-1) == op) out.push_back(o);
    }
    return out;
}

int SetupTest::CommitLines() const { return sim_->Commits(false); }

void SetupTest::statusAndSetupPagesShowTheDevice_data() {
    QTest::addColumn<int>("ap");
    QTest::addColumn<QStringList>("info");  // name, SSID, channel, IP, mask, gateway
    QTest::addColumn<QString>("encryption");
    QTest::addColumn<QStringList>("macs");
    QTest::addColumn<bool>("macOn");
    QTest::addColumn<QStringList>("channels");
    QTest::addColumn<int>("selected");

    QStringList all;
    for (int c = 1; c <= 14; ++c) all << QStringLiteral("CH%1").arg(c, 2, 10, QLatin1Char('0'));
    QTest::newRow("64-bit, table on, every channel")
        << 0 << QStringList{"Lobby", "LobbyNet", "6", "192.168.10.2", "255.255.255.0", "192.168.10.1"} << "wep_64 text"
        << QStringList{"00:11:22:33:44:55", "00:11:22:33:44:56", "0a:0b:0c:0d:0e:ff"} << true << all << 5;
    QTest::newRow("128-bit, table off with entries, channels 10 and 11")
        << 1 << QStringList{QStringLiteral("Warehouse\u00e9"), "StoreNet", "11", "10.0.0.9", "255.0.0.0", "10.0.0.1"}
        << "wep_128 text" << QStringList{"00:aa:bb:cc:dd:01", "00:aa:bb:cc:dd:02"} << false
        << QStringList{"CH10", "CH11"} << 1;
    QTest::newRow("WEP off, empty table, channel not allowed")
        << 2 << QStringList{"Roof", "RoofNet", "5", "172.16.0.5", "255.255.0.0", "0.0.0.0"} << "disabled text"
        << QStringList{} << false << QStringList{"CH10", "CH11"} << -1;
}

void SetupTest::statusAndSetupPagesShowTheDevice() {
    QFETCH(int, ap);
    QFETCH(QStringList, info);
    QFETCH(QString, encryption);
    QFETCH(QStringList, macs);
    QFETCH(bool, macOn);
    QFETCH(QStringList, channels);
    QFETCH(int, selected);

    QVERIFY(Login(ap));
    const QLabel* infoLabels[] = {form_->Label19, form_->Label3,  form_->Label23,
                                  form_->Label24, form_->Label49, form_->Label50};
    for (int i = 0; i < 6; ++i) QCOMPARE(infoLabels[i]->text(), info[i]);

    // Security status page.
    form_->BitBtn2->click();
    QVERIFY(!form_->Panel4->isHidden());
    QCOMPARE(form_->Label25->text(), encryption);
    QTreeWidget* list = form_->ListView1;
    QCOMPARE(list->columnCount(), 2);
    QCOMPARE(list->headerItem()->text(0), QStringLiteral("mac_acc_no text"));
    QCOMPARE(list->headerItem()->text(1), QStringLiteral("mac_acc_addr text"));
    QVERIFY(!list->header()->isHidden());
    const int client = list->contentsRect().width();
    QCOMPARE(list->columnWidth(0), client / 5);
    QCOMPARE(list->columnWidth(1), client * 4 / 5);
    QCOMPARE(list->topLevelItemCount(), static_cast<int>(macs.size()));
    for (int i = 0; i < macs.size(); ++i) {
        QCOMPARE(list->topLevelItem(i)->text(0), QString::number(i + 1));
        QCOMPARE(list->topLevelItem(i)->text(1), macs[i]);
    }
    QCOMPARE(list->isEnabled(), macOn);
    // Window colour when in force, menu colour when not.
    const QPalette system = QGuiApplication::palette();
    const QColor window = system.color(QPalette::Active, QPalette::Base);
    const QColor menu = system.color(QPalette::Active, QPalette::Window);
    QVERIFY(window != menu);
    QCOMPARE(list->palette().color(QPalette::Base), macOn ? window : menu);

    // About page.
    form_->BitBtn3->click();
    QVERIFY(!form_->Panel6->isHidden());
    QCOMPARE(form_->Label30->text(), QStringLiteral("3.1.4"));
    QCOMPARE(form_->Label31->text(), QStringLiteral("2002/07/30"));
    QCOMPARE(form_->Label27->text(), QStringLiteral("1.8.1"));
    QCOMPARE(form_->Label28->text(), QStringLiteral("08/28/2002"));

    // The setup page's fields, filled at the same login.
    QStringList items;
    for (int i = 0; i < form_->ComboBox2->count(); ++i) items << form_->ComboBox2->itemText(i);
    QCOMPARE(items, channels);
    QCOMPARE(form_->ComboBox2->currentIndex(), selected);
    QCOMPARE(form_->Edit5->text(), info[0]);
    QCOMPARE(form_->Edit2->text(), info[1]);
    QCOMPARE(AddressOf(form_->MaskEdit25), info[3]);
    QCOMPARE(AddressOf(form_->MaskEdit26), info[4]);
    QCOMPARE(AddressOf(form_->MaskEdit27), info[5]);
    form_->BitBtn1->click();
    QVERIFY(!form_->Panel2->isHidden());
}

void SetupTest::fieldsTakeNoMoreThanTheImageHolds() {
    QVERIFY(OpenSetup(0));
    const QString longText(100, QLatin1Char('x'));
    const struct {
        QLineEdit* field;
        int limit;
    } limits[] = {{form_->Edit5, 79}, {form_->Edit2, 32}, {form_->Edit3, 40}, {form_->Edit4, 40}};
    for (const auto& l : limits) {
        l.field->clear();
        QTest::keyClicks(l.field, longText);
        QCOMPARE(l.field->text(), QString(l.limit, QLatin1Char('x')));
    }

    // The name holds one byte per character, 8-bit ones included.
    form_->Edit5->clear();
    TypeText(form_->Edit5, QString(100, QChar(0x00e9)));
    QCOMPARE(form_->Edit5->text(), QString(79, QChar(0x00e9)));
    // A paste into the name that would not fit is cut where the field ends.
    form_->Edit5->setText(QStringLiteral("ok"));
    form_->Edit5->end(false);
    form_->Edit5->insert(QString(78, QChar(0x00e9)));
    QCOMPARE(form_->Edit5->text(), QStringLiteral("ok") + QString(77, QChar(0x00e9)));

    // SSID and password fields take printable ASCII only, typed or inserted.
    for (QLineEdit* field : {form_->Edit2, form_->Edit3, form_->Edit4}) {
        field->clear();
        TypeText(field, QStringLiteral("a\u00e9b~ c"));
        QTest::keyClick(field, Qt::Key_Return);
        field->insert(QStringLiteral("\u00fc"));
        QCOMPARE(field->text(), QStringLiteral("ab~ c"));
        QTest::keyClick(field, Qt::Key_Backspace);
        QCOMPARE(field->text(), QStringLiteral("ab~ "));
    }
    form_->BitBtn20->click();
    QVERIFY(!form_->Panel2->isHidden());
}

void SetupTest::cancelRestoresEveryFieldAndTheButtonImage() {
    QVERIFY(Login(0));
    form_->Edit3->setText(QStringLiteral("left over"));
    form_->Edit4->setText(QStringLiteral("left over"));
    const int writesBefore = static_cast<int>(sim_->Requests(MSG_BLOCK).size());

    form_->BitBtn7->click();
    QVERIFY(!form_->Panel3->isHidden());
    QVERIFY(form_->Panel2->isHidden());
    for (QWidget* b : {form_->BitBtn1, form_->BitBtn2, form_->BitBtn3}) QVERIFY(!b->isEnabled());
    QCOMPARE(form_->BitBtn1->StripFile(), QStringLiteral("info_down_yellow.bmp"));
    QCOMPARE(form_->BitBtn1->FaceCount(), 3);
    QVERIFY(form_->Edit3->text().isEmpty());
    QVERIFY(form_->Edit4->text().isEmpty());

    // Edit everything, then throw it away.
    form_->Edit5->setText(QStringLiteral("Edited name"));
    form_->Edit2->setText(QStringLiteral("EditedNet"));
    form_->ComboBox2->setCurrentIndex(0);
    TypeAddress(form_->MaskEdit25, QStringLiteral("1.2.3.4"));
    TypeAddress(form_->MaskEdit26, QStringLiteral("255.255.0.0"));
    TypeAddress(form_->MaskEdit27, QStringLiteral("1.2.0.1"));
    form_->Edit3->setText(QStringLiteral("new"));
    form_->Edit4->setText(QStringLiteral("new"));
    form_->BitBtn20->click();

    QVERIFY(form_->Panel3->isHidden());
    QVERIFY(!form_->Panel2->isHidden());
    for (QWidget* b : {form_->BitBtn1, form_->BitBtn2, form_->BitBtn3}) QVERIFY(b->isEnabled());
    QCOMPARE(form_->BitBtn1->StripFile(), QStringLiteral("info.bmp"));
    QCOMPARE(form_->BitBtn1->FaceCount(), 4);
    QCOMPARE(form_->Edit5->text(), QStringLiteral("Lobby"));
    QCOMPARE(form_->Edit2->text(), QStringLiteral("LobbyNet"));
    QCOMPARE(form_->ComboBox2->currentText(), QStringLiteral("CH06"));
    QCOMPARE(AddressOf(form_->MaskEdit25), QStringLiteral("192.168.10.2"));
    QCOMPARE(AddressOf(form_->MaskEdit26), QStringLiteral("255.255.255.0"));
    QCOMPARE(AddressOf(form_->MaskEdit27), QStringLiteral("192.168.10.1"));
    QVERIFY(form_->Edit3->text().isEmpty());
    QVERIFY(form_->Edit4->text().isEmpty());
    QCOMPARE(form_->Label19->text(), QStringLiteral("Lobby"));
    QCOMPARE(form_->Label3->text(), QStringLiteral("LobbyNet"));
    QCOMPARE(form_->Label23->text(), QStringLiteral("6"));
    QCOMPARE(form_->Label24->text(), QStringLiteral("192.168.10.2"));
    QVERIFY(configImage == form_->imageSnapshot);
    QCOMPARE(static_cast<int>(sim_->Requests(MSG_BLOCK).size()), writesBefore);
}

void SetupTest::failedChecksShowTheirMessageAndSendNothing() {
    QVERIFY(OpenSetup(0));
    const QString ip = AddressOf(form_->MaskEdit25);
    const QString mask = AddressOf(form_->MaskEdit26);
    const QString gw = AddressOf(form_->MaskEdit27);
    const struct {
        const char* what;
        QString newPassword, confirmation, ip, mask, gw, name;
        QString message;
    } cases[] = {
        {"passwords differ in one character", "secret1", "secret2", ip, mask, gw, {}, "password_mismatch text"},
        {"passwords differ in case only", "Secret", "secret", ip, mask, gw, {}, "password_mismatch text"},
        {"mismatch is checked before the IP", "a", "b", "1.2.3.256", mask, gw, {}, "password_mismatch text"},
        {"IP number above 255", {}, {}, "192.168.1.256", mask, gw, {}, "ip_error text"},
        {"IP all 255", {}, {}, "255.255.255.255", mask, gw, {}, "ip_error text"},
        {"IP left empty", {}, {}, "", mask, gw, {}, "ip_error text"},
        {"bad IP and bad mask", {}, {}, "300.1.1.1", "255.255.255.255", gw, {}, "ip_error text"},
        {"mask all 255", {}, {}, ip, "255.255.255.255", gw, {}, "mask_error text"},
        {"gateway with three numbers", {}, {}, ip, mask, "10.0.1", {}, "gw_error text"},
        {"gateway above 255", {}, {}, ip, mask, "10.0.0.999", {}, "gw_error text"},
        // A name with a character that has no byte of its own: nothing is
        // sent, so the message says why instead of claiming a failed write.
        {"name beyond Latin-1", {}, {}, ip, mask, gw, QStringLiteral("Lobby\u20ac"), "text_not_storable text"},
    };
    const int blocksBefore = static_cast<int>(sim_->Requests(MSG_BLOCK).size());
    for (const auto& c : cases) {
        form_->Edit3->setText(c.newPassword);
        form_->Edit4->setText(c.confirmation);
        TypeAddress(form_->MaskEdit25, c.ip);
        TypeAddress(form_->MaskEdit26, c.mask);
        TypeAddress(form_->MaskEdit27, c.gw);
        form_->Edit5->setText(c.name.isEmpty() ? QStringLiteral("Lobby") : c.name);
        const QString typedIp = form_->MaskEdit25->displayText();
        const int shown = messages_->texts.size();
        form_->BitBtn8->click();
        QVERIFY2(messages_->texts.size() == shown + 1, c.what);
        QVERIFY2(messages_->texts.last() == c.message,
                 qPrintable(QString::fromLatin1(c.what) + QStringLiteral(": ") + messages_->texts.last()));
        // The page stays open with the entries as typed.
        QVERIFY2(!form_->Panel3->isHidden(), c.what);
        QVERIFY2(form_->Edit3->text() == c.newPassword, c.what);
        QVERIFY2(form_->MaskEdit25->displayText() == typedIp, c.what);
        QVERIFY2(configImage == form_->imageSnapshot, c.what);
    }
    QCOMPARE(static_cast<int>(sim_->Requests(MSG_BLOCK).size()), blocksBefore);
    QVERIFY(!form_->LIAPP_Timer->isActive());
    form_->BitBtn20->click();
}

void SetupTest::applyWithoutChangesSendsOnlyTheFinish() {
    // AP 1 allows channels 10 and 11 and uses 11: an untouched list keeps it.
    // Its name ends in the 8-bit byte 0xE9, shown as its Latin-1 character:
    // an untouched field keeps the stored bytes.
    QVERIFY(OpenSetup(1));
    QVERIFY(form_->Edit5->text().endsWith(QChar(0x00e9)));
    form_->Edit4->setText(QStringLiteral("only the confirmation"));
    const int shown = messages_->texts.size();
    const int finishesBefore = static_cast<int>(BlockOps(BLOCK_OP_FINISH).size());
    const int writesBefore = static_cast<int>(BlockOps(BLOCK_OP_WRITE).size());
    const int commitsBefore = static_cast<int>(BlockOps(BLOCK_OP_COMMIT).size());

    qint64 toBrowse = -1;
    const qint64 pressed = ApplyAndWaitForBrowse(&toBrowse);
    QVERIFY(pressed >= 0);
    QCOMPARE(messages_->texts.size(), shown);
    QCOMPARE(static_cast<int>(BlockOps(BLOCK_OP_WRITE).size()), writesBefore);
    QCOMPARE(static_cast<int>(BlockOps(BLOCK_OP_COMMIT).size()), commitsBefore);
    // Eight finish requests, each with its own sequence number (each may go
    // out more than once, as nothing answers it).
    QSet<int> sequences;
    const QList<QJsonObject> finishes = BlockOps(BLOCK_OP_FINISH);
    for (qsizetype i = finishesBefore; i < finishes.size(); ++i) {
        sequences.insert(finishes[i].value(QStringLiteral("seq")).toInt());
    }
    QCOMPARE(static_cast<int>(sequences.size()), kFinishRepeats);
    QVERIFY(!Dump(1).has_value());  // nothing was committed

    // The window paused about 2 s, then went back to the login page and browsed.
    QVERIFY2(pressed >= kReturnPauseMs, qPrintable(QString::number(pressed)));
    QVERIFY2(toBrowse >= kReturnPauseMs && toBrowse < 15000, qPrintable(QString::number(toBrowse)));
    QVERIFY(!form_->Panel1->isHidden());
    QVERIFY(form_->Panel3->isHidden());
    for (QWidget* b : {form_->BitBtn1, form_->BitBtn2, form_->BitBtn3}) QVERIFY(!b->isEnabled());
    QCOMPARE(form_->BitBtn1->StripFile(), QStringLiteral("info.bmp"));
    QCOMPARE(form_->BitBtn1->FaceCount(), 4);
    QCOMPARE(form_->accessPointCount, 3);
}

void SetupTest::applyCommitsExactlyTheEditedFields() {
    QVERIFY(OpenSetup(0));
    const ConfigImage before = form_->imageSnapshot;
    const QByteArray name(79, 'N');
    const QByteArray ssid("Hall-Net 2");
    const QByteArray password("s3cret pw!");
    const QString ip = QStringLiteral("10.20.30.40");
    const QString mask = QStringLiteral("255.255.252.0");
    const QString gw = QStringLiteral("10.20.28.1");

    form_->Edit5->clear();
    QTest::keyClicks(form_->Edit5, QString::fromLatin1(name));
    form_->Edit2->clear();
    QTest::keyClicks(form_->Edit2, QString::fromLatin1(ssid));
    form_->ComboBox2->setCurrentIndex(form_->ComboBox2->findText(QStringLiteral("CH13")));
    TypeAddress(form_->MaskEdit25, ip);
    TypeAddress(form_->MaskEdit26, mask);
    TypeAddress(form_->MaskEdit27, gw);
    QTest::keyClicks(form_->Edit3, QString::fromLatin1(password));
    QTest::keyClicks(form_->Edit4, QString::fromLatin1(password));
    const int writesBefore = static_cast<int>(BlockOps(BLOCK_OP_WRITE).size());
    const int commitsBefore = CommitLines();
    const int shown = messages_->texts.size();

    QVERIFY(ApplyAndWaitForBrowse() >= kReturnPauseMs);
    QCOMPARE(messages_->texts.size(), shown);
    QCOMPARE(static_cast<int>(BlockOps(BLOCK_OP_WRITE).size()), writesBefore + 8);
    QCOMPARE(CommitLines(), commitsBefore + 1);

    ConfigImage expected = before;
    PutText(expected, kNameAt, name);
    PutText(expected, kSsidAt, ssid);
    PutText(expected, kPasswordAt, password);
    expected[kChannelAt] = 13;
    expected[kNetworkFlagAt] = 1;
    const QString addresses[] = {ip, mask, gw};
    for (size_t i = 0; i < 3; ++i) {
        PutAddress(expected, kAddressesAt + 4 * i, addresses[i]);
        PutAddress(expected, kAddressCopyAt + 4 * i, addresses[i]);
    }
    const std::optional<ConfigImage> committed = Dump(0);
    QVERIFY(committed.has_value());
    // apsim commits only an image whose checksum holds; check it here too.
    QCOMPARE(StoredCrc(*committed), DeviceCrc(*committed));
    // Apart from the checksum, the committed image is the old one with exactly these edits.
    for (size_t i = 0; i < 4; ++i) expected[kCrcAt + i] = (*committed)[kCrcAt + i];
    QVERIFY2(*committed == expected, qPrintable(FirstDifference(*committed, expected)));

    // The next login shows the new settings.
    QVERIFY(Login(0));
    QCOMPARE(form_->Label19->text(), QString::fromLatin1(name));
    QCOMPARE(form_->Label3->text(), QString::fromLatin1(ssid));
    QCOMPARE(form_->Label23->text(), QStringLiteral("13"));
    QCOMPARE(form_->Label50->text(), gw);
}

void SetupTest::channelOutsideTheMaskIsKept() {
    QVERIFY(OpenSetup(2));
    QCOMPARE(form_->ComboBox2->currentIndex(), -1);
    form_->Edit2->setText(QStringLiteral("RoofNet2"));
    QVERIFY(ApplyAndWaitForBrowse() >= 0);
    const std::optional<ConfigImage> committed = Dump(2);
    QVERIFY(committed.has_value());
    QCOMPARE(int((*committed)[kChannelAt]), 5);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(committed->data()) + kSsidAt), QByteArray("RoofNet2"));
}

void SetupTest::refusedWriteIsReportedBeforeTheLoginPage() {
    QCOMPARE(sim_->Command(QStringLiteral("fault refuse-write-chunk 3")), QStringLiteral("ok fault"));
    struct Reset {
        ApSim& sim;
        ~Reset() { sim.Command(QStringLiteral("fault refuse-write-chunk off")); }
    } reset{*sim_};
    QVERIFY(OpenSetup(1));
    form_->Edit2->setText(QStringLiteral("NeverStored"));
    const int writesBefore = static_cast<int>(BlockOps(BLOCK_OP_WRITE).size());
    const int commitsBefore = static_cast<int>(BlockOps(BLOCK_OP_COMMIT).size());
    const int finishesBefore = static_cast<int>(BlockOps(BLOCK_OP_FINISH).size());
    const int shown = messages_->texts.size();
    bool onSetupPageWhenShown = false;
    int finishesWhenShown = -1;
    const QMetaObject::Connection watch = connect(messageForm_.get(), &TMessageForm::Showing, this, [&] {
        onSetupPageWhenShown = !form_->Panel3->isHidden() && form_->Panel1->isHidden();
        finishesWhenShown = static_cast<int>(BlockOps(BLOCK_OP_FINISH).size()) - finishesBefore;
    });

    QVERIFY(ApplyAndWaitForBrowse() >= kReturnPauseMs);
    disconnect(watch);
    QCOMPARE(messages_->texts.size(), shown + 1);
    QCOMPARE(messages_->texts.last(), QStringLiteral("write_fail text"));
    QVERIFY(onSetupPageWhenShown);
    QVERIFY(finishesWhenShown >= kFinishRepeats);                                   // the finish went out all the same
    QCOMPARE(static_cast<int>(BlockOps(BLOCK_OP_WRITE).size()), writesBefore + 4);  // chunks 0..3
    QCOMPARE(static_cast<int>(BlockOps(BLOCK_OP_COMMIT).size()), commitsBefore);
    QVERIFY(!Dump(1).has_value());
    QVERIFY(!form_->Panel1->isHidden());
    QVERIFY(form_->Panel3->isHidden());
}

void SetupTest::applyAndCancelDoNothingWhileAnApplyWaits() {
    QVERIFY(OpenSetup(2));
    form_->Edit2->setText(QStringLiteral("RoofNet3"));
    // Every block reply comes 300 ms late, so the write waits with events flowing.
    const ScopedDelay delay(*sim_, 300, QStringLiteral("block"));
    QVERIFY2(delay.ok, qPrintable(delay.failure));
    const int writesBefore = static_cast<int>(BlockOps(BLOCK_OP_WRITE).size());
    const int commitsBefore = CommitLines();

    bool probed = false;
    bool waiting = false;
    bool stillOnSetup = false;
    QTimer::singleShot(500, this, [&] {
        probed = true;
        waiting = form_->applyingSetup && TUInterface::Waiting();
        form_->BitBtn8->click();
        form_->BitBtn8Click();  // past the greyed button
        form_->BitBtn20Click();
        // Choosing another AP in the header is held off as well.
        const int selected = form_->selectedEntry;
        form_->ComboBox1Change(selected == 0 ? 1 : 0);
        stillOnSetup = !form_->Panel3->isHidden() && form_->Panel2->isHidden() && form_->Panel1->isHidden() &&
                       form_->selectedEntry == selected;
    });
    QVERIFY(ApplyAndWaitForBrowse() >= kReturnPauseMs);
    QVERIFY(probed);
    QVERIFY(waiting);
    QVERIFY(stillOnSetup);
    QCOMPARE(static_cast<int>(BlockOps(BLOCK_OP_WRITE).size()), writesBefore + 8);
    QCOMPARE(CommitLines(), commitsBefore + 1);
    QVERIFY(!form_->applyingSetup);
    QVERIFY(form_->BitBtn8->isEnabled());
    QVERIFY(form_->BitBtn20->isEnabled());
    const std::optional<ConfigImage> committed = Dump(2);
    QVERIFY(committed.has_value());
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(committed->data()) + kSsidAt), QByteArray("RoofNet3"));
}

APUTIL_WINDOW_TEST_MAIN(SetupTest)

#include "ui_setup_test.moc"
