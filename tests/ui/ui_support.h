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
#include <QComboBox>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest/QTest>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <optional>

#include "app/gui/image_button.h"
#include "app/gui/message_form.h"
#include "app/gui/uinterface.h"
#include "image/transfer.h"
#include "ui/form1.h"

namespace aputil::test {

// Image offsets the window tests edit or check, written out here so that an
// expected image never comes from the code under test.
constexpr size_t kAddressCopyAt = 8;
constexpr size_t kNetworkFlagAt = 21;
constexpr size_t kSsidAt = 1032;
constexpr size_t kWepModeAt = 1069;
constexpr size_t kWepEnabledAt = 1070;
constexpr size_t kDefaultKeyAt = 1071;
constexpr size_t KeySlotAt(int slot) { return 1072 + 20 * static_cast<size_t>(slot); }
constexpr size_t kAddressesAt = 1156;
constexpr size_t kCrcAt = 4084;

// The device's own checksum: reflected CRC-32, seed 0x5A5A5A5A, no final XOR,
// over bytes 0..4083, stored little-endian at 4084.
inline uint32_t DeviceCrc(const ConfigImage& image) {
    uint32_t crc = 0x5A5A5A5Au;
    for (size_t i = 0; i < kCrcAt; ++i) {
        crc ^= image[i];
        for (int k = 0; k < 8; ++k) crc = (crc & 1u) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    return crc;
}

inline void StampCrc(ConfigImage& image) {
    const uint32_t crc = DeviceCrc(image);
    for (size_t i = 0; i < 4; ++i) image[kCrcAt + i] = static_cast<uint8_t>(crc >> (8 * i));
}

inline uint32_t StoredCrc(const ConfigImage& image) {
    return uint32_t(image[kCrcAt]) | uint32_t(image[kCrcAt + 1]) << 8 | uint32_t(image[kCrcAt + 2]) << 16 |
           uint32_t(image[kCrcAt + 3]) << 24;
}

// A text with its terminator at an offset of the image.
inline void PutText(ConfigImage& image, size_t at, const QByteArray& text) {
    std::memcpy(image.data() + at, text.constData(), static_cast<size_t>(text.size()));
    image[at + static_cast<size_t>(text.size())] = 0;
}

// A dotted address as four bytes at an offset of the image.
inline void PutAddress(ConfigImage& image, size_t at, const QString& dotted) {
    const QStringList parts = dotted.split(QLatin1Char('.'));
    for (int i = 0; i < 4; ++i) image[at + static_cast<size_t>(i)] = static_cast<uint8_t>(parts[i].toInt());
}

// The first byte where two images differ, for a failure message; empty when equal.
inline QString FirstDifference(const ConfigImage& got, const ConfigImage& want) {
    for (size_t i = 0; i < got.size(); ++i) {
        if (got[i] != want[i]) return QStringLiteral("offset %1: %2, expected %3").arg(i).arg(got[i]).arg(want[i]);
    }
    return {};
}

// "02:aa:..." as the AP list shows it: "02-aa-...".
inline QString Dashed(const QString& colonMac) { return QString(colonMac).replace(QLatin1Char(':'), QLatin1Char('-')); }

// The AP list's row of an AP, or -1 when it is not listed.
inline int IndexOfAp(const TForm1& form, const QString& colonMac) {
    const QString dashed = Dashed(colonMac);
    for (int i = 0; i < form.accessPointCount; ++i) {
        if (form.ComboBox1->itemText(i).startsWith(dashed)) return i;
    }
    return -1;
}

// The image apsim dumped for an AP ("<dashed mac>.bin" in its dump folder).
inline std::optional<ConfigImage> ReadDump(const QString& dumps, const QString& colonMac) {
    QFile file(QDir(dumps).filePath(Dashed(colonMac) + QStringLiteral(".bin")));
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    const QByteArray bytes = file.readAll();
    if (bytes.size() != static_cast<qsizetype>(kConfigImageSize)) return std::nullopt;
    ConfigImage image{};
    std::memcpy(image.data(), bytes.constData(), image.size());
    return image;
}

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
        for (const QJsonObject& o : Events()) {
            if (o.value(QStringLiteral("event")).toString() == QLatin1String("request") &&
                o.value(QStringLiteral("type")).toInt(-1) == type) {
                out.push_back(o);
            }
        }
        return out;
    }

    // Complete lines of the log so far.
    int LogLines() const {
        QFile file(logPath_);
        if (!file.open(QIODevice::ReadOnly)) return 0;
        return static_cast<int>(file.readAll().count('\n'));
    }

