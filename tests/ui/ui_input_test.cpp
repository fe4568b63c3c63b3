// The window as a new user drives it, against simulated access points
// (apsim): texts from the device and the catalogue shown as written, the
// editing shortcuts of the text fields and what a paste may bring, double
// clicks on the buttons that open a page, input given while the window
// pauses before the login page, names holding 8-bit characters, a browse
// that fell due during a login, and the tab captions during an apply. The
// simulator's log and committed image are the judge of what reached the
// device.

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSet>
#include <QThread>
#include <QTimer>
#include <QWindow>
#include <QtTest/QtTest>

#include <cstring>
#include <functional>
#include <memory>
#include <optional>

#include "app/gui/image_button.h"
#include "app/gui/message_form.h"
#include "app/gui/uinterface.h"
#include "image/transfer.h"
#include "protocol/frame.h"
#include "tests/ui/sim_window_test.h"
#include "tests/ui/ui_support.h"
#include "ui/form1.h"
#include "ui/widgets.h"

using namespace aputil;
using namespace aputil::test;

namespace {

constexpr const char* kPassword = "secret";
constexpr size_t kNameAt = 472;
constexpr size_t kPasswordAt = 552;

// Catalogue texts with markup in them: shown as written, never as markup.
constexpr const char* kMarkupCaption = "<i>name</i>";
constexpr const char* kMarkupMessage = "<b>refused</b>";

QByteArray InputCatalogue() {
    QByteArray out = TestCatalogue({"WARNING_MSG", "WRITE_FAIL", "TEXT_NOT_STORABLE", "DISABLED", "WEP_64", "WEP_128",
                                    "MAC_ACC_NO", "MAC_ACC_ADDR", "PASSWORD_MISMATCH"});
    out.replace("INVALID_PASSWORD invalid_password text**", QByteArray("INVALID_PASSWORD ") + kMarkupMessage + "**");
    out += QByteArray("AP_NAME_INFO ") + kMarkupCaption + "**\n";
    return out;
}

// Types each character as a key press carrying it.
void TypeText(QWidget* field, const QString& text) {
    for (const QChar c : text) {
        const int key = c.toUpper().unicode();
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, QString(c));
        QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, QString(c));
        QApplication::sendEvent(field, &press);
        QApplication::sendEvent(field, &release);
    }
}

// A shortcut as the keyboard sends it: Ctrl held, the letter's text with it.
void Chord(QWidget* field, Qt::Key key, Qt::KeyboardModifiers mods = Qt::ControlModifier) {
    QTest::keyClick(field, key, mods);
}

// The middle of a control, in its window's coordinates: where a person aims.
QPoint SpotOf(const QWidget* w) { return w->mapTo(w->window(), w->rect().center()); }

// What a label shows takes at least the width of every character of its text
// in one line: markup would drop the tags, and an image would make it tall.
bool ShowsCharacterForCharacter(const QLabel* label, const QString& text) {
    const QFontMetrics metrics(label->font());
    const QSize hint = label->sizeHint();
    return label->text() == text && label->textFormat() == Qt::PlainText &&
           hint.width() >= metrics.horizontalAdvance(text) && hint.height() < 3 * metrics.height();
}

}  // namespace

class InputTest : public SimWindowTest {
    Q_OBJECT

private slots:
    void textsFromOutsideShowAsPlainText();
    void editingShortcutsWorkAndPastesKeepTheRules_data();
    void editingShortcutsWorkAndPastesKeepTheRules();
    void selectAllAndTypeReplacesThePassword();
    void passwordFieldsNeverCopyTheirText();
    void doubleClickOnAPageButtonActsOnce_data();
    void doubleClickOnAPageButtonActsOnce();
    void inputDuringTheReturnPauseIsDropped();
    void imageTextsRoundTripAsLatin1_data();
    void imageTextsRoundTripAsLatin1();
    void browseDueDuringALoginIsDropped();
    void tabCaptionsIgnoreClicksDuringAnApply();

private:
    QByteArray Catalogue() const override { return InputCatalogue(); }
    QStringList SimOptions() const override;
    QByteArray SimState() const override;
    void FolderReady() override;
    void SimStarted() override { QCOMPARE(sim_->aps.size(), 3); }
    void FirstBrowseDone() override { QCOMPARE(form_->accessPointCount, 3); }

