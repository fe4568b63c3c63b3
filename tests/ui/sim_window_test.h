#pragma once
// The base of the window tests against apsim. Once per program: skip without
// root or outside the test namespaces, a working folder with the test's
// catalogue and the artwork, and the simulator with the test's options and
// state. Before each slot (each data row too): the simulator back to its
// state at start, and a new window, shown, with its message dialog watched
// and its first browse done; so a slot finds the same window and device
// whatever ran before it, and runs alone as well.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

#include "tests/ui/ui_support.h"

namespace aputil::test {

class SimWindowTest : public QObject {
    Q_OBJECT

protected:
    // What each test gives: the catalogue of its folder, and the simulator's
    // options (after --iface, --log and --dump-dir) and state file.
    virtual QByteArray Catalogue() const = 0;
    virtual QStringList SimOptions() const = 0;
    virtual QByteArray SimState() const { return {}; }

    // Hooks; each may fail with QVERIFY and the like, which fails the slot.
    // Once, with the folder current, before the simulator starts.
    virtual void FolderReady() {}
    // Once, after the simulator started.
    virtual void SimStarted() {}
    // Before each slot, once the simulator is reset: before the new window is
    // made, and between its making and its show.
    virtual void BeforeWindow() {}
    virtual void BeforeShow() {}
    // Before each slot, after the first browse of its window.
    virtual void FirstBrowseDone() {}

    // Restarts the simulator with other options or state, for the rest of
    // the slot: the next slot gets the test's own again.
    bool RestartSim(const QStringList& options, const QByteArray& state);
    // The test's own options with state lines after its state file's.
    bool RestartSimWith(const QByteArray& moreState) { return RestartSim(SimOptions(), SimState() + moreState); }

    std::unique_ptr<WorkFolder> folder_;
    std::unique_ptr<ApSim> sim_;
    std::unique_ptr<TForm1> form_;
    std::unique_ptr<TUInterface> uinterface_;
    std::unique_ptr<TMessageForm> messageForm_;
    std::unique_ptr<MessageWatcher> messages_;
    QString dumps_;  // apsim's dump folder

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

private:
    bool StartSim(const QStringList& options, const QByteArray& state);
    void OpenWindow();
    // The window down, and the protocol state back to that of a new program.
    void CloseWindow();

    bool ownSim_ = false;  // the simulator runs with the test's own options and state
};

}  // namespace aputil::test
