#pragma once
// A packet driver that hands the single-capture calls to another driver, for
// tests that watch or restrict a real driver by overriding only a few calls.
// The channel calls keep PacketDriver's defaults, so the wrapped driver is
// seen as one that holds a single capture at a time.

#include <memory>
#include <string>
#include <utility>

#include "transport/adapter.h"

namespace aputil::test {

class ForwardingDriver : public PacketDriver {
public:
    explicit ForwardingDriver(std::unique_ptr<PacketDriver> inner) : inner_(std::move(inner)) {}

    bool ListInterfaces(std::string* names, int capacity, int& count) override {
        return inner_->ListInterfaces(names, capacity, count);
    }
    bool LinkType(const std::string& name, int& arpType) override { return inner_->LinkType(name, arpType); }
    bool HardwareAddress(const std::string& name, uint8_t* mac) override { return inner_->HardwareAddress(name, mac); }
    bool Open(const std::string& name, OpenError& error) override { return inner_->Open(name, error); }
    void Close() override { inner_->Close(); }
    bool SetFilter(const sock_filter* program, size_t instructions) override {
        return inner_->SetFilter(program, instructions);
    }
    bool Poll(int ms) override { return inner_->Poll(ms); }
    int Drain(void (*sink)(void*, const uint8_t*, size_t), void* context) override {
        return inner_->Drain(sink, context);
    }
    bool Send(const uint8_t* frame, size_t length) override { return inner_->Send(frame, length); }

protected:
    PacketDriver& Inner() { return *inner_; }

private:
    std::unique_ptr<PacketDriver> inner_;
};

}  // namespace aputil::test
