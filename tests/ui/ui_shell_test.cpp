// The Qt shell without the wire: image buttons and their faces, the artwork
// the build draws and where it is looked up, the message dialog, and the
// single-instance marker across processes.

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest/QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <thread>

#include "app/catalogue.h"
#include "app/gui/application.h"
#include "app/gui/artwork.h"
#include "app/gui/image_button.h"
#include "app/gui/instance_guard.h"
#include "app/gui/message_form.h"
#include "tests/ui/ui_support.h"

using namespace aputil;
using namespace aputil::test;

namespace {

const QColor kFaceColours[4] = {Qt::red, Qt::green, Qt::blue, Qt::yellow};

// A strip whose faces are solid colours, so a grab tells which face is drawn.
QPixmap ColourStrip(int faces, int faceWidth, int height) {
    QPixmap strip(faces * faceWidth, height);
    QPainter p(&strip);
    for (int i = 0; i < faces; ++i) p.fillRect(i * faceWidth, 0, faceWidth, height, kFaceColours[i]);
    return strip;
}

QColor CentrePixel(QWidget& w) {
    const QImage shot = w.grab().toImage();
    return shot.pixelColor(shot.width() / 2, shot.height() / 2);
}

constexpr const char* kHoldLockVariable = "APUTIL_TEST_HOLD_LOCK";
constexpr const char* kShowArgumentsVariable = "APUTIL_TEST_SHOW_ARGUMENTS";

// Sets or clears an environment variable until the end of the scope.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const QByteArray& value) : name_(name), had_(qEnvironmentVariableIsSet(name)) {
        old_ = qgetenv(name);
        if (value.isNull()) {
            qunsetenv(name);
        } else {
            qputenv(name, value);
        }
    }
    ~ScopedVariable() {
        if (had_) {
            qputenv(name_, old_);
        } else {
            qunsetenv(name_);
        }
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* name_;
    bool had_;
    QByteArray old_;
};

std::string Native(const QString& path) { return QFile::encodeName(path).toStdString(); }

// Mode bits of a path itself (a link is not followed); -1 when missing.
int ModeOf(const QString& path) {
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0) return -1;
    return static_cast<int>(info.st_mode & 07777);
}

}  // namespace

class ShellTest : public QObject {
    Q_OBJECT

private slots:
    void imageButtonShowsTheFaceOfItsState_data();
    void imageButtonShowsTheFaceOfItsState();
    void imageButtonWithoutUsablePictureIsAPlainButton();
    void generatedArtworkHasEveryFileAndFaceCount_data();
    void generatedArtworkHasEveryFileAndFaceCount();
    void artworkIsLookedUpInCurrentFolderThenBesideProgram();
    void messageDialogTakesItsTitleFromTheCatalogue();
    void messageDialogShowsEachTextAndClosesOnOk();
    void messageDialogKeepsItsSizeAndCentresOverTheWindow();
    void instanceGuardRefusesASecondHolder();
    void instanceGuardIsReleasedWhenTheHolderDies();
    void instanceGuardLivesInAFolderOfTheUsersOwn();
    void instanceGuardOpensOnlyAPlainFileOfTheUsersOwn_data();
    void instanceGuardOpensOnlyAPlainFileOfTheUsersOwn();
    void qtOptionsOnTheCommandLineAreIgnored();
    void exceptionFromAHandlerIsShownAndTheLoopGoesOn();
};

void ShellTest::imageButtonShowsTheFaceOfItsState_data() {
    QTest::addColumn<int>("faces");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("down");
    QTest::addColumn<bool>("checked");
    QTest::addColumn<int>("face");
    QTest::newRow("4 faces, normal") << 4 << true << false << false << 0;
    QTest::newRow("4 faces, disabled") << 4 << false << false << false << 1;
    QTest::newRow("4 faces, pressed") << 4 << true << true << false << 2;
    QTest::newRow("4 faces, held down") << 4 << true << false << true << 3;
    QTest::newRow("3 faces, normal") << 3 << true << false << false << 0;
    QTest::newRow("3 faces, held down uses pressed") << 3 << true << false << true << 2;
    QTest::newRow("disabled wins over held") << 4 << false << false << true << 1;
}