    // Back on the login page with a browse done, then logged in to `ap`.
    bool Login(int ap, const QString& password = QString::fromLatin1(kPassword));
    bool WaitForLoginPage();
    int IndexOf(int ap) const { return IndexOfAp(*form_, sim_->aps[ap].mac); }
    std::optional<ConfigImage> Dump(int ap) const { return ReadDump(dumps_, sim_->aps[ap].mac); }
    // Distinct requests of one block op since a log line.
    int BlockOps(uint8_t op, int fromLine) const;
    int Logins(int fromLine) const;
    int Browses(int fromLine) const;
    // Presses the page's apply and waits for the browse that follows.
    bool ApplyAndWaitForBrowse(TImageButton* apply);

    // An AP name that is an <img> tag loading picture_.
    QByteArray ImgName() const { return "<img src=" + QFile::encodeName(picture_) + ">"; }

    QString picture_;  // an image file an <img> tag could load
};

void InputTest::FolderReady() {
    picture_ = folder_->dir.filePath(QStringLiteral("p.png"));
    QImage big(300, 300, QImage::Format_RGB32);
    big.fill(Qt::red);
    QVERIFY(big.save(picture_));
    QVERIFY(ImgName().size() <= 79);
}

QStringList InputTest::SimOptions() const {
    return {QStringLiteral("--count"), QStringLiteral("3"),          QStringLiteral("--seed"),
            QStringLiteral("13"),      QStringLiteral("--password"), QString::fromLatin1(kPassword)};
}

QByteArray InputTest::SimState() const {
    return "0 name " + ImgName() +
           "\n0 ssid <b>Bold</b>\n* firmware-version <u>3.1</u>\n"
           "1 name Caf\xe9\n1 ssid Caf\xe9Net\n"
           "2 name Roof\n2 wep 64\n2 default-key 0\n2 key 0 a1b2c3d4e5\n"
           "* ip 10.0.0.9\n* mask 255.0.0.0\n* gateway 10.0.0.1\n";
}

bool InputTest::WaitForLoginPage() {
    return WaitFor([&] { return !form_->Panel1->isHidden() && !form_->browsing && form_->BitBtn5->isEnabled(); },
                   20000);
}

bool InputTest::Login(int ap, const QString& password) {
    if (form_->Panel1->isHidden()) {
        // Back to the login page through the list's last item, which browses.
        QSignalSpy finished(form_.get(), &TForm1::BrowseFinished);
        const int last = form_->ComboBox1->count() - 1;
        form_->ComboBox1->setCurrentIndex(last);
        emit form_->ComboBox1->activated(last);
        if (!finished.wait(20000)) return false;
    }
    if (!WaitForLoginPage()) return false;
    const int index = IndexOf(ap);
    if (index < 0) return false;
    form_->ComboBox1->setCurrentIndex(index);
    emit form_->ComboBox1->activated(index);
    form_->Edit1->setText(password);
    form_->BitBtn5->click();
    return !form_->Panel2->isHidden();
}

int InputTest::BlockOps(uint8_t op, int fromLine) const {
    QSet<int> sequences;
    for (const QJsonObject& o : sim_->Events(fromLine)) {
        if (o.value(QStringLiteral("event")).toString() == QLatin1String("request") &&
            o.value(QStringLiteral("type")).toInt(-1) == MSG_BLOCK && o.value(QStringLiteral("op")).toInt(-1) == op) {
            sequences.insert(o.value(QStringLiteral("seq")).toInt());
        }
    }
    return static_cast<int>(sequences.size());
}

int InputTest::Logins(int fromLine) const {
    int n = 0;
    for (const QJsonObject& o : sim_->Events(fromLine)) {
        if (o.value(QStringLiteral("event")).toString() == QLatin1String("request") &&
            o.value(QStringLiteral("type")).toInt(-1) == MSG_SESSION) {
            ++n;
        }
    }
    return n;
}

