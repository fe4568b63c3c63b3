#pragma once
// The transaction engine: protocol parameters, sequence numbers, the send
// wrapper, the wait loop that keeps the GUI alive, and the receive path that
// filters, verifies and dispatches frames to the reply handlers.

#include <cstddef>
#include <cstdint>

#include "protocol/frame.h"

namespace aputil {

struct ProtocolParameters {
    int32_t maxFrameSize = 1500;
    uint8_t retryCount = 0;    // repeats after the first send
    uint16_t timeoutMs = 100;  // reply wait per send
};
extern ProtocolParameters protocolParameters;
// Starts at an unpredictable value in every run.
extern uint16_t sequenceCounter;

// Window state that the engine reads: the usable-list position of the adapter
// in use (-1 when none) and the session granted at the latest login.
extern int currentAdapter;
extern uint16_t currentSession;

// Returns 1 and changes nothing when maxFrameSize is above 1500, or when a
// value does not fit its field (maxFrameSize below 0, retries outside 0..255,
// timeoutMs outside 0..65535); else stores all three and returns 0.
int SetProtocolParameters(int maxFrameSize, int retries, int timeoutMs);
// Stores the reply wait and returns 0; 1 and no change for ms outside 0..65535.
int SetTimeout(int ms);
uint16_t GetTimeout();
// Takes the current counter value and advances it (65535 wraps to 0).
uint16_t NextSequence();
// The value the next request takes (tests start from a known one).
void SetSequenceCounter(uint16_t next);

// Puts the Ethernet header in front of the payload (in the one static send
// buffer) and transmits it. False, and nothing sent, for a payload longer than
// 1502 bytes; otherwise the channel's result.
bool SendPayload(const PeerAddress& peer, const uint8_t* payload, size_t length);
// Receives until a reply handler signals or ms have passed on the monotonic
// clock (one deadline: the wait lasts ms, not more); each channel wait is at
// most kPollIntervalMs, and the pump hook runs after one that brought no reply
// once kPollIntervalMs have passed since the last pump (of this wait or an
// earlier one), however many frames woke the wait meanwhile. Returns whether a
// reply came.
bool WaitForReply(int ms);
void SignalReply();
// The channel's frame handler: drops frames of 14 bytes or less or above 1514,
// frames from a group source address (bit 0 of the first octet set) or from
// the adapter's own address, other EtherTypes and frames that fail
// VerifyFrame; hands the rest to DispatchFrame (operations.h).
void ProtocolFrameHandler(const uint8_t* frame, size_t length);

// A reply on the local segment comes within tens of microseconds of the
// request, and junk or a second frame right behind the one just read: each
// channel wait of WaitForReply first looks this long without sleeping
// (CAdapter::WaitForFrames(ms, spinUs)), so that neither a reply nor each frame
// of a burst costs a sleep and a wake-up. Bounded per wait, and only while a
// reply is awaited: an idle utility never spins.
inline constexpr int kReplySpinUs = 200;

// The application installs how GUI events are pumped during a wait (the
// PollingPkt interval is 10 ms); tests install a fake clock and pump.
inline constexpr int kPollIntervalMs = 10;
using PumpHook = void (*)();
using ClockHook = uint64_t (*)();   // monotonic milliseconds
void SetPumpHook(PumpHook hook);    // nullptr: no pumping
void SetClockHook(ClockHook hook);  // nullptr: the steady clock

}  // namespace aputil
