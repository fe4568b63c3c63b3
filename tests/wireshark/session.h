#pragma once
// A whole session as the window runs it, recorded through the frame capture:
// browse, a refused and an accepted login, a session check from the AP, the
// image read, an edit written back with its commit, the finish requests and a
// logout, against the simulator in the peer namespace (tests/netns/with-netns).

#include <cstdint>
#include <string>

#include "tests/support/apsim_process.h"

namespace aputil::test {

struct SessionCapture {
    std::string password = "admin";  // the simulated AP's password
    bool keepSecrets = false;
    std::string newName = "Lab AP, renamed";  // written into the image
};

// What the session saw, for the checks of the capture.
struct SessionFacts {
    apsim::Mac ap{};
    uint8_t utility[6] = {};
    uint16_t session = 0;
};

// Starts the simulator (with the password) and the channel, runs the session
// while recording into path, stops both. False with error saying which step failed.
bool RecordSession(Apsim& sim, const std::string& path, const SessionCapture& options, SessionFacts& facts,
                   std::string& error);

}  // namespace aputil::test
