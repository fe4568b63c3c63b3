// The main window on one link where nothing answers: its layout and names,
// catalogue texts, artwork, the show and browse sequence, the all-models
// chord, the password field, page switching, and a second copy of the
// program being refused. Runs inside the namespaces of tests/netns/with-netns.

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QRadioButton>
#include <QStyle>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest/QtTest>

#include <map>
#include <memory>

#include "app/catalogue.h"
#include "app/gui/image_button.h"
#include "app/gui/instance_guard.h"
#include "app/gui/message_form.h"
#include "app/gui/uinterface.h"
#include "protocol/engine.h"
#include "tests/ui/ui_support.h"
#include "ui/form1.h"
#include "ui/widgets.h"

using namespace aputil;
using namespace aputil::test;

namespace {

// Every text a person reads on the window's controls, by object name.
std::map<QString, QString> ControlTexts(const TForm1& form) {
    std::map<QString, QString> texts;
    for (const QLabel* label : form.findChildren<QLabel*>()) texts[label->objectName()] = label->text();
    for (const QAbstractButton* button : form.findChildren<QAbstractButton*>()) {
        texts[button->objectName()] = button->text();
    }
    for (const QGroupBox* group : form.findChildren<QGroupBox*>()) texts[group->objectName()] = group->title();
    return texts;
}

QString ControlText(const TForm1& form, const QString& name) {
    if (const auto* label = form.findChild<QLabel*>(name)) return label->text();
    if (const auto* button = form.findChild<QAbstractButton*>(name)) return button->text();
    if (const auto* group = form.findChild<QGroupBox*>(name)) return group->title();
    return QStringLiteral("<no control %1>").arg(name);
}

// Removes a file on leaving the scope.
struct RemoveLater {
    QString path;
    ~RemoveLater() { QFile::remove(path); }
};

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void layoutAndControlNames();
    void catalogueWithOnlyTheTitleChangesOnlyTheTitle();
    void catalogueTextsReachTheirControls();
    void catalogueBesideTheProgramWhenNoneInCurrentFolder();
    void buttonsShowTheirArtworkOrPlainText();
    void showOpensLoginPageAndBrowsesAfter100ms();
    void browseAgainItemStartsANewBrowse();
    void chordNeedsCtrlShiftF4InWindowPasswordOrList_data();
    void chordNeedsCtrlShiftF4InWindowPasswordOrList();
    void passwordFieldTakesPrintableAsciiOnly();
    void pageButtonsSwitchPages_data();
    void pageButtonsSwitchPages();
    void listChangeRestoresPageButtonImages_data();
    void listChangeRestoresPageButtonImages();
    void returnToLoginPausesThenArmsTheBrowse();
    void secondCopyIsRefused();

private:
    std::unique_ptr<TUInterface> uinterface_;
};

void WindowTest::initTestCase() {
    if (!InTestNamespace()) QSKIP("needs the namespaces of tests/netns/with-netns");
    // The fallback catalogue beside the program must not colour these tests.
    QVERIFY(!QFile::exists(QCoreApplication::applicationDirPath() + QStringLiteral("/message.txt")));
    uinterface_ = std::make_unique<TUInterface>();
}