void ShellTest::imageButtonShowsTheFaceOfItsState() {
    QFETCH(int, faces);
    QFETCH(bool, enabled);
    QFETCH(bool, down);
    QFETCH(bool, checked);
    QFETCH(int, face);
    TImageButton button(QStringLiteral("Login"), nullptr);
    button.resize(20, 12);
    QVERIFY(button.SetStrip(ColourStrip(faces, 20, 12), faces));
    button.setEnabled(enabled);
    button.setCheckable(checked);
    button.setChecked(checked);
    button.setDown(down);
    QCOMPARE(static_cast<int>(button.CurrentFace()), face);
    QCOMPARE(CentrePixel(button), kFaceColours[face]);
    QVERIFY(button.text().isEmpty());
    QCOMPARE(button.accessibleName(), QStringLiteral("Login"));
}

void ShellTest::imageButtonWithoutUsablePictureIsAPlainButton() {
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("img")));
    QFile bad(dir.filePath(QStringLiteral("img/broken.bmp")));
    QVERIFY(bad.open(QIODevice::WriteOnly));
    bad.write("BM this is not a bitmap");
    bad.close();
    ScopedCurrentDir here(dir.path());

    TImageButton button(QStringLiteral("Close"), nullptr);
    button.resize(66, 19);
    QVERIFY(button.SetStrip(ColourStrip(4, 66, 19), 4));  // a strip first, then lost again
    const struct {
        const char* what;
        std::function<bool()> load;
    } cases[] = {
        {"missing file", [&] { return button.LoadStrip(QStringLiteral("no-such-picture.bmp"), 4); }},
        {"not a picture", [&] { return button.LoadStrip(QStringLiteral("broken.bmp"), 4); }},
        {"two faces", [&] { return button.SetStrip(ColourStrip(2, 10, 10), 2); }},
        {"five faces", [&] { return button.SetStrip(ColourStrip(4, 10, 10), 5); }},
        {"narrower than its faces", [&] { return button.SetStrip(ColourStrip(1, 2, 10), 4); }},
    };
    for (const auto& c : cases) {
        QVERIFY2(button.SetStrip(ColourStrip(4, 66, 19), 4), c.what);
        QVERIFY2(!c.load(), c.what);
        QVERIFY2(!button.HasStrip(), c.what);
        QCOMPARE(button.text(), QStringLiteral("Close"));
        QVERIFY2(button.FacePixmap(TImageButton::FaceNormal).isNull(), c.what);
        QVERIFY2(!button.grab().isNull(), c.what);  // paints as a plain button
    }
    QCOMPARE(button.accessibleName(), QStringLiteral("Close"));
}

void ShellTest::generatedArtworkHasEveryFileAndFaceCount_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("faces");  // 0: a single picture
    QTest::addColumn<QSize>("faceSize");
    const QSize page(67, 20);
    QTest::newRow("info") << "info.bmp" << 4 << page;
    QTest::newRow("info_down_yellow") << "info_down_yellow.bmp" << 3 << page;
    QTest::newRow("security") << "security.bmp" << 4 << page;
    QTest::newRow("security_down_yellow") << "security_down_yellow.bmp" << 3 << page;
    QTest::newRow("about") << "about.bmp" << 4 << page;
    QTest::newRow("LOGIN") << "LOGIN.bmp" << 4 << QSize(66, 19);
    QTest::newRow("exit") << "exit.bmp" << 4 << QSize(66, 19);
    QTest::newRow("setup") << "setup.bmp" << 4 << QSize(66, 20);
    QTest::newRow("cancel") << "cancel.bmp" << 4 << QSize(67, 19);
    QTest::newRow("apply") << "apply.bmp" << 4 << QSize(67, 19);
    QTest::newRow("dialog OK") << "ok.bmp" << 4 << QSize(68, 21);
    QTest::newRow("banner") << "banner.bmp" << 0 << QSize(463, 135);
    QTest::newRow("page background") << "page.bmp" << 0 << QSize(463, 135 + 309);
    QTest::newRow("message dialog") << "message.bmp" << 0 << QSize(198, 128);
    QTest::newRow("search clip") << "find.bmp" << 29 << QSize(80, 50);
}

