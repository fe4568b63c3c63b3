#include "protocol/startup.h"

#include "protocol/engine.h"
#include "transport/adapter.h"

namespace aputil {

void InitPacketDriver() {
    for (int i = 0; i < 3; ++i) CAdapter::ResetDriverServices();
    theAdapter.ProbeAdapters();  // no usable adapter is not an error here: the browse finds nothing
    SetProtocolParameters(static_cast<int>(kDefaultMaxFrameSize), 3, 1000);
    // Delivery stays off until the first wait. There are no read slots to
    // prepare: the capture's kernel buffer, sized when an adapter opens, holds
    // the frames that arrive between waits.
    theAdapter.StopReceive();
    theAdapter.receiveEnabled = 0;
}

}  // namespace aputil