int InputTest::Browses(int fromLine) const {
    int n = 0;
    for (const QJsonObject& o : sim_->Events(fromLine)) {
        if (o.value(QStringLiteral("event")).toString() == QLatin1String("request") &&
            o.value(QStringLiteral("type")).toInt(-1) == MSG_BROWSE) {
            ++n;
        }
    }
    return n;
}

bool InputTest::ApplyAndWaitForBrowse(TImageButton* apply) {
    QSignalSpy finished(form_.get(), &TForm1::BrowseFinished);
    apply->click();
    return finished.count() > 0 || finished.wait(20000);
}

void InputTest::textsFromOutsideShowAsPlainText() {
    const QString imgName = QStringLiteral("<img src=") + picture_ + QLatin1Char('>');
    const int index = IndexOf(0);
    QVERIFY(index >= 0);
    QVERIFY(form_->ComboBox1->itemText(index).endsWith(QStringLiteral("  ") + imgName));

    // A refused login: the catalogue's message as written in the dialog.
    QVERIFY(!Login(0, QStringLiteral("wrong")));
    QCOMPARE(messages_->labels.last(), QString::fromLatin1(kMarkupMessage));
    QCOMPARE(messageForm_->Label1->textFormat(), Qt::PlainText);

    QVERIFY(Login(0));
    const struct {
        const QLabel* label;
        QString text;
    } shown[] = {
        {form_->Label19, imgName},
        {form_->Label3, QStringLiteral("<b>Bold</b>")},
        {form_->Label26, QString::fromLatin1(kMarkupCaption)},
        {form_->Label30, QStringLiteral("<u>3.1</u>")},
    };
    for (const auto& s : shown) {
        QVERIFY2(ShowsCharacterForCharacter(s.label, s.text),
                 qPrintable(s.label->objectName() + QLatin1String(": ") + s.label->text()));
    }
    // Every label of the window, whatever it will show later.
    for (const QLabel* label : form_->findChildren<QLabel*>()) {
        QVERIFY2(label->textFormat() == Qt::PlainText, qPrintable(label->objectName()));
    }
    QCOMPARE(form_->Edit5->text(), imgName);
    QCOMPARE(form_->Edit2->text(), QStringLiteral("<b>Bold</b>"));
}

void InputTest::editingShortcutsWorkAndPastesKeepTheRules_data() {
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("before");  // the field's text, caret at its end
    QTest::addColumn<QString>("clipboard");
    QTest::addColumn<QString>("after");

    const QString ascii = QStringLiteral("Net-2 ~x");
    QTest::newRow("SSID takes a printable paste") << "Edit2"
                                                  << "old" << ascii << QStringLiteral("old") + ascii;
    QTest::newRow("SSID refuses a paste with a Latin-1 letter") << "Edit2"
                                                                << "old"
                                                                << "caf\u00e9"
                                                                << "old";
    QTest::newRow("SSID refuses a paste with a line end") << "Edit2"
                                                          << "old"
                                                          << "two\nlines"
                                                          << "old";
    QTest::newRow("SSID cuts a long paste at 32")
        << "Edit2"
        << "" << QString(40, QLatin1Char('s')) << QString(32, QLatin1Char('s'));
    QTest::newRow("password refuses a control character") << "Edit3"
                                                          << "pw"
                                                          << "a\tb"
                                                          << "pw";
    QTest::newRow("password cuts a long paste at 40")
        << "Edit3"
        << "" << QString(50, QLatin1Char('p')) << QString(40, QLatin1Char('p'));
    QTest::newRow("login password takes a paste") << "Edit1"
                                                  << ""
                                                  << "pa ss~"
                                                  << "pa ss~";
    QTest::newRow("login password refuses a non-ASCII paste") << "Edit1"
                                                              << "x"
                                                              << "\u20ac"
                                                              << "x";
    QTest::newRow("name takes Latin-1") << "Edit5"
                                        << "Caf"
                                        << "\u00e9 2"
                                        << "Caf\u00e9 2";
}