void ShellTest::generatedArtworkHasEveryFileAndFaceCount() {
    QFETCH(QString, file);
    QFETCH(int, faces);
    QFETCH(QSize, faceSize);
    const QImage picture(QStringLiteral(APUTIL_ART_DIR "/") + file);
    QVERIFY2(!picture.isNull(), qPrintable(file));
    const int n = faces == 0 ? 1 : faces;
    QCOMPARE(picture.size(), QSize(faceSize.width() * n, faceSize.height()));
    if (faces >= 3 && faces <= 4) {
        // Faces must differ, or a disabled button would look like an enabled one.
        TImageButton button(file, nullptr);
        QVERIFY(button.SetStrip(QPixmap::fromImage(picture), faces));
        QVERIFY(button.FacePixmap(TImageButton::FaceNormal).toImage() !=
                button.FacePixmap(TImageButton::FaceDisabled).toImage());
        QVERIFY(button.FacePixmap(TImageButton::FaceNormal).toImage() !=
                button.FacePixmap(TImageButton::FacePressed).toImage());
    }
}

void ShellTest::artworkIsLookedUpInCurrentFolderThenBesideProgram() {
    const QString name = QStringLiteral("lookup-%1.bmp").arg(QCoreApplication::applicationPid());
    const QString besideFolder = QCoreApplication::applicationDirPath() + QStringLiteral("/img");
    const bool madeBeside = QDir().mkpath(besideFolder);
    QVERIFY(madeBeside);
    const QString beside = besideFolder + QLatin1Char('/') + name;
    struct Cleanup {
        QString file;
        ~Cleanup() { QFile::remove(file); }
    } cleanup{beside};
    QImage blue(4, 4, QImage::Format_RGB32);
    blue.fill(Qt::blue);
    QVERIFY(blue.save(beside, "BMP"));

    QTemporaryDir cwd;
    QVERIFY(QDir(cwd.path()).mkdir(QStringLiteral("img")));
    ScopedCurrentDir inCwd(cwd.path());
    QCOMPARE(ArtworkFolders().first(), cwd.path() + QStringLiteral("/img"));

    // Only beside the program.
    QCOMPARE(FindArtwork(name), beside);
    QCOMPARE(LoadArtwork(name).toImage().pixelColor(0, 0), QColor(Qt::blue));

    // A damaged copy in the current folder does not hide the good one.
    const QString here = cwd.filePath(QStringLiteral("img/") + name);
    QFile damaged(here);
    QVERIFY(damaged.open(QIODevice::WriteOnly));
    damaged.write("not a picture");
    damaged.close();
    QCOMPARE(FindArtwork(name), here);
    QCOMPARE(LoadArtwork(name).toImage().pixelColor(0, 0), QColor(Qt::blue));

    // A good copy in the current folder wins.
    QImage red(4, 4, QImage::Format_RGB32);
    red.fill(Qt::red);
    QVERIFY(red.save(here, "BMP"));
    QCOMPARE(LoadArtwork(name).toImage().pixelColor(0, 0), QColor(Qt::red));

    QVERIFY(FindArtwork(QStringLiteral("nowhere-at-all.bmp")).isEmpty());
    QVERIFY(LoadArtwork(QStringLiteral("nowhere-at-all.bmp")).isNull());
}

void ShellTest::messageDialogTakesItsTitleFromTheCatalogue() {
    QTemporaryDir dir;
    const struct {
        const char* what;
        QByteArray catalogue;
        QString title;
    } cases[] = {
        {"no catalogue", {}, QStringLiteral("Warning")},
        {"catalogue without the key", "UTILITY_NAME Other**\n", QStringLiteral("Warning")},
        {"catalogue with the key", "MESSAGE_NAME Hinweis**\n", QStringLiteral("Hinweis")},
    };
    for (const auto& c : cases) {
        const QString path = dir.filePath(QStringLiteral("message.txt"));
        QFile::remove(path);
        if (!c.catalogue.isEmpty()) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(c.catalogue);
        }
        LoadMessageCatalogue(QFile::encodeName(path).constData());
        TMessageForm form;
        QCOMPARE(form.windowTitle(), c.title);
    }
    LoadMessageCatalogue("/nonexistent/message.txt");
}

