#pragma once
// Helpers of the window tests: a simulated AP set in the peer namespace, a
// working folder with a catalogue and the artwork, and a watcher that reads
// and closes the message dialog so a test never blocks on it.

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QApplication>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest/QTest>

#include <cstdlib>

#include "app/gui/image_button.h"
#include "app/gui/message_form.h"

namespace aputil::test {

inline QString Env(const char* name) { return QString::fromLocal8Bit(qgetenv(name)); }

// True when the test runs inside the namespaces of tests/netns/with-netns.
inline bool InTestNamespace() { return !Env("APUTIL_NS_A").isEmpty() && !Env("APUTIL_NS_B").isEmpty(); }

// Runs the event loop until pred() holds or ms pass; returns pred().
template <typename Pred>
bool WaitFor(Pred pred, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!pred() && clock.elapsed() < ms) QTest::qWait(10);
    return pred();
}

// Records every message the dialog shows and presses its OK button, from
// inside the dialog's own modal loop.
class MessageWatcher : public QObject {
public:
    explicit MessageWatcher(TMessageForm& form) : form_(form) {
        QObject::connect(&form_, &TMessageForm::Showing, this, [this](const QString& text) {
            texts.push_back(text);
            titles.push_back(form_.windowTitle());
            QTimer::singleShot(0, &form_, [this] {
                labels.push_back(form_.Label1->text());
                visibleWhenShown.push_back(form_.isVisible());
                form_.BitBtn1->click();
            });
        });
    }
    QStringList texts;
    QStringList titles;
    QStringList labels;  // Label1 as it was while the dialog was up
    QList<bool> visibleWhenShown;

private:
    TMessageForm& form_;
};

// Presses OK on the system message box once it is up, keeping its words.
// The reader must outlive its tries (about 5 s): keep it in the test's scope.
struct MessageBoxReader {
    QString text;
    QString title;
    void Arm(int tries = 250) {
        QTimer::singleShot(20, [this, tries] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) {
                if (tries > 0) Arm(tries - 1);
                return;
            }
            text = box->text();
            title = box->windowTitle();
            box->button(QMessageBox::Ok)->click();
        });
    }
};

// One simulated AP as apsim lists it on start.
struct SimAp {
    int index = 0;
    QString mac;  // "02:xx:..."
    QString name;
};

// apsim on the peer side of the test links, in namespace B.
class ApSim {
public:
    ~ApSim() { Stop(); }

    // Starts it with the given options after --iface; false when it did not
    // report "ready" in time.
    bool Start(const QStringList& options, const QString& logPath = {}) {
        const QString apsim = Env("APUTIL_APSIM");
        if (apsim.isEmpty()) return false;
        logPath_ = logPath;
        QStringList args{QStringLiteral("netns"), QStringLiteral("exec"), Env("APUTIL_NS_B"), apsim,
                         QStringLiteral("--iface"), Env("APUTIL_PEER_IF")};
        args << options;
        if (!logPath.isEmpty()) args << QStringLiteral("--log") << logPath;
        process_.setProgram(QStringLiteral("ip"));
        process_.setArguments(args);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start();
        if (!process_.waitForStarted(5000)) return false;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 10000) {
            if (!process_.canReadLine() && !process_.waitForReadyRead(200)) {
                if (process_.state() == QProcess::NotRunning) return false;
                continue;
            }
            while (process_.canReadLine()) {
                const QString line = QString::fromUtf8(process_.readLine()).trimmed();
                if (line == QLatin1String("ready")) return true;
                const QStringList parts = line.split(QLatin1Char(' '));
                if (parts.size() >= 3 && parts[0] == QLatin1String("ap")) {
                    aps.push_back(SimAp{parts[1].toInt(), parts[2], parts.mid(3).join(QLatin1Char(' '))});
                }
            }
        }
        return false;
    }

    // Sends one control command and returns its answer line.
    QString Command(const QString& command) {
        process_.write((command + QLatin1Char('\n')).toUtf8());
        process_.waitForBytesWritten(2000);
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 5000) {
            if (process_.canReadLine()) return QString::fromUtf8(process_.readLine()).trimmed();
            process_.waitForReadyRead(100);
        }
        return {};
    }

    void Stop() {
        if (process_.state() == QProcess::NotRunning) return;
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(2000);
        }
    }

    // The log's requests of one message type (0 browse, 4 session, 20 block).
    QList<QJsonObject> Requests(int type) const {
        QList<QJsonObject> out;
        QFile file(logPath_);
        if (!file.open(QIODevice::ReadOnly)) return out;
        for (const QByteArray& line : file.readAll().split('\n')) {
            if (line.trimmed().isEmpty()) continue;
            const QJsonObject o = QJsonDocument::fromJson(line).object();
            if (o.value(QStringLiteral("event")).toString() == QLatin1String("request") &&
                o.value(QStringLiteral("type")).toInt(-1) == type) {
                out.push_back(o);
            }
        }
        return out;
    }

    QList<SimAp> aps;

private:
    QProcess process_;
    QString logPath_;
};

// A working folder: "message.txt" with the given content (none when empty)
// and, when wanted, img/ pointing at the generated artwork.
class WorkFolder {
public:
    WorkFolder(const QByteArray& catalogue, bool withArtwork) {
        if (!catalogue.isEmpty()) {
            QFile file(dir.filePath(QStringLiteral("message.txt")));
            if (file.open(QIODevice::WriteOnly)) file.write(catalogue);
        }
        if (withArtwork) QFile::link(QStringLiteral(APUTIL_ART_DIR), dir.filePath(QStringLiteral("img")));
    }
    // Makes the folder current for the lifetime of the scope.
    void Enter() {
        previous_ = QDir::currentPath();
        QDir::setCurrent(dir.path());
    }
    ~WorkFolder() {
        if (!previous_.isEmpty()) QDir::setCurrent(previous_);
    }
    QTemporaryDir dir;

private:
    QString previous_;
};

// Makes a folder current until the end of the scope.
class ScopedCurrentDir {
public:
    explicit ScopedCurrentDir(const QString& to) : previous_(QDir::currentPath()) { QDir::setCurrent(to); }
    ~ScopedCurrentDir() { QDir::setCurrent(previous_); }
    ScopedCurrentDir(const ScopedCurrentDir&) = delete;
    ScopedCurrentDir& operator=(const ScopedCurrentDir&) = delete;

private:
    QString previous_;
};

// The catalogue the window tests use: every message text is its key with
// " text" after it, so a test can tell which one was shown.
inline QByteArray TestCatalogue() {
    QByteArray out;
    for (const char* key :
         {"UTILITY_NAME", "INVALID_PASSWORD", "CONNECTION_FAIL", "AP_INFO_NOT_AVAILIBLE", "BROWSE_AGAIN"}) {
        out += QByteArray(key) + ' ' + QByteArray(key).toLower() + " text**\n";
    }
    return out;
}

}  // namespace aputil::test
