#include "app/gui/application.h"

#include <QMessageBox>

#include <exception>

namespace aputil {

namespace {

// The utility has no command-line options, so Qt sees the program name alone:
// its own options (-style, -stylesheet, -platformpluginpath, ...) would
// otherwise take effect. QApplication keeps these for its whole life.
int programArgc = 1;
char* programArgv[2] = {nullptr, nullptr};

int& ProgramNameOnly(char** argv) {
    static char fallback[] = "aputil";
    programArgv[0] = argv != nullptr && argv[0] != nullptr ? argv[0] : fallback;
    programArgc = 1;
    return programArgc;
}

}  // namespace

TApplication::TApplication(int& /*argc*/, char** argv) : QApplication(ProgramNameOnly(argv), programArgv) {}

void TApplication::ShowException(const char* what) {
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"), QString::fromLocal8Bit(what), QMessageBox::Ok);
    box.setObjectName(QStringLiteral("ExceptionMessage"));
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        ShowException(error.what());
    } catch (...) {
        ShowException("Unknown error");
    }
    return false;
}

}  // namespace aputil
