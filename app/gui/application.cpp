#include "application.h"

#include <QMessageBox>

#include <exception>

namespace aputil {

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

void TApplication::ShowException(const char* what) {
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"), QString::fromLocal8Bit(what), QMessageBox::Ok);
    box.setObjectName(QStringLiteral("ExceptionMessage"));
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