void WindowTest::layoutAndControlNames() {
    WorkFolder folder({}, false);
    folder.Enter();
    TForm1 form;
    QCOMPARE(form.size(), QSize(463, 446));
    QCOMPARE(form.minimumSize(), form.maximumSize());
    QCOMPARE(form.windowTitle(), QStringLiteral("Wireless Access Point Utility"));

    const struct {
        const char* name;
        QRect geometry;
    } panels[] = {
        {"Panel7", {0, 0, 463, 135}},   {"Panel1", {0, 135, 463, 261}}, {"Panel2", {0, 135, 463, 260}},
        {"Panel3", {0, 135, 463, 309}}, {"Panel4", {0, 135, 463, 261}}, {"Panel6", {0, 135, 463, 261}},
        {"Panel8", {0, 135, 463, 258}},
    };
    for (const auto& p : panels) {
        const auto* panel = form.findChild<TPicturePanel*>(QString::fromLatin1(p.name));
        QVERIFY2(panel != nullptr, p.name);
        QCOMPARE(panel->geometry(), p.geometry);
        QCOMPARE(panel->parentWidget(), &form);
    }
    const struct {
        const char* name;
        QPoint at;
        QSize size;  // empty: not fixed
    } header[] = {
        {"Label1", {32, 85}, {}},          {"ComboBox1", {112, 79}, {281, 0}}, {"BitBtn1", {149, 106}, {67, 20}},
        {"BitBtn2", {217, 106}, {67, 20}}, {"BitBtn3", {285, 106}, {67, 20}},  {"AllModelLabel", {112, 24}, {}},
        {"Label2", {48, 104}, {}},         {"Edit1", {194, 100}, {197, 0}},    {"BitBtn5", {308, 227}, {66, 19}},
        {"BitBtn6", {375, 227}, {66, 19}}, {"Animate1", {192, 24}, {80, 50}},
    };
    for (const auto& c : header) {
        const auto* w = form.findChild<QWidget*>(QString::fromLatin1(c.name));
        QVERIFY2(w != nullptr, c.name);
        QCOMPARE(w->pos(), c.at);
        if (c.size.width() > 0) QCOMPARE(w->width(), c.size.width());
        if (c.size.height() > 0) QCOMPARE(w->height(), c.size.height());
    }
    QVERIFY(form.findChild<QLabel*>(QStringLiteral("AllModelLabel"))->isHidden());

    // Every control later pages work with exists, once, under its name.
    QStringList names;
    for (int i : {1, 2, 3, 5, 6, 7, 8, 9, 15, 16, 17, 18, 19, 20}) names << QStringLiteral("BitBtn%1").arg(i);
    for (int i = 1; i <= 28; ++i) names << QStringLiteral("MaskEdit%1").arg(i);
    for (int i : {1, 4, 5, 6, 7, 8, 9, 10, 11}) names << QStringLiteral("RadioButton%1").arg(i);
    for (int i = 1; i <= 5; ++i) names << QStringLiteral("GroupBox%1").arg(i);
    for (int i : {1,  2,  3,  4,  5,  6,  7,  9,  10, 11, 12, 15, 16, 17, 18, 19, 20, 21, 23, 24, 25,
                  26, 27, 28, 30, 31, 35, 37, 41, 43, 45, 46, 47, 48, 49, 50, 51, 52, 53, 85, 88}) {
        names << QStringLiteral("Label%1").arg(i);
    }
    for (int i : {1, 8, 9, 10, 11, 12, 13, 14, 16, 17}) names << QStringLiteral("Image%1").arg(i);
    names << QStringLiteral("Edit1") << QStringLiteral("Edit2") << QStringLiteral("Edit3") << QStringLiteral("Edit4")
          << QStringLiteral("Edit5") << QStringLiteral("ComboBox1") << QStringLiteral("ComboBox2")
          << QStringLiteral("ListView1") << QStringLiteral("ListView3") << QStringLiteral("CheckBox3")
          << QStringLiteral("Animate1");
    for (const QString& name : names) {
        const QList<QWidget*> found = form.findChildren<QWidget*>(name);
        QVERIFY2(found.size() == 1, qPrintable(name + QStringLiteral(": found %1").arg(found.size())));
    }
    QVERIFY(form.findChild<QTimer*>(QStringLiteral("LIAPP_Timer")) != nullptr);
    for (int i = 0; i < 24; ++i) {
        QCOMPARE(form.MaskEdit[static_cast<size_t>(i)]->objectName(), QStringLiteral("MaskEdit%1").arg(i + 1));
        QCOMPARE(form.MaskEdit[static_cast<size_t>(i)]->echoMode(), QLineEdit::Password);
    }
    // Segments of a key take 5, 5, 4, 4, 4, 4 characters.
    for (int k = 0; k < 4; ++k) {
        const int lengths[6] = {5, 5, 4, 4, 4, 4};
        for (int s = 0; s < 6; ++s) QCOMPARE(form.MaskEdit[static_cast<size_t>(6 * k + s)]->maxLength(), lengths[s]);
    }
    QCOMPARE(form.Edit1->maxLength(), 40);
    QCOMPARE(form.Edit1->echoMode(), QLineEdit::Password);
    QCOMPARE(form.MaskEdit25->displayText(), QStringLiteral("   .   .   .   "));
    QCOMPARE(form.MaskEdit28->displayText(), QStringLiteral("  :  :  :  :  :  "));
}

