// The utility's protocol and image code against a simulated AP that misbehaves
// on purpose (seeded faults, bounded runs): whatever the wire does, nothing
// crashes, every failure is reported as one, the AP only ever commits an image
// the utility wrote, a successful read brings the AP's live image byte for
// byte, and once the faults stop the AP is found again by the next browse.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/managed_ap.h"
#include "image/image.h"
#include "protocol/engine.h"
#include "protocol/operations.h"
#include "protocol/startup.h"
#include "tests/support/apsim_process.h"
#include "tests/support/fast_clock.h"
#include "transport/adapter.h"

namespace aputil {
namespace {

using test::Apsim;
using test::FastClock;
using test::LogLine;
using test::SteadyMs;
using Image = std::vector<uint8_t>;
using SteadyClock = std::chrono::steady_clock;

constexpr int kCycles = 3;
// Each faulty run stops starting cycles after this long, so a bad seed cannot
// stretch the suite.
constexpr auto kRunBudget = std::chrono::seconds(5);

Image ToImage(const ConfigImage& image) { return Image(image.begin(), image.end()); }

uint64_t MacKey(const uint8_t* mac) {
    uint64_t key = 0;
    for (int i = 0; i < 6; ++i) key = key << 8 | mac[i];
    return key;
}

class FaultRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        InitPacketDriver();
        theAdapter.quiet = 1;
    }

    void SetUp() override {
        ASSERT_GE(theAdapter.usableCount, 1) << "no usable adapter: run inside tests/netns/with-netns";
        ASSERT_TRUE(theAdapter.OpenAdapter(theAdapter.usableIndex[0]));
        currentAdapter = 0;
        ASSERT_EQ(SetProtocolParameters(1500, 3, 1000), 0);
    }

    void TearDown() override {
        for (uint16_t s = 1; s <= kMaxSessions; ++s) sessionTable[s] = SessionSlot{};
        sim_.Stop();
        theAdapter.CloseAdapter();
        currentAdapter = -1;
    }

    // Starts the simulator with the given options over the live image kept
    // from the previous run (if any), and learns its live image.
    void StartSim(std::vector<std::string> options) {
        std::string error;
        ASSERT_TRUE(sim_.FreshDirectory(error)) << error;
        options.insert(options.begin(), {"--seed", "7"});
        if (!live_.empty()) {
            ASSERT_TRUE(sim_.WriteFile("live.bin", live_));
            ASSERT_TRUE(sim_.WriteFile("state", "0 image live.bin\n"));
            options.insert(options.end(), {"--state", sim_.Path("state")});
        }
        ASSERT_TRUE(sim_.Start(options, error)) << error;
        ASSERT_EQ(sim_.Command("dump"), "ok dump");
        const auto dump = sim_.ReadDump();
        ASSERT_TRUE(dump.has_value());
        ASSERT_EQ(dump->size(), kConfigImageSize);
        if (!live_.empty()) {
            ASSERT_EQ(*dump, live_) << "the restart did not keep the AP's image";
        }
        live_ = *dump;
    }

    // Stops the simulator, keeping its live image for the next start.
    void StopSim() {
        if (const auto dump = sim_.ReadDump()) live_ = *dump;
        sim_.Stop();
    }

    PeerAddress Ap() const { return PeerAddress::FromMac(mac_); }

    // One browse; true when the simulated AP is among the records.
    bool BrowseFindsAp() {
        BrowseRecord records[kBrowseCapacity];
        int count = kBrowseCapacity;
        const int saved = GetTimeout();
        SetTimeout(1000);
        const int status =
            Browse(TextAttribute(ATTR_VENDOR, kVendorFilter), TextAttribute(ATTR_PRODUCT, kProductFilter),
                   TextAttribute(ATTR_MODEL, kModelFilter), records, count);
        SetTimeout(saved);
        EXPECT_EQ(status, STATUS_OK);
        EXPECT_GE(count, 0);
        EXPECT_LE(count, kBrowseCapacity);
        for (int i = 0; i < count; ++i)
            if (records[i].peer == Ap()) return true;
        return false;
    }

    // Login and ReadDeviceImage; false (and the session left) on any failure.
    // A read that succeeds must have brought the live image exactly.
    bool LoginAndRead(uint16_t& session) {
        session = 0;
        const int status = Login(Ap(), "user", "admin", session);
        if (status != STATUS_OK) {
            EXPECT_EQ(session, 0) << "a failed login handed out a session";
            return false;
        }
        EXPECT_GE(session, 1);
        EXPECT_LE(session, kMaxSessions);
        currentSession = session;
        if (!ReadDeviceImage()) return false;
        EXPECT_EQ(ToImage(configImage), live_) << "a read reported success with an image the AP does not hold";
        return true;
    }

