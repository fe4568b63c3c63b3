// Browse and login against simulated access points (apsim) that two adapters
// see through one bridge: the list, each login failure and its message, the
// guard against a second exchange inside a wait, a good login with the
// information page, selection changes and the all-models chord. Each step
// starts on a new window, with the simulator as it started.

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <QtTest/QtTest>

#include <algorithm>
#include <memory>

#include "app/gui/image_button.h"
#include "app/gui/message_form.h"
#include "app/gui/uinterface.h"
#include "app/textconv.h"
#include "image/transfer.h"
#include "protocol/engine.h"
#include "tests/ui/sim_window_test.h"
#include "tests/ui/ui_support.h"
#include "transport/adapter.h"
#include "ui/form1.h"
#include "ui/widgets.h"

using namespace aputil;
using namespace aputil::test;

namespace {

constexpr const char* kPassword = "right-pw";
constexpr int kOtherModelAp = 1;  // apsim's AP 1 is of another model

}  // namespace

class LoginTest : public SimWindowTest {
    Q_OBJECT

private slots:
    void firstBrowseListsEachApOnceByMac();
    void wrongPasswordKeepsPageAndPassword();
    void nothingStartsASecondExchangeWhileALoginWaits();
    void adapterThatWillNotOpenShowsConnectionFail();
    void unreadableImageShowsApInfoNotAvailable();
    void rightPasswordOpensTheInformationPage();
    void choosingAnotherApReturnsToTheLoginPage();
    void chordDropsTheModelFilter();
    void aHundredApsFillTheListAndEndTheBrowse();

private:
    QByteArray Catalogue() const override { return TestCatalogue(); }
    QStringList SimOptions() const override;
    QByteArray SimState() const override;
    void SimStarted() override { QCOMPARE(sim_->aps.size(), 4); }
    void BeforeShow() override;
    void FirstBrowseDone() override;

    // The APs apsim lists that the model filter lets through, by ascending MAC.
    QList<SimAp> Expected(bool allModels) const;
    int IndexOf(const QString& colonMac) const;
    bool SelectAndLogin(int index, const QString& password);

    QElapsedTimer clock_;
    qint64 shownToBrowse_ = -1;
    int timeoutAtFirstBrowse_ = -1;  // the reply wait once the first browse was done
};

QStringList LoginTest::SimOptions() const {
    return {QStringLiteral("--count"), QStringLiteral("4"),          QStringLiteral("--seed"),
            QStringLiteral("11"),      QStringLiteral("--password"), QString::fromLatin1(kPassword)};
}

QByteArray LoginTest::SimState() const {
    return "0 name Hall 2\n1 name Other model\n1 model QR-9000 Other AP\n2 name Store\n3 name Roof top\n"
           "* ssid TestNet\n* channel 11\n* ip 10.1.2.3\n* mask 255.255.0.0\n* gateway 10.1.0.1\n"
           "* firmware-version 3.0.7\n* firmware-date 2002/08/01\n";
}

void LoginTest::BeforeShow() {
    QCOMPARE(theAdapter.usableCount, 2);  // vethA0 and vethA1
    SetTimeout(321);
    shownToBrowse_ = -1;
    connect(form_.get(), &TForm1::BrowseStarted, this, [this] {
        if (shownToBrowse_ < 0) shownToBrowse_ = clock_.elapsed();
    });
    clock_.start();
}

void LoginTest::FirstBrowseDone() {
    timeoutAtFirstBrowse_ = GetTimeout();
    SetTimeout(1000);  // the reply wait the program runs with
}

QList<SimAp> LoginTest::Expected(bool allModels) const {
    QList<SimAp> out;
    for (const SimAp& ap : sim_->aps) {
        if (allModels || ap.index != kOtherModelAp) out.push_back(ap);
    }
    // Fixed-width lower-case hex: text order is byte order.
    std::sort(out.begin(), out.end(), [](const SimAp& a, const SimAp& b) { return a.mac < b.mac; });
    return out;
}

int LoginTest::IndexOf(const QString& colonMac) const { return IndexOfAp(*form_, colonMac); }

bool LoginTest::SelectAndLogin(int index, const QString& password) {
    form_->ComboBox1->setCurrentIndex(index);
    form_->Edit1->setText(password);
    form_->BitBtn5->click();
    return !form_->Panel2->isHidden();
}

