// Device operations and their reply handlers on the in-memory wire.

#include <cstring>
#include <string>

#include "tests/protocol/engine/engine_fixture.h"

namespace aputil::fake {
namespace {

const Attribute kVendor = TextAttribute(ATTR_VENDOR, "M-Rax");
const Attribute kProduct = TextAttribute(ATTR_PRODUCT, "Lumivance/QR-4710 Access Point");
const Attribute kAllModels = TextAttribute(ATTR_MODEL, "");

Mac StationMac(int i) { return {0x02, 0x77, 0x00, 0x00, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)}; }

Bytes BlockHeaderBytes(uint8_t op, uint32_t offset, uint32_t length) {
    BlockHeader h;
    h.op = op;
    h.offset = offset;
    h.length = length;
    Bytes out(kBlockHeaderSize);
    h.Write(out.data());
    return out;
}

// ---------------------------------------------------------------- browse

TEST_F(EngineTest, BrowseBroadcastsTheFiltersOnceAndKeepsOneRecordPerAp) {
    const std::string name80(80, 'n');
    const std::string vendor79(79, 'v');
    wire().station = [&](const Request& r) {
        if (r.header.type != MSG_BROWSE) return;
        const uint16_t seq = r.header.sequence;
        wire().Deliver(FromStation(kApMac, seq, MSG_BROWSE_REPLY,
                                   Body()
                                       .attribute(ATTR_VENDOR, "M-Rax")
                                       .attribute(ATTR_PRODUCT, "P")
                                       .attribute(ATTR_MODEL, "M")
                                       .attribute(ATTR_AP_NAME, "Hall 2")),
                       5);
        // The same AP again, with other texts: not a second record, and the first stays.
        wire().Deliver(FromStation(kApMac, seq, MSG_BROWSE_REPLY, Body().attribute(ATTR_AP_NAME, "Renamed")), 6);
        // No vendor, but a name.
        wire().Deliver(FromStation(kOtherMac, 999, MSG_BROWSE_REPLY, Body().attribute(ATTR_AP_NAME, "Lobby")), 7);
        // An 80-byte name does not fit its field; a 79-byte vendor does.
        wire().Deliver(FromStation(StationMac(3), seq, MSG_BROWSE_REPLY,
                                   Body().attribute(ATTR_AP_NAME, name80).attribute(ATTR_VENDOR, vendor79)),
                       8);
    };
    ASSERT_EQ(SetTimeout(1000), 0);
    const uint64_t start = wire().now();
    BrowseRecord records[8];
    int count = 8;
    ASSERT_EQ(Browse(kVendor, kProduct, kAllModels, records, count), STATUS_OK);
    EXPECT_EQ(wire().now() - start, 1000u) << "a browse waits its whole time-out";

    const auto requests = wire().Requests();
    ASSERT_EQ(requests.size(), 1u) << "one send, no repeats";
    EXPECT_EQ(requests[0].destination, kBroadcastMac);
    EXPECT_EQ(requests[0].header.type, MSG_BROWSE);
    const Bytes filters = Body()
                              .attribute(ATTR_VENDOR, "M-Rax")
                              .attribute(ATTR_PRODUCT, "Lumivance/QR-4710 Access Point")
                              .attribute(ATTR_MODEL, "");
    EXPECT_EQ(requests[0].body, filters);

    ASSERT_EQ(count, 3);
    EXPECT_TRUE(records[0].peer == Peer(kApMac));
    EXPECT_STREQ(records[0].vendor, "M-Rax");
    EXPECT_STREQ(records[0].product, "P");
    EXPECT_STREQ(records[0].model, "M");
    EXPECT_STREQ(records[0].apName, "Hall 2");
    EXPECT_TRUE(records[1].peer == Peer(kOtherMac));
    EXPECT_STREQ(records[1].vendor, "");
    EXPECT_STREQ(records[1].apName, "Lobby");
    EXPECT_STREQ(records[2].apName, "");
    EXPECT_EQ(std::string(records[2].vendor), vendor79);
    for (int i = 0; i < count; ++i) EXPECT_STREQ(records[i].fifth, "");
}

TEST_F(EngineTest, BrowseStopsRecordingAtTheCapacity) {
    wire().station = [](const Request& r) {
        for (int i = 1; i <= 101; ++i)
            wire().Deliver(FromStation(StationMac(i), r.header.sequence, MSG_BROWSE_REPLY,
                                       Body().attribute(ATTR_AP_NAME, "AP " + std::to_string(i))),
                           static_cast<uint64_t>(i));
    };
    for (int capacity : {kBrowseCapacity, 2, 0}) {
        SCOPED_TRACE(capacity);
        std::vector<BrowseRecord> records(kBrowseCapacity + 1);
        int count = capacity;
        ASSERT_EQ(Browse(kVendor, kProduct, kAllModels, records.data(), count), STATUS_OK);
        ASSERT_EQ(count, capacity);
        for (int i = 0; i < count; ++i) EXPECT_EQ(std::string(records[i].apName), "AP " + std::to_string(i + 1));
        EXPECT_TRUE(records[capacity].peer == PeerAddress{}) << "nothing written past the capacity";
    }
}

TEST_F(EngineTest, BrowseRepeatedSendsEveryFilterSetPerPassWithOneSequence) {
    ASSERT_EQ(SetProtocolParameters(1500, 2, 40), 0);
    sequenceCounter = 500;
    wire().station = [](const Request& r) {
        // Each pass is answered by a new AP and by the first one again.
        if (r.body.size() > 3 && r.body[3] == 'A') {
            const Bytes body = Body().attribute(ATTR_AP_NAME, "n");
            wire().Deliver(FromStation(StationMac(1), r.header.sequence, MSG_BROWSE_REPLY, body), 1);
            wire().Deliver(FromStation(StationMac(r.header.sequence), r.header.sequence, MSG_BROWSE_REPLY, body), 2);
        }
    };
    const Attribute vendors[] = {TextAttribute(ATTR_VENDOR, "A"), TextAttribute(ATTR_VENDOR, "B")};
    const Attribute products[] = {kProduct, kProduct};
    const Attribute models[] = {kAllModels, TextAttribute(ATTR_MODEL, "X")};
    BrowseRecord records[10];
    int count = 10;
    const uint64_t start = wire().now();
    ASSERT_EQ(BrowseRepeated(2, vendors, products, models, records, count), STATUS_OK);
    EXPECT_EQ(wire().now() - start, 3u * 40u) << "one wait per pass";

    const auto requests = wire().Requests();
    ASSERT_EQ(requests.size(), 6u) << "three passes of two frames";
    for (size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i].destination, kBroadcastMac);
        EXPECT_EQ(requests[i].header.sequence, 500 + i / 2);
        EXPECT_EQ(requests[i].body[3], i % 2 == 0 ? 'A' : 'B');
    }
    EXPECT_EQ(sequenceCounter, 503);
    EXPECT_EQ(count, 4) << "the first AP once, and one new AP per pass";

    count = 10;
    EXPECT_EQ(BrowseRepeated(0, vendors, products, models, records, count), STATUS_FAILED);
    EXPECT_EQ(wire().sent().size(), 6u);
}