    // Edits the image read, writes it and finishes. Returns whether the write
    // reported success; the image that was sent goes to `written`.
    bool EditAndWrite(int cycle, Image& written) {
        char ssid[33];
        std::snprintf(ssid, sizeof ssid, "rel-%d-%lld", cycle, static_cast<long long>(SteadyMs() % 100000));
        EXPECT_TRUE(WriteSsid(configImage, ssid));
        const bool ok = WriteDeviceImage();  // stamps the checksum into configImage first
        written = ToImage(configImage);
        EXPECT_TRUE(SendFinish(BLOCK_OP_FINISH));
        return ok;
    }

    // After a write: the AP holds either its old image or the one written (a
    // commit can take effect while its answer is lost), never anything else;
    // after a write reported as successful, exactly the one written.
    void CheckCommitted(const Image& before, const Image& written, bool writeOk) {
        ASSERT_EQ(sim_.Command("dump"), "ok dump");
        const auto dump = sim_.ReadDump();
        ASSERT_TRUE(dump.has_value());
        if (writeOk) {
            EXPECT_EQ(*dump, written) << "the AP holds another image than the one written";
        } else {
            EXPECT_TRUE(*dump == before || *dump == written) << "the AP committed an image nobody wrote";
        }
        live_ = *dump;
    }

    // Every commit the AP logged was of an image the utility wrote.
    void CheckCommitLog(const std::vector<uint32_t>& writtenCrcs) {
        for (const LogLine& line : sim_.ReadLog()) {
            if (!line.Is("commit") || line.raw().find("\"ok\":true") == std::string::npos) continue;
            const auto crc = line.Number("crc");
            ASSERT_TRUE(crc.has_value()) << line.raw();
            bool known = false;
            for (uint32_t c : writtenCrcs) known = known || c == static_cast<uint32_t>(*crc);
            EXPECT_TRUE(known) << "committed an image that was never written: " << line.raw();
        }
    }

    struct Outcome {
        int written = 0;  // cycles whose write reported success
        int failed = 0;   // cycles in which a login, read or write reported failure
    };

    // Browse, login, read, edit, write, finish, logout, kCycles times or
    // until the budget is spent.
    Outcome RunCycles() {
        FastClock fast;
        const auto end = SteadyClock::now() + kRunBudget;
        std::vector<uint32_t> writtenCrcs;
        Outcome outcome;
        for (int cycle = 0; cycle < kCycles && SteadyClock::now() < end; ++cycle) {
            BrowseFindsAp();  // may miss the AP under loss; must not crash or fail
            uint16_t session = 0;
            if (!LoginAndRead(session)) {
                if (session != 0) Logout(session);
                ++outcome.failed;
                continue;
            }
            const Image before = live_;
            Image image;
            const bool ok = EditAndWrite(cycle, image);
            writtenCrcs.push_back(ImageChecksum(configImage));
            Logout(session);
            CheckCommitted(before, image, ok);
            ++(ok ? outcome.written : outcome.failed);
        }
        CheckCommitLog(writtenCrcs);
        return outcome;
    }

    // The faults are gone: a restart over the same state, then the AP must be
    // found by the next browse and read back as it was left.
    void CheckRecovered() {
        StopSim();
        StartSim({});
        FastClock fast;
        EXPECT_TRUE(BrowseFindsAp()) << "the AP was not found again after the faults";
        uint16_t session = 0;
        EXPECT_TRUE(LoginAndRead(session)) << "the AP could not be read again after the faults";
        if (session != 0) Logout(session);
    }

    Apsim sim_;
    Image live_;
    uint8_t mac_[6] = {};

    void LearnMac() {
        ASSERT_FALSE(sim_.aps().empty());
        std::copy(sim_.aps()[0].mac.begin(), sim_.aps()[0].mac.end(), mac_);
    }
};

struct Knob {
    const char* name;
    std::vector<std::string> options;
    // Retries get through these faults: at least one cycle must write.
    bool retriesCope;
    // Faults that no retry mends (the seeded draws hit at least one cycle):
    // they must show up as reported failures.
    bool mustShowFailure;
};

class FaultKnob : public FaultRun, public ::testing::WithParamInterface<Knob> {};