void ShellTest::messageDialogShowsEachTextAndClosesOnOk() {
    TMessageForm form;
    QCOMPARE(TMessageForm::Instance(), &form);
    MessageWatcher watcher(form);
    QSignalSpy finished(&form, &QDialog::finished);
    form.ShowMessage(QStringLiteral("first"), nullptr);
    form.ShowMessage(QStringLiteral("second"), nullptr);
    form.ShowMessage(QString(), nullptr);  // a missing catalogue text: empty, still shown
    QCOMPARE(watcher.labels, (QStringList{QStringLiteral("first"), QStringLiteral("second"), QString()}));
    QCOMPARE(watcher.visibleWhenShown, (QList<bool>{true, true, true}));
    QCOMPARE(finished.count(), 3);
    for (const auto& args : finished) QCOMPARE(args.at(0).toInt(), 1);
    QVERIFY(!form.isVisible());
    QCOMPARE(form.Label1->text(), QString());
}

void ShellTest::messageDialogKeepsItsSizeAndCentresOverTheWindow() {
    QWidget window;
    window.setGeometry(300, 200, 463, 446);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    TMessageForm form(&window);
    MessageWatcher watcher(form);
    const QString longText = QStringLiteral("word ").repeated(80);
    form.ShowMessage(longText, &window);
    QCOMPARE(watcher.labels.size(), 1);
    QCOMPARE(form.size(), QSize(198, 128));
    QCOMPARE(form.Label1->geometry(), QRect(48, 24, 145, 41));
    QVERIFY(form.Label1->wordWrap());
    QCOMPARE(form.BitBtn1->geometry(), QRect(64, 98, 67, 20));
    const QPoint offset = form.frameGeometry().center() - window.frameGeometry().center();
    QVERIFY2(offset.manhattanLength() <= 2, qPrintable(QStringLiteral("off by %1,%2").arg(offset.x()).arg(offset.y())));
}

void ShellTest::instanceGuardRefusesASecondHolder() {
    QTemporaryDir dir;
    const std::string path = QFile::encodeName(dir.filePath(QStringLiteral("UTIL.lock"))).toStdString();
    InstanceGuard first(path);
    InstanceGuard second(path);
    QCOMPARE(first.Acquire(), InstanceGuard::Result::Acquired);
    QCOMPARE(first.Acquire(), InstanceGuard::Result::Acquired);  // holding it already
    QCOMPARE(second.Acquire(), InstanceGuard::Result::HeldByOther);
    QVERIFY(!second.Held());
    first.Release();
    QCOMPARE(second.Acquire(), InstanceGuard::Result::Acquired);

    InstanceGuard nowhere(QFile::encodeName(dir.filePath(QStringLiteral("no/such/folder/UTIL.lock"))).toStdString());
    QCOMPARE(nowhere.Acquire(), InstanceGuard::Result::Unavailable);

    qputenv(kInstanceLockVariable, QByteArray::fromStdString(path));
    QCOMPARE(InstanceGuard::DefaultLockPath(), path);
    qunsetenv(kInstanceLockVariable);
    QVERIFY(InstanceGuard::DefaultLockPath().ends_with("aputil-UTIL.lock"));
}

void ShellTest::instanceGuardIsReleasedWhenTheHolderDies() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("UTIL.lock"));
    QProcess holder;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(kHoldLockVariable), path);
    holder.setProcessEnvironment(env);
    holder.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(holder.waitForStarted(5000));
    QVERIFY(holder.waitForReadyRead(10000));
    QCOMPARE(holder.readLine().trimmed(), QByteArray("held"));

    InstanceGuard guard(QFile::encodeName(path).toStdString());
    QCOMPARE(guard.Acquire(), InstanceGuard::Result::HeldByOther);
    // Killed outright: the system, not the program, lets the marker go.
    ::kill(static_cast<pid_t>(holder.processId()), SIGKILL);
    QVERIFY(holder.waitForFinished(5000));
    QCOMPARE(guard.Acquire(), InstanceGuard::Result::Acquired);
}

