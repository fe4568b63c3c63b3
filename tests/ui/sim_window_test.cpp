#include "tests/ui/sim_window_test.h"

#include <unistd.h>

#include <QSignalSpy>
#include <QtTest/QTest>

#include "image/transfer.h"
#include "protocol/engine.h"
#include "protocol/operations.h"
#include "transport/adapter.h"

namespace aputil::test {

void SimWindowTest::initTestCase() {
    if (!InTestNamespace() || Env("APUTIL_APSIM").isEmpty()) {
        QSKIP("needs the namespaces of tests/netns/with-netns and apsim");
    }
    if (::geteuid() != 0) QSKIP("needs root, as tests/netns/with-netns runs it");
    folder_ = std::make_unique<WorkFolder>(Catalogue(), true);
    folder_->Enter();
    FolderReady();
    if (QTest::currentTestFailed()) return;
    QVERIFY2(StartSim(SimOptions(), SimState()), qPrintable(sim_->Failure()));
    ownSim_ = true;
    SimStarted();
}

void SimWindowTest::init() {
    if (ownSim_) {
        QVERIFY2(sim_->Reset(), qPrintable(sim_->Failure()));
    } else {
        QVERIFY2(StartSim(SimOptions(), SimState()), qPrintable(sim_->Failure()));
        ownSim_ = true;
    }
    BeforeWindow();
    if (QTest::currentTestFailed()) return;
    OpenWindow();
    BeforeShow();
    if (QTest::currentTestFailed()) return;
    QSignalSpy finished(form_.get(), &TForm1::BrowseFinished);
    form_->show();
    form_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(form_.get()));
    QVERIFY(finished.count() > 0 || finished.wait(20000));
    FirstBrowseDone();
}

void SimWindowTest::cleanup() { CloseWindow(); }

void SimWindowTest::cleanupTestCase() {
    CloseWindow();
    if (sim_) sim_->Stop();
}

bool SimWindowTest::RestartSim(const QStringList& options, const QByteArray& state) {
    ownSim_ = false;
    return StartSim(options, state);
}

bool SimWindowTest::StartSim(const QStringList& options, const QByteArray& state) {
    if (sim_) sim_->Stop();
    // A new launcher folder: no log or dump of the run before is left.
    sim_ = std::make_unique<ApSim>();
    const bool started = sim_->Start(options, state);
    dumps_ = sim_->DumpDir();
    return started;
}

void SimWindowTest::OpenWindow() {
    form_ = std::make_unique<TForm1>();
    uinterface_ = std::make_unique<TUInterface>();
    messageForm_ = std::make_unique<TMessageForm>(form_.get());
    messages_ = std::make_unique<MessageWatcher>(*messageForm_);
}

void SimWindowTest::CloseWindow() {
    messages_.reset();
    messageForm_.reset();
    uinterface_.reset();
    form_.reset();
    // What a slot's window left behind in the process-wide state.
    theAdapter.CloseAdapter();
    currentAdapter = -1;
    currentSession = 0;
    for (SessionSlot& slot : sessionTable) slot = SessionSlot{};
    configImage = ConfigImage{};
    TForm1::returnPause = nullptr;
}

}  // namespace aputil::test
