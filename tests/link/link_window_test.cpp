// The window as an unprivileged user, its packet channel in the helper beside
// it. Run by run-unprivileged-window as nobody from a folder that holds a copy
// of this program, the helper and the catalogue:
//   LINK_WINDOW_MODE=right  the helper holds CAP_NET_RAW: browse, login and an
//                           apply committed byte-exact, with no right in this process;
//   LINK_WINDOW_MODE=none   the helper lacks it: the login page names the fix.

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QtTest/QtTest>

#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>

#include "app/gui/message_form.h"
#include "app/gui/uinterface.h"
#include "protocol/engine.h"
#include "tests/ui/ui_support.h"
#include "transport/adapter.h"
#include "transport/link_driver.h"
#include "ui/form1.h"
#include "ui/widgets.h"

using namespace aputil;
using namespace aputil::test;

namespace {

constexpr const char* kPassword = "pw";

QString StatusField(const QString& pid, const QString& field) {
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) return {};
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith(field.toLatin1() + ':')) return QString::fromLatin1(line.mid(field.size() + 1)).trimmed();
    }
    return {};
}

QString ProgramFolder() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    return QFileInfo(QString::fromLocal8Bit(path, static_cast<qsizetype>(n))).path();
}

}  // namespace

class UnprivilegedWindowTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void browseLoginAndApplyThroughTheHelper();
    void withoutTheRightTheLoginPageNamesTheFix();

private:
    void OpenWindow();
    std::unique_ptr<TForm1> form_;
    std::unique_ptr<TUInterface> uinterface_;
    std::unique_ptr<TMessageForm> messageForm_;
    std::unique_ptr<MessageWatcher> messages_;
    QString helper_;
};

void UnprivilegedWindowTest::init() {
    if (Env("LINK_WINDOW_MODE").isEmpty()) QSKIP("run by run-unprivileged-window");
    QVERIFY2(getuid() != 0 && geteuid() != 0, "must run as an unprivileged user");
    // This process holds no capability at all, effective or permitted.
    QCOMPARE(StatusField(QStringLiteral("self"), QStringLiteral("CapEff")), QStringLiteral("0000000000000000"));
    QCOMPARE(StatusField(QStringLiteral("self"), QStringLiteral("CapPrm")), QStringLiteral("0000000000000000"));
}

void UnprivilegedWindowTest::cleanup() {
    messages_.reset();
    messageForm_.reset();
    uinterface_.reset();
    form_.reset();
    theAdapter.SetDriver(MakePcapDriver());
}

void UnprivilegedWindowTest::OpenWindow() {
    // As the program's start does: the helper beside it.
    helper_ = QString::fromStdString(FindLinkHelper());
    QCOMPARE(helper_, ProgramFolder() + QStringLiteral("/aputil-link"));
    auto driver = MakeLinkDriver(helper_.toStdString());
    QVERIFY(driver != nullptr);
    theAdapter.SetDriver(std::move(driver));
    form_ = std::make_unique<TForm1>();
    uinterface_ = std::make_unique<TUInterface>();
    messageForm_ = std::make_unique<TMessageForm>(form_.get());
    messages_ = std::make_unique<MessageWatcher>(*messageForm_);
    QSignalSpy finished(form_.get(), &TForm1::BrowseFinished);
    form_->show();
    QVERIFY(finished.wait(20000));
}