void WindowTest::catalogueWithOnlyTheTitleChangesOnlyTheTitle() {
    std::map<QString, QString> builtInTexts;
    {
        WorkFolder folder({}, false);
        folder.Enter();
        TForm1 plain;
        builtInTexts = ControlTexts(plain);
        QCOMPARE(plain.windowTitle(), QStringLiteral("Wireless Access Point Utility"));
    }
    WorkFolder folder("UTILITY_NAME Lumivance AP Setup**\n", false);
    folder.Enter();
    TForm1 form;
    QCOMPARE(form.windowTitle(), QStringLiteral("Lumivance AP Setup"));
    QCOMPARE(ControlTexts(form), builtInTexts);
    QCOMPARE(form.PasswordChar(), QChar(QLatin1Char('*')));
    QVERIFY(form.kept.invalidPassword.isEmpty());
    QVERIFY(form.kept.browseAgain.isEmpty());
    QVERIFY(form.kept.warningMsg.isEmpty());
    // Spot checks that the built-in captions are what stayed.
    QCOMPARE(builtInTexts[QStringLiteral("Label1")], QStringLiteral("AP's NAME"));
    QCOMPARE(builtInTexts[QStringLiteral("Label48")], QStringLiteral("defaultgateway"));
    QCOMPARE(builtInTexts[QStringLiteral("GroupBox4")], QStringLiteral("Edit key"));
}