void LoginTest::firstBrowseListsEachApOnceByMac() {
    QVERIFY2(shownToBrowse_ >= 90 && shownToBrowse_ < 5000, qPrintable(QString::number(shownToBrowse_)));
    QCOMPARE(timeoutAtFirstBrowse_, 321);

    const QList<SimAp> expected = Expected(false);
    QCOMPARE(form_->accessPointCount, expected.size());
    QCOMPARE(form_->ComboBox1->count(), expected.size() + 1);
    for (int i = 0; i < expected.size(); ++i) {
        QCOMPARE(form_->ComboBox1->itemText(i), Dashed(expected[i].mac) + QStringLiteral("  ") + expected[i].name);
        // Both adapters saw every AP: each is kept with the first one browsed.
        QCOMPARE(form_->accessPointList[static_cast<size_t>(i)].adapter, 0);
    }
    QCOMPARE(form_->ComboBox1->itemText(expected.size()), QStringLiteral("browse_again text"));
    QCOMPARE(form_->ComboBox1->currentIndex(), 0);
    QVERIFY(form_->BitBtn5->isEnabled());
    QVERIFY(form_->BitBtn6->isEnabled());
    QVERIFY(form_->LIAPP_Timer->isActive() == false);
    SetTimeout(1000);  // the reply wait the program runs with

    // One browse per adapter, each with the full model filter.
    const QList<QJsonObject> browses = sim_->Requests(0);
    QCOMPARE(browses.size(), 2);
    QVERIFY(browses[0].value(QStringLiteral("src")) != browses[1].value(QStringLiteral("src")));
    for (const QJsonObject& b : browses) {
        QCOMPARE(b.value(QStringLiteral("model")).toString(), QStringLiteral("QR-4710A Smart AP"));
        QCOMPARE(b.value(QStringLiteral("vendor")).toString(), QStringLiteral("M-Rax"));
        QCOMPARE(b.value(QStringLiteral("product")).toString(), QStringLiteral("Lumivance/QR-4710 Access Point"));
    }
}

void LoginTest::wrongPasswordKeepsPageAndPassword() {
    const int before = messages_->texts.size();
    QVERIFY(!SelectAndLogin(1, QStringLiteral("wrong-pw")));
    QCOMPARE(messages_->texts.size(), before + 1);
    QCOMPARE(messages_->texts.last(), QStringLiteral("invalid_password text"));
    QCOMPARE(messages_->labels.last(), QStringLiteral("invalid_password text"));
    QVERIFY(!form_->Panel1->isHidden());
    QCOMPARE(form_->Edit1->text(), QStringLiteral("wrong-pw"));
    QCOMPARE(form_->ComboBox1->currentIndex(), 1);
    for (QWidget* b : {form_->BitBtn1, form_->BitBtn2, form_->BitBtn3}) QVERIFY(!b->isEnabled());
    QCOMPARE(currentSession, 0);
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);

    // The login went to that AP's own address over the adapter it answered on.
    const QList<QJsonObject> logins = sim_->Requests(4);
    QVERIFY(!logins.isEmpty());
    const QString chosenMac = form_->ComboBox1->itemText(1).left(17).replace(QLatin1Char('-'), QLatin1Char(':'));
    QCOMPARE(logins.last().value(QStringLiteral("ap")).toString(), chosenMac);
    QCOMPARE(logins.last().value(QStringLiteral("ok")).toBool(), false);
}

void LoginTest::nothingStartsASecondExchangeWhileALoginWaits() {
    // Every login reply comes 500 ms late, so the login waits with events flowing.
    const ScopedDelay delay(*sim_, 500, QStringLiteral("login"));
    QVERIFY2(delay.ok, qPrintable(delay.failure));
    const int loginsBefore = static_cast<int>(sim_->Requests(4).size());
    const int messagesBefore = messages_->texts.size();

    bool probed = false;
    bool loggingIn = false;
    int indexAfterChoice = -1;
    int selectedAfterChoice = -1;
    QTimer::singleShot(150, this, [&] {
        probed = true;
        loggingIn = form_->LoggingIn() && TUInterface::Waiting();
        form_->BitBtn5->click();
        QTest::keyClick(form_->Edit1, Qt::Key_Return);
        form_->ComboBox1->setCurrentIndex(2);
        emit form_->ComboBox1->activated(2);  // a person picking another AP
        indexAfterChoice = form_->ComboBox1->currentIndex();
        selectedAfterChoice = form_->selectedEntry;
    });
    QVERIFY(!SelectAndLogin(1, QStringLiteral("wrong-pw")));
    QVERIFY(probed);
    QVERIFY(loggingIn);
    QCOMPARE(indexAfterChoice, 1);
    QCOMPARE(selectedAfterChoice, 1);
    QCOMPARE(messages_->texts.size(), messagesBefore + 1);
    QCOMPARE(messages_->texts.last(), QStringLiteral("invalid_password text"));
    QCOMPARE(static_cast<int>(sim_->Requests(4).size()), loginsBefore + 1);
    QVERIFY(!form_->LoggingIn());
}

