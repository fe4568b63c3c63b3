// The browse of every adapter in one reply wait, over three links with a
// simulator of its own on each (tests/netns/with-netns --links 3): link 0 and
// link 2 see the same 60 APs, link 1 sees 60 others. The list must be exactly
// the one the adapter-by-adapter browse makes: each AP once with the first
// adapter that saw it, at most 100 with the earlier adapters' replies first,
// sorted by MAC, through the in-process driver and the packet helper alike;
// and an adapter that is down is not browsed.

#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QtTest/QtTest>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "app/gui/message_form.h"
#include "app/gui/uinterface.h"
#include "protocol/engine.h"
#include "protocol/operations.h"
#include "tests/support/forwarding_driver.h"
#include "tests/ui/ui_support.h"
#include "transport/adapter.h"
#include "transport/link_driver.h"
#include "ui/form1.h"
#include "ui/widgets.h"

using namespace aputil;
using namespace aputil::test;

namespace {

// The in-process driver as one that holds a single capture at a time, so the
// window browses adapter by adapter: the reference the one-wait browse must equal.
class OneAtATime final : public test::ForwardingDriver {
public:
    OneAtATime() : ForwardingDriver(MakePcapDriver()) {}
};

struct Listed {
    QString mac;
    int adapter;
    bool operator==(const Listed&) const = default;
};

}  // namespace

class BrowseTogetherTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void oneWaitListsWhatTheOneByOneBrowseLists();
    void anAdapterThatIsDownIsNotBrowsed();

private:
    bool StartSim(int link, const QString& seed);
    QList<Listed> Browse();
    int BrowseRequests(int link) const;

    std::unique_ptr<WorkFolder> folder_;
    std::array<QProcess, 3> sims_;
    std::array<QStringList, 3> macs_;
    std::unique_ptr<TForm1> form_;
    std::unique_ptr<TUInterface> uinterface_;
    std::unique_ptr<TMessageForm> messageForm_;
};

bool BrowseTogetherTest::StartSim(int link, const QString& seed) {
    QProcess& sim = sims_[static_cast<size_t>(link)];
    const QString log = folder_->dir.filePath(QStringLiteral("apsim%1.log").arg(link));
    sim.setProgram(QStringLiteral("ip"));
    sim.setArguments({QStringLiteral("netns"), QStringLiteral("exec"), Env("APUTIL_NS_B"), Env("APUTIL_APSIM"),
                      QStringLiteral("--iface"), QStringLiteral("vethB%1").arg(link), QStringLiteral("--count"),
                      QStringLiteral("60"), QStringLiteral("--seed"), seed, QStringLiteral("--log"), log});
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start();
    if (!sim.waitForStarted(5000)) return false;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 10000) {
        if (!sim.canReadLine() && !sim.waitForReadyRead(200)) continue;
        while (sim.canReadLine()) {
            const QList<QByteArray> parts = sim.readLine().trimmed().split(' ');
            if (parts.value(0) == "ready") return true;
            if (parts.size() >= 3 && parts[0] == "ap")
                macs_[static_cast<size_t>(link)] << QString::fromLatin1(parts[2]);
        }
    }
    return false;
}

int BrowseTogetherTest::BrowseRequests(int link) const {
    QFile file(folder_->dir.filePath(QStringLiteral("apsim%1.log").arg(link)));
    if (!file.open(QIODevice::ReadOnly)) return -1;
    int n = 0;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.contains("\"event\":\"request\"") && line.contains("\"type\":0,")) ++n;
    }
    return n;
}

void BrowseTogetherTest::initTestCase() {
    if (!InTestNamespace() || Env("APUTIL_APSIM").isEmpty()) QSKIP("needs tests/netns/with-netns --links 3 and apsim");
    folder_ = std::make_unique<WorkFolder>(TestCatalogue(), true);
    folder_->Enter();
    QVERIFY(StartSim(0, QStringLiteral("31")));
    QVERIFY(StartSim(1, QStringLiteral("32")));
    QVERIFY(StartSim(2, QStringLiteral("31")));  // the same APs as link 0
    QCOMPARE(macs_[2], macs_[0]);
    for (const QString& mac : macs_[1]) QVERIFY(!macs_[0].contains(mac));

    form_ = std::make_unique<TForm1>();
    uinterface_ = std::make_unique<TUInterface>();
    messageForm_ = std::make_unique<TMessageForm>(form_.get());
    QCOMPARE(theAdapter.usableCount, 3);
    QSignalSpy finished(form_.get(), &TForm1::BrowseFinished);
    form_->show();
    QVERIFY(finished.wait(20000));
}