void WindowTest::catalogueTextsReachTheirControls() {
    // Which control shows which key.
    const std::pair<const char*, QStringList> table[] = {
        {"AP_NAME_TITLE", {"Label1"}},
        {"PASSWD_TITLE", {"Label2"}},
        {"AP_NAME_INFO", {"Label26"}},
        {"SSID_INFO", {"Label4"}},
        {"CHANNEL_INFO", {"Label5"}},
        {"IP_ADDRESS", {"Label6", "Label51"}},
        {"SUBNET_MASK", {"Label41", "Label52"}},
        {"DEFAULT_GATEWAY", {"Label48", "Label53"}},
        {"SSID_INFO_CFG", {"Label7"}},
        {"CHANNEL_INFO_CFG", {"Label9"}},
        {"AP_NAME_INFO_CFG", {"Label18"}},
        {"NEW_PASSWD_INFO_CFG", {"Label10"}},
        {"CONFIRM_PASSWD_INFO_CFG", {"Label11"}},
        {"SECURITY_SEC", {"Label88"}},
        {"SEC_DESC_SEC", {"Label12"}},
        {"MAC_CONTROL_SEC", {"Label17"}},
        {"MAC_CONTROL_TABLE_SEC", {"Label85"}},
        {"WEP_TITLE_SEC_CFG", {"Label35"}},
        {"MAC_TITLE_SEC_CFG", {"Label37"}},
        {"MAC_TABLE_SEC_CFG", {"Label43"}},
        {"TABLE_ADD_SEC_CFG", {"Label45"}},
        {"TABLE_MODIFY_SEC_CFG", {"Label46"}},
        {"TABLE_REMOVE_SEC_CFG", {"Label47"}},
        {"ENABLE_CONTROL_SEC_CFG", {"CheckBox3"}},
        {"WEP_DISABLE_SEC_CFG", {"RadioButton9"}},
        {"WEP_64BIT_SEC_CFG", {"RadioButton1"}},
        {"WEP_128_SEC_CFG", {"RadioButton4"}},
        {"KEY1_SEC_CFG", {"RadioButton5"}},
        {"KEY2_SEC_CFG", {"RadioButton6"}},
        {"KEY3_SEC_CFG", {"RadioButton7"}},
        {"KEY4_SEC_CFG", {"RadioButton8"}},
        {"ASCII", {"RadioButton10"}},
        {"HEX", {"RadioButton11"}},
        {"ENCRYPTION_STATUS", {"GroupBox3"}},
        {"KEY_FORMAT", {"GroupBox5"}},
        {"KEY_EDIT", {"GroupBox4"}},
        {"FW_VER", {"Label15"}},
        {"UTI_VER", {"Label20"}},
        {"FW_DATE_VER", {"Label16"}},
        {"UTI_DATE_VER", {"Label21"}},
    };
    const std::pair<const char*, QString KeptTexts::*> keptTable[] = {
        {"INVALID_PASSWORD", &KeptTexts::invalidPassword},
        {"PASSWORD_MISMATCH", &KeptTexts::passwordMismatch},
        {"INVALID_WEP", &KeptTexts::invalidWep},
        {"CONNECTION_FAIL", &KeptTexts::connectionFail},
        {"AP_INFO_NOT_AVAILIBLE", &KeptTexts::apInfoNotAvailable},
        {"WEP_KEY_UNCOMPLETED", &KeptTexts::wepKeyUncompleted},
        {"IP_ERROR", &KeptTexts::ipError},
        {"MASK_ERROR", &KeptTexts::maskError},
        {"GW_ERROR", &KeptTexts::gwError},
        {"MAC_ERROR", &KeptTexts::macError},
        {"MAC_ACC_NO", &KeptTexts::macAccNo},
        {"MAC_ACC_ADDR", &KeptTexts::macAccAddr},
        {"MAC_LIMIT", &KeptTexts::macLimit},
        {"MAC_DUPLEX", &KeptTexts::macDuplex},
        {"BROWSE_AGAIN", &KeptTexts::browseAgain},
        {"DISABLED", &KeptTexts::disabled},
        {"WEP_64", &KeptTexts::wep64},
        {"WEP_128", &KeptTexts::wep128},
        {"WARNING_MSG", &KeptTexts::warningMsg},
    };
    // Each key's text is the key in lower case, so a text on the wrong
    // control names the key it came from.
    QByteArray catalogue = "PASSWORD_CHAR #**\n";
    for (const auto& [key, controls] : table) catalogue += QByteArray(key) + ' ' + QByteArray(key).toLower() + "**\n";
    for (const auto& [key, member] : keptTable) catalogue += QByteArray(key) + ' ' + QByteArray(key).toLower() + "**\n";
    WorkFolder folder(catalogue, false);
    folder.Enter();
    TForm1 form;
    for (const auto& [key, controls] : table) {
        for (const QString& name : controls) {
            QCOMPARE(ControlText(form, name), QString::fromLatin1(key).toLower());
        }
    }
    for (const auto& [key, member] : keptTable) QCOMPARE(form.kept.*member, QString::fromLatin1(key).toLower());
    QCOMPARE(form.PasswordChar(), QChar(QLatin1Char('#')));
    for (QLineEdit* field : {form.Edit1, form.Edit3, form.Edit4, form.MaskEdit[0], form.MaskEdit[23]}) {
        QCOMPARE(field->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, field), int('#'));
    }
    // A caption that grew is not cut: labels fit their text.
    QVERIFY(form.Label12->width() >= form.Label12->sizeHint().width());
}

