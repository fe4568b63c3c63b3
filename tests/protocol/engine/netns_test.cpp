// The engine's main paths on a real veth pair, against the AP simulator in the
// peer namespace: browse, login, block reads, a session check answered, and
// the GUI pump kept alive while a login waits for an AP that never answers.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "protocol/engine.h"
#include "protocol/operations.h"
#include "protocol/startup.h"
#include "tests/support/apsim_process.h"
#include "tests/support/hex_text.h"
#include "transport/adapter.h"

namespace aputil {
namespace {

using test::Apsim;
using test::Env;
using test::LogLine;
using test::MacText;

class WireTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (Env("APUTIL_APSIM").empty() || Env("APUTIL_NS_B").empty()) return;
        std::string error;
        if (!sim_.Start({"--count", "2", "--seed", "7"}, error)) {
            std::fprintf(stderr, "apsim: %s\n", error.c_str());
            return;
        }

        InitPacketDriver();
        if (theAdapter.usableCount < 1 || !theAdapter.OpenAdapter(theAdapter.usableIndex[0])) return;
        currentAdapter = 0;
        ready_ = true;
    }

    static void TearDownTestSuite() {
        theAdapter.CloseAdapter();
        currentAdapter = -1;
        sim_.Stop();
    }

    void SetUp() override {
        if (Env("APUTIL_APSIM").empty()) GTEST_SKIP() << "the AP simulator was not built";
        ASSERT_TRUE(ready_) << "simulator or adapter did not come up";
        ASSERT_EQ(sim_.aps().size(), 2u);
        SetProtocolParameters(1500, 3, 1000);
        SetPumpHook(nullptr);
        SetClockHook(nullptr);
    }

    static PeerAddress Ap(size_t index) { return PeerAddress::FromMac(sim_.aps()[index].mac.data()); }

    // Logs in to the first simulated AP with the simulator's password.
    static uint16_t LoginFirst() {
        uint16_t session = 0;
        EXPECT_EQ(Login(Ap(0), "user", "admin", session), STATUS_OK);
        return session;
    }

    // Waits (receiving, as during any exchange) until the simulator logged a
    // check-reply with this sequence; returns that log line.
    static std::string AwaitCheckReply(unsigned sequence) {
        for (int round = 0; round < 100; ++round) {
            WaitForReply(50);
            for (const LogLine& line : sim_.ReadLog())
                if (line.Is("check-reply") && line.Number("seq") == sequence) return line.raw();
        }
        return {};
    }

    static std::string Check(uint16_t session, const std::string& mac = "") {
        const std::string answer =
            sim_.Command("check 0 " + std::to_string(session) + (mac.empty() ? "" : " " + mac), 10000);
        if (answer.rfind("ok check ", 0) != 0) return "no check sent: " + answer;
        return AwaitCheckReply(static_cast<unsigned>(std::stoul(answer.substr(9))));
    }

    static inline Apsim sim_;
    static inline bool ready_ = false;
};

TEST_F(WireTest, BrowseFindsEverySimulatedAp) {
    ASSERT_EQ(SetTimeout(500), 0);
    BrowseRecord records[kBrowseCapacity];
    int count = kBrowseCapacity;
    ASSERT_EQ(Browse(TextAttribute(ATTR_VENDOR, "M-Rax"), TextAttribute(ATTR_PRODUCT, "Lumivance/QR-4710 Access Point"),
                     TextAttribute(ATTR_MODEL, ""), records, count),
              STATUS_OK);
    ASSERT_EQ(count, 2);
    for (const Apsim::Ap& ap : sim_.aps()) {
        const PeerAddress peer = PeerAddress::FromMac(ap.mac.data());
        const auto found =
            std::find_if(records, records + count, [&](const BrowseRecord& r) { return r.peer == peer; });
        ASSERT_NE(found, records + count) << ap.name;
        EXPECT_EQ(std::string(found->apName), ap.name);
        EXPECT_STREQ(found->vendor, "M-Rax");
        EXPECT_STREQ(found->model, "QR-4710A Smart AP");
    }
    // Another vendor's filter is answered by nobody.
    count = kBrowseCapacity;
    ASSERT_EQ(Browse(TextAttribute(ATTR_VENDOR, "Other"), TextAttribute(ATTR_PRODUCT, "Lumivance/QR-4710 Access Point"),
                     TextAttribute(ATTR_MODEL, ""), records, count),
              STATUS_OK);
    EXPECT_EQ(count, 0);
}

