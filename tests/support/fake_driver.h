#pragma once
// A scripted stand-in for the libpcap packet driver, for tests without
// privileges or a wire. Put it under an adapter with
//
//     auto fake = std::make_unique<aputil::FakeDriver>();
//     aputil::FakeDriver* driver = fake.get();   // keep a view for the test
//     adapter.SetDriver(std::move(fake));
//
// Script the system's interfaces in `interfaces`, queue frames to receive in
// `incoming` (or from `onSend`, to answer what the code under test sent), and
// read back what happened in `opened`, `closeCount`, `filter` and `sent`.
// Nothing here sleeps: Poll reports at once whether a frame is queued, and
// Pause only adds to `pausedMs`.

#include <linux/filter.h>

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "transport/adapter.h"

namespace aputil {

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

    // Script.
    std::vector<FakeInterface> interfaces;
    std::deque<Frame> incoming;           // frames waiting to be received, oldest first
    bool listOk = true;                   // ListInterfaces result
    bool filterOk = true;                 // SetFilter result
    bool sendOk = true;                   // Send result (the frame is recorded either way)
    std::function<void(const Frame&)> onSend;  // runs after each Send is recorded

    // Record.
    std::vector<std::string> opened;      // names passed to Open, in order
    std::string openName;                 // the open interface, empty when closed
    int closeCount = 0;                   // Close calls that closed something
    std::vector<sock_filter> filter;      // the latest program installed
    std::vector<Frame> sent;              // frames passed to Send, in order
    int pollCount = 0;
    long pausedMs = 0;                    // time passed through Pause

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

    bool Poll(int) override {
        ++pollCount;
        return !openName.empty() && !incoming.empty();
    }

    int Drain(void (*sink)(void* context, const uint8_t* frame, size_t length), void* context) override {
        if (openName.empty()) return 0;
        // Only what waits now: frames a sink queues in turn wait for the next drain.
        const size_t waiting = incoming.size();
        int count = 0;
        for (size_t i = 0; i < waiting && !incoming.empty(); ++i) {
            const Frame frame = std::move(incoming.front());
            incoming.pop_front();
            sink(context, frame.data(), frame.size());
            ++count;
        }
        return count;
    }

    bool Send(const uint8_t* frame, size_t length) override {
        if (openName.empty()) return false;
        sent.emplace_back(frame, frame + length);
        if (onSend) onSend(sent.back());
        return sendOk;
    }

    void Pause(int ms) override { pausedMs += ms > 0 ? ms : 0; }

private:
    const FakeInterface* Find(const std::string& name) const {
        for (const FakeInterface& entry : interfaces)
            if (entry.name == name) return &entry;
        return nullptr;
    }
};

}  // namespace aputil