TEST_P(FaultKnob, NoCrashNoForeignCommitAndFoundAgain) {
    const Knob& knob = GetParam();
    StartSim(knob.options);
    LearnMac();
    const Outcome outcome = RunCycles();
    if (knob.retriesCope) {
        EXPECT_GE(outcome.written, 1) << "no cycle got through " << knob.name;
    }
    if (knob.mustShowFailure) {
        EXPECT_GE(outcome.failed, 1) << knob.name << " went unnoticed";
    }
    CheckRecovered();
}

// Probabilities are per frame, from apsim's seeded generator: the same run
// meets the same faults every time.
const Knob kKnobs[] = {
    {"loss10", {"--drop-requests", "0.1", "--drop-replies", "0.1"}, true, false},
    {"duplicates", {"--dup-replies", "0.5"}, true, false},
    // 70 ms of real time is 1400 ms of engine time: later than the wait, so
    // the request is repeated and the late answer meets the repeat.
    {"late", {"--delay-ms", "70", "--delay-prob", "0.2"}, true, false},
    {"wrongSequence", {"--wrong-sequence", "0.2"}, true, false},
    {"foreignMac", {"--foreign-mac", "0.2"}, true, false},
    {"badChecksum", {"--corrupt-checksum", "0.2"}, true, false},
    {"oversizedBlock", {"--oversized-block", "0.2"}, false, true},
    {"truncatedBlock", {"--truncated-block", "0.2"}, false, true},
    {"lyingCount", {"--lying-count", "0.2"}, false, true},
    {"refusedChunk", {"--refuse-write-chunk", "3"}, false, true},
    {"refusedCommit", {"--refuse-commit"}, false, true},
};

INSTANTIATE_TEST_SUITE_P(Faults, FaultKnob, ::testing::ValuesIn(kKnobs),
                         [](const ::testing::TestParamInfo<Knob>& param) { return std::string(param.param.name); });