void InputTest::editingShortcutsWorkAndPastesKeepTheRules() {
    QFETCH(QString, field);
    QFETCH(QString, before);
    QFETCH(QString, clipboard);
    QFETCH(QString, after);

    if (field != QLatin1String("Edit1")) {
        QVERIFY(Login(2));
        form_->BitBtn7->click();
        QVERIFY(!form_->Panel3->isHidden());
    } else {
        QVERIFY(Login(2));
        QVERIFY(Login(2, QStringLiteral("wrong")) == false);  // stays on the login page
    }
    auto* edit = form_->findChild<QLineEdit*>(field);
    QVERIFY(edit != nullptr);
    edit->setFocus();
    edit->setText(before);
    QGuiApplication::clipboard()->setText(clipboard);
    Chord(edit, Qt::Key_End, Qt::NoModifier);
    Chord(edit, Qt::Key_V);
    QCOMPARE(edit->text(), after);

    // Undo, redo (not offered by password fields), select all and the word
    // moves reach the field.
    if (edit->echoMode() == QLineEdit::Normal) {
        Chord(edit, Qt::Key_Z);
        QCOMPARE(edit->text(), before);
        Chord(edit, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(edit->text(), after);
    }
    edit->setText(QStringLiteral("one two"));
    Chord(edit, Qt::Key_End, Qt::NoModifier);
    Chord(edit, Qt::Key_Left);  // to the start of "two"; a password is one word
    TypeText(edit, QStringLiteral("X"));
    QCOMPARE(edit->text(),
             edit->echoMode() == QLineEdit::Normal ? QStringLiteral("one Xtwo") : QStringLiteral("Xone two"));
    Chord(edit, Qt::Key_A);
    TypeText(edit, QStringLiteral("new"));
    QCOMPARE(edit->text(), QStringLiteral("new"));
    // A letter with Ctrl held that is no shortcut still types nothing.
    Chord(edit, Qt::Key_Q);
    QCOMPARE(edit->text(), QStringLiteral("new"));

    if (!form_->Panel3->isHidden()) form_->BitBtn20->click();
}

void InputTest::selectAllAndTypeReplacesThePassword() {
    // Login: a wrong try, select all, the right one, Enter.
    QVERIFY(Login(2, QStringLiteral("wrongp")) == false);
    QVERIFY(WaitForLoginPage());
    form_->Edit1->setFocus();
    form_->Edit1->setText(QStringLiteral("wrongp"));
    Chord(form_->Edit1, Qt::Key_A);
    TypeText(form_->Edit1, QString::fromLatin1(kPassword));
    QTest::keyClick(form_->Edit1, Qt::Key_Return);
    QVERIFY(!form_->Panel2->isHidden());

    // Setup: both password fields typed over after select all; the device
    // stores exactly the new one.
    form_->BitBtn7->click();
    for (QLineEdit* field : {form_->Edit3, form_->Edit4}) {
        field->setFocus();
        TypeText(field, QStringLiteral("wrongp"));
        Chord(field, Qt::Key_A);
        TypeText(field, QStringLiteral("renewedw"));
        Chord(field, Qt::Key_Backspace, Qt::NoModifier);
    }
    const int messages = messages_->texts.size();
    QVERIFY(ApplyAndWaitForBrowse(form_->BitBtn8));
    QVERIFY2(messages_->texts.size() == messages, qPrintable(messages_->texts.join(QLatin1Char('|'))));
    const auto dump = Dump(2);
    QVERIFY(dump.has_value());
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(dump->data() + kPasswordAt), 8), QByteArray("renewed\0", 8));
}