// ---------------------------------------------------------------- login and session table

TEST_F(EngineTest, LoginSendsUserAndPasswordAndHoldsTheGrantedSession) {
    Answer(MSG_SESSION, MSG_SESSION,
           [](const Request&) -> std::optional<Bytes> { return Body().u16(SESSION_LOGIN_REPLY).u16(0).u16(8); });
    uint16_t session = 0;
    ASSERT_EQ(Login(Peer(kApMac), "user", "secret", session), STATUS_OK);
    EXPECT_EQ(session, 8);
    EXPECT_EQ(sessionTable[8].inUse, 1);
    EXPECT_EQ(sessionTable[8].alive, 1);
    EXPECT_TRUE(sessionTable[8].peer == Peer(kApMac));

    const auto requests = wire().Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].destination, kApMac);
    const Bytes body =
        Body().u16(SESSION_LOGIN).u16(0).u16(0).attribute(ATTR_USER, "user").attribute(ATTR_PASSWORD, "secret");
    EXPECT_EQ(requests[0].body, body);
}

TEST_F(EngineTest, LoginRefusalsLeaveTheSessionTableAlone) {
    struct Case {
        uint16_t status, granted;
        int result;
    };
    const Case cases[] = {
        {5, 2, 5},              // refused by the AP: its status passes through
        {0, 0, STATUS_FAILED},  // accepted, but no usable session id
        {0, 9, STATUS_FAILED},
        {0, 0xFFFF, STATUS_FAILED},
        {STATUS_NO_REPLY, 1, STATUS_NO_REPLY},  // a device status equal to 2 still ends the attempts
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "status " << c.status << " session " << c.granted);
        wire().Reset();
        Answer(MSG_SESSION, MSG_SESSION, [c](const Request&) -> std::optional<Bytes> {
            return Body().u16(SESSION_LOGIN_REPLY).u16(c.status).u16(c.granted);
        });
        uint16_t session = 42;
        EXPECT_EQ(Login(Peer(kApMac), "user", "pw", session), c.result);
        EXPECT_EQ(session, 42);
        EXPECT_EQ(wire().sent().size(), 1u) << "a matched reply ends the attempts";
        for (const SessionSlot& slot : sessionTable) EXPECT_EQ(slot.inUse, 0);
    }
}

