#pragma once
// A scripted stand-in for the libpcap packet driver, for tests and fuzz
// targets without privileges or a wire. Put it under an adapter with
//
//     auto fake = std::make_unique<aputil::FakeDriver>();
//     aputil::FakeDriver* driver = fake.get();   // keep a view for the test
//     adapter.SetDriver(std::move(fake));
//
// Script the system's interfaces in `interfaces`, queue frames to receive in
// `incoming` (or from `onSend`, to answer what the code under test sent), and
// read back what happened in `opened`, `closeCount`, `filter` and `sent`.
//
// Nothing here sleeps. The driver keeps a fake millisecond clock, `now`: a
// frame queued with a later `due` arrives when a Poll reaches that time, a
// Poll that sees nothing lets its whole time pass on it, and Pause adds to it
// (and to `pausedMs`). Frames queued without a time are due at once.

#include <linux/filter.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "transport/adapter.h"

namespace aputil {

inline constexpr int kArpHrdLoopback = 772;  // ARPHRD_LOOPBACK

struct FakeInterface {
    std::string name;
    int arpType = kArpHrdEther;
    std::array<uint8_t, 6> mac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    bool linkTypeReadable = true;
    bool macReadable = true;
    OpenError openError = OpenError::None;  // anything but None makes Open fail
};

class FakeDriver final : public PacketDriver {
public:
    using Frame = std::vector<uint8_t>;

    // A frame waiting to be received.
    struct Arrival {
        Arrival(Frame f, uint64_t dueMs = 0, bool batchEnd = false)  // NOLINT(google-explicit-constructor)
            : frame(std::move(f)), due(dueMs), endsBatch(batchEnd) {}
        Frame frame;
        uint64_t due = 0;        // on the fake clock
        bool endsBatch = false;  // the drain that hands it over stops after it
    };

    // Script.
    std::vector<FakeInterface> interfaces;
    std::deque<Arrival> incoming;              // frames waiting to be received, oldest first
    bool listOk = true;                        // ListInterfaces result
    bool filterOk = true;                      // SetFilter result
    bool sendOk = true;                        // Send result (the frame is recorded either way)
    std::function<void(const Frame&)> onSend;  // runs after each Send is recorded
    // A Poll that waits out its time with nothing due still wakes, and its
    // drain hands over a runt frame (an Ethernet header of zeros, which the
    // engine drops unread): the wait ends at once on the fake clock instead of
    // looping through polls that see nothing.
    bool wakeOnIdlePoll = false;

    // Record.
    uint64_t now = 0;                 // the fake clock, in ms
    std::vector<std::string> opened;  // names passed to Open, in order
    std::string openName;             // the open interface, empty when closed
    int closeCount = 0;               // Close calls that closed something
    std::vector<sock_filter> filter;  // the latest program installed
    std::vector<Frame> sent;          // frames passed to Send while open, in order
    int sendsWhileClosed = 0;         // Send calls with nothing open
    std::vector<int> pollArguments;   // the time of every Poll, in order
    long pausedMs = 0;                // time passed through Pause

    // Queues a frame that arrives delayMs after the current fake time.
    void Deliver(Frame frame, uint64_t delayMs = 0) { incoming.emplace_back(std::move(frame), now + delayMs); }

    bool ListInterfaces(std::string* names, int capacity, int& count) override {
        count = 0;
        if (!listOk) return false;
        count = static_cast<int>(interfaces.size());
        for (int i = 0; i < count && i < capacity; ++i) names[i] = interfaces[static_cast<size_t>(i)].name;
        return true;
    }

    bool LinkType(const std::string& name, int& arpType) override {
        const FakeInterface* entry = Find(name);
        if (entry == nullptr || !entry->linkTypeReadable) return false;
        arpType = entry->arpType;
        return true;
    }

    bool HardwareAddress(const std::string& name, uint8_t* mac) override {
        const FakeInterface* entry = Find(name);
        if (entry == nullptr || !entry->macReadable) return false;
        for (size_t i = 0; i < 6; ++i) mac[i] = entry->mac[i];
        return true;
    }

    bool Open(const std::string& name, OpenError& error) override {
        Close();
        opened.push_back(name);
        const FakeInterface* entry = Find(name);
        error = entry == nullptr ? OpenError::NoSuchDevice : entry->openError;
        if (error != OpenError::None) return false;
        openName = name;
        return true;
    }

    void Close() override {
        if (openName.empty()) return;
        openName.clear();
        ++closeCount;
    }

    bool SetFilter(const sock_filter* program, size_t instructions) override {
        if (openName.empty() || !filterOk) return false;
        filter.assign(program, program + instructions);
        return true;
    }

    bool Poll(int ms) override {
        pollArguments.push_back(ms);
        if (openName.empty()) return false;
        uint64_t next = UINT64_MAX;
        for (const Arrival& a : incoming) next = std::min(next, a.due);
        const uint64_t limit = now + static_cast<uint64_t>(ms > 0 ? ms : 0);
        if (next <= now) return true;
        if (next <= limit) {
            now = next;
            return true;
        }
        now = limit;
        if (ms <= 0 || !wakeOnIdlePoll) return false;
        runtDue_ = true;
        return true;
    }

    int Drain(void (*sink)(void* context, const uint8_t* frame, size_t length), void* context) override {
        if (openName.empty()) return 0;
        // Only what is due now, taken out first: frames a sink queues in turn
        // wait for the next drain.
        std::vector<Frame> due;
        for (auto it = incoming.begin(); it != incoming.end();) {
            if (it->due > now) {
                ++it;
                continue;
            }
            const bool last = it->endsBatch;
            due.push_back(std::move(it->frame));
            it = incoming.erase(it);
            if (last) break;
        }
        if (runtDue_) {
            runtDue_ = false;
            due.emplace_back(kEthHeaderBytes, 0x00);
        }
        for (const Frame& f : due) {
            // An exact-size heap copy, so that any read past the frame is caught by the sanitizers.
            std::unique_ptr<uint8_t[]> copy(new uint8_t[f.empty() ? 1 : f.size()]);
            if (!f.empty()) std::memcpy(copy.get(), f.data(), f.size());
            sink(context, copy.get(), f.size());
        }
        return static_cast<int>(due.size());
    }

    bool Send(const uint8_t* frame, size_t length) override {
        if (openName.empty()) {
            ++sendsWhileClosed;
            return false;
        }
        sent.emplace_back(frame, frame + length);
        if (onSend) onSend(sent.back());
        return sendOk;
    }

    void Pause(int ms) override {
        const int passed = ms > 0 ? ms : 0;
        pausedMs += passed;
        now += static_cast<uint64_t>(passed);
    }

private:
    static constexpr size_t kEthHeaderBytes = 14;

    const FakeInterface* Find(const std::string& name) const {
        for (const FakeInterface& entry : interfaces)
            if (entry.name == name) return &entry;
        return nullptr;
    }

    bool runtDue_ = false;
};

}  // namespace aputil