void InputTest::passwordFieldsNeverCopyTheirText() {
    // Select all, copy, cut: the clipboard keeps what it had, in every field
    // that shows its text masked.
    const auto check = [](QLineEdit* field, const QString& text) {
        QCOMPARE(field->echoMode(), QLineEdit::Password);
        field->setFocus();
        field->setText(text);
        QGuiApplication::clipboard()->setText(QStringLiteral("untouched"));
        Chord(field, Qt::Key_A);
        QVERIFY(field->hasSelectedText());
        Chord(field, Qt::Key_C);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("untouched"));
        Chord(field, Qt::Key_X);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("untouched"));
        QVERIFY(!field->dragEnabled());
    };
    QVERIFY(Login(2));
    form_->BitBtn7->click();
    QVERIFY(!form_->Panel3->isHidden());
    check(form_->Edit3, QStringLiteral("hidden-3"));
    if (QTest::currentTestFailed()) return;
    check(form_->Edit4, QStringLiteral("hidden-4"));
    if (QTest::currentTestFailed()) return;
    form_->BitBtn20->click();

    form_->BitBtn2->click();
    form_->BitBtn9->click();
    QVERIFY(!form_->Panel8->isHidden());
    QLineEdit* segment = form_->KeySegment(0, 1);
    QVERIFY(segment->isEnabled());
    check(segment, QStringLiteral("a1b2c"));
    if (QTest::currentTestFailed()) return;
    form_->BitBtn18->click();

    QVERIFY(Login(2, QStringLiteral("wrong")) == false);
    check(form_->Edit1, QStringLiteral("hidden-1"));
}

void InputTest::doubleClickOnAPageButtonActsOnce_data() {
    QTest::addColumn<QString>("toPage");  // the status page the opener is on
    QTest::addColumn<QString>("opener");
    QTest::addColumn<QString>("opened");
    QTest::newRow("Setup on the security status page") << "BitBtn2"
                                                       << "BitBtn9"
                                                       << "Panel8";
    QTest::newRow("Setup on the information page") << "BitBtn1"
                                                   << "BitBtn7"
                                                   << "Panel3";
}

void InputTest::doubleClickOnAPageButtonActsOnce() {
    QFETCH(QString, toPage);
    QFETCH(QString, opener);
    QFETCH(QString, opened);
    QVERIFY(Login(2));
    form_->findChild<QPushButton*>(toPage)->click();
    auto* button = form_->findChild<TImageButton*>(opener);
    auto* page = form_->findChild<QWidget*>(opened);
    QVERIFY(button != nullptr && page != nullptr);
    QVERIFY(button->isVisible());

    // Nothing that acts lies under the opener on the page it opens.
    const QRect spot(button->mapTo(form_.get(), QPoint(0, 0)), button->size());
    for (const QAbstractButton* other : page->findChildren<QAbstractButton*>()) {
        const QRect at(other->mapTo(form_.get(), QPoint(0, 0)), other->size());
        QVERIFY2(!at.intersects(spot), qPrintable(other->objectName()));
    }

    // A double-click on it, delivered where it lands, as the window system does.
    const int line = sim_->LogLines();
    const int messages = messages_->texts.size();
    QTest::mouseDClick(form_->windowHandle(), Qt::LeftButton, {}, SpotOf(button));
    QTest::qWait(300);
    QVERIFY(!page->isHidden());
    QVERIFY(form_->Panel1->isHidden());
    QCOMPARE(BlockOps(BLOCK_OP_WRITE, line) + BlockOps(BLOCK_OP_FINISH, line), 0);
    QCOMPARE(messages_->texts.size(), messages);

    // A press on a page's button whose release comes after another page was
    // put up does nothing on either page.
    auto* cancel = qobject_cast<TImageButton*>(opened == QLatin1String("Panel8") ? form_->BitBtn18 : form_->BitBtn20);
    const QPoint at = SpotOf(cancel);
    QTest::mousePress(form_->windowHandle(), Qt::LeftButton, {}, at);
    QVERIFY(cancel->isDown());
    if (opened == QLatin1String("Panel8")) {
        form_->BitBtn18Click();
    } else {
        form_->BitBtn20Click();
    }
    form_->findChild<QPushButton*>(toPage)->click();
    QVERIFY(page->isHidden());
    button->click();
    QVERIFY(!page->isHidden());
    QTest::mouseRelease(form_->windowHandle(), Qt::LeftButton, {}, at);
    QVERIFY(!page->isHidden());  // the release did not cancel the page shown after its press
    QVERIFY(!cancel->isDown());
    if (opened == QLatin1String("Panel8")) {
        form_->BitBtn18->click();
    } else {
        form_->BitBtn20->click();
    }
}

