#include "tests/wireshark/session.h"

#include <cstring>

#include "app/managed_ap.h"
#include "image/image.h"
#include "protocol/engine.h"
#include "protocol/operations.h"
#include "protocol/startup.h"
#include "transport/adapter.h"
#include "transport/capture_file.h"

namespace aputil::test {

namespace {

bool Fail(std::string& error, const std::string& why) {
    error = why;
    StopFrameCapture();
    if (theAdapter.IsAdapterOpen()) theAdapter.CloseAdapter();
    currentAdapter = -1;
    return false;
}

}  // namespace

bool RecordSession(Apsim& sim, const std::string& path, const SessionCapture& options, SessionFacts& facts,
                   std::string& error) {
    if (!sim.Start({"--password", options.password, "--seed", "18"}, error)) return false;
    if (sim.aps().empty()) return Fail(error, "the simulator listed no AP");
    facts.ap = sim.aps()[0].mac;

    InitPacketDriver();
    if (theAdapter.usableCount < 1 || !theAdapter.OpenAdapter(theAdapter.usableIndex[0]))
        return Fail(error, "no usable adapter in the namespace");
    currentAdapter = 0;
    std::memcpy(facts.utility, theAdapter.currentAddress, 6);
    if (!StartFrameCapture(path, options.keepSecrets, error)) return Fail(error, error);

    BrowseRecord records[4];
    int count = 4;
    const uint16_t saved = GetTimeout();
    SetTimeout(300);  // a browse waits its whole time out
    const int browsed = Browse(TextAttribute(ATTR_VENDOR, kVendorFilter), TextAttribute(ATTR_PRODUCT, kProductFilter),
                               TextAttribute(ATTR_MODEL, kModelFilter), records, count);
    SetTimeout(saved);
    if (browsed != STATUS_OK || count != 1) return Fail(error, "the browse found no single AP");

    uint16_t session = 0;
    const std::string wrong = options.password + "-wrong";
    if (Login(records[0].peer, "user", wrong.c_str(), session) == STATUS_OK)
        return Fail(error, "a wrong password was accepted");
    if (Login(records[0].peer, "user", options.password.c_str(), session) != STATUS_OK)
        return Fail(error, "the login was refused");
    currentSession = session;
    facts.session = session;

    // The AP asks whether the session is still held; the engine answers it
    // during the next wait, the image read's first request.
    const std::string answer = sim.Command("check 0 " + std::to_string(session));
    if (answer.rfind("ok", 0) != 0) return Fail(error, "the simulator sent no session check: " + answer);
    if (!ReadDeviceImage()) return Fail(error, "the image read failed");
    if (!WriteApName(configImage, options.newName)) return Fail(error, "the new name does not fit");
    if (!WriteDeviceImage()) return Fail(error, "the image write or its commit failed");
    SendFinish(BLOCK_OP_FINISH);
    Logout(session);

    StopFrameCapture();
    theAdapter.CloseAdapter();
    currentAdapter = -1;
    currentSession = 0;
    sim.Stop();
    return true;
}

}  // namespace aputil::test
