// A hostile host on the segment, on a veth pair: it reads the sequence
// numbers that browses broadcast, answers in the AP's name before the AP
// does, sends from group addresses, and floods the utility with junk. Each
// case runs beside the normal path, which must keep working.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "app/managed_ap.h"
#include "image/image.h"
#include "protocol/engine.h"
#include "protocol/operations.h"
#include "protocol/startup.h"
#include "tests/support/apsim_process.h"
#include "tests/support/fast_clock.h"
#include "tests/support/hex_text.h"
#include "tests/support/peer_process.h"
#include "transport/adapter.h"
#include "transport/link_driver.h"

#ifndef APUTIL_LINK_HELPER
#error "APUTIL_LINK_HELPER names the packet helper program"
#endif
#ifndef APUTIL_FIRST_BROWSE
#error "APUTIL_FIRST_BROWSE names the program that sends one browse and exits"
#endif

namespace aputil {
namespace {

using test::Apsim;
using test::Env;
using test::FastClock;
using test::FromHex;
using test::LogLine;
using test::MacText;
using test::PeerProcess;

class HostileSegment : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        InitPacketDriver();
        theAdapter.quiet = 1;
    }

    void SetUp() override {
        if (Env("APUTIL_NS_B").empty() || Env("APUTIL_APSIM").empty() || Env("APUTIL_L2PEER").empty())
            GTEST_SKIP() << "runs inside tests/netns/with-netns with the simulator and l2peer";
        ASSERT_GE(theAdapter.usableCount, 1);
        ASSERT_TRUE(theAdapter.OpenAdapter(theAdapter.usableIndex[0]));
        currentAdapter = 0;
        ASSERT_EQ(SetProtocolParameters(1500, 3, 1000), 0);
    }

    void TearDown() override {
        for (uint16_t s = 1; s <= kMaxSessions; ++s) sessionTable[s] = SessionSlot{};
        sim_.Stop();
        if (theAdapter.IsAdapterOpen()) theAdapter.CloseAdapter();
        currentAdapter = -1;
    }

    // The simulator holding a random image with a good checksum.
    void StartSim(std::vector<std::string> options = {}) {
        std::mt19937 rng(99);
        for (uint8_t& b : loaded_) b = static_cast<uint8_t>(rng());
        StampImageChecksum(loaded_);
        std::string error;
        ASSERT_TRUE(sim_.FreshDirectory(error)) << error;
        ASSERT_TRUE(sim_.WriteFile("image.bin", loaded_));
        ASSERT_TRUE(sim_.WriteFile("state.txt", "* image image.bin\n"));
        options.insert(options.end(), {"--state", sim_.Path("state.txt")});
        ASSERT_TRUE(sim_.Start(options, error)) << error;
        ASSERT_EQ(sim_.aps().size(), 1u);
    }

    // Images the simulated AP took so far.
    size_t Commits() const {
        const std::vector<LogLine> lines = sim_.ReadLog();
        return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [](const LogLine& l) {
            return l.Is("commit") && l.raw().find("\"ok\":true") != std::string::npos;
        }));
    }

    PeerAddress Ap() const { return PeerAddress::FromMac(sim_.aps()[0].mac.data()); }

    void FloodChecks();

    void LoginToAp() {
        uint16_t session = 0;
        ASSERT_EQ(Login(Ap(), "user", "admin", session), STATUS_OK);
        currentSession = session;
    }

    // Runs l2peer in the peer namespace and waits for its "ready".
    static void StartPeer(PeerProcess& peer, const std::vector<std::string>& args) {
        std::vector<std::string> command = {Env("APUTIL_L2PEER")};
        command.insert(command.end(), args.begin(), args.end());
        ASSERT_TRUE(peer.Start(Env("APUTIL_NS_B"), command));
        std::string line;
        ASSERT_TRUE(peer.WaitFor("ready", line, 10000)) << "l2peer did not start";
    }

    // Sends one payload from the peer namespace with the given source MAC
    // while the engine receives, then lets the engine receive a little longer.
    static void SendFromPeer(const std::string& source, std::span<const uint8_t> payload, int receiveMs) {
        PeerProcess sender;
        ASSERT_NO_FATAL_FAILURE(StartPeer(sender, {"send", Env("APUTIL_PEER_IF"), MacText(theAdapter.currentAddress),
                                                   "aaaa", HexText(payload), "--src", source}));
        WaitForReply(receiveMs);
        EXPECT_EQ(sender.Stop(), 0);
    }

    Apsim sim_;
    ConfigImage loaded_{};
};