void ShellTest::instanceGuardLivesInAFolderOfTheUsersOwn() {
    QTemporaryDir dir;
    const ScopedVariable noOverride(kInstanceLockVariable, QByteArray());
    const QString uidFolder = QStringLiteral("aputil-%1").arg(::geteuid());

    // The session's runtime folder when it is private.
    const QString runtime = dir.filePath(QStringLiteral("runtime"));
    QVERIFY(QDir().mkdir(runtime));
    QVERIFY(::chmod(QFile::encodeName(runtime).constData(), 0700) == 0);
    {
        const ScopedVariable xdg("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
        QCOMPARE(InstanceGuard::DefaultLockPath(), Native(runtime + QStringLiteral("/aputil-UTIL.lock")));
        // One that others may write to is passed over for the private folder.
        QVERIFY(::chmod(QFile::encodeName(runtime).constData(), 0777) == 0);
        const ScopedVariable tmp("TMPDIR", QFile::encodeName(dir.path()));
        QCOMPARE(InstanceGuard::DefaultLockPath(),
                 Native(dir.filePath(uidFolder) + QStringLiteral("/aputil-UTIL.lock")));
    }
    QCOMPARE(ModeOf(dir.filePath(uidFolder)), 0700);

    // Without a runtime folder: the private folder, made once and then reused.
    const ScopedVariable noRuntime("XDG_RUNTIME_DIR", QByteArray());
    const QString base = dir.filePath(QStringLiteral("tmp"));
    QVERIFY(QDir().mkdir(base));
    const ScopedVariable tmp("TMPDIR", QFile::encodeName(base));
    const std::string lock = InstanceGuard::DefaultLockPath();
    QCOMPARE(lock, Native(base + QLatin1Char('/') + uidFolder + QStringLiteral("/aputil-UTIL.lock")));
    QCOMPARE(ModeOf(base + QLatin1Char('/') + uidFolder), 0700);
    QCOMPARE(InstanceGuard::DefaultLockPath(), lock);
    InstanceGuard guard;
    QCOMPARE(guard.Path(), lock);
    QCOMPARE(guard.Acquire(), InstanceGuard::Result::Acquired);
    QCOMPARE(ModeOf(QFile::decodeName(lock.c_str())), 0600);
    guard.Release();

    // A folder of that name that is not private is refused, never taken over.
    const struct {
        const char* name;
        std::function<bool(const QString&)> plant;
    } planted[] = {
        {"open to others",
         [](const QString& f) { return QDir().mkdir(f) && ::chmod(QFile::encodeName(f).constData(), 0777) == 0; }},
        {"a link to a folder", [&dir](const QString& f) { return QFile::link(dir.path(), f); }},
        {"a plain file",
         [](const QString& f) {
             QFile file(f);
             return file.open(QIODevice::WriteOnly);
         }},
        {"another user's",
         [](const QString& f) {
             return QDir().mkdir(f) && ::chown(QFile::encodeName(f).constData(), 65534, 65534) == 0;
         }},
    };
    for (const auto& p : planted) {
        QTemporaryDir other;
        if (std::strcmp(p.name, "another user's") == 0 && ::geteuid() != 0) continue;  // only root can give it away
        QVERIFY2(p.plant(other.filePath(uidFolder)), p.name);
        const ScopedVariable otherTmp("TMPDIR", QFile::encodeName(other.path()));
        QVERIFY2(InstanceGuard::DefaultLockPath().empty(), p.name);
        InstanceGuard refused;
        QVERIFY2(refused.Acquire() == InstanceGuard::Result::Unavailable, p.name);
        QVERIFY2(!QFileInfo::exists(dir.filePath(QStringLiteral("aputil-UTIL.lock"))), p.name);
    }
}

void ShellTest::instanceGuardOpensOnlyAPlainFileOfTheUsersOwn_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("link to a file elsewhere") << "link";
    QTest::newRow("dangling link") << "dangling";
    QTest::newRow("another user's file") << "foreign";
    QTest::newRow("folder") << "folder";
    QTest::newRow("named pipe") << "fifo";
}

