#pragma once
// An in-memory wire under the real CAdapter: the shared fake driver, whose
// sent frames go to a scripted AP and whose replies arrive on its fake
// millisecond clock, so that retries and time-outs run without sleeping; the
// engine's clock and pump hooks on that clock. Also the byte helpers the
// engine tests build their frames with.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "protocol/frame.h"
#include "tests/support/fake_driver.h"

namespace aputil::fake {

using Bytes = std::vector<uint8_t>;
using Mac = std::array<uint8_t, 6>;

// The fake adapter's own address, and two stations on its segment.
inline constexpr Mac kOwnMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
inline constexpr Mac kApMac = {0x02, 0x5E, 0x10, 0x20, 0x30, 0x01};
inline constexpr Mac kOtherMac = {0x02, 0x5E, 0x10, 0x20, 0x30, 0x02};
inline constexpr Mac kBroadcastMac = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

PeerAddress Peer(const Mac& mac);

// A frame the engine sent, taken apart (only when it verified).
struct Request {
    Mac destination{};
    Mac source{};
    FrameHeader header;
    Bytes body;
};
std::optional<Request> Parse(const Bytes& frame);

// Appends big-endian fields, for reply bodies written by hand.
class Body {
public:
    Body& u8(uint8_t v);
    Body& u16(uint16_t v);
    Body& u32(uint32_t v);
    Body& bytes(const Bytes& b);
    Body& text(std::string_view s);
    Body& attribute(uint16_t id, std::string_view value);
    operator Bytes() const { return bytes_; }  // NOLINT(google-explicit-constructor)

private:
    Bytes bytes_;
};

// Header, body and CRC-16 trailer, written here rather than by the codec so
// that replies with any body, also malformed ones, can be sent.
Bytes Payload(uint16_t sequence, uint16_t type, const Bytes& body);
Bytes Ether(const Mac& destination, const Mac& source, const Bytes& payload, uint16_t etherType = kEtherType);
// A reply from station `from` to the fake adapter.
Bytes FromStation(const Mac& from, uint16_t sequence, uint16_t type, const Bytes& body);

// The state of the wire: the installed driver's clock, sent frames and
// frames waiting to arrive, and the engine's hooks on them.
class Wire {
public:
    static Wire& Get();
    // The clock back at 1000 ms, nothing sent, waiting or hooked.
    void Reset();

    // Queues a frame that arrives delayMs after the current fake time.
    void Deliver(Bytes frame, uint64_t delayMs = 0);
    // Frames sent so far that verified as protocol frames.
    std::vector<Request> Requests() const;

    uint64_t& now() { return driver_->now; }
    std::vector<Bytes>& sent() { return driver_->sent; }
    const std::vector<Bytes>& sent() const { return driver_->sent; }
    std::vector<int>& pollArguments() { return driver_->pollArguments; }
    std::deque<FakeDriver::Arrival>& inbox() { return driver_->incoming; }

    std::vector<uint64_t> pumpTimes;
    // The station that sees every sent frame (after it was recorded).
    std::function<void(const Request&)> station;
    // Runs inside each pump call, after its time was recorded.
    std::function<void()> onPump;

private:
    friend void InstallFakeDriver();
    FakeDriver* driver_ = nullptr;  // owned by theAdapter
};

// The clock and pump hooks that the tests install in the engine.
uint64_t FakeClock();
void FakePump();

// Installs the fake driver in theAdapter: interfaces "lo" (loopback) and
// "fake0" (Ethernet, kOwnMac).
void InstallFakeDriver();

}  // namespace aputil::fake