// Every browse shows the counter to the whole segment; if every run started
// from the same value, the next block read's sequence would be known before
// the utility was even started.
TEST_F(HostileSegment, EachRunStartsItsSequenceNumbersAtAnotherValue) {
    ASSERT_NO_FATAL_FAILURE(StartSim());
    constexpr int kRuns = 4;
    for (int run = 0; run < kRuns; ++run) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            execl(APUTIL_FIRST_BROWSE, APUTIL_FIRST_BROWSE, static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "run " << run << " failed";
    }
    std::vector<int64_t> first;
    for (int tries = 0; tries < 200 && first.size() < kRuns; ++tries) {
        first.clear();
        for (const LogLine& l : sim_.ReadLog())
            if (l.Is("request", MSG_BROWSE)) first.push_back(l.Number("seq").value_or(-1));
        if (first.size() < kRuns) usleep(10000);
    }
    ASSERT_EQ(first.size(), static_cast<size_t>(kRuns)) << "the simulator did not log one browse per run";
    // Four draws from 65536 values are all equal with odds of 2^-48.
    EXPECT_GT(std::set<int64_t>(first.begin(), first.end()).size(), 1u) << "every run started at sequence " << first[0];
}

// The AP's own reply to a chunk comes second to one forged in its name (same
// MAC, sequence and session, one byte different): the read fails and keeps
// the blocks read before; a write fails before its commit. The AP answering
// every request twice, byte for byte, changes nothing.
TEST_F(HostileSegment, ConflictingSecondReplyFailsTheTransfer) {
    ASSERT_NO_FATAL_FAILURE(StartSim());
    ASSERT_NO_FATAL_FAILURE(LoginToAp());
    ASSERT_TRUE(ReadDeviceImage());
    ASSERT_EQ(configImage, loaded_);

    struct Case {
        const char* name;
        const char* knob;
        const char* value;
        bool succeeds;
    };
    const Case cases[] = {
        {"no second reply", "dup-replies", "0", true},
        {"identical second replies", "dup-replies", "1", true},
        {"forged reply before the AP's to chunk 2", "forge-chunk", "2", false},
        {"forged reply before the AP's to the last chunk", "forge-chunk", "7", false},
    };
    ConfigImage live = loaded_;
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(sim_.Command(std::string("fault ") + c.knob + " " + c.value), "ok fault");

        // The read: the window's pages are filled from configImage only after it succeeded.
        configImage.fill(0x77);
        const ConfigImage before = configImage;
        const DeviceInfo info = deviceInfo;
        EXPECT_EQ(ReadDeviceImage(), c.succeeds);
        if (c.succeeds) EXPECT_EQ(configImage, live);
        else EXPECT_EQ(configImage, before) << "the pages would show a forged image";
        EXPECT_EQ(deviceInfo, info);

        // The write: chunks that differ from what the AP holds, so a commit shows.
        configImage = live;
        ++round;
        for (size_t i = 0; i < 64; ++i) configImage[100 + i] = static_cast<uint8_t>(round * 31 + i);
        const size_t commitsBefore = Commits();
        const bool wrote = WriteDeviceImage();
        // The simulator logs a commit before it answers it, so the log is complete here.
        EXPECT_EQ(wrote, c.succeeds);
        EXPECT_EQ(Commits() - commitsBefore, c.succeeds ? 1u : 0u);
        if (c.succeeds) live = configImage;
        ASSERT_EQ(sim_.Command(std::string("fault ") + c.knob + (c.knob == std::string("dup-replies") ? " 0" : " off")),
                  "ok fault");
    }
    // The AP holds what the last good write sent, and a clean read brings it.
    ASSERT_TRUE(ReadDeviceImage());
    EXPECT_EQ(configImage, live);
}

