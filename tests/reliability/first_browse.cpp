// Not a test: a fresh utility process that sends one browse on the first
// usable adapter and exits, so that a wire test can see which sequence
// number a run starts from.

#include "protocol/engine.h"
#include "protocol/operations.h"
#include "protocol/startup.h"
#include "transport/adapter.h"

int main() {
    using namespace aputil;
    InitPacketDriver();
    theAdapter.quiet = 1;
    if (theAdapter.usableCount < 1 || !theAdapter.OpenAdapter(theAdapter.usableIndex[0])) return 1;
    currentAdapter = 0;
    BrowseRecord records[4];
    int count = 4;
    SetTimeout(20);
    const int status = Browse(TextAttribute(ATTR_VENDOR, "any"), TextAttribute(ATTR_PRODUCT, "any"),
                              TextAttribute(ATTR_MODEL, ""), records, count);
    theAdapter.CloseAdapter();
    return status == STATUS_OK ? 0 : 1;
}
