// The window records a capture when APUTIL_PCAP names a file: the program is
// started offscreen inside the test namespace with the simulator on the far
// end (a bridge behind two links), and its first browse on every adapter and
// the AP's answer must be in the file.

#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/apsim_process.h"

#ifndef APUTIL_PROGRAM
#error "APUTIL_PROGRAM must name the window's program"
#endif

namespace aputil {
namespace {

struct Seen {
    bool browse = false;
    bool reply = false;
    size_t frames = 0;
    std::set<std::string> browseSources;  // one per adapter the window browsed on
};

// Message types of the protocol frames in a capture that may still be growing.
Seen Read(const std::string& path) {
    Seen seen;
    char err[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline(path.c_str(), err);
    if (p == nullptr) return seen;
    pcap_pkthdr* h;
    const u_char* d;
    while (pcap_next_ex(p, &h, &d) == 1) {
        ++seen.frames;
        if (h->caplen < 23 || d[12] != 0xAA || d[13] != 0xAA) continue;
        const int type = d[21] << 8 | d[22];
        seen.browse |= type == 0;
        if (type == 0) seen.browseSources.insert(std::string(reinterpret_cast<const char*>(d) + 6, 6));
        seen.reply |= type == 1;
    }
    pcap_close(p);
    return seen;
}

TEST(WindowCapture, EnvironmentNamesTheFileAndTheFirstBrowseIsInIt) {
    const test::WireEnv env = test::WireEnv::FromEnvironment();
    if (!env.why.empty()) GTEST_SKIP() << env.why;
    test::Apsim sim;
    std::string error;
    ASSERT_TRUE(sim.Start({}, error)) << error;
    const std::string capture = sim.Path("window.pcap");
    const std::string lock = sim.Path("instance.lock");

    size_t links = 0;
    std::istringstream ifs(std::getenv("APUTIL_IFS") ? std::getenv("APUTIL_IFS") : "");
    for (std::string name; ifs >> name;) ++links;
    ASSERT_GE(links, 2u) << "the test runs with two links";

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv("APUTIL_PCAP", capture.c_str(), 1);
        setenv("APUTIL_INSTANCE_LOCK", lock.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        if (chdir(sim.directory().c_str()) != 0) _exit(126);
        execl(APUTIL_PROGRAM, APUTIL_PROGRAM, static_cast<char*>(nullptr));
        _exit(127);
    }
    Seen seen;
    for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         std::chrono::steady_clock::now() < deadline && !(seen.reply && seen.browseSources.size() >= links);) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        seen = Read(capture);
    }
    kill(child, SIGTERM);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(seen.browse) << seen.frames << " frames";
    EXPECT_TRUE(seen.reply) << seen.frames << " frames";
    EXPECT_EQ(seen.browseSources.size(), links) << "a browse from each adapter's own address";
}

}  // namespace
}  // namespace aputil
