#include "fake_wire.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

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

void Wire::Reset() {
    now = 1000;
    sent.clear();
    pollArguments.clear();
    pumpTimes.clear();
    station = nullptr;
    onPump = nullptr;
    inbox.clear();
}

void Wire::Deliver(Bytes frame, uint64_t delayMs) { inbox.push_back({now + delayMs, std::move(frame)}); }

std::vector<Request> Wire::Requests() const {
    std::vector<Request> out;
    for (const Bytes& f : sent)
        if (auto r = Parse(f)) out.push_back(std::move(*r));
    return out;
}

uint64_t FakeClock() { return Wire::Get().now; }

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
    for (auto t = w.pumpTimes.rbegin(); t != w.pumpTimes.rend() && *t == w.now && still <= kRunawayPumps; ++t) ++still;
    if (still > kRunawayPumps) {
        ADD_FAILURE() << "the wait loop pumped " << still << " times while the fake clock stood still";
        throw std::runtime_error("runaway wait");
    }
    w.pumpTimes.push_back(w.now);
    if (w.onPump) w.onPump();
}

namespace {

class FakeDriver final : public PacketDriver {
public:
    bool ListInterfaces(std::string* names, int capacity, int& count) override {
        static const char* const kNames[] = {"lo", "fake0"};
        count = 2;
        for (int i = 0; i < count && i < capacity; ++i) names[i] = kNames[i];
        return true;
    }
    bool LinkType(const std::string& name, int& arpType) override {
        if (name == "lo") arpType = 772;  // ARPHRD_LOOPBACK
        else if (name == "fake0") arpType = kArpHrdEther;
        else return false;
        return true;
    }
    bool HardwareAddress(const std::string& name, uint8_t* mac) override {
        if (name == "lo") std::memset(mac, 0, 6);
        else if (name == "fake0") std::memcpy(mac, kOwnMac.data(), 6);
        else return false;
        return true;
    }
    bool Open(const std::string& name, OpenError& error) override {
        if (name != "lo" && name != "fake0") {
            error = OpenError::NoSuchDevice;
            return false;
        }
        error = OpenError::None;
        open_ = true;
        return true;
    }
    void Close() override { open_ = false; }
    bool SetFilter(const sock_filter*, size_t) override { return open_; }

    bool Poll(int ms) override {
        Wire& w = Wire::Get();
        w.pollArguments.push_back(ms);
        if (!open_) return false;
        uint64_t next = UINT64_MAX;
        for (const auto& q : w.inbox) next = std::min(next, q.due);
        const uint64_t limit = w.now + static_cast<uint64_t>(ms > 0 ? ms : 0);
        if (next <= w.now) return true;
        if (next <= limit) {
            w.now = next;
            return true;
        }
        w.now = limit;
        if (ms <= 0) return false;
        // The time has passed on the fake clock. CAdapter would now sleep out
        // the wait on the real clock; a runt frame, which the engine drops
        // unread, ends its wait at once instead.
        tick_ = true;
        return true;
    }

    int Drain(void (*sink)(void*, const uint8_t*, size_t), void* context) override {
        Wire& w = Wire::Get();
        // Take the due frames out first: the handler may send, and the station
        // may queue new frames while they are handed over.
        std::vector<Bytes> due;
        for (auto it = w.inbox.begin(); it != w.inbox.end();) {
            if (it->due <= w.now) {
                due.push_back(std::move(it->frame));
                it = w.inbox.erase(it);
            } else {
                ++it;
            }
        }
        if (tick_) {
            tick_ = false;
            due.emplace_back(kEthHeaderSize, 0x00);
        }
        for (const Bytes& f : due) {
            // An exact-size heap copy, so that any read past the frame is caught by the sanitizers.
            std::unique_ptr<uint8_t[]> copy(new uint8_t[f.size()]);
            std::memcpy(copy.get(), f.data(), f.size());
            sink(context, copy.get(), f.size());
        }
        return static_cast<int>(due.size());
    }

    bool Send(const uint8_t* frame, size_t length) override {
        if (!open_) return false;
        Wire& w = Wire::Get();
        w.sent.emplace_back(frame, frame + length);
        if (w.station)
            if (auto r = Parse(w.sent.back())) w.station(*r);
        return true;
    }

private:
    bool open_ = false;
    bool tick_ = false;
};

}  // namespace

void InstallFakeDriver() { theAdapter.SetDriver(std::make_unique<FakeDriver>()); }

}  // namespace aputil::fake