void LoginTest::adapterThatWillNotOpenShowsConnectionFail() {
    const int saved = theAdapter.usableIndex[0];
    theAdapter.usableIndex[0] = kMaxAdapters - 1;  // no such interface
    const bool loggedIn = SelectAndLogin(0, QString::fromLatin1(kPassword));
    theAdapter.usableIndex[0] = saved;
    QVERIFY(!loggedIn);
    QCOMPARE(messages_->texts.last(), QStringLiteral("connection_fail text"));
    QCOMPARE(currentAdapter, -1);
    QVERIFY(!theAdapter.IsAdapterOpen());
    QVERIFY(!form_->Panel1->isHidden());
}

void LoginTest::unreadableImageShowsApInfoNotAvailable() {
    // Block replies carry half their data: the image cannot be read whole.
    QCOMPARE(sim_->Command(QStringLiteral("fault truncated-block 1")), QStringLiteral("ok fault"));
    const bool loggedIn = SelectAndLogin(0, QString::fromLatin1(kPassword));
    QCOMPARE(sim_->Command(QStringLiteral("fault truncated-block 0")), QStringLiteral("ok fault"));
    QVERIFY(!loggedIn);
    QCOMPARE(messages_->texts.last(), QStringLiteral("ap_info_not_availible text"));
    QVERIFY(!form_->Panel1->isHidden());
    for (QWidget* b : {form_->BitBtn1, form_->BitBtn2, form_->BitBtn3}) QVERIFY(!b->isEnabled());
    QVERIFY(currentSession >= 1 && currentSession <= 8);  // the session stays
    QVERIFY(theAdapter.IsAdapterOpen());
}

void LoginTest::rightPasswordOpensTheInformationPage() {
    QSignalSpy succeeded(form_.get(), &TForm1::LoginSucceeded);
    const int messagesBefore = messages_->texts.size();
    form_->ComboBox1->setCurrentIndex(0);
    form_->Edit1->setText(QString::fromLatin1(kPassword));
    QTest::keyClick(form_->Edit1, Qt::Key_Return);

    QCOMPARE(succeeded.count(), 1);
    QCOMPARE(messages_->texts.size(), messagesBefore);
    QVERIFY(form_->Panel1->isHidden());
    QVERIFY(!form_->Panel2->isHidden());
    for (QWidget* b : {form_->BitBtn1, form_->BitBtn2, form_->BitBtn3}) QVERIFY(b->isEnabled());
    QCOMPARE(form_->Edit1->text(), QString::fromLatin1(kPassword));
    QCOMPARE(form_->selectedEntry, 0);
    QCOMPARE(currentAdapter, 0);
    QVERIFY(theAdapter.IsAdapterOpen());
    QVERIFY(currentSession >= 1 && currentSession <= 8);
    QVERIFY(form_->imageSnapshot == configImage);
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);

    const SimAp chosen = Expected(false).first();
    const struct {
        QLabel* label;
        QString text;
    } shown[] = {
        {form_->Label19, chosen.name},
        {form_->Label3, QStringLiteral("TestNet")},
        {form_->Label23, QStringLiteral("11")},
        {form_->Label24, QStringLiteral("10.1.2.3")},
        {form_->Label49, QStringLiteral("255.255.0.0")},
        {form_->Label50, QStringLiteral("10.1.0.1")},
        {form_->Label30, QStringLiteral("3.0.7")},
        {form_->Label31, QStringLiteral("2002/08/01")},
        {form_->Label27, QStringLiteral("1.8.1")},
        {form_->Label28, QStringLiteral("08/28/2002")},
    };
    for (const auto& s : shown) QCOMPARE(s.label->text(), s.text);
    QCOMPARE(form_->MaskEdit25->text().remove(QLatin1Char(' ')), QStringLiteral("10.1.2.3"));
    QCOMPARE(form_->MaskEdit26->text().remove(QLatin1Char(' ')), QStringLiteral("255.255.0.0"));
    QCOMPARE(form_->MaskEdit27->text().remove(QLatin1Char(' ')), QStringLiteral("10.1.0.1"));

    // The image was read in block requests of the granted session.
    const QList<QJsonObject> blocks = sim_->Requests(20);
    QVERIFY(!blocks.isEmpty());
    QCOMPARE(blocks.last().value(QStringLiteral("session")).toInt(), int(currentSession));
    QCOMPARE(blocks.last().value(QStringLiteral("ap")).toString(), chosen.mac);
}