TEST_F(WireTest, LoginThenBlockReads) {
    uint16_t session = 0;
    EXPECT_EQ(Login(Ap(0), "user", "wrong", session), 5) << "the simulator's refusal status";
    session = LoginFirst();
    ASSERT_GE(session, 1);
    ASSERT_LE(session, kMaxSessions);
    EXPECT_EQ(sessionTable[session].inUse, 1);
    EXPECT_TRUE(sessionTable[session].peer == Ap(0));

    uint8_t request[kBlockHeaderSize];
    BlockHeader{BLOCK_OP_INFO, 0, 0}.Write(request);
    const uint8_t* reply = nullptr;
    size_t replyLength = 0;
    ASSERT_EQ(BlockRequest(session, request, sizeof request, reply, replyLength), STATUS_OK);
    ASSERT_EQ(replyLength, kBlockHeaderSize + 32);
    // The image address is the u32 at byte 20 of the device information.
    const uint8_t* info = reply + kBlockHeaderSize;
    const uint32_t imageAddress = info[20] | info[21] << 8 | info[22] << 16 | static_cast<uint32_t>(info[23]) << 24;
    ASSERT_NE(imageAddress, 0u);

    std::vector<uint8_t> first;
    for (uint32_t chunk = 0; chunk < 2; ++chunk) {
        BlockHeader{BLOCK_OP_READ, imageAddress + 512 * chunk, 512}.Write(request);
        ASSERT_EQ(BlockRequest(session, request, sizeof request, reply, replyLength), STATUS_OK);
        ASSERT_EQ(replyLength, kBlockHeaderSize + 512);
        const auto header = BlockHeader::Read({reply, kBlockHeaderSize});
        ASSERT_TRUE(header);
        EXPECT_EQ(header->offset, imageAddress + 512 * chunk);
        EXPECT_EQ(header->length, 512u);
        if (chunk == 0) first.assign(reply + kBlockHeaderSize, reply + replyLength);
    }
    // The same chunk read again is the same bytes.
    BlockHeader{BLOCK_OP_READ, imageAddress, 512}.Write(request);
    ASSERT_EQ(BlockRequest(session, request, sizeof request, reply, replyLength), STATUS_OK);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), reply + kBlockHeaderSize));

    // A read outside every block is refused by the device, at once.
    BlockHeader{BLOCK_OP_READ, 0x10, 512}.Write(request);
    EXPECT_EQ(BlockRequest(session, request, sizeof request, reply, replyLength), 1);
    EXPECT_EQ(Logout(session), STATUS_OK);
}

TEST_F(WireTest, SessionChecksAreAnswered) {
    const uint16_t session = LoginFirst();
    ASSERT_NE(session, 0);
    const std::string ownMac = MacText(theAdapter.currentAddress);

    const std::string held = Check(session);
    EXPECT_NE(held.find("\"status\":0,"), std::string::npos) << held;
    EXPECT_NE(held.find("\"session\":" + std::to_string(session) + ","), std::string::npos) << held;

    const std::string unknown = Check(9, ownMac);
    EXPECT_NE(unknown.find("\"status\":6,"), std::string::npos) << unknown;

    ASSERT_EQ(Logout(session), STATUS_OK);
    const std::string released = Check(session, ownMac);
    EXPECT_NE(released.find("\"status\":6,"), std::string::npos) << released;
}

// While a login waits for an AP that is not there, the window's event pump
// keeps running. Counted over the whole wait, not gap by gap, so that one slow
// scheduling of a shared machine does not decide the outcome.
std::vector<std::chrono::steady_clock::time_point> pumpTimes;
void RecordPump() { pumpTimes.push_back(std::chrono::steady_clock::now()); }

TEST_F(WireTest, PumpRunsThroughoutAWaitForASilentAp) {
    ASSERT_EQ(SetProtocolParameters(1500, 3, 250), 0);
    const uint8_t nobody[6] = {0x02, 0x00, 0xDE, 0xAD, 0xBE, 0xEF};
    pumpTimes.clear();
    pumpTimes.reserve(1000);
    SetPumpHook(RecordPump);
    const auto start = std::chrono::steady_clock::now();
    uint16_t session = 0;
    EXPECT_EQ(Login(PeerAddress::FromMac(nobody), "user", "admin", session), STATUS_NO_REPLY);
    const auto end = std::chrono::steady_clock::now();
    SetPumpHook(nullptr);

    using std::chrono::milliseconds;
    const auto elapsed = std::chrono::duration_cast<milliseconds>(end - start).count();
    // Four whole waits; the clock counts whole milliseconds, so each may end
    // up to one of them early.
    EXPECT_GE(elapsed, 4 * 250 - 4);
    ASSERT_FALSE(pumpTimes.empty());
    EXPECT_GE(static_cast<long>(pumpTimes.size()), elapsed / 20) << "at least one pump per 20 ms on average";
    // No gap comes near a whole time-out, which a blocking wait would show.
    auto previous = start;
    long longest = 0;
    for (const auto& t : pumpTimes) {
        longest = std::max<long>(longest, std::chrono::duration_cast<milliseconds>(t - previous).count());
        previous = t;
    }
    EXPECT_LT(longest, 200) << "longest gap between pumps";
    std::printf("pumps: %zu over %ld ms, longest gap %ld ms\n", pumpTimes.size(), static_cast<long>(elapsed), longest);
}

}  // namespace
}  // namespace aputil