TEST_F(EngineTest, SessionCheckIsAnsweredWithTheChecksSequence) {
    Hold(3, kApMac);
    sessionTable[4].peer = Peer(kApMac);  // known AP, but the slot is free
    struct Case {
        const char* name;
        Mac from;
        uint16_t session;
        uint16_t status;
    };
    const Case cases[] = {
        {"held session from its AP", kApMac, 3, STATUS_OK},
        {"held session, another station", kOtherMac, 3, STATUS_NO_SESSION},
        {"session 9", kApMac, 9, STATUS_NO_SESSION},
        {"session 0", kApMac, 0, STATUS_NO_SESSION},
        {"freed session", kApMac, 4, STATUS_NO_SESSION},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        wire().Reset();
        const Bytes check = FromStation(c.from, 0xBEEF, MSG_SESSION, Body().u16(SESSION_CHECK).u16(0).u16(c.session));
        ProtocolFrameHandler(check.data(), check.size());
        const auto sent = wire().Requests();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].destination, c.from);
        EXPECT_EQ(sent[0].header.sequence, 0xBEEF);
        EXPECT_EQ(sent[0].body, Bytes(Body().u16(SESSION_CHECK_REPLY).u16(c.status).u16(c.session)));
    }
    EXPECT_EQ(sequenceCounter, 0) << "answers do not take sequence numbers";

    // Only the check is answered, and only with its whole body.
    for (const Bytes& body :
         {Bytes(Body().u16(SESSION_CHECK).u16(0).u8(0)), Bytes(Body().u16(SESSION_LOGIN).u16(0).u16(3)),
          Bytes(Body().u16(SESSION_CHECK_REPLY).u16(0).u16(3))}) {
        wire().Reset();
        const Bytes frame = FromStation(kApMac, 1, MSG_SESSION, body);
        ProtocolFrameHandler(frame.data(), frame.size());
        EXPECT_TRUE(wire().sent().empty());
    }
}

// A check arriving in the middle of a block request is answered at once, and
// the request repeated after it is still the request's own frame.
TEST_F(EngineTest, SessionCheckDuringAWaitLeavesTheRunningRequestIntact) {
    Hold(3, kApMac);
    ASSERT_EQ(SetProtocolParameters(1500, 1, 100), 0);
    int blockSends = 0;
    wire().station = [&](const Request& r) {
        if (r.header.type != MSG_BLOCK) return;
        if (++blockSends == 1) {
            wire().Deliver(FromStation(kApMac, 0x4242, MSG_SESSION, Body().u16(SESSION_CHECK).u16(0).u16(3)), 5);
        } else {
            wire().Deliver(FromStation(kApMac, r.header.sequence, MSG_BLOCK_REPLY,
                                       Body().u16(3).u16(0).u16(16).bytes(BlockHeaderBytes(BLOCK_OP_COMMIT, 0, 0))),
                           5);
        }
    };
    const Bytes request = BlockHeaderBytes(BLOCK_OP_COMMIT, 0, 0);
    const uint8_t* reply = nullptr;
    size_t replyLength = 0;
    ASSERT_EQ(BlockRequest(3, request.data(), request.size(), reply, replyLength), STATUS_OK);
    EXPECT_EQ(replyLength, 16u);

    const auto sent = wire().Requests();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].header.type, MSG_BLOCK);
    EXPECT_EQ(sent[1].header.type, MSG_SESSION);
    EXPECT_EQ(sent[1].header.sequence, 0x4242);
    EXPECT_EQ(sent[1].body, Bytes(Body().u16(SESSION_CHECK_REPLY).u16(STATUS_OK).u16(3)));
    EXPECT_EQ(wire().sent()[2], wire().sent()[0]);
}

TEST_F(EngineTest, LogoutRefusesSessionsOutsideTheTable) {
    sessionTable[5].inUse = 1;  // in use but never granted by anyone: no peer to tell
    struct Case {
        uint16_t session;
        int result;
    };
    for (const Case c : {Case{0, STATUS_BAD_SESSION}, Case{9, STATUS_BAD_SESSION}, Case{0xFFFF, STATUS_BAD_SESSION},
                         Case{5, STATUS_OK}}) {
        SCOPED_TRACE(c.session);
        EXPECT_EQ(Logout(c.session), c.result);
        EXPECT_TRUE(wire().sent().empty());
    }
    EXPECT_EQ(sessionTable[5].inUse, 0);
    EXPECT_EQ(sequenceCounter, 0);
}

TEST_F(EngineTest, LogoutNoticeFreesTheNamedSession) {
    struct Case {
        const char* name;
        Bytes body;
        bool stillHeld;
    };
    const Case cases[] = {
        {"session 3", Body().u16(3), false},
        {"one-byte body", Body().u8(3), true},
        {"session 9", Body().u16(9), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Hold(3, kApMac);
        // The sender is not compared: the notice names the session itself.
        const Bytes notice = FromStation(kOtherMac, 7, MSG_LOGOUT, c.body);
        ProtocolFrameHandler(notice.data(), notice.size());
        EXPECT_EQ(sessionTable[3].inUse, c.stillHeld ? 1 : 0);
        EXPECT_TRUE(wire().sent().empty()) << "a notice is not answered";
    }
}

// ---------------------------------------------------------------- block requests

TEST_F(EngineTest, BlockReadHandsBackTheDevicesHeaderAndData) {
    Hold(3, kApMac);
    Bytes data(512);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
    const Bytes replyData = Body().bytes(BlockHeaderBytes(BLOCK_OP_READ, 0x30000, 512)).bytes(data);
    Answer(MSG_BLOCK, MSG_BLOCK_REPLY, [&](const Request&) -> std::optional<Bytes> {
        return Body().u16(3).u16(0).u16(static_cast<uint16_t>(replyData.size())).bytes(replyData);
    });
    const Bytes request = BlockHeaderBytes(BLOCK_OP_READ, 0x30000, 512);
    const uint8_t* reply = nullptr;
    size_t replyLength = 0;
    ASSERT_EQ(BlockRequest(3, request.data(), request.size(), reply, replyLength), STATUS_OK);
    ASSERT_EQ(replyLength, replyData.size());
    EXPECT_EQ(Bytes(reply, reply + replyLength), replyData);

    const auto sent = wire().Requests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].destination, kApMac);
    EXPECT_EQ(sent[0].body, Bytes(Body().u16(3).u16(16).bytes(request)));

    // A later request without an answer hands back no bytes of this one.
    wire().station = nullptr;
    ASSERT_EQ(SetProtocolParameters(1500, 0, 20), 0);
    EXPECT_EQ(BlockRequest(3, request.data(), request.size(), reply, replyLength), STATUS_NO_REPLY);
    EXPECT_EQ(replyLength, 0u);
}