void LoginTest::choosingAnotherApReturnsToTheLoginPage() {
    QVERIFY(SelectAndLogin(0, QString::fromLatin1(kPassword)));
    // The same AP again changes nothing.
    emit form_->ComboBox1->activated(0);
    QVERIFY(!form_->Panel2->isHidden());
    QVERIFY(form_->BitBtn1->isEnabled());

    form_->BitBtn3->click();
    QVERIFY(!form_->Panel6->isHidden());
    form_->ComboBox1->setCurrentIndex(2);
    emit form_->ComboBox1->activated(2);
    QVERIFY(!form_->Panel1->isHidden());
    for (QWidget* page : {form_->Panel2, form_->Panel3, form_->Panel4, form_->Panel6, form_->Panel8}) {
        QVERIFY(page->isHidden());
    }
    for (QWidget* b : {form_->BitBtn1, form_->BitBtn2, form_->BitBtn3}) QVERIFY(!b->isEnabled());
    QCOMPARE(form_->selectedEntry, 2);
    QCOMPARE(form_->Edit1->text(), QString::fromLatin1(kPassword));
    QVERIFY(!form_->LIAPP_Timer->isActive());  // no browse for another AP
}

void LoginTest::chordDropsTheModelFilter() {
    form_->Edit1->setText(QString::fromLatin1(kPassword));
    QVERIFY(form_->AllModelLabel->isHidden());
    QTest::keyClick(form_->Edit1, Qt::Key_F4, Qt::ControlModifier | Qt::ShiftModifier);
    QVERIFY(!form_->AllModelLabel->isHidden());
    QVERIFY(form_->allModels);

    const int browsesBefore = static_cast<int>(sim_->Requests(0).size());
    QSignalSpy finished(form_.get(), &TForm1::BrowseFinished);
    const int again = form_->accessPointCount;
    form_->ComboBox1->setCurrentIndex(again);
    emit form_->ComboBox1->activated(again);
    QVERIFY(finished.wait(20000));
    QCOMPARE(theAdapter.IsAdapterOpen(), false);  // the browse closed every adapter

    const QList<QJsonObject> browses = sim_->Requests(0);
    QCOMPARE(browses.size(), browsesBefore + 2);
    for (int i = browsesBefore; i < browses.size(); ++i) {
        QCOMPARE(browses[i].value(QStringLiteral("model")).toString(), QString());
    }
    const QList<SimAp> expected = Expected(true);
    QCOMPARE(form_->accessPointCount, expected.size());
    QVERIFY(IndexOf(sim_->aps[kOtherModelAp].mac) >= 0);
    for (int i = 0; i < expected.size(); ++i) {
        QCOMPARE(form_->ComboBox1->itemText(i), Dashed(expected[i].mac) + QStringLiteral("  ") + expected[i].name);
    }
    QCOMPARE(form_->Edit1->text(), QString::fromLatin1(kPassword));  // kept across browses
}

void LoginTest::aHundredApsFillTheListAndEndTheBrowse() {
    // More APs than the list holds: the first adapter's replies fill it. Both
    // adapters are browsed in the one reply wait, the second for nothing.
    QVERIFY2(RestartSim({QStringLiteral("--count"), QStringLiteral("130"), QStringLiteral("--seed"),
                         QStringLiteral("12"), QStringLiteral("--quiet")},
                        {}),
             qPrintable(sim_->Failure()));
    QSignalSpy finished(form_.get(), &TForm1::BrowseFinished);
    const int again = form_->accessPointCount;
    form_->ComboBox1->setCurrentIndex(again);
    emit form_->ComboBox1->activated(again);
    QVERIFY(finished.wait(20000));

    QCOMPARE(form_->accessPointCount, kBrowseCapacity);
    QCOMPARE(form_->ComboBox1->count(), kBrowseCapacity + 1);
    QCOMPARE(sim_->Requests(0).size(), 2);
    for (int i = 0; i < kBrowseCapacity; ++i) QCOMPARE(form_->accessPointList[static_cast<size_t>(i)].adapter, 0);
    QStringList items;
    for (int i = 0; i < kBrowseCapacity; ++i) items << form_->ComboBox1->itemText(i).left(17);
    QStringList sorted = items;
    sorted.sort();
    sorted.removeDuplicates();
    QCOMPARE(items, sorted);  // ascending, each once
    QCOMPARE(form_->ComboBox1->itemText(kBrowseCapacity), QStringLiteral("browse_again text"));
}

APUTIL_WINDOW_TEST_MAIN(LoginTest)

#include "ui_login_test.moc"