void InputTest::inputDuringTheReturnPauseIsDropped() {
    QVERIFY(Login(2));
    form_->BitBtn2->click();
    form_->BitBtn9->click();
    QVERIFY(!form_->Panel8->isHidden());
    const int line = sim_->LogLines();
    form_->Edit1->setText(QStringLiteral("kept"));

    // While the window sleeps, the user clicks where Close will be and types
    // into the password field and presses Enter.
    static TForm1* form = nullptr;
    form = form_.get();
    TForm1::returnPause = [](int ms) {
        QWidget* close = form->BitBtn6;
        const QPointF inside = QPointF(close->rect().center());
        QCoreApplication::postEvent(close, new QMouseEvent(QEvent::MouseButtonPress, inside, close->mapToGlobal(inside),
                                                           Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
        QCoreApplication::postEvent(
            close, new QMouseEvent(QEvent::MouseButtonRelease, inside, close->mapToGlobal(inside), Qt::LeftButton,
                                   Qt::NoButton, Qt::NoModifier));
        for (QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
            QCoreApplication::postEvent(form->Edit1,
                                        new QKeyEvent(type, Qt::Key_X, Qt::NoModifier, QStringLiteral("x")));
        }
        for (QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
            QCoreApplication::postEvent(form->Edit1, new QKeyEvent(type, Qt::Key_Return, Qt::NoModifier));
        }
        QThread::msleep(static_cast<unsigned long>(ms));
    };
    QSignalSpy finished(form_.get(), &TForm1::BrowseFinished);
    form_->BitBtn19->click();  // nothing changed: finish only, then the pause
    TForm1::returnPause = nullptr;
    QVERIFY(finished.wait(20000));
    QTest::qWait(200);

    QVERIFY(form_->isVisible());  // Close did not act
    QVERIFY(!form_->Panel1->isHidden());
    QCOMPARE(form_->Edit1->text(), QStringLiteral("kept"));
    QCOMPARE(Logins(line), 0);  // nor did Enter
    QCOMPARE(BlockOps(BLOCK_OP_FINISH, line), 8);
}

void InputTest::imageTextsRoundTripAsLatin1_data() {
    QTest::addColumn<QString>("typed");      // appended to the name
    QTest::addColumn<QByteArray>("stored");  // the name's bytes afterwards; empty: refused
    QTest::newRow("ASCII added to an 8-bit name") << "X" << QByteArray("Caf\xe9X");
    QTest::newRow("a Latin-1 letter typed") << "\u00fc" << QByteArray("Caf\xe9\xfc");
    QTest::newRow("a character beyond Latin-1") << "\u20ac" << QByteArray();
}

void InputTest::imageTextsRoundTripAsLatin1() {
    QFETCH(QString, typed);
    QFETCH(QByteArray, stored);
    const QString name = QStringLiteral("Caf\u00e9");
    const int index = IndexOf(1);
    QVERIFY(index >= 0);
    QVERIFY(Login(1));
    QCOMPARE(form_->ComboBox1->itemText(form_->ComboBox1->currentIndex()).section(QStringLiteral("  "), 1), name);
    QCOMPARE(form_->Label19->text(), name);
    QCOMPARE(form_->Label3->text(), QStringLiteral("Caf\u00e9Net"));
    const ConfigImage before = form_->imageSnapshot;

    form_->BitBtn7->click();
    QCOMPARE(form_->Edit5->text(), name);
    QCOMPARE(form_->Edit2->text(), QStringLiteral("Caf\u00e9Net"));
    form_->Edit5->setFocus();
    form_->Edit5->end(false);
    TypeText(form_->Edit5, typed);
    QCOMPARE(form_->Edit5->text(), name + typed);

    const int line = sim_->LogLines();
    const int messages = messages_->texts.size();
    if (stored.isEmpty()) {
        form_->BitBtn8->click();
        QCOMPARE(messages_->texts.size(), messages + 1);
        QCOMPARE(messages_->texts.last(), QStringLiteral("text_not_storable text"));
        QVERIFY(!form_->Panel3->isHidden());  // the page stays for the user to mend
        QCOMPARE(BlockOps(BLOCK_OP_WRITE, line) + BlockOps(BLOCK_OP_FINISH, line), 0);
        form_->BitBtn20->click();
        return;
    }
    QVERIFY(ApplyAndWaitForBrowse(form_->BitBtn8));
    QCOMPARE(messages_->texts.size(), messages);
    const auto dump = Dump(1);
    QVERIFY(dump.has_value());
    ConfigImage expected = before;
    PutText(expected, kNameAt, stored);
    expected[kNetworkFlagAt] = 1;  // every setup apply marks the addresses as set
    StampCrc(expected);
    // The SSID that was not touched keeps its byte 0xE9 as well.
    QVERIFY2(FirstDifference(*dump, expected).isEmpty(), qPrintable(FirstDifference(*dump, expected)));

    // Back to the name the next row starts from.
    QVERIFY(Login(1));
    QCOMPARE(form_->Label19->text(), QString::fromLatin1(stored));
    form_->BitBtn7->click();
    form_->Edit5->setText(name);
    QVERIFY(ApplyAndWaitForBrowse(form_->BitBtn8));
}

void InputTest::browseDueDuringALoginIsDropped() {
    QVERIFY(Login(2));
    QVERIFY(Login(2, QStringLiteral("wrong")) == false);  // back on the login page, browsed
    QVERIFY(WaitForLoginPage());
    const ScopedDelay delay(*sim_, 400, QStringLiteral("login"));
    QVERIFY2(delay.ok, qPrintable(delay.failure));

    // The browse falls due while the login waits for its reply.
    const int line = sim_->LogLines();
    QSignalSpy started(form_.get(), &TForm1::BrowseStarted);
    form_->LIAPP_Timer->start();
    form_->Edit1->setText(QString::fromLatin1(kPassword));
    form_->BitBtn5->click();
    QVERIFY(!form_->Panel2->isHidden());
    QTest::qWait(1000);
    QCOMPARE(started.count(), 0);
    QCOMPARE(Browses(line), 0);
    QVERIFY(!form_->LIAPP_Timer->isActive());

    // The pages keep working: an apply reaches the device.
    form_->BitBtn7->click();
    form_->Edit2->setText(QStringLiteral("AfterLogin"));
    const int commits = sim_->Commits(true);
    QVERIFY(ApplyAndWaitForBrowse(form_->BitBtn8));
    QCOMPARE(sim_->Commits(true), commits + 1);
}

void InputTest::tabCaptionsIgnoreClicksDuringAnApply() {
    QVERIFY(Login(2));
    form_->BitBtn2->click();
    form_->BitBtn9->click();
    QVERIFY(!form_->Panel8->isHidden());
    const ScopedDelay delay(*sim_, 150, QStringLiteral("block"));
    QVERIFY2(delay.ok, qPrintable(delay.failure));

    form_->RadioButton9->click();  // WEP off: the WEP tab is changed
    const int commits = sim_->Commits(true);
    const int messages = messages_->texts.size();
    bool probed = false;
    bool applying = false;
    bool macTabShown = false;
    bool wepTabShown = false;
    QTimer::singleShot(300, this, [&] {
        probed = true;
        applying = form_->ApplyingSecurity();
        QTest::mouseClick(form_->Label37, Qt::LeftButton, {}, QPoint(3, 3));
        macTabShown = !form_->GroupBox2->isHidden();
        QTest::mouseClick(form_->Label35, Qt::LeftButton, {}, QPoint(3, 3));
        wepTabShown = !form_->GroupBox1->isHidden();
    });
    QVERIFY(ApplyAndWaitForBrowse(form_->BitBtn19));
    QVERIFY(probed);
    QVERIFY(applying);
    QVERIFY(!macTabShown);
    QVERIFY(wepTabShown);
    QCOMPARE(messages_->texts.size(), messages);  // no "apply the other section first" inside the apply
    QCOMPARE(sim_->Commits(true), commits + 1);
    const auto dump = Dump(2);
    QVERIFY(dump.has_value());
    QCOMPARE(int((*dump)[kWepEnabledAt]), 0);
}

APUTIL_WINDOW_TEST_MAIN(InputTest)

#include "ui_input_test.moc"
