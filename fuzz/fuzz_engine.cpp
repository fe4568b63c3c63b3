// Received frames through the whole receive path (channel, ProtocolFrameHandler,
// VerifyFrame, dispatch, every reply handler) while each kind of operation is
// waiting, and with none waiting. The frames are cut out of the input and
// queued in the shared fake packet driver; the engine's clock is a counter on
// the driver's fake clock, so no input ever waits on the real clock.
//
// Input: three control bytes, then frames, each a big-endian u16 and that
// many bytes (at most kMaxFrame; bit 15 of the u16 ends a batch, so that the
// frames reach the handler over several waits as they would on the wire).
//   byte 0  which operation waits (kind % kKinds; 0: none)
//   byte 1  the session it uses (0..9; 1..8 are held by the fuzzed AP)
//   byte 2  flags: 1 mend each frame's checksum, 2 send it from the AP's MAC,
//           4 give it the sequence number of the waiting request, 8 try the
//           same operation again from inside the wait (it must be refused)
//   byte 3  capacity for the operations that take one (get, handle read)
//
// Checked besides ASan/UBSan: each result is one the operation may return and
// its out-values lie within what the caller gave; an operation already waiting
// is refused with STATUS_BUSY; every frame the utility sends is a well-formed
// Ethernet frame from its own address whose payload verifies.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "protocol/engine.h"
#include "protocol/operations.h"
#include "tests/support/fake_driver.h"
#include "transport/adapter.h"

