// The transaction engine on the in-memory wire: parameters, sequence numbers,
// Ethernet framing, the receive filter and the wait loop.

#include <algorithm>
#include <string>
#include <vector>

#include "tests/protocol/engine/engine_fixture.h"

namespace aputil::fake {
namespace {

TEST(StartUp, ProbesAdaptersAndSetsTheWorkingParameters) {
    Wire::Get().Reset();
    InstallFakeDriver();
    protocolParameters = ProtocolParameters{};
    InitPacketDriver();
    // "lo" is not Ethernet: only the fake Ethernet interface is usable.
    ASSERT_EQ(theAdapter.usableCount, 1);
    EXPECT_EQ(theAdapter.usableName[0], "fake0");
    EXPECT_TRUE(std::equal(kOwnMac.begin(), kOwnMac.end(), theAdapter.usableAddress[0]));
    EXPECT_EQ(protocolParameters.maxFrameSize, 1500);
    EXPECT_EQ(protocolParameters.retryCount, 3);
    EXPECT_EQ(protocolParameters.timeoutMs, 1000);
    EXPECT_FALSE(theAdapter.IsAdapterOpen());
    EXPECT_EQ(theAdapter.receiveEnabled, 0);
}

TEST_F(EngineTest, SetProtocolParametersRefusesWhatTheRecordCannotHold) {
    struct Case {
        int maxFrameSize, retries, timeoutMs;
        int result;
    };
    const Case cases[] = {
        {1501, 3, 1000, 1},  // larger than any payload the utility sends
        {-1, 3, 1000, 1},    // would become a huge limit for the builder
        {1500, 256, 1000, 1}, {1500, -1, 1000, 1}, {1500, 3, 65536, 1},
        {1500, 3, -5, 1},     {1200, 2, 500, 0},   {1500, 255, 65535, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.maxFrameSize << "," << c.retries << "," << c.timeoutMs);
        ASSERT_EQ(SetProtocolParameters(1400, 1, 700), 0);
        EXPECT_EQ(SetProtocolParameters(c.maxFrameSize, c.retries, c.timeoutMs), c.result);
        if (c.result == 0) {
            EXPECT_EQ(protocolParameters.maxFrameSize, c.maxFrameSize);
            EXPECT_EQ(protocolParameters.retryCount, c.retries);
            EXPECT_EQ(GetTimeout(), c.timeoutMs);
        } else {
            EXPECT_EQ(protocolParameters.maxFrameSize, 1400);
            EXPECT_EQ(protocolParameters.retryCount, 1);
            EXPECT_EQ(GetTimeout(), 700);
        }
    }
    EXPECT_EQ(SetTimeout(250), 0);
    EXPECT_EQ(GetTimeout(), 250);
    EXPECT_EQ(SetTimeout(70000), 1);
    EXPECT_EQ(GetTimeout(), 250);
}

TEST_F(EngineTest, LogoutFrameIsTheKnownBytesBehindTheEthernetHeader) {
    Hold(3, kApMac);
    sequenceCounter = 0x0102;
    ASSERT_EQ(Logout(3), STATUS_OK);
    ASSERT_EQ(wire().sent().size(), 1u);
    Bytes expected(kApMac.begin(), kApMac.end());                     // destination: the session's AP
    expected.insert(expected.end(), kOwnMac.begin(), kOwnMac.end());  // source: the open adapter
    expected.insert(expected.end(), {0xAA, 0xAA,                      // EtherType
                                     0xF5, 0x58, 0x40,                // magic, version
                                     0x00, 0x06,                      // length
                                     0x01, 0x02,                      // sequence
                                     0x00, 0x05,                      // MSG_LOGOUT
                                     0x00, 0x03,                      // session
                                     0xDA, 0xB0});                    // CRC-16
    EXPECT_EQ(wire().sent()[0], expected) << "27 bytes, no padding";
    EXPECT_EQ(sessionTable[3].inUse, 0);
}

TEST_F(EngineTest, SequenceCounterWrapsAfter65535) {
    Hold(3, kApMac);
    sequenceCounter = 65534;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(Logout(3), STATUS_OK);
    const auto requests = wire().Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].header.sequence, 65534);
    EXPECT_EQ(requests[1].header.sequence, 65535);
    EXPECT_EQ(requests[2].header.sequence, 0);
    EXPECT_EQ(sequenceCounter, 1);
}