    // The log's events from a line on; a line still being written is left out.
    QList<QJsonObject> Events(int fromLine = 0) const {
        QList<QJsonObject> out;
        QFile file(logPath_);
        if (!file.open(QIODevice::ReadOnly)) return out;
        QList<QByteArray> lines = file.readAll().split('\n');
        lines.removeLast();  // after the last newline: nothing, or a line being written
        for (qsizetype i = fromLine; i < lines.size(); ++i) {
            out.push_back(QJsonDocument::fromJson(lines[i]).object());
        }
        return out;
    }

    // Commits the log shows; only those that succeeded when okOnly.
    int Commits(bool okOnly) const {
        int n = 0;
        for (const QJsonObject& o : Events()) {
            if (o.value(QStringLiteral("event")).toString() == QLatin1String("commit") &&
                (!okOnly || o.value(QStringLiteral("ok")).toBool())) {
                ++n;
            }
        }
        return n;
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
// " text" after it, so a test can tell which one was shown. The five keys
// every window needs come first, then the test's own.
inline QByteArray TestCatalogue(std::initializer_list<const char*> extra = {}) {
    QByteArray out;
    const auto add = [&out](const char* key) {
        out += QByteArray(key) + ' ' + QByteArray(key).toLower() + " text**\n";
    };
    for (const char* key :
         {"UTILITY_NAME", "INVALID_PASSWORD", "CONNECTION_FAIL", "AP_INFO_NOT_AVAILIBLE", "BROWSE_AGAIN"}) {
        add(key);
    }
    for (const char* key : extra) add(key);
    return out;
}

// Makes apsim answer the given requests late ("login", "block", ...) until
// the end of the scope, so an exchange waits with events flowing.
class ScopedDelay {
public:
    ScopedDelay(ApSim& sim, int ms, const QString& on) : sim_(sim) {
        const QStringList commands{QStringLiteral("fault delay-ms %1").arg(ms), QStringLiteral("fault delay-prob 1"),
                                   QStringLiteral("fault fault-on ") + on};
        for (const QString& command : commands) {
            const QString answer = sim_.Command(command);
            if (answer != QLatin1String("ok fault") && failure.isEmpty()) {
                failure = QStringLiteral("\"%1\" answered \"%2\"").arg(command, answer);
            }
        }
        ok = failure.isEmpty();
    }
    ~ScopedDelay() {
        sim_.Command(QStringLiteral("fault delay-ms 0"));
        sim_.Command(QStringLiteral("fault delay-prob 0"));
        sim_.Command(QStringLiteral("fault fault-on all"));
    }
    ScopedDelay(const ScopedDelay&) = delete;
    ScopedDelay& operator=(const ScopedDelay&) = delete;
    bool ok = false;  // every knob took
    QString failure;  // the first command that did not, with its answer

private:
    ApSim& sim_;
};

// What the window tests against apsim share: a working folder holding
// apsim's log and dumps, apsim itself, and the window with its message
// dialog watched. Each test starts apsim with its own state.
class SimWindowTest : public QObject {
protected:
    // A working folder with the catalogue and the artwork, made current.
    void EnterFolder(const QByteArray& catalogue) {
        folder_ = std::make_unique<WorkFolder>(catalogue, true);
        folder_->Enter();
        log_ = folder_->dir.filePath(QStringLiteral("apsim.log"));
        dumps_ = folder_->dir.filePath(QStringLiteral("dumps"));
    }

    // Writes a file into the working folder; its path, empty when the
    // content did not all land.
    QString WriteFile(const QString& name, const QByteArray& content) const {
        const QString path = folder_->dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()) return {};
        return path;
    }

    // The window, the process-wide interface and the watched message dialog.
    void OpenWindow() {
        form_ = std::make_unique<TForm1>();
        uinterface_ = std::make_unique<TUInterface>();
        messageForm_ = std::make_unique<TMessageForm>(form_.get());
        messages_ = std::make_unique<MessageWatcher>(*messageForm_);
    }

    // Everything down in the reverse order, apsim last.
    void CloseAll() {
        messages_.reset();
        messageForm_.reset();
        uinterface_.reset();
        form_.reset();
        if (sim_) sim_->Stop();
    }

    std::unique_ptr<WorkFolder> folder_;
    std::unique_ptr<ApSim> sim_;
    std::unique_ptr<TForm1> form_;
    std::unique_ptr<TUInterface> uinterface_;
    std::unique_ptr<TMessageForm> messageForm_;
    std::unique_ptr<MessageWatcher> messages_;
    QString log_;
    QString dumps_;
};

}  // namespace aputil::test
