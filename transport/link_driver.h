#pragma once
// The client side of the packet helper: a PacketDriver whose captures live in
// the aputil-link child process, so that the program using it needs no
// privilege at all. Everything above the seam (CAdapter, the engine) is the
// same as over the in-process libpcap driver.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "transport/adapter.h"
#include "transport/link_wire.h"

namespace aputil {

// The helper beside the running program: ../libexec/aputil/aputil-link (an
// installed tree), aputil-link in the same folder, or the build tree's
// tools/link/aputil-link seen from app/gui/ or tools/apctl/, or
// ../../libexec/aputil/aputil-link from a program folder under lib/. Empty when none
// of them is an executable file.
std::string FindLinkHelper();

class LinkDriver final : public PacketDriver {
public:
    // Starts the helper at path as a child: its end of the socket on
    // descriptor 3, standard input and output on /dev/null, standard error
    // shared, nothing else open, an empty environment. Started() tells
    // whether that worked; a driver whose helper is gone fails every call.
    explicit LinkDriver(const std::string& helperPath);
    ~LinkDriver() override;
    LinkDriver(const LinkDriver&) = delete;
    LinkDriver& operator=(const LinkDriver&) = delete;

    bool Started() const { return fd_ >= 0; }
    pid_t HelperPid() const { return child_; }

    bool ListInterfaces(std::string* names, int capacity, int& count) override;
    // Only Ethernet adapters are ever listed or opened by the helper.
    bool LinkType(const std::string& name, int& arpType) override;
    bool HardwareAddress(const std::string& name, uint8_t* mac) override;
    bool Open(const std::string& name, OpenError& error) override { return OpenChannel(0, name, error); }
    void Close() override { CloseChannel(0); }
    // The helper installs the adapter's receive filter itself at every open
    // (the program CAdapter builds, for the interface's own address); the
    // client cannot put another in its place.
    bool SetFilter(const sock_filter* program, size_t instructions) override {
        return SetChannelFilter(0, program, instructions);
    }
    bool Poll(int ms) override;
    bool PollBriefly(int us) override;
    int Drain(void (*sink)(void* context, const uint8_t* frame, size_t length), void* context) override;
    bool Send(const uint8_t* frame, size_t length) override { return SendOn(0, frame, length); }

    int MaxChannels() const override { return link::kMaxChannels; }
    bool OpenChannel(int channel, const std::string& name, OpenError& error) override;
    // One OPENS request: the helper opens them side by side.
    void OpenChannels(int count, const int* channels, const std::string* names, bool* opened,
                      OpenError* errors) override;
    void CloseChannel(int channel) override;
    bool SetChannelFilter(int channel, const sock_filter* program, size_t instructions) override;
    bool PollChannels(int ms) override { return Poll(ms); }
    int DrainChannels(ChannelSink sink, void* context) override { return DrainTagged(-1, sink, context); }
    int DrainChannel(int channel, ChannelSink sink, void* context) override {
        return DrainTagged(channel, sink, context);
    }
    bool SendOn(int channel, const uint8_t* frame, size_t length) override;
    bool LinkUp(const std::string& name) override;
    std::string PrivilegedProgram() const override { return path_; }
    bool PrivilegeRefused() const override { return privilegeRefused_; }

    // The helper's counters: frames dropped because the client lagged, frames
    // it refused to send, malformed requests. False when it did not answer.
    bool Status(uint32_t& dropped, uint32_t& refused, uint32_t& malformed);
    // Sends a raw request as given (tests of the helper's checks).
    bool SendRaw(const uint8_t* bytes, size_t length);

private:
    struct Channel {
        bool open = false;
        std::string name;
        uint8_t mac[6] = {};
    };
    struct Pending;

    // Sends a request and waits for the reply of that kind (frames that
    // arrive meanwhile are kept for the next Drain); false on REFUSED, on a
    // gone helper or after a few seconds without an answer.
    bool Exchange(const uint8_t* request, size_t length, link::Kind expected, link::Message& reply);
    bool SendRequest(const uint8_t* request, size_t length);
    // The next reply of kind expected to a request of kind asked.
    bool Await(uint8_t asked, link::Kind expected, link::Message& reply);
    // Takes an OPEN_REPLY for channel.
    bool Opened(int channel, const std::string& name, const link::Message& reply, OpenError& error);
    // Reads one message without waiting; 0 none, 1 one read into in_, -1 the helper is gone.
    int ReadOne(size_t& length);
    void Keep(const link::Message& frame);
    int DrainTagged(int only, ChannelSink sink, void* context);
    void Lost();

    std::string path_;
    pid_t child_ = -1;
    int fd_ = -1;
    bool privilegeRefused_ = false;
    Channel channels_[link::kMaxChannels];
    std::string listNames_[link::kMaxChannels];
    uint8_t listMacs_[link::kMaxChannels][6] = {};
    int listCount_ = 0;
    std::unique_ptr<Pending> pending_;
    uint8_t in_[link::kMaxMessage + 1] = {};
};

// A helper-backed driver for the helper at path, or nullptr when it cannot be started.
std::unique_ptr<PacketDriver> MakeLinkDriver(const std::string& helperPath);

}  // namespace aputil
