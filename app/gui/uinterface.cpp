#include "app/gui/uinterface.h"

#include <QCoreApplication>

#include "protocol/engine.h"

namespace aputil {

namespace {

TUInterface* theInterface = nullptr;
int pumpDepth = 0;

// Runs between two channel waits of the engine; window handlers can run here,
// which is why the window refuses to start a second exchange meanwhile.
void PumpGuiEvents() {
    ++pumpDepth;
    if (theInterface != nullptr) theInterface->PollingPkt->start();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    --pumpDepth;
}

}  // namespace

TUInterface::TUInterface(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("UInterface"));
    PollingPkt = new QTimer(this);
    PollingPkt->setObjectName(QStringLiteral("PollingPkt"));
    PollingPkt->setInterval(kPollIntervalMs);
    PollingPkt->setSingleShot(true);
    connect(PollingPkt, &QTimer::timeout, this, &TUInterface::PollingPktTimer);
    theInterface = this;
    SetPumpHook(&PumpGuiEvents);
}

TUInterface::~TUInterface() {
    if (theInterface == this) {
        SetPumpHook(nullptr);
        theInterface = nullptr;
    }
}

void TUInterface::PollingPktTimer() { PollingPkt->stop(); }

bool TUInterface::Waiting() { return pumpDepth > 0; }

}  // namespace aputil