void WindowTest::catalogueBesideTheProgramWhenNoneInCurrentFolder() {
    const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/message.txt");
    RemoveLater cleanup{beside};
    {
        QFile file(beside);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("UTILITY_NAME From beside the program**\n");
    }
    {
        WorkFolder none({}, false);
        none.Enter();
        TForm1 form;
        QCOMPARE(form.windowTitle(), QStringLiteral("From beside the program"));
    }
    WorkFolder here("UTILITY_NAME From the current folder**\n", false);
    here.Enter();
    TForm1 form;
    QCOMPARE(form.windowTitle(), QStringLiteral("From the current folder"));
}

void WindowTest::buttonsShowTheirArtworkOrPlainText() {
    const std::pair<const char*, const char*> table[] = {
        {"BitBtn1", "info.bmp"},    {"BitBtn2", "security.bmp"}, {"BitBtn3", "about.bmp"}, {"BitBtn5", "LOGIN.bmp"},
        {"BitBtn6", "exit.bmp"},    {"BitBtn7", "setup.bmp"},    {"BitBtn9", "setup.bmp"}, {"BitBtn18", "cancel.bmp"},
        {"BitBtn20", "cancel.bmp"}, {"BitBtn19", "apply.bmp"},   {"BitBtn8", "apply.bmp"},
    };
    {
        WorkFolder folder({}, true);
        folder.Enter();
        TForm1 form;
        for (const auto& [name, file] : table) {
            const auto* button = form.findChild<TImageButton*>(QString::fromLatin1(name));
            QVERIFY2(button != nullptr, name);
            QVERIFY2(button->HasStrip(), name);
            QCOMPARE(button->StripFile(), QString::fromLatin1(file));
            QCOMPARE(button->FaceCount(), 4);
        }
        QVERIFY(!form.Image1->pixmap().isNull());
        QVERIFY(form.Panel1->HasPicture());
        QVERIFY(!form.Image8->pixmap().isNull());
    }
    // Without artwork anywhere: plain buttons with words, and a window that
    // still shows.
    QVERIFY(!QDir(QCoreApplication::applicationDirPath() + QStringLiteral("/img")).exists(QStringLiteral("info.bmp")));
    WorkFolder folder({}, false);
    folder.Enter();
    TForm1 form;
    for (const TImageButton* button : form.findChildren<TImageButton*>()) {
        QVERIFY2(!button->HasStrip(), qPrintable(button->objectName()));
        QVERIFY2(!button->text().isEmpty(), qPrintable(button->objectName()));
        QVERIFY2(!button->accessibleName().isEmpty(), qPrintable(button->objectName()));
    }
    QVERIFY(!form.grab().isNull());
}

