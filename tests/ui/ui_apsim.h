#pragma once
// apsim for the window tests: the shared launcher (tests/support) seen with
// Qt types, and its JSON-lines log read as JSON objects.

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

namespace aputil::test {

class Apsim;

// One simulated AP as apsim lists it on start.
struct SimAp {
    int index = 0;
    QString mac;  // "02:xx:..."
    QString name;
};

// apsim on the peer side of the test links, in namespace B: its log and its
// dumps are in the launcher's folder. What the log says is read from the
// last start or reset on.
class ApSim {
public:
    ApSim();
    ~ApSim();
    ApSim(const ApSim&) = delete;
    ApSim& operator=(const ApSim&) = delete;

    // Starts it with the given options after --iface, --log and --dump-dir,
    // and a state file holding `state` (none when empty); false when it did
    // not report "ready" in time, with the reason in Failure().
    bool Start(const QStringList& options, const QByteArray& state = {});
    // Back to the state of its start ("reset"); the log is read from there on.
    bool Reset();
    // Sends one control command and returns its answer line.
    QString Command(const QString& command);
    void Stop();

    QString Failure() const { return failure_; }
    QString DumpDir() const;

    // The log's requests of one message type (0 browse, 4 session, 20 block).
    QList<QJsonObject> Requests(int type) const;
    // Complete lines of the log so far.
    int LogLines() const;
    // The log's events from a line on; a line still being written is left out.
    QList<QJsonObject> Events(int fromLine = 0) const;
    // Commits the log shows; only those that succeeded when okOnly.
    int Commits(bool okOnly) const;

    QList<SimAp> aps;

private:
    QList<QByteArray> CompleteLines() const;

    std::unique_ptr<Apsim> sim_;
    QString failure_;
    int logStart_ = 0;  // the log line of the last start or reset
};

}  // namespace aputil::test
