#pragma once
// The application object: an exception that escapes an event handler is shown
// in a message box and the event loop goes on, instead of ending the program.

#include <QApplication>

namespace aputil {

class TApplication : public QApplication {
    Q_OBJECT
public:
    // Only argv[0] is passed on to Qt: every other argument is ignored.
    TApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;

    // Shows what went wrong in the standard way (an "Error" message box).
    static void ShowException(const char* what);
};

}  // namespace aputil