// No station sends from a group address. A session check from one must not be
// answered (the answer would go to the group), and a browse reply from one
// must not become an AP in the list; the same frames from a unicast source are
// taken as usual.
TEST_F(HostileSegment, FramesFromGroupSourcesAreDroppedWhateverTheirType) {
    uint8_t check[kFrameBufferSize];
    FrameFields checkFields;
    checkFields.subtype = SESSION_CHECK;
    checkFields.value2 = 3;
    const size_t checkLength = BuildFrame(check, 0x4242, MSG_SESSION, checkFields);
    ASSERT_GT(checkLength, 0u);

    const Attribute attributes[5] = {TextAttribute(ATTR_VENDOR, kVendorFilter),
                                     TextAttribute(ATTR_PRODUCT, kProductFilter), TextAttribute(ATTR_MODEL, "X"),
                                     TextAttribute(ATTR_AP_NAME, "spoof"), TextAttribute(ATTR_END, "")};
    uint8_t browseReply[kFrameBufferSize];
    FrameFields replyFields;
    replyFields.attributes = attributes;
    const size_t replyLength = BuildFrame(browseReply, 7, MSG_BROWSE_REPLY, replyFields);
    ASSERT_GT(replyLength, 0u);

    struct Case {
        const char* source;
        bool taken;
    };
    const Case cases[] = {
        {"ff:ff:ff:ff:ff:ff", false},
        {"01:00:5e:00:00:01", false},
        {"03:11:22:33:44:55", false},
        {"02:11:22:33:44:55", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        // The session check: anything the utility sends back shows in the peer namespace.
        PeerProcess listener;
        ASSERT_NO_FATAL_FAILURE(StartPeer(listener, {"--promisc", "recv", Env("APUTIL_PEER_IF"), "--count", "1"}));
        ASSERT_NO_FATAL_FAILURE(SendFromPeer(c.source, std::span<const uint8_t>(check, checkLength), 300));
        std::string line;
        const bool answered = listener.ReadLine(line, c.taken ? 3000 : 300);
        EXPECT_EQ(answered, c.taken) << line;
        if (answered) {
            const std::vector<uint8_t> frame = FromHex(line);
            ASSERT_GE(frame.size(), 14u + 12u);
            EXPECT_EQ(MacText(frame.data()), c.source) << "the answer goes to the checker";
            FrameHeader header;
            ASSERT_TRUE(VerifyFrame(std::span<const uint8_t>(frame).subspan(14), header));
            EXPECT_EQ(header.type, MSG_SESSION);
            EXPECT_EQ(header.sequence, 0x4242);
        }
        listener.Stop();

        // The browse reply, sent while a browse waits.
        BrowseRecord records[4];
        int count = 4;
        PeerProcess sender;
        ASSERT_NO_FATAL_FAILURE(
            StartPeer(sender, {"send", Env("APUTIL_PEER_IF"), MacText(theAdapter.currentAddress), "aaaa",
                               HexText(std::span<const uint8_t>(browseReply, replyLength)), "--src", c.source}));
        SetTimeout(300);
        ASSERT_EQ(Browse(TextAttribute(ATTR_VENDOR, kVendorFilter), TextAttribute(ATTR_PRODUCT, kProductFilter),
                         TextAttribute(ATTR_MODEL, ""), records, count),
                  STATUS_OK);
        SetTimeout(1000);
        EXPECT_EQ(sender.Stop(), 0);
        ASSERT_EQ(count, c.taken ? 1 : 0);
        if (c.taken) {
            EXPECT_EQ(MacText(records[0].peer.address), c.source);
            EXPECT_STREQ(records[0].apName, "spoof");
        }
    }
}

// Engine time as the wait loop reads it, to see where a wait ended.
struct WaitTrace {
    static inline uint64_t first = 0;
    static inline uint64_t last = 0;
    static inline bool started = false;
    static uint64_t Now() {
        const uint64_t now = static_cast<uint64_t>(test::SteadyMs());
        if (!started) first = now;
        started = true;
        last = now;
        return now;
    }
    static void Reset() { started = false; }
};

// Junk 0xAAAA frames at the veth's full rate towards the utility: exchanges
// still complete, and a wait without an answer ends on time, because frames
// are taken in bounded batches with the deadline checked between them.
// The same checks in process and through the packet helper, which reads and
// relays the flood in bounded batches of its own.
void HostileSegment::FloodChecks() {
    ASSERT_NO_FATAL_FAILURE(StartSim());
    constexpr int64_t kFloodMs = 8000;
    PeerProcess flood;
    ASSERT_NO_FATAL_FAILURE(StartPeer(flood, {"flood", Env("APUTIL_PEER_IF"), MacText(theAdapter.currentAddress),
                                              "--timeout-ms", std::to_string(kFloodMs)}));
    const int64_t floodStart = test::SteadyMs();
    {
        // Replies lost to a full capture ring are sent again after a
        // shortened wait; the exchanges themselves must all succeed.
        const FastClock fast;
        ASSERT_NO_FATAL_FAILURE(LoginToAp());
        ASSERT_TRUE(ReadDeviceImage());
        EXPECT_EQ(configImage, loaded_);
    }

    SetClockHook(&WaitTrace::Now);
    for (int ms : {10, 50, 200, 500}) {
        SCOPED_TRACE(ms);
        WaitTrace::Reset();
        EXPECT_FALSE(WaitForReply(ms));
        // From the engine's first reading of its clock (the deadline's base)
        // to its last (the check that ended the wait).
        const uint64_t took = WaitTrace::last - WaitTrace::first;
        EXPECT_GE(took, static_cast<uint64_t>(ms));
        EXPECT_LE(took, static_cast<uint64_t>(ms) + 20);
    }
    SetClockHook(nullptr);
    const int64_t doneAfter = test::SteadyMs() - floodStart;

    // The flood must have been going all along, and at a rate that fills the
    // capture ring between waits many times over.
    std::string line;
    ASSERT_TRUE(flood.WaitFor("flooded ", line, static_cast<int>(kFloodMs) + 10000));
    long frames = 0;
    long long ms = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "flooded %ld frames in %lld ms", &frames, &ms), 2) << line;
    RecordProperty("flood_frames_per_second", std::to_string(ms > 0 ? frames * 1000 / ms : 0));
    EXPECT_LT(doneAfter, ms) << "the flood ended before the checks did";
    EXPECT_GT(frames, 50 * 2048L) << line;
    EXPECT_EQ(flood.Stop(), 0);
}

TEST_F(HostileSegment, FloodOfJunkNeitherStallsExchangesNorStretchesWaits) { FloodChecks(); }

TEST_F(HostileSegment, FloodThroughThePacketHelperNeitherStallsExchangesNorStretchesWaits) {
    theAdapter.CloseAdapter();
    theAdapter.SetDriver(MakeLinkDriver(APUTIL_LINK_HELPER));
    ASSERT_TRUE(theAdapter.ProbeAdapters());
    ASSERT_TRUE(theAdapter.OpenAdapter(theAdapter.usableIndex[0]));
    FloodChecks();
    theAdapter.CloseAdapter();
    theAdapter.SetDriver(MakePcapDriver());
    EXPECT_TRUE(theAdapter.ProbeAdapters());
}

}  // namespace
}  // namespace aputil
