#include "protocol/engine.h"

#include <sys/random.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <span>

#include "protocol/operations.h"
#include "transport/adapter.h"

namespace aputil {

namespace {

// Every browse broadcasts the counter, so a counter that started at a known
// value would tell any host on the segment the sequence of the next block
// read, and the first matching reply wins.
uint16_t RandomSequenceStart() {
    uint16_t value = 0;
    if (getrandom(&value, sizeof value, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof value)) return value;
    // The kernel's pool is not ready only in early boot; the clock still
    // differs from run to run.
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    return static_cast<uint16_t>(ticks ^ (ticks >> 16) ^ (ticks >> 32));
}

}  // namespace

ProtocolParameters protocolParameters;
uint16_t sequenceCounter = RandomSequenceStart();
int currentAdapter = -1;
uint16_t currentSession = 0;

namespace {

// Set by SignalReply, cleared at the start of every wait.
bool replyArrived = false;

// Every Ethernet frame leaves from here; operations keep their payload in a
// stack buffer of their own, so a session check answered in the middle of a
// wait cannot spoil the request that is repeated after it.
constexpr size_t kSendPayloadCapacity = 1502;
uint8_t sendBuffer[kEthHeaderSize + kSendPayloadCapacity];

PumpHook pumpHook = nullptr;
ClockHook clockHook = nullptr;
// When the pump last ran, kept across waits: a run of short exchanges and a
// stream of junk frames both pump on the 10 ms rhythm, not once per wake-up.
uint64_t lastPump = 0;
bool pumped = false;

uint64_t SteadyMilliseconds() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

uint64_t Now() { return clockHook ? clockHook() : SteadyMilliseconds(); }

// Milliseconds until the pump is due again; 0 when it is due now. A clock
// reading before the last pump (another clock was installed) counts as due.
uint64_t UntilPump(uint64_t now) {
    if (!pumped || now < lastPump || now - lastPump >= static_cast<uint64_t>(kPollIntervalMs)) return 0;
    return lastPump + kPollIntervalMs - now;
}

bool IsOwnAddress(const uint8_t* mac) {
    if (currentAdapter >= 0 && currentAdapter < theAdapter.usableCount && currentAdapter < kMaxAdapters &&
        std::memcmp(mac, theAdapter.usableAddress[currentAdapter], kMacSize) == 0)
        return true;
    // The open adapter's own address as well: it is what SendPayload writes as
    // the source, even if the probed list is out of date.
    return theAdapter.IsAdapterOpen() && std::memcmp(mac, theAdapter.currentAddress, kMacSize) == 0;
}

}  // namespace

int SetProtocolParameters(int maxFrameSize, int retries, int timeoutMs) {
    // Values that the record's fields cannot hold are refused as well: a
    // negative frame size would turn into a huge limit for the frame builder.
    if (maxFrameSize > static_cast<int>(kDefaultMaxFrameSize) || maxFrameSize < 0) return 1;
    if (retries < 0 || retries > 0xFF || timeoutMs < 0 || timeoutMs > 0xFFFF) return 1;
    protocolParameters.maxFrameSize = maxFrameSize;
    protocolParameters.retryCount = static_cast<uint8_t>(retries);
    protocolParameters.timeoutMs = static_cast<uint16_t>(timeoutMs);
    return 0;
}

int SetTimeout(int ms) {
    if (ms < 0 || ms > 0xFFFF) return 1;
    protocolParameters.timeoutMs = static_cast<uint16_t>(ms);
    return 0;
}

uint16_t GetTimeout() { return protocolParameters.timeoutMs; }

uint16_t NextSequence() { return sequenceCounter++; }

void SetSequenceCounter(uint16_t next) { sequenceCounter = next; }

bool SendPayload(const PeerAddress& peer, const uint8_t* payload, size_t length) {
    if (payload == nullptr || length > kSendPayloadCapacity) return false;
    const MacAddress destination = peer.length == 0 ? kBroadcastMac : MacAt(peer.address);
    WriteEtherHeader(sendBuffer, {destination, MacAt(theAdapter.currentAddress), kEtherType});
    std::memcpy(sendBuffer + kEthHeaderSize, payload, length);
    return theAdapter.TransmitFrame(sendBuffer, length + kEthHeaderSize);
}

bool WaitForReply(int ms) {
    // A wait started from the pump of another wait (a window handler running
    // mid-exchange) must leave the outer wait receiving when it ends.
    const bool nested = theAdapter.receiveEnabled != 0;
    theAdapter.StartReceive(ProtocolFrameHandler);
    replyArrived = false;
    // One deadline on a monotonic clock: each channel wait is cut to what is
    // left, so a wait of ms ends after ms and not up to twice that.
    const uint64_t deadline = Now() + static_cast<uint64_t>(ms > 0 ? ms : 0);
    for (;;) {
        const uint64_t now = Now();
        const uint64_t left = deadline > now ? deadline - now : 0;
        // Wake up no later than the next pump is due, so that window handlers
        // still run every 10 ms while frames keep arriving or none do.
        const uint64_t untilPump = UntilPump(now);
        const uint64_t interval = untilPump > 0 ? untilPump : static_cast<uint64_t>(kPollIntervalMs);
        const uint64_t slice = left < interval ? left : interval;
        theAdapter.WaitForFrames(static_cast<int>(slice), kReplySpinUs);
        if (replyArrived) break;
        if (pumpHook) {
            const uint64_t before = Now();
            if (UntilPump(before) == 0) {
                lastPump = before;
                pumped = true;
                pumpHook();
            }
        }
        if (Now() >= deadline) {
            // A window handler may have run past the deadline inside the pump:
            // frames that arrived meanwhile came in time, so take them.
            theAdapter.WaitForFrames(0);
            break;
        }
    }
    if (!nested) theAdapter.StopReceive();
    return replyArrived;
}

void SignalReply() { replyArrived = true; }

void ProtocolFrameHandler(const uint8_t* frame, size_t length) {
    if (frame == nullptr || length <= kEthHeaderSize || length > kEthMaxFrame) return;
    const std::span<const uint8_t> bytes(frame, length);
    const std::optional<EtherHeader> eth = ReadEtherHeader(bytes);
    if (!eth) return;
    const uint8_t* source = eth->source.data();
    // No station sends from a group address; answering one (a session check)
    // would make every utility on the segment broadcast what it asks.
    if (IsGroupMac(source)) return;
    if (IsOwnAddress(source)) return;
    if (eth->etherType != kEtherType) return;
    const PeerAddress sender = PeerAddress::FromMac(source);
    const std::span<const uint8_t> payload = bytes.subspan(kEthHeaderSize);
    FrameHeader header;
    if (!VerifyFrame(payload, header)) return;
    DispatchFrame(sender, header, FrameBody(payload, header));
}

void SetPumpHook(PumpHook hook) { pumpHook = hook; }
void SetClockHook(ClockHook hook) {
    clockHook = hook;
    // Readings of the old clock mean nothing on the new one.
    pumped = false;
}

}  // namespace aputil