TEST_F(EngineTest, BlockReplyStatusAndAnnouncedLengthDecideTheResult) {
    Hold(3, kApMac);
    struct Case {
        const char* name;
        uint16_t status;
        uint16_t announced;
        size_t present;
        int result;
        size_t handedBack;
    };
    const Case cases[] = {
        {"largest buffer-sized data", 0, 1023, 1023, STATUS_OK, 1023},
        {"no data", 0, 0, 0, STATUS_OK, 0},
        {"device refusal ends the request at once", 10, 16, 16, 10, 16},
        {"1024 bytes announced and present", 0, 1024, 1024, STATUS_FAILED, 0},
        {"more announced than the frame holds", 0, 600, 300, STATUS_FAILED, 0},
        {"announced the maximum, frame nearly empty", 0, 0xFFFF, 2, STATUS_FAILED, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        wire().Reset();
        Answer(
            MSG_BLOCK, MSG_BLOCK_REPLY,
            [c](const Request&) -> std::optional<Bytes> {
                return Body().u16(3).u16(c.status).u16(c.announced).bytes(Bytes(c.present, 0x5C));
            },
            5);
        const Bytes request = BlockHeaderBytes(BLOCK_OP_READ, 0, 512);
        const uint8_t* reply = nullptr;
        size_t replyLength = 99;
        const uint64_t start = wire().now();
        EXPECT_EQ(BlockRequest(3, request.data(), request.size(), reply, replyLength), c.result);
        EXPECT_EQ(replyLength, c.handedBack);
        EXPECT_EQ(wire().sent().size(), 1u) << "no further sends";
        EXPECT_EQ(wire().now() - start, 5u);
        if (c.handedBack) {
            EXPECT_EQ(Bytes(reply, reply + replyLength), Bytes(c.handedBack, 0x5C));
        }
    }
}

TEST_F(EngineTest, BlockRepliesThatDoNotMatchAreIgnored) {
    Hold(3, kApMac);
    Hold(4, kOtherMac);
    ASSERT_EQ(SetProtocolParameters(1500, 0, 50), 0);
    struct Case {
        const char* name;
        Mac from;
        int sequenceOffset;
        uint16_t session;
    };
    const Case cases[] = {
        {"another station", kOtherMac, 0, 3},
        {"another sequence", kApMac, 1, 3},
        {"another session", kApMac, 0, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        wire().Reset();
        wire().station = [c](const Request& r) {
            wire().Deliver(FromStation(c.from, static_cast<uint16_t>(r.header.sequence + c.sequenceOffset),
                                       MSG_BLOCK_REPLY, Body().u16(c.session).u16(0).u16(0)),
                           1);
        };
        const Bytes request = BlockHeaderBytes(BLOCK_OP_INFO, 0, 0);
        const uint8_t* reply = nullptr;
        size_t replyLength = 0;
        EXPECT_EQ(BlockRequest(3, request.data(), request.size(), reply, replyLength), STATUS_NO_REPLY);
        EXPECT_TRUE(wire().inbox().empty()) << "the reply was delivered";
    }
}

// Each request is answered twice: first as the handler takes it, then by a
// second reply under the same sequence. Only a second reply that matches the
// exchange and differs in what was taken (status, count, data) is a conflict;
// it shows up while the next exchange waits.
TEST_F(EngineTest, SecondBlockReplyThatDiffersIsAConflict) {
    Hold(3, kApMac);
    ASSERT_EQ(SetProtocolParameters(1500, 0, 10), 0);
    const Bytes data(40, 0x11);
    const Bytes first = Body().u16(3).u16(0).u16(40).bytes(data);
    Bytes changedByte = data;
    changedByte[39] ^= 0xFF;
    struct Case {
        const char* name;
        Mac from;
        Bytes second;
        bool conflict;
    };
    const Case cases[] = {
        {"identical", kApMac, first, false},
        {"identical but for bytes behind the counted data", kApMac, Body().bytes(first).u16(0xBEEF), false},
        {"one data byte differs", kApMac, Body().u16(3).u16(0).u16(40).bytes(changedByte), true},
        {"the status differs", kApMac, Body().u16(3).u16(10).u16(40).bytes(data), true},
        {"fewer bytes counted", kApMac, Body().u16(3).u16(0).u16(39).bytes(data), true},
        {"another station", kOtherMac, Body().u16(3).u16(0).u16(40).bytes(changedByte), false},
        {"another session", kApMac, Body().u16(4).u16(0).u16(40).bytes(changedByte), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        wire().Reset();
        // Only the first request is answered; the next one waits out its time.
        bool answered = false;
        wire().station = [&c, &first, &answered](const Request& r) {
            if (answered) return;
            answered = true;
            wire().Deliver(FromStation(kApMac, r.header.sequence, MSG_BLOCK_REPLY, first), 1);
            wire().Deliver(FromStation(c.from, r.header.sequence, MSG_BLOCK_REPLY, c.second), 3);
        };
        BeginBlockTransfer();
        const Bytes request = BlockHeaderBytes(BLOCK_OP_READ, 0, 40);
        const uint8_t* reply = nullptr;
        size_t replyLength = 0;
        ASSERT_EQ(BlockRequest(3, request.data(), request.size(), reply, replyLength), STATUS_OK);
        EXPECT_EQ(Bytes(reply, reply + replyLength), data) << "the first reply is the one taken";
        EXPECT_FALSE(BlockReplyConflict()) << "the second has not arrived yet";
        ASSERT_EQ(BlockRequest(3, request.data(), request.size(), reply, replyLength), STATUS_NO_REPLY);
        EXPECT_EQ(BlockReplyConflict(), c.conflict);
        BeginBlockTransfer();
        EXPECT_FALSE(BlockReplyConflict());
    }
}

// After the counter wraps, a new request reuses a sequence number: its reply
// is a reply to the new exchange, not a second one to the old.
TEST_F(EngineTest, ReusedSequenceNumberStartsAFreshExchange) {
    Hold(3, kApMac);
    uint8_t fill = 0x21;
    Answer(MSG_BLOCK, MSG_BLOCK_REPLY, [&fill](const Request&) -> std::optional<Bytes> {
        return Body().u16(3).u16(0).u16(8).bytes(Bytes(8, fill));
    });
    BeginBlockTransfer();
    const Bytes request = BlockHeaderBytes(BLOCK_OP_READ, 0, 8);
    const uint8_t* reply = nullptr;
    size_t replyLength = 0;
    SetSequenceCounter(0xFFFF);
    ASSERT_EQ(BlockRequest(3, request.data(), request.size(), reply, replyLength), STATUS_OK);
    EXPECT_EQ(sequenceCounter, 0) << "the counter wraps";
    fill = 0x42;
    SetSequenceCounter(0xFFFF);
    ASSERT_EQ(BlockRequest(3, request.data(), request.size(), reply, replyLength), STATUS_OK);
    EXPECT_EQ(Bytes(reply, reply + replyLength), Bytes(8, 0x42));
    EXPECT_FALSE(BlockReplyConflict());
}

TEST_F(EngineTest, SessionRequestsNeedAGrantedSession) {
    sessionTable[5].inUse = 1;  // never granted: its peer would be the broadcast address
    const Bytes request = BlockHeaderBytes(BLOCK_OP_INFO, 0, 0);
    uint8_t buffer[16];
    const uint16_t ids[] = {ATTR_AP_NAME, ATTR_END};
    const uint8_t list[] = {0xFF, 0xFF};
    for (uint16_t s : {0, 5, 9, 0xFFFF}) {
        SCOPED_TRACE(s);
        const uint8_t* reply = nullptr;
        size_t length = 0;
        uint16_t handle = 0;
        uint32_t value = 0;
        EXPECT_EQ(BlockRequest(s, request.data(), request.size(), reply, length), STATUS_BAD_SESSION);
        EXPECT_EQ(GetAttributes(s, ids, buffer, sizeof buffer, length), STATUS_BAD_SESSION);
        EXPECT_EQ(SetAttributes(s, list, sizeof list), STATUS_BAD_SESSION);
        EXPECT_EQ(HandleOpen(s, "cfg", 0, handle, value), STATUS_BAD_SESSION);
        EXPECT_EQ(HandleClose(s, 1), STATUS_BAD_SESSION);
        EXPECT_EQ(HandleRead(s, 1, 0, buffer, sizeof buffer, length), STATUS_BAD_SESSION);
        EXPECT_EQ(HandleWrite(s, 1, 0, buffer, 4), STATUS_BAD_SESSION);
    }
    EXPECT_TRUE(wire().sent().empty());
    EXPECT_EQ(sequenceCounter, 0);
}

// ---------------------------------------------------------------- rules common to every operation

constexpr uint16_t kHandle = 0x0101;
constexpr uint32_t kPosition = 0x00020000;

struct OperationRow {
    const char* name;
    uint16_t requestType;
    uint16_t replyType;
    std::function<int()> run;
};

std::vector<OperationRow> Operations() {
    static uint8_t buffer[64];
    static const uint16_t ids[] = {ATTR_AP_NAME, ATTR_END};
    static const uint8_t list[] = {0x00, 0x03, 0x01, 'x', 0xFF, 0xFF};
    static const uint8_t data[] = {1, 2};
    static BrowseRecord records[2];
    auto browse = [] {
        int count = 2;
        return Browse(kVendor, kProduct, kAllModels, records, count);
    };
    auto browseRepeated = [] {
        int count = 2;
        return BrowseRepeated(1, &kVendor, &kProduct, &kAllModels, records, count);
    };
    auto login = [] {
        uint16_t s = 0;
        return Login(Peer(kApMac), "user", "pw", s);
    };
    auto block = [] {
        const Bytes request = BlockHeaderBytes(BLOCK_OP_INFO, 0, 0);
        const uint8_t* reply = nullptr;
        size_t length = 0;
        return BlockRequest(3, request.data(), request.size(), reply, length);
    };
    auto get = [] {
        size_t length = 0;
        return GetAttributes(3, ids, buffer, sizeof buffer, length);
    };
    auto set = [] { return SetAttributes(3, list, sizeof list); };
    auto open = [] {
        uint16_t handle = 0;
        uint32_t value = 0;
        return HandleOpen(3, "cfg", 1, handle, value);
    };
    auto close = [] { return HandleClose(3, kHandle); };
    auto read = [] {
        size_t length = 0;
        return HandleRead(3, kHandle, kPosition, buffer, sizeof buffer, length);
    };
    auto write = [] { return HandleWrite(3, kHandle, kPosition, data, sizeof data); };
    return {
        {"browse", MSG_BROWSE, MSG_BROWSE_REPLY, browse},
        {"repeated browse", MSG_BROWSE, MSG_BROWSE_REPLY, browseRepeated},
        {"login", MSG_SESSION, MSG_SESSION, login},
        {"block", MSG_BLOCK, MSG_BLOCK_REPLY, block},
        {"get", MSG_GET, MSG_GET_REPLY, get},
        {"set", MSG_SET, MSG_SET_REPLY, set},
        {"handle open", MSG_HANDLE_OPEN, MSG_HANDLE_OPEN_REPLY, open},
        {"handle close", MSG_HANDLE_CLOSE, MSG_HANDLE_CLOSE_REPLY, close},
        {"handle read", MSG_HANDLE_READ, MSG_HANDLE_READ_REPLY, read},
        {"handle write", MSG_HANDLE_WRITE, MSG_HANDLE_WRITE_REPLY, write},
    };
}

TEST_F(EngineTest, SecondOperationOfABusyKindReturnsBusy) {
    ASSERT_EQ(SetProtocolParameters(1500, 0, 30), 0);
    for (const OperationRow& op : Operations()) {
        SCOPED_TRACE(op.name);
        wire().Reset();
        Hold(3, kApMac);
        int nested = -1;
        // A window handler that runs during the wait starts the same operation again.
        wire().onPump = [&] {
            if (nested == -1) nested = op.run();
        };
        const int outer = op.run();
        EXPECT_EQ(nested, STATUS_BUSY);
        EXPECT_NE(outer, STATUS_BUSY);
        EXPECT_EQ(wire().sent().size(), 1u) << "the refused operation sent nothing";
        // Once the first has returned, the kind is free again.
        wire().onPump = nullptr;
        EXPECT_NE(op.run(), STATUS_BUSY);
    }
}

// Each handler takes a reply holding exactly the fields it reads, and ignores
// the same reply one byte shorter: the operation then gets no reply at all.
TEST_F(EngineTest, EveryReplyHandlerIgnoresABodyShorterThanItsFields) {
    ASSERT_EQ(SetProtocolParameters(1500, 0, 30), 0);
    struct Row {
        const char* operation;
        Bytes body;
        int result;
    };
    const Row rows[] = {
        {"login", Body().u16(SESSION_LOGIN_REPLY).u16(0).u16(3), STATUS_OK},
        {"block", Body().u16(3).u16(0).u16(0), STATUS_OK},
        {"get", Body().u16(3).u16(5), 5},
        {"set", Body().u16(3).u16(0), STATUS_OK},
        {"handle open", Body().u16(3).u16(0).u16(kHandle).u32(9), STATUS_OK},
        {"handle open", Body().u16(3).u16(12), 12},
        {"handle close", Body().u16(3).u16(kHandle).u16(0), STATUS_OK},
        {"handle write", Body().u16(3).u16(kHandle).u16(0).u16(2).u32(kPosition), STATUS_OK},
        {"handle read", Body().u16(3).u16(kHandle).u16(0).u16(0).u32(kPosition), STATUS_OK},
        {"handle read", Body().u16(3).u16(kHandle).u16(0).u16(2).u32(kPosition).u8(1).u8(2), STATUS_OK},
    };
    const auto operations = Operations();
    for (const Row& row : rows) {
        const OperationRow* op = nullptr;
        for (const OperationRow& o : operations)
            if (std::string(o.name) == row.operation) op = &o;
        ASSERT_NE(op, nullptr);
        for (bool shortened : {false, true}) {
            SCOPED_TRACE(testing::Message()
                         << row.operation << ", " << row.body.size() << "-byte body" << (shortened ? " less one" : ""));
            wire().Reset();
            for (SessionSlot& slot : sessionTable) slot = SessionSlot{};
            Hold(3, kApMac);
            Bytes body = row.body;
            if (shortened) body.pop_back();
            Answer(op->requestType, op->replyType, [body](const Request&) -> std::optional<Bytes> { return body; });
            EXPECT_EQ(op->run(), shortened ? STATUS_NO_REPLY : row.result);
            EXPECT_TRUE(wire().inbox().empty()) << "the reply was delivered";
        }
    }
}

// ---------------------------------------------------------------- attribute and handle operations

TEST_F(EngineTest, GetAttributesCopiesAWellFormedListThatFits) {
    Hold(3, kApMac);
    const Bytes list = Body().attribute(ATTR_AP_NAME, "ab").u16(ATTR_END);
    struct Case {
        const char* name;
        uint16_t status;
        Bytes list;
        size_t capacity;
        int result;
        size_t copied;
    };
    const Case cases[] = {
        {"status 0", 0, list, 64, STATUS_OK, list.size()},
        {"status 7 delivers as 0", 7, list, 64, 7, list.size()},
        {"exactly the capacity", 0, list, list.size(), STATUS_OK, list.size()},
        {"one byte over the capacity", 0, list, list.size() - 1, STATUS_NO_ROOM, 0},
        {"no terminator", 0, Body().attribute(ATTR_AP_NAME, "ab"), 64, STATUS_FAILED, 0},
        {"item runs past the body", 0, Body().u16(ATTR_AP_NAME).u8(9).text("ab"), 64, STATUS_FAILED, 0},
        {"other device status", 9, {}, 64, 9, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        wire().Reset();
        Answer(MSG_GET, MSG_GET_REPLY,
               [c](const Request&) -> std::optional<Bytes> { return Body().u16(3).u16(c.status).bytes(c.list); });
        uint8_t buffer[64];
        std::memset(buffer, 0xEE, sizeof buffer);
        const uint16_t ids[] = {ATTR_VENDOR, ATTR_AP_NAME, ATTR_END};
        size_t length = 99;
        EXPECT_EQ(GetAttributes(3, ids, buffer, c.capacity, length), c.result);
        EXPECT_EQ(length, c.copied);
        if (c.copied) {
            EXPECT_EQ(Bytes(buffer, buffer + length), c.list);
        } else {
            EXPECT_EQ(buffer[0], 0xEE);
        }
        const auto sent = wire().Requests();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].body, Bytes(Body().u16(3).u16(ATTR_VENDOR).u16(ATTR_AP_NAME).u16(ATTR_END)));
    }
}

TEST_F(EngineTest, SetAttributesSendsOnlyAWellFormedList) {
    Hold(3, kApMac);
    Answer(MSG_SET, MSG_SET_REPLY, [](const Request&) -> std::optional<Bytes> { return Body().u16(3).u16(0); });
    const Bytes bad[] = {Body().attribute(ATTR_AP_NAME, "x"), Body().u16(ATTR_AP_NAME).u8(5).text("x").u16(ATTR_END),
                         Body().u8(0xFF)};
    for (const Bytes& list : bad) EXPECT_EQ(SetAttributes(3, list.data(), list.size()), STATUS_FAILED);
    EXPECT_TRUE(wire().sent().empty());

    const Bytes good = Body().attribute(ATTR_AP_NAME, "x").u16(ATTR_END);
    EXPECT_EQ(SetAttributes(3, good.data(), good.size()), STATUS_OK);
    const auto sent = wire().Requests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].body, Bytes(Body().u16(3).bytes(good)));
}