void WindowTest::showOpensLoginPageAndBrowsesAfter100ms() {
    WorkFolder folder(TestCatalogue(), true);
    folder.Enter();
    TForm1 form;
    SetTimeout(1234);

    // Looked at from inside the browse's wait, while events are pumped.
    struct DuringBrowse {
        bool seen = false;
        bool animation = false;
        bool listEnabled = true;
        bool passwordEnabled = true;
        bool loginEnabled = true;
        bool closeEnabled = true;
        bool waitCursor = false;
        int timeout = 0;
    } during;
    QElapsedTimer clock;
    qint64 startedAfter = -1;
    connect(&form, &TForm1::BrowseStarted, this, [&] {
        startedAfter = clock.elapsed();
        QTimer::singleShot(300, this, [&] {
            during.seen = form.browsing;
            during.animation = form.Animate1->isVisible() && form.Animate1->Active();
            during.listEnabled = form.ComboBox1->isEnabled();
            during.passwordEnabled = form.Edit1->isEnabled();
            during.loginEnabled = form.BitBtn5->isEnabled();
            during.closeEnabled = form.BitBtn6->isEnabled();
            const QCursor* cursor = QGuiApplication::overrideCursor();
            during.waitCursor = cursor != nullptr && cursor->shape() == Qt::WaitCursor;
            during.timeout = GetTimeout();
        });
    });
    QSignalSpy finished(&form, &TForm1::BrowseFinished);

    clock.start();
    form.show();
    QVERIFY(!form.Panel1->isHidden());
    for (QWidget* page : {form.Panel2, form.Panel3, form.Panel4, form.Panel6, form.Panel8}) QVERIFY(page->isHidden());
    for (QWidget* button : {form.BitBtn1, form.BitBtn2, form.BitBtn3}) QVERIFY(!button->isEnabled());
    QVERIFY(form.LIAPP_Timer->isActive());
    QCOMPARE(form.LIAPP_Timer->interval(), 100);

    QVERIFY(finished.wait(20000));
    QVERIFY2(startedAfter >= 90 && startedAfter < 5000, qPrintable(QString::number(startedAfter)));
    QVERIFY(during.seen);
    QVERIFY(during.animation);
    QVERIFY(!during.listEnabled);
    QVERIFY(!during.passwordEnabled);
    QVERIFY(!during.loginEnabled);
    QVERIFY(!during.closeEnabled);
    QVERIFY(during.waitCursor);
    QCOMPARE(during.timeout, 1000);

    // Nothing answered: only the browse-again item, nothing selected.
    QCOMPARE(GetTimeout(), 1234);
    QCOMPARE(form.accessPointCount, 0);
    QCOMPARE(form.ComboBox1->count(), 1);
    QCOMPARE(form.ComboBox1->itemText(0), QStringLiteral("browse_again text"));
    QCOMPARE(form.ComboBox1->currentIndex(), -1);
    QVERIFY(!form.BitBtn5->isEnabled());
    QVERIFY(!form.BitBtn6->isEnabled());
    QVERIFY(form.Animate1->isHidden());
    QVERIFY(!form.Animate1->Active());
    QVERIFY(form.ComboBox1->isEnabled());
    QVERIFY(form.Edit1->isEnabled());
    QCOMPARE(form.focusWidget(), form.Edit1);
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
    QCOMPARE(currentAdapter, -1);
    QVERIFY(!form.browsing);

    // The login button and Enter do nothing with nothing to log in to.
    const int messages = form.MessageCount();
    form.BitBtn5Click();
    QTest::keyClick(form.Edit1, Qt::Key_Return);
    QCOMPARE(form.MessageCount(), messages);
}

void WindowTest::browseAgainItemStartsANewBrowse() {
    WorkFolder folder(TestCatalogue(), false);
    folder.Enter();
    TForm1 form;
    QSignalSpy started(&form, &TForm1::BrowseStarted);
    QSignalSpy finished(&form, &TForm1::BrowseFinished);
    form.show();
    QVERIFY(finished.wait(20000));
    QCOMPARE(started.count(), 1);
    QVERIFY(!form.LIAPP_Timer->isActive());

    form.ComboBox1->setCurrentIndex(0);
    emit form.ComboBox1->activated(0);  // as a person choosing it
    QVERIFY(form.LIAPP_Timer->isActive());
    QVERIFY(!form.Panel1->isHidden());
    QVERIFY(finished.wait(20000));
    QCOMPARE(started.count(), 2);
    QCOMPARE(form.ComboBox1->count(), 1);
}

void WindowTest::chordNeedsCtrlShiftF4InWindowPasswordOrList_data() {
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("allModels");
    const int ctrlShift = Qt::ControlModifier | Qt::ShiftModifier;
    QTest::newRow("password field") << "Edit1" << int(Qt::Key_F4) << ctrlShift << true;
    QTest::newRow("access point list") << "ComboBox1" << int(Qt::Key_F4) << ctrlShift << true;
    QTest::newRow("window itself") << "Form1" << int(Qt::Key_F4) << ctrlShift << true;
    QTest::newRow("Alt is not looked at") << "Edit1" << int(Qt::Key_F4) << int(ctrlShift | Qt::AltModifier) << true;
    QTest::newRow("Ctrl alone") << "Edit1" << int(Qt::Key_F4) << int(Qt::ControlModifier) << false;
    QTest::newRow("Shift alone") << "ComboBox1" << int(Qt::Key_F4) << int(Qt::ShiftModifier) << false;
    QTest::newRow("F4 alone") << "Form1" << int(Qt::Key_F4) << 0 << false;
    QTest::newRow("another key") << "Edit1" << int(Qt::Key_F5) << ctrlShift << false;
    QTest::newRow("another control") << "Edit2" << int(Qt::Key_F4) << ctrlShift << false;
}

