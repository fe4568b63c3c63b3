#include "tests/protocol/engine/fake_wire.h"

#include <algorithm>
#include <memory>

#include <gtest/gtest.h>

#include <stdexcept>

#include "transport/adapter.h"

namespace aputil::fake {

PeerAddress Peer(const Mac& mac) { return PeerAddress::FromMac(mac.data()); }

std::optional<Request> Parse(const Bytes& frame) {
    if (frame.size() < kEthHeaderSize) return std::nullopt;
    Request r;
    std::copy_n(frame.begin(), 6, r.destination.begin());
    std::copy_n(frame.begin() + 6, 6, r.source.begin());
    if (frame[12] != 0xAA || frame[13] != 0xAA) return std::nullopt;
    const std::span<const uint8_t> payload(frame.data() + kEthHeaderSize, frame.size() - kEthHeaderSize);
    if (!VerifyFrame(payload, r.header)) return std::nullopt;
    const auto body = FrameBody(payload, r.header);
    r.body.assign(body.begin(), body.end());
    return r;
}

Body& Body::u8(uint8_t v) {
    bytes_.push_back(v);
    return *this;
}
Body& Body::u16(uint16_t v) {
    bytes_.push_back(static_cast<uint8_t>(v >> 8));
    bytes_.push_back(static_cast<uint8_t>(v));
    return *this;
}
Body& Body::u32(uint32_t v) {
    u16(static_cast<uint16_t>(v >> 16));
    return u16(static_cast<uint16_t>(v));
}
Body& Body::bytes(const Bytes& b) {
    bytes_.insert(bytes_.end(), b.begin(), b.end());
    return *this;
}
Body& Body::text(std::string_view s) {
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    return *this;
}
Body& Body::attribute(uint16_t id, std::string_view value) {
    u16(id);
    u8(static_cast<uint8_t>(value.size()));
    return text(value);
}

Bytes Payload(uint16_t sequence, uint16_t type, const Bytes& body) {
    const size_t length = 4 + body.size();
    Bytes p = Body().u16(kFrameMagic).u8(kFrameVersion).u16(static_cast<uint16_t>(length)).u16(sequence).u16(type);
    p.insert(p.end(), body.begin(), body.end());
    const uint16_t crc = Crc16(p.data() + 5, length);
    p.push_back(static_cast<uint8_t>(crc >> 8));
    p.push_back(static_cast<uint8_t>(crc));
    return p;
}

Bytes Ether(const Mac& destination, const Mac& source, const Bytes& payload, uint16_t etherType) {
    Bytes f(destination.begin(), destination.end());
    f.insert(f.end(), source.begin(), source.end());
    f.push_back(static_cast<uint8_t>(etherType >> 8));
    f.push_back(static_cast<uint8_t>(etherType));
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

Bytes FromStation(const Mac& from, uint16_t sequence, uint16_t type, const Bytes& body) {
    return Ether(kOwnMac, from, Payload(sequence, type, body));
}

Wire& Wire::Get() {
    static Wire wire;
    return wire;
}

namespace {
constexpr uint64_t kStartMs = 1000;
}  // namespace

void Wire::Reset() {
    if (driver_ != nullptr) {
        driver_->now = kStartMs;
        driver_->sent.clear();
        driver_->pollArguments.clear();
        driver_->incoming.clear();
    }
    pumpTimes.clear();
    station = nullptr;
    onPump = nullptr;
}

void Wire::Deliver(Bytes frame, uint64_t delayMs) { driver_->Deliver(std::move(frame), delayMs); }

std::vector<Request> Wire::Requests() const {
    std::vector<Request> out;
    for (const Bytes& f : sent())
        if (auto r = Parse(f)) out.push_back(std::move(*r));
    return out;
}

uint64_t FakeClock() { return Wire::Get().now(); }

namespace {
// Pumps in a row at one fake time: frames arriving together cause a few,
// a wait that no longer polls the fake driver causes them without end.
constexpr size_t kRunawayPumps = 300;
}  // namespace

void FakePump() {
    Wire& w = Wire::Get();
    // A wait whose fake time stands still never ends by itself: fail it
    // rather than hang the test program.
    size_t still = 0;
    for (auto t = w.pumpTimes.rbegin(); t != w.pumpTimes.rend() && *t == w.now() && still <= kRunawayPumps; ++t)
        ++still;
    if (still > kRunawayPumps) {
        ADD_FAILURE() << "the wait loop pumped " << still << " times while the fake clock stood still";
        throw std::runtime_error("runaway wait");
    }
    w.pumpTimes.push_back(w.now());
    if (w.onPump) w.onPump();
}

void InstallFakeDriver() {
    auto fake = std::make_unique<FakeDriver>();
    fake->interfaces = {FakeInterface{"lo", kArpHrdLoopback, {}}, FakeInterface{"fake0", kArpHrdEther, kOwnMac}};
    fake->now = kStartMs;
    fake->wakeOnIdlePoll = true;
    fake->onSend = [](const Bytes& frame) {
        const Wire& w = Wire::Get();
        if (w.station)
            if (auto r = Parse(frame)) w.station(*r);
    };
    Wire::Get().driver_ = fake.get();
    theAdapter.SetDriver(std::move(fake));
}

}  // namespace aputil::fake