TEST_F(EngineTest, HandleOperationsCompareTheEchoedFields) {
    Hold(3, kApMac);
    ASSERT_EQ(SetProtocolParameters(1500, 0, 30), 0);

    // Open: name sent with its zero byte; handle and value only with status 0.
    Answer(MSG_HANDLE_OPEN, MSG_HANDLE_OPEN_REPLY,
           [](const Request&) -> std::optional<Bytes> { return Body().u16(3).u16(0).u16(kHandle).u32(0xDEADBEEF); });
    uint16_t handle = 0;
    uint32_t value = 0;
    EXPECT_EQ(HandleOpen(3, "cfg", 2, handle, value), STATUS_OK);
    EXPECT_EQ(handle, kHandle);
    EXPECT_EQ(value, 0xDEADBEEFu);
    EXPECT_EQ(wire().Requests().back().body, Bytes(Body().u16(3).u8(2).text("cfg").u8(0)));

    // Close: a reply for another handle is not this one's.
    for (uint16_t echoed : {static_cast<uint16_t>(kHandle + 1), kHandle}) {
        Answer(MSG_HANDLE_CLOSE, MSG_HANDLE_CLOSE_REPLY,
               [echoed](const Request&) -> std::optional<Bytes> { return Body().u16(3).u16(echoed).u16(0); });
        EXPECT_EQ(HandleClose(3, kHandle), echoed == kHandle ? STATUS_OK : STATUS_NO_REPLY);
    }

    // Write: handle, length and position must all come back.
    struct Echo {
        uint16_t handle, length;
        uint32_t position;
        int result;
    };
    const uint8_t data[] = {0xA1, 0xA2, 0xA3};
    for (const Echo e : {Echo{kHandle, 3, kPosition, STATUS_OK}, Echo{kHandle, 2, kPosition, STATUS_NO_REPLY},
                         Echo{kHandle, 3, kPosition + 1, STATUS_NO_REPLY}, Echo{2, 3, kPosition, STATUS_NO_REPLY}}) {
        wire().Reset();
        Answer(MSG_HANDLE_WRITE, MSG_HANDLE_WRITE_REPLY, [e](const Request&) -> std::optional<Bytes> {
            return Body().u16(3).u16(e.handle).u16(0).u16(e.length).u32(e.position);
        });
        EXPECT_EQ(HandleWrite(3, kHandle, kPosition, data, sizeof data), e.result);
        EXPECT_EQ(wire().Requests().at(0).body,
                  Bytes(Body().u16(3).u16(kHandle).u16(3).u32(kPosition).bytes(Bytes(data, data + sizeof data))));
    }
}

