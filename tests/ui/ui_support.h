#pragma once
// Helpers of the window tests: a simulated AP set in the peer namespace, a
// working folder with a catalogue and the artwork, a watcher that reads and
// closes the message dialog so a test never blocks on it, and their main.

#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPushButton>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest/QTest>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <optional>

#include "app/gui/image_button.h"
#include "app/gui/message_form.h"
#include "app/gui/uinterface.h"
#include "image/transfer.h"
#include "tests/ui/ui_apsim.h"
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

// Whether a window can be shown: a display, or a platform that needs none.
inline bool HasDisplay() {
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

}  // namespace aputil::test

// The main of a window test program. Without a display there is no window to
// test: it is skipped (77, the status ctest is told means skipped).
#define APUTIL_WINDOW_TEST_MAIN(TestClass)                                                           \
    int main(int argc, char** argv) {                                                                \
        if (!aputil::test::HasDisplay()) {                                                           \
            std::fputs("skipped: no display (set DISPLAY, or QT_QPA_PLATFORM=offscreen)\n", stderr); \
            return 77;                                                                               \
        }                                                                                            \
        QApplication app(argc, argv);                                                                \
        TestClass test;                                                                              \
        return QTest::qExec(&test, argc, argv);                                                      \
    }