namespace {

using namespace aputil;

constexpr uint8_t kOwnMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
constexpr uint8_t kApMac[6] = {0x02, 0x5e, 0x10, 0x20, 0x00, 0x01};
constexpr size_t kMaxFrame = 1600;  // what a read slot holds; the handler drops longer ones
constexpr uint16_t kEndOfBatch = 0x8000;

enum Kind : uint8_t {
    kNone,
    kBrowse,
    kLogin,
    kBlock,
    kGet,
    kSet,
    kHandleOpen,
    kHandleClose,
    kHandleRead,
    kHandleWrite,
    kBrowseRepeated,
    kKinds
};

struct Input {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t at = 0;
    uint8_t flags = 0;
};

Input input;
int sends = 0;

void MendFrame(uint8_t* frame, size_t length) {
    if (input.flags & 2) {
        if (length >= 12) std::memcpy(frame + 6, kApMac, 6);
        if (length >= 14) frame[12] = frame[13] = 0xAA;
    }
    if (length < kEthHeaderSize + kMinPayloadSize) return;
    uint8_t* payload = frame + kEthHeaderSize;
    const size_t payloadSize = length - kEthHeaderSize;
    if (input.flags & 4) {
        // Requests in this fuzzer start from sequence 0 (see Run); the browse
        // and the first request of every kind carry 0.
        payload[5] = 0;
        payload[6] = 0;
    }
    if (input.flags & 1) {
        payload[0] = static_cast<uint8_t>(kFrameMagic >> 8);
        payload[1] = static_cast<uint8_t>(kFrameMagic & 0xFF);
        const size_t covered = (size_t{payload[3]} << 8) | payload[4];
        if (covered >= 4 && covered + 7 <= payloadSize) {
            const uint16_t crc = Crc16(payload + 5, covered, 0);
            payload[5 + covered] = static_cast<uint8_t>(crc >> 8);
            payload[6 + covered] = static_cast<uint8_t>(crc & 0xFF);
        }
    }
}

// Every frame the utility sends: a well-formed Ethernet frame from its own
// address whose payload verifies.
void CheckSent(const std::vector<uint8_t>& sent) {
    const uint8_t* frame = sent.data();
    const size_t length = sent.size();
    FUZZ_REQUIRE(length > kEthHeaderSize && length <= kEthMaxFrame);
    FUZZ_REQUIRE(std::memcmp(frame + 6, kOwnMac, 6) == 0);
    FUZZ_REQUIRE(frame[12] == 0xAA && frame[13] == 0xAA);
    FrameHeader header;
    FUZZ_REQUIRE(VerifyFrame(std::span<const uint8_t>(frame + kEthHeaderSize, length - kEthHeaderSize), header));
    // Only a browse goes to a group address: an answer to a frame from one
    // would reach every station.
    if ((frame[0] & 1) != 0) FUZZ_REQUIRE(header.type == MSG_BROWSE);
    ++sends;
}

// The wire: the frames cut from the input, mended as the flags say, queued
// at once with the batches marked.
FakeDriver* wire = nullptr;

void QueueFrames() {
    // The records of the inputs before would only grow over a long run.
    wire->incoming.clear();
    wire->sent.clear();
    wire->pollArguments.clear();
    while (input.at + 2 <= input.size) {
        const uint16_t head = static_cast<uint16_t>(input.data[input.at] << 8 | input.data[input.at + 1]);
        input.at += 2;
        size_t length = head & 0x7FFF;
        if (length > kMaxFrame) length = kMaxFrame;
        if (length > input.size - input.at) length = input.size - input.at;
        std::vector<uint8_t> frame(input.data + input.at, input.data + input.at + length);
        input.at += length;
        MendFrame(frame.data(), length);
        wire->incoming.emplace_back(std::move(frame), 0, (head & kEndOfBatch) != 0);
    }
}

uint64_t FakeClock() { return wire->now += 3; }

Kind waiting = kNone;
uint16_t waitingSession = 0;
bool triedAgain = false;

const Attribute kVendor = TextAttribute(ATTR_VENDOR, "M-Rax");
const Attribute kProduct = TextAttribute(ATTR_PRODUCT, "Lumivance/QR-4710 Access Point");
const Attribute kModel = TextAttribute(ATTR_MODEL, "");

// Starts an operation of the given kind; used for the operation under test and
// again from inside its wait, where it must be refused.
int Start(Kind kind, uint16_t session, size_t capacity, bool check);

void TryAgain() {
    if (triedAgain || !(input.flags & 8) || waiting == kNone) return;
    triedAgain = true;
    const int sendsBefore = sends;
    FUZZ_REQUIRE(Start(waiting, waitingSession, 16, false) == STATUS_BUSY);
    FUZZ_REQUIRE(sends == sendsBefore);
}

bool TextFits(const char* field) { return std::memchr(field, 0, kBrowseTextSize) != nullptr; }

int Start(Kind kind, uint16_t session, size_t capacity, bool check) {
    const PeerAddress ap = PeerAddress::FromMac(kApMac);
    switch (kind) {
    case kNone:
        return STATUS_OK;
    case kBrowse:
    case kBrowseRepeated: {
        std::array<BrowseRecord, 4> records{};
        int count = static_cast<int>(records.size());
        const int status = kind == kBrowse ? Browse(kVendor, kProduct, kModel, records.data(), count)
                                           : BrowseRepeated(1, &kVendor, &kProduct, &kModel, records.data(), count);
        if (!check) return status;
        FUZZ_REQUIRE(status == STATUS_OK);
        FUZZ_REQUIRE(count >= 0 && count <= static_cast<int>(records.size()));
        for (int i = 0; i < count; ++i) {
            const BrowseRecord& r = records[static_cast<size_t>(i)];
            FUZZ_REQUIRE(r.peer.length == 6);
            FUZZ_REQUIRE(TextFits(r.vendor) && TextFits(r.product) && TextFits(r.model) && TextFits(r.apName));
            FUZZ_REQUIRE(r.fifth[0] == 0);
            for (int j = 0; j < i; ++j) FUZZ_REQUIRE(!(records[static_cast<size_t>(j)].peer == r.peer));
        }
        return status;
    }
    case kLogin: {
        uint16_t granted = 0xBEEF;
        const int status = Login(ap, "user", "admin", granted);
        if (!check) return status;
        if (status == STATUS_OK) {
            FUZZ_REQUIRE(granted >= 1 && granted <= kMaxSessions);
            FUZZ_REQUIRE(sessionTable[granted].inUse == 1 && sessionTable[granted].peer == ap);
        } else {
            FUZZ_REQUIRE(granted == 0xBEEF);
        }
        return status;
    }
    case kBlock: {
        uint8_t request[kBlockHeaderSize];
        BlockHeader{BLOCK_OP_READ, 0x30000, 512}.Write(request);
        const uint8_t* reply = nullptr;
        size_t replyLength = 12345;
        const int status = BlockRequest(session, request, sizeof request, reply, replyLength);
        if (!check) return status;
        // (A device status passes through, so even 3 may come back from the AP.)
        if (status == STATUS_OK) {
            FUZZ_REQUIRE(replyLength < kBlockReplyDataSize);
            // Every byte handed back must be readable.
            volatile uint8_t sum = 0;
            for (size_t i = 0; i < replyLength; ++i) sum = static_cast<uint8_t>(sum + reply[i]);
            (void)sum;
        }
        return status;
    }
    case kGet: {
        const uint16_t ids[] = {ATTR_VENDOR, ATTR_AP_NAME, ATTR_END};
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[capacity ? capacity : 1]);
        size_t length = 0;
        const int status = GetAttributes(session, ids, buffer.get(), capacity, length);
        if (!check) return status;
        FUZZ_REQUIRE(length <= capacity);
        if (status == STATUS_OK && length > 0) FUZZ_REQUIRE(FindAttribute({buffer.get(), length}, ATTR_END));
        return status;
    }
    case kSet: {
        const uint8_t list[] = {0x00, 0x03, 0x02, 'a', 'b', 0xFF, 0xFF};
        return SetAttributes(session, list, sizeof list);
    }
    case kHandleOpen: {
        uint16_t handle = 0;
        uint32_t value = 0;
        return HandleOpen(session, "config", 1, handle, value);
    }
    case kHandleClose:
        return HandleClose(session, 7);
    case kHandleRead: {
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[capacity ? capacity : 1]);
        size_t length = 9999;
        const int status = HandleRead(session, 7, 0x100, buffer.get(), capacity, length);
        if (!check) return status;
        FUZZ_REQUIRE(length <= capacity);
        if (status != STATUS_OK) FUZZ_REQUIRE(length == 0);
        return status;
    }
    case kHandleWrite: {
        const uint8_t data[] = {1, 2, 3, 4, 5, 6, 7, 8};
        return HandleWrite(session, 7, 0x100, data, sizeof data);
    }
    case kKinds:
        break;
    }
    return STATUS_OK;
}