TEST_F(EngineTest, HandleReadCopiesOnlyWhatFitsTheCallersBuffer) {
    Hold(3, kApMac);
    ASSERT_EQ(SetProtocolParameters(1500, 0, 30), 0);
    struct Case {
        const char* name;
        uint16_t status;
        Bytes data;
        uint32_t position;
        size_t capacity;
        int result;
        size_t length;
    };
    const Bytes four = {1, 2, 3, 4};
    const Case cases[] = {
        {"fits", 0, four, kPosition, 8, STATUS_OK, 4},
        {"exactly fits", 0, four, kPosition, 4, STATUS_OK, 4},
        {"too large", 0, four, kPosition, 3, STATUS_NO_ROOM, 0},
        {"device refusal", 4, {}, kPosition, 8, 4, 0},
        {"other position", 0, four, kPosition + 4, 8, STATUS_NO_REPLY, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        wire().Reset();
        Answer(MSG_HANDLE_READ, MSG_HANDLE_READ_REPLY, [c](const Request&) -> std::optional<Bytes> {
            Body b;
            b.u16(3).u16(kHandle).u16(c.status).u16(static_cast<uint16_t>(c.data.size())).u32(c.position);
            if (c.status == 0) b.bytes(c.data);
            return b;
        });
        uint8_t buffer[8] = {};
        size_t length = 99;
        EXPECT_EQ(HandleRead(3, kHandle, kPosition, buffer, c.capacity, length), c.result);
        EXPECT_EQ(length, c.length);
        if (c.length) {
            EXPECT_EQ(Bytes(buffer, buffer + c.length), c.data);
        } else {
            EXPECT_EQ(buffer[0], 0);
        }
        const auto sent = wire().Requests();
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent[0].body,
                  Bytes(Body().u16(3).u16(kHandle).u16(static_cast<uint16_t>(c.capacity)).u32(kPosition)));
    }
}