void WindowTest::chordNeedsCtrlShiftF4InWindowPasswordOrList() {
    QFETCH(QString, target);
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(bool, allModels);
    WorkFolder folder({}, false);
    folder.Enter();
    TForm1 form;
    QWidget* widget = target == QLatin1String("Form1") ? &form : form.findChild<QWidget*>(target);
    QVERIFY(widget != nullptr);
    if (target == QLatin1String("Edit2")) form.Panel3->show();
    widget->setFocus();
    QTest::keyClick(widget, static_cast<Qt::Key>(key), Qt::KeyboardModifiers(modifiers));
    QCOMPARE(form.allModels, allModels);
    QCOMPARE(form.AllModelLabel->isHidden(), !allModels);
    QVERIFY(form.Edit1->text().isEmpty());
}

void WindowTest::passwordFieldTakesPrintableAsciiOnly() {
    WorkFolder folder({}, false);
    folder.Enter();
    TForm1 form;
    QTest::keyClicks(form.Edit1, QStringLiteral("pa ss"));
    QTest::keyClick(form.Edit1, Qt::Key_Q, Qt::ControlModifier);  // a control character, no shortcut
    QTest::sendKeyEvent(QTest::Click, form.Edit1, Qt::Key_B, QString(QChar(2)), Qt::ControlModifier);
    for (const QString& text : {QString(QChar(0xe9)), QString(QChar(0x20ac))}) {  // not ASCII
        QTest::sendKeyEvent(QTest::Click, form.Edit1, Qt::Key_unknown, text, Qt::NoModifier);
    }
    QTest::keyClick(form.Edit1, Qt::Key_Return);
    QTest::keyClick(form.Edit1, Qt::Key_Escape);
    QTest::keyClicks(form.Edit1, QStringLiteral("~1"));
    QCOMPARE(form.Edit1->text(), QStringLiteral("pa ss~1"));
    QTest::keyClick(form.Edit1, Qt::Key_Backspace);
    QCOMPARE(form.Edit1->text(), QStringLiteral("pa ss~"));
    form.Edit1->clear();
    QTest::keyClicks(form.Edit1, QStringLiteral("x").repeated(45));
    QCOMPARE(form.Edit1->text().size(), 40);
    QCOMPARE(form.MessageCount(), 0);
}

void WindowTest::pageButtonsSwitchPages_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("page");
    QTest::newRow("information") << "BitBtn1"
                                 << "Panel2";
    QTest::newRow("security") << "BitBtn2"
                              << "Panel4";
    QTest::newRow("about") << "BitBtn3"
                           << "Panel6";
}

void WindowTest::pageButtonsSwitchPages() {
    QFETCH(QString, button);
    QFETCH(QString, page);
    WorkFolder folder({}, false);
    folder.Enter();
    TForm1 form;
    for (QWidget* p : {form.Panel2, form.Panel4, form.Panel6}) p->show();
    auto* b = form.findChild<TImageButton*>(button);
    b->setEnabled(true);
    QTest::mouseClick(b, Qt::LeftButton);
    for (QWidget* p : {form.Panel2, form.Panel4, form.Panel6}) {
        QCOMPARE(p->isHidden(), p->objectName() != page);
    }
}

void WindowTest::listChangeRestoresPageButtonImages_data() {
    QTest::addColumn<QString>("openPage");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("yellow");
    QTest::addColumn<QString>("normal");
    QTest::newRow("basic setup") << "Panel3"
                                 << "BitBtn1"
                                 << "info_down_yellow.bmp"
                                 << "info.bmp";
    QTest::newRow("security configuration") << "Panel8"
                                            << "BitBtn2"
                                            << "security_down_yellow.bmp"
                                            << "security.bmp";
}