void UnprivilegedWindowTest::browseLoginAndApplyThroughTheHelper() {
    if (Env("LINK_WINDOW_MODE") != QLatin1String("right")) QSKIP("the helper lacks the right in this run");
    QList<SimAp> aps;
    QFile out(Env("LINK_APSIM_OUT"));
    QVERIFY(out.open(QIODevice::ReadOnly));
    for (const QByteArray& line : out.readAll().split('\n')) {
        const QList<QByteArray> parts = line.split(' ');
        if (parts.size() >= 3 && parts[0] == "ap")
            aps.push_back(
                SimAp{parts[1].toInt(), QString::fromLatin1(parts[2]), QString::fromLatin1(parts.mid(3).join(' '))});
    }
    QCOMPARE(aps.size(), 3);

    OpenWindow();
    auto* link = dynamic_cast<LinkDriver*>(&theAdapter.Driver());
    QVERIFY(link != nullptr);
    const QString helperPid = QString::number(link->HelperPid());
    // The helper holds the raw-packet right and nothing else; this process none.
    QCOMPARE(StatusField(helperPid, QStringLiteral("CapEff")), QStringLiteral("0000000000002000"));
    QCOMPARE(StatusField(helperPid, QStringLiteral("CapPrm")), QStringLiteral("0000000000002000"));
    QCOMPARE(StatusField(helperPid, QStringLiteral("NoNewPrivs")), QStringLiteral("1"));
    QCOMPARE(StatusField(QStringLiteral("self"), QStringLiteral("CapEff")), QStringLiteral("0000000000000000"));

    QCOMPARE(theAdapter.usableCount, 1);
    QCOMPARE(form_->accessPointCount, 3);
    for (const SimAp& ap : aps) QVERIFY2(IndexOfAp(*form_, ap.mac) >= 0, qPrintable(ap.mac));
    auto* hint = form_->Panel1->findChild<QLabel*>(QStringLiteral("PrivilegeHint"));
    QVERIFY(hint != nullptr && hint->isHidden());

    const int index = IndexOfAp(*form_, aps[1].mac);
    form_->ComboBox1->setCurrentIndex(index);
    form_->Edit1->setText(QString::fromLatin1(kPassword));
    form_->BitBtn5->click();
    QVERIFY(!form_->Panel2->isHidden());
    QCOMPARE(form_->Label19->text(), aps[1].name);

    form_->BitBtn7->click();  // the basic setup page
    QVERIFY(!form_->Panel3->isHidden());
    const ConfigImage before = form_->imageSnapshot;
    const QByteArray ssid("Through-Link 7");
    form_->Edit2->clear();
    QTest::keyClicks(form_->Edit2, QString::fromLatin1(ssid));
    QSignalSpy browsed(form_.get(), &TForm1::BrowseFinished);
    form_->BitBtn8->click();
    QVERIFY(browsed.wait(20000));
    QVERIFY(messages_->texts.isEmpty());

    const std::optional<ConfigImage> committed = ReadDump(Env("LINK_DUMPS"), aps[1].mac);
    QVERIFY(committed.has_value());
    ConfigImage expected = before;
    PutText(expected, kSsidAt, ssid);
    StampCrc(expected);
    QVERIFY2(*committed == expected, qPrintable(FirstDifference(*committed, expected)));
    // Back on the login page the list came through the helper again.
    QCOMPARE(form_->accessPointCount, 3);
}

void UnprivilegedWindowTest::withoutTheRightTheLoginPageNamesTheFix() {
    if (Env("LINK_WINDOW_MODE") != QLatin1String("none")) QSKIP("the helper holds the right in this run");
    OpenWindow();
    QCOMPARE(theAdapter.usableCount, 0);
    QCOMPARE(form_->accessPointCount, 0);
    // The design's browse-again item stays; the hint line says what to do.
    QCOMPARE(form_->ComboBox1->count(), 1);
    auto* hint = form_->Panel1->findChild<QLabel*>(QStringLiteral("PrivilegeHint"));
    QVERIFY(hint != nullptr);
    QVERIFY(hint->isVisible());
    QVERIFY2(hint->text().contains(QStringLiteral("sudo setcap cap_net_raw+ep ") + helper_), qPrintable(hint->text()));
    QVERIFY(hint->text().contains(QStringLiteral("install")));
    QVERIFY(!form_->BitBtn5->isEnabled());
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    UnprivilegedWindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "link_window_test.moc"