TEST_F(EngineTest, RequestsThatCannotBeBuiltFailWithoutSending) {
    Hold(3, kApMac);
    // Block data that would push the checksum past the frame size limit.
    const Bytes tooLarge(1484, 0);
    const uint8_t* reply = nullptr;
    size_t replyLength = 0;
    EXPECT_EQ(BlockRequest(3, tooLarge.data(), tooLarge.size(), reply, replyLength), STATUS_FAILED);
    // A password longer than an attribute can carry.
    uint16_t session = 0;
    EXPECT_EQ(Login(Peer(kApMac), "user", std::string(256, 'p').c_str(), session), STATUS_FAILED);
    // Filters that do not fit a small frame size.
    ASSERT_EQ(SetProtocolParameters(20, 3, 1000), 0);
    BrowseRecord records[1];
    int count = 1;
    EXPECT_EQ(Browse(kVendor, kProduct, kAllModels, records, count), STATUS_FAILED);
    EXPECT_TRUE(wire().sent().empty());
    // The busy flags were not left set.
    ASSERT_EQ(SetProtocolParameters(1500, 0, 10), 0);
    EXPECT_EQ(Browse(kVendor, kProduct, kAllModels, records, count), STATUS_OK);
    EXPECT_EQ(Login(Peer(kApMac), "user", "pw", session), STATUS_NO_REPLY);
    const Bytes header = BlockHeaderBytes(BLOCK_OP_INFO, 0, 0);
    EXPECT_EQ(BlockRequest(3, header.data(), header.size(), reply, replyLength), STATUS_NO_REPLY);
}

}  // namespace
}  // namespace aputil::fake