void WindowTest::listChangeRestoresPageButtonImages() {
    QFETCH(QString, openPage);
    QFETCH(QString, button);
    QFETCH(QString, yellow);
    QFETCH(QString, normal);
    WorkFolder folder(TestCatalogue(), true);
    folder.Enter();
    TForm1 form;
    form.ComboBox1->addItem(form.kept.browseAgain);  // the list after a browse that found nothing
    form.Panel1->hide();
    form.findChild<QWidget*>(openPage)->show();
    auto* b = form.findChild<TImageButton*>(button);
    QVERIFY(b->LoadStrip(yellow, 3));
    QCOMPARE(b->FaceCount(), 3);

    form.ComboBox1Change(0);
    QCOMPARE(b->StripFile(), normal);
    QCOMPARE(b->FaceCount(), 4);
    QVERIFY(!form.Panel1->isHidden());
    QVERIFY(form.findChild<QWidget*>(openPage)->isHidden());
    for (QWidget* page : {form.Panel2, form.Panel4, form.Panel6}) QVERIFY(page->isHidden());
    for (QWidget* pageButton : {form.BitBtn1, form.BitBtn2, form.BitBtn3}) QVERIFY(!pageButton->isEnabled());
    QVERIFY(form.LIAPP_Timer->isActive());
    form.LIAPP_Timer->stop();
}

void WindowTest::returnToLoginPausesThenArmsTheBrowse() {
    WorkFolder folder({}, false);
    folder.Enter();
    TForm1 form;
    form.Panel1->hide();
    form.Panel3->show();
    form.Panel8->show();
    QElapsedTimer clock;
    clock.start();
    form.ReturnToLogin();
    QVERIFY(clock.elapsed() >= 1900);
    QVERIFY(!form.Panel1->isHidden());
    QVERIFY(form.Panel3->isHidden());
    QVERIFY(form.Panel8->isHidden());
    QVERIFY(form.LIAPP_Timer->isActive());
    form.LIAPP_Timer->stop();
}

void WindowTest::secondCopyIsRefused() {
    QTemporaryDir dir;
    const QString lock = dir.filePath(QStringLiteral("UTIL.lock"));
    WorkFolder folder(TestCatalogue(), false);

    // The real program, first: it takes the marker and runs its window.
    QProcess first;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(kInstanceLockVariable), lock);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    first.setProcessEnvironment(env);
    first.setWorkingDirectory(folder.dir.path());
    first.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    first.start(QStringLiteral(APUTIL_PROGRAM), {QStringLiteral("--ignored-argument")});
    QVERIFY(first.waitForStarted(5000));
    struct StopFirst {
        QProcess& p;
        ~StopFirst() {
            p.kill();
            p.waitForFinished(5000);
        }
    } stop{first};
    InstanceGuard probe(QFile::encodeName(lock).toStdString());
    QVERIFY(WaitFor(
        [&] {
            if (probe.Acquire() == InstanceGuard::Result::HeldByOther) return true;
            probe.Release();
            return false;
        },
        15000));
    QCOMPARE(first.state(), QProcess::Running);

    // A second copy, here: the system message, and the window is marked to end.
    folder.Enter();
    InstanceGuard guard(QFile::encodeName(lock).toStdString());
    MessageBoxReader reader;
    reader.Arm();
    TForm1 second(&guard);
    QCOMPARE(reader.text, QStringLiteral("Application is running."));
    QCOMPARE(reader.title, QStringLiteral("Message"));
    QVERIFY(second.IsDuplicate());
    QVERIFY(!guard.Held());
    QCOMPARE(first.state(), QProcess::Running);  // the first copy goes on

    // Once the first copy has ended, the marker is free again.
    first.kill();
    QVERIFY(first.waitForFinished(5000));
    QCOMPARE(guard.Acquire(), InstanceGuard::Result::Acquired);
}

APUTIL_WINDOW_TEST_MAIN(WindowTest)

#include "ui_window_test.moc"