void BrowseTogetherTest::cleanupTestCase() {
    messageForm_.reset();
    uinterface_.reset();
    form_.reset();
    for (QProcess& sim : sims_) {
        sim.terminate();
        if (!sim.waitForFinished(5000)) sim.kill();
    }
}

QList<Listed> BrowseTogetherTest::Browse() {
    QSignalSpy finished(form_.get(), &TForm1::BrowseFinished);
    const int again = form_->accessPointCount;
    form_->ComboBox1->setCurrentIndex(again);
    emit form_->ComboBox1->activated(again);
    if (!finished.wait(20000)) return {};
    QList<Listed> list;
    for (int i = 0; i < form_->accessPointCount; ++i) {
        list.push_back(
            Listed{form_->ComboBox1->itemText(i).left(17), form_->accessPointList[static_cast<size_t>(i)].adapter});
    }
    return list;
}

void BrowseTogetherTest::oneWaitListsWhatTheOneByOneBrowseLists() {
    const QList<Listed> together = Browse();
    QVERIFY(!theAdapter.IsAdapterOpen());

    theAdapter.SetDriver(std::make_unique<OneAtATime>());
    QCOMPARE(theAdapter.Driver().MaxChannels(), 1);
    const QList<Listed> oneByOne = Browse();
    theAdapter.SetDriver(MakePcapDriver());

    QCOMPARE(together.size(), kBrowseCapacity);
    QCOMPARE(together, oneByOne);
    // Link 0's 60 first, then 40 of link 1's; link 2 only repeats link 0.
    int perAdapter[3] = {};
    for (const Listed& entry : together) ++perAdapter[entry.adapter];
    QCOMPARE(perAdapter[0], 60);
    QCOMPARE(perAdapter[1], 40);
    QCOMPARE(perAdapter[2], 0);
    for (const Listed& entry : together) {
        const QString colon = QString(entry.mac).replace(QLatin1Char('-'), QLatin1Char(':'));
        QVERIFY(macs_[static_cast<size_t>(entry.adapter)].contains(colon));
    }
    for (int i = 1; i < together.size(); ++i) QVERIFY(together[i - 1].mac < together[i].mac);
    // Every link got the browse; the one-by-one pass stopped once the list was full.
    QCOMPARE(BrowseRequests(0), 3);
    QCOMPARE(BrowseRequests(1), 3);
    QCOMPARE(BrowseRequests(2), 2);

    // The same through the packet helper, which holds the captures in a process of its own.
    std::unique_ptr<PacketDriver> link = MakeLinkDriver(APUTIL_LINK_HELPER);
    QVERIFY(link != nullptr);
    theAdapter.SetDriver(std::move(link));
    QVERIFY(theAdapter.ProbeAdapters());
    const QList<Listed> viaHelper = Browse();
    theAdapter.SetDriver(MakePcapDriver());
    QVERIFY(theAdapter.ProbeAdapters());
    QCOMPARE(viaHelper, oneByOne);
    QCOMPARE(BrowseRequests(2), 3);
}

void BrowseTogetherTest::anAdapterThatIsDownIsNotBrowsed() {
    const int before[3] = {BrowseRequests(0), BrowseRequests(1), BrowseRequests(2)};
    QCOMPARE(std::system("ip link set vethA0 down"), 0);
    const QList<Listed> list = Browse();
    QCOMPARE(std::system("ip link set vethA0 up"), 0);

    QCOMPARE(BrowseRequests(0), before[0]);
    QCOMPARE(BrowseRequests(1), before[1] + 1);
    QCOMPARE(BrowseRequests(2), before[2] + 1);
    // Link 2's APs are new now that link 0 is not browsed: link 1's 60, then 40 of link 2's.
    int perAdapter[3] = {};
    for (const Listed& entry : list) ++perAdapter[entry.adapter];
    QCOMPARE(list.size(), kBrowseCapacity);
    QCOMPARE(perAdapter[0], 0);
    QCOMPARE(perAdapter[1], 60);
    QCOMPARE(perAdapter[2], 40);
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    BrowseTogetherTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "link_browse_test.moc"