void ShellTest::instanceGuardOpensOnlyAPlainFileOfTheUsersOwn() {
    QFETCH(QString, kind);
    QTemporaryDir dir;
    const QString lock = dir.filePath(QStringLiteral("UTIL.lock"));
    const QString elsewhere = dir.filePath(QStringLiteral("elsewhere"));
    const QByteArray lockName = QFile::encodeName(lock);
    if (kind == QLatin1String("link")) {
        QFile target(elsewhere);
        QVERIFY(target.open(QIODevice::WriteOnly));
        target.close();
        QVERIFY(QFile::link(elsewhere, lock));
    } else if (kind == QLatin1String("dangling")) {
        QVERIFY(QFile::link(elsewhere, lock));
    } else if (kind == QLatin1String("foreign")) {
        if (::geteuid() != 0) QSKIP("only root can give a file to another user");
        QFile file(lock);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QVERIFY(::chown(lockName.constData(), 65534, 65534) == 0);
    } else if (kind == QLatin1String("folder")) {
        QVERIFY(QDir().mkdir(lock));
    } else {
        QVERIFY(::mkfifo(lockName.constData(), 0600) == 0);
    }
    const bool existedElsewhere = QFileInfo::exists(elsewhere);

    InstanceGuard guard(lockName.toStdString());
    QCOMPARE(guard.Acquire(), InstanceGuard::Result::Unavailable);
    QVERIFY(!guard.Held());
    // Nothing was made at the end of a link.
    QCOMPARE(QFileInfo::exists(elsewhere), existedElsewhere);
}

void ShellTest::qtOptionsOnTheCommandLineAreIgnored() {
    QTemporaryDir dir;
    const QString sheet = dir.filePath(QStringLiteral("sheet.qss"));
    {
        QFile file(sheet);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("QWidget { color: red; }");
    }
    QProcess probe;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(kShowArgumentsVariable), QStringLiteral("1"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    probe.setProcessEnvironment(env);
    probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    probe.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("-reverse"), QStringLiteral("-style"), QStringLiteral("windows"),
                 QStringLiteral("-stylesheet"), sheet, QStringLiteral("-qwindowtitle"), QStringLiteral("Other")});
    QVERIFY(probe.waitForFinished(20000));
    QCOMPARE(probe.exitCode(), 0);
    const QStringList lines = QString::fromUtf8(probe.readAllStandardOutput()).split(QLatin1Char('\n'));
    QVERIFY2(lines.size() >= 4, qPrintable(lines.join(QLatin1Char('|'))));
    QCOMPARE(lines[0], QStringLiteral("arguments 1"));
    QCOMPARE(lines[1], QStringLiteral("direction left-to-right"));
    QCOMPARE(lines[2], QStringLiteral("stylesheet "));
    QVERIFY2(lines[3] != QLatin1String("style windows"), qPrintable(lines[3]));
}

namespace {

// Throws from its event handler for user events, counts the others.
class Thrower : public QObject {
public:
    int handled = 0;
    bool event(QEvent* e) override {
        if (e->type() == QEvent::User) throw std::runtime_error("handler failed");
        if (e->type() == QEvent::User + 1) {
            ++handled;
            return true;
        }
        return QObject::event(e);
    }
};

}  // namespace

void ShellTest::exceptionFromAHandlerIsShownAndTheLoopGoesOn() {
    Thrower thrower;
    MessageBoxReader reader;
    reader.Arm();
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::Type(QEvent::User + 1)));
    QTRY_COMPARE(thrower.handled, 1);  // the event after the failing one still arrives
    QCOMPARE(reader.text, QStringLiteral("handler failed"));
    QCOMPARE(reader.title, QStringLiteral("Error"));
}

int main(int argc, char** argv) {
    // Helper mode: hold the marker named by the variable until killed.
    if (const QByteArray path = qgetenv(kHoldLockVariable); !path.isEmpty()) {
        InstanceGuard guard(path.toStdString());
        if (guard.Acquire() != InstanceGuard::Result::Acquired) return 1;
        std::printf("held\n");
        std::fflush(stdout);
        for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    if (qEnvironmentVariableIsSet(kShowArgumentsVariable)) {
        // Helper mode: report what Qt made of the command line.
        TApplication probe(argc, argv);
        std::printf("arguments %d\ndirection %s\nstylesheet %s\nstyle %s\n",
                    static_cast<int>(QCoreApplication::arguments().size()),
                    QGuiApplication::layoutDirection() == Qt::LeftToRight ? "left-to-right" : "right-to-left",
                    probe.styleSheet().toUtf8().constData(), QApplication::style()->name().toUtf8().constData());
        return 0;
    }
    TApplication app(argc, argv);
    LoadMessageCatalogue("/nonexistent/message.txt");
    ShellTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "ui_shell_test.moc"