void Setup() {
    theAdapter.quiet = 1;
    auto fake = std::make_unique<FakeDriver>();
    fake->interfaces = {FakeInterface{"fuzz0", kArpHrdEther, std::to_array(kOwnMac)}};
    fake->onSend = CheckSent;
    wire = fake.get();
    theAdapter.SetDriver(std::move(fake));
    FUZZ_REQUIRE(theAdapter.ProbeAdapters());
    FUZZ_REQUIRE(theAdapter.OpenAdapter(theAdapter.usableIndex[0]));
    currentAdapter = 0;
    // Short waits: the counter clock advances 3 ms per reading.
    FUZZ_REQUIRE(SetProtocolParameters(1500, 3, 30) == 0);
    SetClockHook(FakeClock);
    SetPumpHook(TryAgain);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (Setup(), true);
    (void)ready;
    if (size < 4) return 0;
    const auto kind = static_cast<Kind>(data[0] % kKinds);
    const auto session = static_cast<uint16_t>(data[1] % 10);
    input = Input{data, size, 4, data[2]};
    const size_t capacity = data[3];

    for (auto& slot : sessionTable) slot = SessionSlot{};
    for (uint16_t s = 1; s <= kMaxSessions; ++s) {
        sessionTable[s].inUse = s == session ? 1 : 0;
        sessionTable[s].peer = PeerAddress::FromMac(kApMac);
        sessionTable[s].alive = 1;
    }
    sequenceCounter = 0;
    BeginBlockTransfer();
    waiting = kind;
    waitingSession = session;
    triedAgain = false;
    sends = 0;
    QueueFrames();

    if (kind == kNone) {
        // Frames that arrive with nothing waiting: only session checks and
        // logout notices may act on them.
        theAdapter.StartReceive(ProtocolFrameHandler);
        for (int pass = 0; pass < 64 && theAdapter.WaitForFrames(0); ++pass) {
        }
        theAdapter.StopReceive();
    } else {
        Start(kind, session, capacity, true);
    }
    waiting = kNone;
    FUZZ_REQUIRE(theAdapter.receiveEnabled == 0);
    FUZZ_REQUIRE(wire->sendsWhileClosed == 0);
    return 0;
}