TEST_F(EngineTest, SendPayloadRefusesWhatTheSendBufferCannotHold) {
    const Bytes payload(1503, 0x11);
    EXPECT_FALSE(SendPayload(Peer(kApMac), payload.data(), payload.size()));
    EXPECT_TRUE(wire().sent().empty());
    EXPECT_TRUE(SendPayload(PeerAddress::Broadcast(), payload.data(), 1502));
    ASSERT_EQ(wire().sent().size(), 1u);
    EXPECT_EQ(wire().sent()[0].size(), 1516u);
    EXPECT_TRUE(std::equal(kBroadcastMac.begin(), kBroadcastMac.end(), wire().sent()[0].begin()));
}

// Each frame is offered during a browse; only frames that pass the receive
// checks can become a record.
TEST_F(EngineTest, ReceiveChecksDropMalformedAndOwnFrames) {
    const Bytes reply = Body().attribute(ATTR_AP_NAME, "Hall 2");
    const Bytes good = FromStation(kApMac, 0, MSG_BROWSE_REPLY, reply);
    auto padded = [&](size_t total) {
        Bytes f = good;
        f.resize(total, 0x00);
        return f;
    };
    auto mutated = [&](size_t at, uint8_t value) {
        Bytes f = good;
        f[at] = value;
        return f;
    };
    struct Case {
        const char* name;
        Bytes frame;
        int records;
    };
    const Case cases[] = {
        {"valid reply", good, 1},
        {"padded to 1514 bytes", padded(1514), 1},
        {"1515 bytes", padded(1515), 0},
        {"Ethernet header only (14 bytes)", Bytes(good.begin(), good.begin() + 14), 0},
        {"15 bytes", Bytes(good.begin(), good.begin() + 15), 0},
        {"another EtherType", Ether(kOwnMac, kApMac, Payload(0, MSG_BROWSE_REPLY, reply), 0x0800), 0},
        {"sent from the adapter itself", Ether(kBroadcastMac, kOwnMac, Payload(0, MSG_BROWSE_REPLY, reply)), 0},
        {"bad checksum", mutated(good.size() - 1, static_cast<uint8_t>(~good.back())), 0},
        {"bad magic", mutated(14, 0xF4), 0},
        {"length beyond the frame", mutated(18, static_cast<uint8_t>(good[18] + 1)), 0},
        {"other version", mutated(16, 0x41), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        wire().Deliver(c.frame, 3);
        BrowseRecord records[4];
        int count = 4;
        ASSERT_EQ(Browse(TextAttribute(ATTR_VENDOR, "v"), TextAttribute(ATTR_PRODUCT, "p"),
                         TextAttribute(ATTR_MODEL, ""), records, count),
                  STATUS_OK);
        EXPECT_EQ(count, c.records);
        if (count == 1) {
            EXPECT_STREQ(records[0].apName, "Hall 2");
        }
        EXPECT_TRUE(wire().inbox().empty());
    }
}

// A login to an AP that never answers: every wait lasts exactly its time-out
// on the fake clock, and the GUI is pumped at least every 10 ms of it.
TEST_F(EngineTest, SilentApGetsTheSameFrameRetryCountPlusOneTimes) {
    struct Case {
        int retries, timeoutMs;
    };
    for (const Case c : {Case{3, 1000}, Case{3, 25}, Case{0, 7}, Case{2, 0}}) {
        SCOPED_TRACE(testing::Message() << c.retries << " retries, " << c.timeoutMs << " ms");
        wire().Reset();
        ASSERT_EQ(SetProtocolParameters(1500, c.retries, c.timeoutMs), 0);
        const uint64_t start = wire().now();
        uint16_t session = 77;
        EXPECT_EQ(Login(Peer(kApMac), "user", "secret", session), STATUS_NO_REPLY);
        EXPECT_EQ(session, 77) << "untouched without a grant";
        EXPECT_EQ(wire().now() - start, static_cast<uint64_t>((c.retries + 1) * c.timeoutMs));

        ASSERT_EQ(wire().sent().size(), static_cast<size_t>(c.retries + 1));
        for (const Bytes& f : wire().sent()) EXPECT_EQ(f, wire().sent()[0]) << "repeats reuse the frame";
        const auto first = Parse(wire().sent()[0]);
        ASSERT_TRUE(first);
        EXPECT_EQ(first->header.type, MSG_SESSION);

        for (int ms : wire().pollArguments()) {
            EXPECT_GE(ms, 0);
            EXPECT_LE(ms, kPollIntervalMs);
        }
        ASSERT_FALSE(wire().pumpTimes.empty());
        uint64_t last = start;
        for (uint64_t t : wire().pumpTimes) {
            EXPECT_LE(t - last, static_cast<uint64_t>(kPollIntervalMs));
            last = t;
        }
    }
    EXPECT_EQ(sequenceCounter, 4) << "one sequence number per login";
}

TEST_F(EngineTest, WaitEndsAsSoonAsTheReplyArrives) {
    Answer(
        MSG_SESSION, MSG_SESSION,
        [](const Request&) -> std::optional<Bytes> { return Body().u16(SESSION_LOGIN_REPLY).u16(0).u16(4); }, 30);
    const uint64_t start = wire().now();
    uint16_t session = 0;
    ASSERT_EQ(Login(Peer(kApMac), "user", "secret", session), STATUS_OK);
    EXPECT_EQ(session, 4);
    EXPECT_EQ(wire().now() - start, 30u);
    EXPECT_EQ(wire().sent().size(), 1u);
}

TEST_F(EngineTest, RepliesFromOtherStationsOrWithOtherSequencesAreIgnored) {
    wire().station = [](const Request& r) {
        const uint16_t seq = r.header.sequence;
        auto grant = [](uint16_t s) -> Bytes { return Body().u16(SESSION_LOGIN_REPLY).u16(0).u16(s); };
        wire().Deliver(FromStation(kOtherMac, seq, MSG_SESSION, grant(2)), 5);
        wire().Deliver(FromStation(kApMac, static_cast<uint16_t>(seq + 1), MSG_SESSION, grant(5)), 10);
        wire().Deliver(FromStation(kApMac, seq, MSG_SESSION, grant(3)), 300);
    };
    const uint64_t start = wire().now();
    uint16_t session = 0;
    ASSERT_EQ(Login(Peer(kApMac), "user", "secret", session), STATUS_OK);
    EXPECT_EQ(session, 3);
    EXPECT_EQ(wire().now() - start, 300u) << "the wait went on past the wrong replies";
    EXPECT_EQ(wire().sent().size(), 1u);
    EXPECT_EQ(sessionTable[3].inUse, 1);
    EXPECT_TRUE(sessionTable[3].peer == Peer(kApMac));
    EXPECT_EQ(sessionTable[2].inUse, 0);
    EXPECT_EQ(sessionTable[5].inUse, 0);
}

// A window handler that runs an exchange of another kind from the pump: when
// its wait ends, the outer wait still receives and gets its own reply.
TEST_F(EngineTest, WaitNestedInThePumpLeavesTheOuterWaitReceiving) {
    Answer(
        MSG_SESSION, MSG_SESSION,
        [](const Request&) -> std::optional<Bytes> { return Body().u16(SESSION_LOGIN_REPLY).u16(0).u16(6); }, 200);
    int nestedStatus = -1;
    wire().onPump = [&] {
        if (nestedStatus != -1) return;
        BrowseRecord records[1];
        int count = 1;
        ASSERT_EQ(SetTimeout(50), 0);
        nestedStatus = Browse(TextAttribute(ATTR_VENDOR, "v"), TextAttribute(ATTR_PRODUCT, "p"),
                              TextAttribute(ATTR_MODEL, ""), records, count);
        ASSERT_EQ(SetTimeout(1000), 0);
    };
    const uint64_t start = wire().now();
    uint16_t session = 0;
    EXPECT_EQ(Login(Peer(kApMac), "user", "secret", session), STATUS_OK);
    EXPECT_EQ(nestedStatus, STATUS_OK);
    EXPECT_EQ(session, 6);
    EXPECT_EQ(wire().now() - start, 200u);
    EXPECT_EQ(SentOfType(MSG_SESSION).size(), 1u);
    EXPECT_EQ(theAdapter.receiveEnabled, 0) << "delivery is off once the outer wait is over";
}

// A window handler that runs past the end of the wait inside the pump: a
// reply that arrived while it ran came in time and is still taken.
TEST_F(EngineTest, ReplyArrivingWhileThePumpRunsPastTheDeadlineCounts) {
    ASSERT_EQ(SetTimeout(100), 0);
    bool handlerRan = false;
    wire().onPump = [&] {
        if (handlerRan || wire().now() < 50) return;
        handlerRan = true;
        wire().Deliver(FromStation(kApMac, 0, MSG_BROWSE_REPLY, Body().attribute(ATTR_AP_NAME, "Late")), 0);
        wire().now() += 200;  // the handler keeps the loop busy past the deadline
    };
    BrowseRecord records[2];
    int count = 2;
    ASSERT_EQ(Browse(TextAttribute(ATTR_VENDOR, "v"), TextAttribute(ATTR_PRODUCT, "p"), TextAttribute(ATTR_MODEL, ""),
                     records, count),
              STATUS_OK);
    ASSERT_TRUE(handlerRan);
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(records[0].apName, "Late");
}

// Junk frames waking the wait every millisecond (each kind the segment can
// bring: cut short, bad checksum, another station, a stale sequence) pump the
// GUI no more often than a quiet wait does: once per 10 ms of the fake clock.
// The wait still ends on time, and a window handler still runs every 10 ms.
TEST_F(EngineTest, JunkFramesDoNotPumpMoreOftenThanTheTenMillisecondRhythm) {
    auto junk = [](uint16_t sequence, int kind) -> Bytes {
        const Bytes grant = Body().u16(SESSION_LOGIN_REPLY).u16(0).u16(4);
        Bytes f = FromStation(kApMac, sequence, MSG_SESSION, grant);
        switch (kind % 4) {
        case 0:
            f.resize(f.size() / 2);
            break;  // cut short
        case 1:
            f.back() ^= 0xFF;
            break;  // bad CRC-16
        case 2:
            f = FromStation(kOtherMac, sequence, MSG_SESSION, grant);
            break;
        default:
            f = FromStation(kApMac, static_cast<uint16_t>(sequence + 9), MSG_SESSION, grant);
            break;
        }
        return f;
    };
    struct Case {
        const char* what;
        int replyAfterMs;  // 0: the AP never answers
        bool withJunk;
    };
    // Two sends of 50 ms each when nothing answers.
    constexpr int kRetries = 1, kTimeoutMs = 50;
    std::vector<size_t> pumpsOf[2];
    for (const Case c : {Case{"quiet, no reply", 0, false}, Case{"junk, no reply", 0, true},
                         Case{"quiet, reply at 37 ms", 37, false}, Case{"junk, reply at 37 ms", 37, true}}) {
        SCOPED_TRACE(c.what);
        wire().Reset();
        SetClockHook(FakeClock);  // forgets the pump time of the previous case
        ASSERT_EQ(SetProtocolParameters(1500, kRetries, kTimeoutMs), 0);
        wire().station = [&](const Request& r) {
            if (r.header.type != MSG_SESSION) return;
            if (c.withJunk)
                for (int ms = 1; ms < kTimeoutMs; ++ms) wire().Deliver(junk(r.header.sequence, ms), ms);
            if (c.replyAfterMs > 0)
                wire().Deliver(
                    FromStation(kApMac, r.header.sequence, MSG_SESSION, Body().u16(SESSION_LOGIN_REPLY).u16(0).u16(4)),
                    static_cast<uint64_t>(c.replyAfterMs));
        };
        std::vector<uint64_t> handlerTimes;
        wire().onPump = [&] { handlerTimes.push_back(wire().now()); };
        const uint64_t start = wire().now();
        uint16_t session = 0;
        const int status = Login(Peer(kApMac), "user", "secret", session);
        const uint64_t elapsed = wire().now() - start;
        if (c.replyAfterMs > 0) {
            EXPECT_EQ(status, STATUS_OK);
            EXPECT_EQ(session, 4);
            EXPECT_EQ(elapsed, static_cast<uint64_t>(c.replyAfterMs)) << "the reply ends the wait at once";
        } else {
            EXPECT_EQ(status, STATUS_NO_REPLY);
            EXPECT_EQ(elapsed, static_cast<uint64_t>((kRetries + 1) * kTimeoutMs)) << "each wait lasts its time-out";
        }
        if (c.withJunk) {
            EXPECT_GT(wire().pollArguments().size(), elapsed / 2) << "the junk did wake the wait";
        }

        ASSERT_FALSE(handlerTimes.empty());
        uint64_t last = start;
        for (uint64_t t : handlerTimes) {
            EXPECT_LE(t - last, static_cast<uint64_t>(kPollIntervalMs)) << "a handler waited too long at " << t;
            last = t;
        }
        for (size_t i = 1; i < handlerTimes.size(); ++i)
            EXPECT_GE(handlerTimes[i] - handlerTimes[i - 1], static_cast<uint64_t>(kPollIntervalMs))
                << "pumped again before 10 ms had passed, at " << handlerTimes[i];
        EXPECT_LE(handlerTimes.size(), elapsed / kPollIntervalMs + 1);
        pumpsOf[c.withJunk ? 1 : 0].push_back(handlerTimes.size());
    }
    ASSERT_EQ(pumpsOf[0].size(), 2u);
    ASSERT_EQ(pumpsOf[1].size(), 2u);
    for (size_t i = 0; i < 2; ++i)
        EXPECT_LE(pumpsOf[1][i], pumpsOf[0][i] + 1) << "junk added pump calls over the quiet wait of the same length";
}

// Exchanges answered within a millisecond, one after another: the pump runs
// on the same 10 ms rhythm across them rather than never or after each.
TEST_F(EngineTest, BackToBackShortExchangesShareThePumpRhythm) {
    ASSERT_EQ(SetProtocolParameters(1500, 3, 1000), 0);
    Answer(
        MSG_SESSION, MSG_SESSION,
        [](const Request&) -> std::optional<Bytes> { return Body().u16(SESSION_LOGIN_REPLY).u16(0).u16(4); }, 3);
    // The AP takes 3 ms per answer, and its first junk frame comes after 1 ms,
    // so each wait wakes once without a reply.
    const auto station = wire().station;
    wire().station = [&](const Request& r) {
        wire().Deliver(FromStation(kOtherMac, r.header.sequence, MSG_SESSION, Body().u16(SESSION_LOGIN_REPLY)), 1);
        station(r);
    };
    const uint64_t start = wire().now();
    for (int i = 0; i < 40; ++i) {
        uint16_t session = 0;
        ASSERT_EQ(Login(Peer(kApMac), "user", "secret", session), STATUS_OK);
    }
    const uint64_t elapsed = wire().now() - start;
    ASSERT_EQ(elapsed, 120u);
    EXPECT_GE(wire().pumpTimes.size(), elapsed / kPollIntervalMs - 1) << "pumped throughout";
    EXPECT_LE(wire().pumpTimes.size(), elapsed / kPollIntervalMs + 1) << "not once per exchange";
}

TEST_F(EngineTest, ReplyAfterItsOperationReturnedIsIgnored) {
    ASSERT_EQ(SetProtocolParameters(1500, 0, 50), 0);
    uint16_t session = 0;
    ASSERT_EQ(Login(Peer(kApMac), "user", "secret", session), STATUS_NO_REPLY);
    const uint16_t sequence = Parse(wire().sent().at(0))->header.sequence;
    // The late grant arrives during the next wait, a browse.
    wire().Deliver(FromStation(kApMac, sequence, MSG_SESSION, Body().u16(SESSION_LOGIN_REPLY).u16(0).u16(2)), 5);
    BrowseRecord records[1];
    int count = 1;
    ASSERT_EQ(Browse(TextAttribute(ATTR_VENDOR, "v"), TextAttribute(ATTR_PRODUCT, "p"), TextAttribute(ATTR_MODEL, ""),
                     records, count),
              STATUS_OK);
    EXPECT_TRUE(wire().inbox().empty()) << "the late reply was delivered";
    for (const SessionSlot& slot : sessionTable) EXPECT_EQ(slot.inUse, 0);
    // And the next login is not completed by it either.
    wire().Deliver(FromStation(kApMac, sequence, MSG_SESSION, Body().u16(SESSION_LOGIN_REPLY).u16(0).u16(2)), 5);
    EXPECT_EQ(Login(Peer(kApMac), "user", "secret", session), STATUS_NO_REPLY);
    EXPECT_EQ(sessionTable[2].inUse, 0);
}

}  // namespace
}  // namespace aputil::fake
