#pragma once
// The transport started on the fake wire with its one Ethernet adapter open,
// the fake clock and pump installed, and the protocol state cleared.

#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "protocol/engine.h"
#include "protocol/operations.h"
#include "protocol/startup.h"
#include "tests/protocol/engine/fake_wire.h"
#include "transport/adapter.h"

namespace aputil::fake {

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        wire().Reset();
        InstallFakeDriver();
        InitPacketDriver();
        ASSERT_EQ(theAdapter.usableCount, 1);
        ASSERT_TRUE(theAdapter.OpenAdapter(theAdapter.usableIndex[0]));
        currentAdapter = 0;
        SetClockHook(FakeClock);
        SetPumpHook(FakePump);
        sequenceCounter = 0;
        for (SessionSlot& slot : sessionTable) slot = SessionSlot{};
    }

    void TearDown() override {
        SetPumpHook(nullptr);
        SetClockHook(nullptr);
        theAdapter.CloseAdapter();
        currentAdapter = -1;
        SetProtocolParameters(1500, 3, 1000);
    }

    static Wire& wire() { return Wire::Get(); }

    static void Hold(uint16_t session, const Mac& mac) {
        SessionSlot& slot = sessionTable[session];
        slot.inUse = 1;
        slot.peer = Peer(mac);
        slot.alive = 1;
    }

    // The AP at kApMac answers every request of requestType with a frame of
    // replyType whose body `reply` makes (nothing when it gives none), after delayMs.
    static void Answer(uint16_t requestType, uint16_t replyType,
                       std::function<std::optional<Bytes>(const Request&)> reply, uint64_t delayMs = 1) {
        wire().station = [=](const Request& r) {
            if (r.header.type != requestType || r.destination != kApMac) return;
            if (auto body = reply(r)) wire().Deliver(FromStation(kApMac, r.header.sequence, replyType, *body), delayMs);
        };
    }

    static std::vector<Bytes> SentOfType(uint16_t type) {
        std::vector<Bytes> out;
        for (const Bytes& f : wire().sent())
            if (auto r = Parse(f); r && r->header.type == type) out.push_back(f);
        return out;
    }
};

}  // namespace aputil::fake
