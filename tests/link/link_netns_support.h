#pragma once
// The far end of the helper's wire tests: captures and injections on the
// peer namespace's interfaces, run in a forked child that joins namespace B,
// so a test can forge any frame (group or foreign source, other EtherType)
// and see exactly what reached the peer side.

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/netns_env.h"
#include "transport/adapter.h"

namespace aputil::linktest {

using Frame = std::vector<uint8_t>;
using test::Env;
using test::InPrivateNamespace;

inline bool ReadMac(const std::string& interface, uint8_t* mac) {
    std::ifstream sys("/sys/class/net/" + interface + "/address");
    std::string text;
    unsigned b[6];
    if (!std::getline(sys, text) ||
        std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6)
        return false;
    for (int i = 0; i < 6; ++i) mac[i] = static_cast<uint8_t>(b[i]);
    return true;
}

inline Frame MakeFrame(const uint8_t* destination, const uint8_t* source, uint16_t etherType, size_t length,
                       uint8_t tag = 0) {
    Frame frame(length < 14 ? 14 : length, 0);
    std::memcpy(frame.data(), destination, 6);
    std::memcpy(frame.data() + 6, source, 6);
    frame[12] = static_cast<uint8_t>(etherType >> 8);
    frame[13] = static_cast<uint8_t>(etherType);
    for (size_t i = 14; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(tag + i * 7);
    if (frame.size() > 15) frame[14] = tag;
    return frame;
}

inline bool EnterPeerNamespace() {
    const int fd = open(("/run/netns/" + Env("APUTIL_NS_B")).c_str(), O_RDONLY | O_CLOEXEC);
    return fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
}

inline bool ReadAll(int fd, void* into, size_t length) {
    auto* p = static_cast<uint8_t*>(into);
    while (length > 0) {
        const ssize_t n = read(fd, p, length);
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// Captures everything that arrives on a peer interface for a while, every
// EtherType. Start, do what should (or should not) reach the peer, Collect.
class PeerCapture {
public:
    bool Start(const std::string& interface, int ms) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return false;
        pid_ = fork();
        if (pid_ == 0) {
            close(fds[0]);
            auto driver = MakePcapDriver(true);
            OpenError error;
            if (!EnterPeerNamespace() || !driver->Open(interface, error)) _exit(3);
            const uint8_t ready = 'r';
            if (write(fds[1], &ready, 1) != 1) _exit(4);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
            while (std::chrono::steady_clock::now() < deadline) {
                if (!driver->Poll(10)) continue;
                driver->Drain(
                    [](void* context, const uint8_t* frame, size_t length) {
                        const int out = *static_cast<int*>(context);
                        const uint16_t n = static_cast<uint16_t>(length);
                        if (write(out, &n, sizeof n) != sizeof n || write(out, frame, n) != n) _exit(5);
                    },
                    &fds[1]);
            }
            _exit(0);
        }
        close(fds[1]);
        out_ = fds[0];
        uint8_t ready = 0;
        return pid_ > 0 && ReadAll(out_, &ready, 1) && ready == 'r';
    }

    // Every frame it saw (IPv6 and other chatter left out by the caller).
    std::vector<Frame> Collect() {
        std::vector<Frame> frames;
        uint16_t n = 0;
        while (ReadAll(out_, &n, sizeof n)) {
            Frame frame(n);
            if (!ReadAll(out_, frame.data(), n)) break;
            frames.push_back(std::move(frame));
        }
        close(out_);
        out_ = -1;
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return frames;
    }

    ~PeerCapture() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
};

// Sends frames as given from a peer interface; true when all went out. With
// pauseEvery, waits pauseMs after each that many frames, so that a flood does
// not outrun the kernel's capture ring on the receiving side.
inline bool InjectFromPeer(const std::string& interface, const std::vector<Frame>& frames, size_t pauseEvery = 0,
                           int pauseMs = 0) {
    const pid_t pid = fork();
    if (pid == 0) {
        auto driver = MakePcapDriver();
        OpenError error;
        if (!EnterPeerNamespace() || !driver->Open(interface, error)) _exit(3);
        for (size_t i = 0; i < frames.size(); ++i) {
            if (!driver->Send(frames[i].data(), frames[i].size())) _exit(4);
            if (pauseEvery > 0 && (i + 1) % pauseEvery == 0) usleep(static_cast<useconds_t>(pauseMs) * 1000);
        }
        _exit(0);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Frames of EtherType 0xAAAA among what a capture saw.
inline std::vector<Frame> OursOnly(const std::vector<Frame>& frames) {
    std::vector<Frame> out;
    for (const Frame& f : frames)
        if (f.size() >= 14 && f[12] == 0xAA && f[13] == 0xAA) out.push_back(f);
    return out;
}

}  // namespace aputil::linktest
