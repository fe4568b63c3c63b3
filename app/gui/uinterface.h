#pragma once
// The invisible form that keeps the window alive while the protocol waits for
// a reply: it installs the engine's pump hook, which runs the GUI's pending
// events between two waits on the packet channel.

#include <QTimer>
#include <QWidget>

namespace aputil {

class TUInterface : public QWidget {
    Q_OBJECT
public:
    explicit TUInterface(QWidget* parent = nullptr);
    ~TUInterface() override;

    // The wait loop's timer: every pump restarts it and it stops by itself
    // one polling interval after the last, so it runs while a wait goes on.
    QTimer* PollingPkt = nullptr;

    // True inside a pump: a handler that sees it runs in the middle of an
    // exchange and must not start another one.
    static bool Waiting();

private:
    void PollingPktTimer();
};

}  // namespace aputil