// Sends control commands to the simulator from a second thread while the
// main thread is inside an exchange.
class Heckler {
public:
    Heckler(Apsim& sim, std::vector<std::string> commands, int startAfterMs)
        : thread_([this, &sim, commands = std::move(commands), startAfterMs] {
              std::this_thread::sleep_for(std::chrono::milliseconds(startAfterMs));
              for (const auto& c : commands)
                  if (sim.Command(c).rfind("ok", 0) == 0) ++accepted_;
          }) {}
    ~Heckler() { Join(); }
    Heckler(const Heckler&) = delete;
    Heckler& operator=(const Heckler&) = delete;
    int Join() {
        if (thread_.joinable()) thread_.join();
        return accepted_;
    }

private:
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

// Slow block replies (20 ms each, well inside the shortened wait) stretch a
// read to some 250 ms, so commands sent meanwhile land in the middle of it.
const std::vector<std::string> kSlowBlocks = {"--delay-ms", "20", "--delay-prob", "1", "--fault-on", "block"};

TEST_F(FaultRun, LogoutNoticeInTheMiddleOfAReadFailsTheReadAndALaterLoginWorks) {
    StartSim(kSlowBlocks);
    LearnMac();
    FastClock fast;
    uint16_t session = 0;
    ASSERT_EQ(Login(Ap(), "user", "admin", session), STATUS_OK);
    currentSession = session;
    bool readOk = true;
    {
        Heckler heckler(sim_, {"logout 0 " + std::to_string(session)}, 60);
        readOk = ReadDeviceImage();
        EXPECT_EQ(heckler.Join(), 1);
    }
    EXPECT_FALSE(readOk) << "a read went on after the AP ended the session";
    EXPECT_EQ(sessionTable[session].inUse, 0) << "the logout notice did not free the session";

    // The AP is still there: found, logged in to and written as usual.
    EXPECT_TRUE(BrowseFindsAp());
    ASSERT_TRUE(LoginAndRead(session));
    const Image before = live_;
    Image written;
    const bool ok = EditAndWrite(0, written);
    EXPECT_TRUE(ok);
    Logout(session);
    CheckCommitted(before, written, ok);
}

TEST_F(FaultRun, StormOfSessionChecksDuringAReadIsAnsweredAndTheCycleSucceeds) {
    StartSim(kSlowBlocks);
    LearnMac();
    FastClock fast;
    uint16_t session = 0;
    ASSERT_EQ(Login(Ap(), "user", "admin", session), STATUS_OK);
    currentSession = session;
    constexpr int kChecks = 100;
    char own[18];
    const uint8_t* m = theAdapter.currentAddress;
    std::snprintf(own, sizeof own, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    std::vector<std::string> checks(kChecks, "check 0 " + std::to_string(session) + " " + own);
    // And one for a session this station does not hold.
    checks.push_back("check 0 " + std::to_string(session % kMaxSessions + 1) + " " + own);
    bool readOk = false;
    {
        Heckler heckler(sim_, checks, 10);
        readOk = ReadDeviceImage();
        EXPECT_EQ(heckler.Join(), kChecks + 1);
    }
    EXPECT_TRUE(readOk);
    EXPECT_EQ(ToImage(configImage), live_);
    const Image before = live_;
    Image written;
    const bool ok = EditAndWrite(0, written);  // its waits answer the checks still queued
    EXPECT_TRUE(ok);
    Logout(session);
    CheckCommitted(before, written, ok);

    int held = 0, refused = 0;
    for (const LogLine& line : sim_.ReadLog()) {
        if (!line.Is("check-reply")) continue;
        if (line.Number("session") == session) {
            EXPECT_EQ(line.Number("status"), 0) << line.raw();
            ++held;
        } else {
            EXPECT_EQ(line.Number("status"), STATUS_NO_SESSION) << line.raw();
            ++refused;
        }
    }
    EXPECT_EQ(held, kChecks) << "session checks went unanswered";
    EXPECT_EQ(refused, 1);
}

// A window handler may hold the thread while a browse's answers pour in: the
// channel's ring must keep every one of them until the wait reads on.
bool hogPending = false;
void HogTheThreadOnce() {
    if (!hogPending) return;
    hogPending = false;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // well inside the 1000 ms window
}

TEST_F(FaultRun, EveryBrowseListsAllOfAHundredApsEvenWhenTheThreadIsHeldUp) {
    std::string error;
    ASSERT_TRUE(sim_.Start({"--count", "100"}, error)) << error;
    ASSERT_EQ(sim_.aps().size(), 100u);
    SetPumpHook(&HogTheThreadOnce);
    for (int browse = 0; browse < 3; ++browse) {
        hogPending = browse > 0;
        BrowseRecord records[kBrowseCapacity];
        int count = kBrowseCapacity;
        const int status =
            Browse(TextAttribute(ATTR_VENDOR, kVendorFilter), TextAttribute(ATTR_PRODUCT, kProductFilter),
                   TextAttribute(ATTR_MODEL, kModelFilter), records, count);
        ASSERT_EQ(status, STATUS_OK);
        std::set<uint64_t> listed;
        for (int i = 0; i < count; ++i) listed.insert(MacKey(records[i].peer.address));
        for (const auto& ap : sim_.aps()) EXPECT_TRUE(listed.count(MacKey(ap.mac.data()))) << "browse " << browse;
        EXPECT_EQ(count, 100) << "browse " << browse;
    }
    SetPumpHook(nullptr);
}

std::set<uint64_t> burstSources;
void CountBrowseReply(const uint8_t* frame, size_t length) {
    FrameHeader header;
    if (length <= kEthHeaderSize ||
        !VerifyFrame(std::span<const uint8_t>(frame + kEthHeaderSize, length - kEthHeaderSize), header) ||
        header.type != MSG_BROWSE_REPLY)
        return;
    burstSources.insert(MacKey(frame + 6));
}

TEST_F(FaultRun, ABurstOfAThousandRepliesWaitsWholeInTheChannelUntilRead) {
    std::string error;
    ASSERT_TRUE(sim_.Start({"--count", "1000", "--quiet"}, error)) << error;
    const Attribute filters[] = {TextAttribute(ATTR_VENDOR, kVendorFilter), TextAttribute(ATTR_PRODUCT, kProductFilter),
                                 TextAttribute(ATTR_MODEL, "")};
    FrameFields fields;
    fields.attributes = filters;
    uint8_t request[kFrameBufferSize];
    for (int round = 0; round < 3; ++round) {
        const size_t length = BuildFrame(request, NextSequence(), MSG_BROWSE, fields);
        ASSERT_GT(length, 0u);
        burstSources.clear();
        ASSERT_TRUE(SendPayload(PeerAddress::Broadcast(), request, length));
        // Nobody reads while the whole burst arrives.
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        theAdapter.StartReceive(&CountBrowseReply);
        while (theAdapter.WaitForFrames(200)) {
        }
        theAdapter.StopReceive();
        EXPECT_EQ(burstSources.size(), 1000u) << "round " << round;
    }
}

}  // namespace
}  // namespace aputil
