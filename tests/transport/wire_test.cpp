// The packet channel on a real wire: a veth pair between two network
// namespaces made by tests/netns/with-netns, with l2peer at the far end.
// Outside those namespaces every test skips: nothing here may touch the
// machine's own interfaces.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/hex_text.h"
#include "tests/support/netns_env.h"
#include "transport/adapter.h"

namespace aputil {
namespace {

using test::Env;
using test::InPrivateNamespace;
using test::MacText;
using Frame = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

bool ParseMac(const std::string& text, uint8_t* mac) {
    unsigned b[6];
    if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6) return false;
    for (int i = 0; i < 6; ++i) mac[i] = static_cast<uint8_t>(b[i]);
    return true;
}

Frame MakeFrame(const uint8_t* destination, const uint8_t* source, uint16_t etherType, const Frame& payload) {
    // Sized once and filled in place: growing the vector by inserts makes
    // GCC 12 at -O2 report a false -Warray-bounds in its reallocation.
    Frame frame(14 + payload.size());
    std::memcpy(frame.data(), destination, 6);
    std::memcpy(frame.data() + 6, source, 6);
    frame[12] = static_cast<uint8_t>(etherType >> 8);
    frame[13] = static_cast<uint8_t>(etherType);
    std::copy(payload.begin(), payload.end(), frame.begin() + 14);
    return frame;
}

Frame Pattern(uint8_t tag, size_t length) {
    Frame payload(length);
    for (size_t i = 0; i < length; ++i) payload[i] = static_cast<uint8_t>(tag * 37 + i * 11);
    return payload;
}

// l2peer in namespace B, with its standard output on a pipe.
class Peer {
public:
    Peer() = default;
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    ~Peer() { Stop(); }

    bool Start(const std::vector<std::string>& args) {
        int fds[2];
        if (pipe(fds) != 0) return false;
        std::vector<std::string> command = {"ip", "netns", "exec", Env("APUTIL_NS_B"), Env("APUTIL_L2PEER")};
        command.insert(command.end(), args.begin(), args.end());
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            close(fds[1]);
            std::vector<char*> argv;
            for (std::string& word : command) argv.push_back(word.data());
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        out_ = fds[0];
        return pid_ > 0;
    }

    // One line of the peer's output without its line end; empty on time-out or end.
    std::string ReadLine(int timeoutMs) {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const size_t end = buffer_.find('\n');
            if (end != std::string::npos) {
                std::string line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollfd entry{out_, POLLIN, 0};
            if (left <= 0 || poll(&entry, 1, static_cast<int>(left)) <= 0) return "";
            char chunk[4096];
            const ssize_t n = read(out_, chunk, sizeof chunk);
            if (n <= 0) return "";
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }

    bool WaitReady() { return ReadLine(10000) == "ready"; }

    // The exit code, or -1 when the peer has not ended within the time.
    int Wait(int timeoutMs) {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (pid_ > 0) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (Clock::now() >= deadline) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }

    void Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            if (Wait(5000) < 0 && pid_ > 0) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                pid_ = -1;
            }
        }
        if (out_ >= 0) close(out_);
        out_ = -1;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
};

std::vector<Frame> received;

void RecordFrame(const uint8_t* frame, size_t length) { received.emplace_back(frame, frame + length); }

class WireTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!InPrivateNamespace() || Env("APUTIL_L2PEER").empty())
            GTEST_SKIP() << "runs only inside the namespaces made by tests/netns/with-netns";
        received.clear();
        interface = Env("APUTIL_IF");
        peerInterface = Env("APUTIL_PEER_IF");
        ASSERT_TRUE(ParseMac(Env("APUTIL_PEER_MAC"), peerMac));
        std::ifstream sys("/sys/class/net/" + interface + "/address");
        std::string text;
        ASSERT_TRUE(std::getline(sys, text) && ParseMac(text, ownMac)) << "no address for " << interface;

        adapter.SetDriver(MakePcapDriver());
        adapter.EnumerateAdapters();
        int position = -1;
        for (int i = 0; i < adapter.adapterCount; ++i)
            if (adapter.adapterName[i] == interface) position = i;
        ASSERT_GE(position, 0);
        ASSERT_TRUE(adapter.OpenAdapter(position));
    }

    void TearDown() override {
        adapter.StopReceive();
        adapter.CloseAdapter();
    }

    // Runs "l2peer send" from the far end and waits for it to finish.
    void SendFromPeer(const uint8_t* destination, uint16_t etherType, const Frame& payload,
                      std::vector<std::string> extra = {}) {
        char type[8];
        std::snprintf(type, sizeof type, "%04x", etherType);
        std::vector<std::string> args = {"send", peerInterface, MacText(destination), type,
                                         payload.empty() ? "-" : HexText(payload)};
        args.insert(args.end(), extra.begin(), extra.end());
        Peer sender;
        ASSERT_TRUE(sender.Start(args));
        ASSERT_EQ(sender.Wait(20000), 0);
    }

    // Waits (with delivery on) until count frames have arrived or the time is up.
    bool ReceiveAtLeast(size_t count, int timeoutMs) {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (received.size() < count && Clock::now() < deadline) adapter.WaitForFrames(50);
        return received.size() >= count;
    }

    CAdapter adapter;
    std::string interface;
    std::string peerInterface;
    uint8_t ownMac[6] = {};
    uint8_t peerMac[6] = {};
};

const uint8_t kBroadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const uint8_t kMulticast[6] = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x42};
const uint8_t kOtherStation[6] = {0x02, 0x42, 0x42, 0x42, 0x42, 0x42};

TEST_F(WireTest, ProbingFindsTheVethAndItsAddress) {
    CAdapter probe;
    probe.SetDriver(MakePcapDriver());
    EXPECT_TRUE(probe.ProbeAdapters());
    // Namespace A holds its loopback and one end of the veth pair, nothing else.
    ASSERT_EQ(probe.adapterCount, 2);
    EXPECT_EQ(probe.adapterName[0], "lo");
    EXPECT_EQ(probe.adapterName[1], interface);
    ASSERT_EQ(probe.usableCount, 1);
    EXPECT_EQ(probe.usableIndex[0], 1);
    EXPECT_EQ(probe.usableName[0], interface);
    EXPECT_EQ(MacText(probe.usableAddress[0]), MacText(ownMac));
    EXPECT_FALSE(probe.IsAdapterOpen());

    // The adapter the fixture opened reports the same address.
    EXPECT_EQ(adapter.handle, 1);
    EXPECT_EQ(MacText(adapter.currentAddress), MacText(ownMac));
}

TEST_F(WireTest, DriverReportsLinkTypesAndMissingDevices) {
    auto driver = MakePcapDriver();
    int arpType = 0;
    ASSERT_TRUE(driver->LinkType("lo", arpType));
    EXPECT_EQ(arpType, 772);  // ARPHRD_LOOPBACK
    ASSERT_TRUE(driver->LinkType(interface, arpType));
    EXPECT_EQ(arpType, kArpHrdEther);
    EXPECT_FALSE(driver->LinkType("nosuch0", arpType));
    OpenError error = OpenError::None;
    EXPECT_FALSE(driver->Open("nosuch0", error));
    EXPECT_EQ(error, OpenError::NoSuchDevice);
    EXPECT_FALSE(driver->Poll(0));  // nothing open
}

TEST_F(WireTest, OnlyDirectedAndBroadcastFramesOfOurEtherTypeReachTheHandler) {
    struct Case {
        const uint8_t* destination;  // nullptr: this adapter's own address
        uint16_t etherType;
        bool arrives;
    };
    const Case cases[] = {
        {kMulticast, 0xAAAA, false},    {nullptr, 0xAAAA, true},    {nullptr, 0x0800, false},
        {kOtherStation, 0xAAAA, false}, {kBroadcast, 0xAAAA, true}, {kBroadcast, 0x88B5, false},
        {nullptr, 0xAAAB, false},
    };
    adapter.StartReceive(&RecordFrame);
    std::vector<Frame> expected;
    uint8_t tag = 1;
    for (const Case& c : cases) {
        const uint8_t* destination = c.destination != nullptr ? c.destination : ownMac;
        const Frame payload = Pattern(tag++, 40);
        SendFromPeer(destination, c.etherType, payload);
        if (c.arrives) expected.push_back(MakeFrame(destination, peerMac, c.etherType, payload));
    }
    // A last directed frame marks the end: everything sent before it has been through the filter.
    const Frame marker = Pattern(0xEE, 8);
    SendFromPeer(ownMac, 0xAAAA, marker);
    expected.push_back(MakeFrame(ownMac, peerMac, 0xAAAA, marker));

    ASSERT_TRUE(ReceiveAtLeast(expected.size(), 10000)) << received.size() << " frames";
    adapter.WaitForFrames(200);  // stragglers would show here
    ASSERT_EQ(received.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(HexText(received[i]), HexText(expected[i])) << i;
}

TEST_F(WireTest, TransmitSendsTheFrameAsGivenAndOwnFramesDoNotComeBack) {
    Peer receiver;
    ASSERT_TRUE(receiver.Start({"recv", peerInterface, "--count", "2", "--timeout-ms", "10000"}));
    ASSERT_TRUE(receiver.WaitReady());
    adapter.StartReceive(&RecordFrame);

    // 20 bytes, under the 60-byte Ethernet minimum: it must leave unpadded.
    const Frame shortFrame = MakeFrame(peerMac, adapter.currentAddress, 0xAAAA, Frame{0xF5, 0x58, 0x40, 0, 1, 2});
    const Frame broadcast = MakeFrame(kBroadcast, adapter.currentAddress, 0xAAAA, Pattern(7, 100));
    EXPECT_TRUE(adapter.TransmitFrame(shortFrame.data(), shortFrame.size()));
    EXPECT_TRUE(adapter.TransmitFrame(broadcast.data(), broadcast.size()));

    EXPECT_EQ(receiver.ReadLine(10000), HexText(shortFrame));
    EXPECT_EQ(receiver.ReadLine(10000), HexText(broadcast));
    EXPECT_EQ(receiver.Wait(10000), 0);

    // Outbound frames of another sender on this interface are not delivered either.
    auto other = MakePcapDriver();
    OpenError error = OpenError::None;
    ASSERT_TRUE(other->Open(interface, error));
    EXPECT_TRUE(other->Send(broadcast.data(), broadcast.size()));
    other->Close();
    EXPECT_FALSE(adapter.WaitForFrames(300));
    EXPECT_TRUE(received.empty()) << "own frame delivered back: "
                                  << (received.empty() ? std::string() : HexText(received.front()));
}

TEST_F(WireTest, EchoedFramesComeBackFromThePeer) {
    Peer echo;
    ASSERT_TRUE(echo.Start({"echo", peerInterface}));
    ASSERT_TRUE(echo.WaitReady());
    adapter.StartReceive(&RecordFrame);

    const Frame directed = MakeFrame(peerMac, adapter.currentAddress, 0xAAAA, Pattern(3, 60));
    const Frame broadcast = MakeFrame(kBroadcast, adapter.currentAddress, 0xAAAA, Pattern(4, 60));
    ASSERT_TRUE(adapter.TransmitFrame(directed.data(), directed.size()));
    ASSERT_TRUE(adapter.TransmitFrame(broadcast.data(), broadcast.size()));

    ASSERT_TRUE(ReceiveAtLeast(2, 10000)) << received.size() << " frames";
    adapter.WaitForFrames(200);
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(HexText(received[0]), HexText(MakeFrame(adapter.currentAddress, peerMac, 0xAAAA, Pattern(3, 60))));
    EXPECT_EQ(HexText(received[1]), HexText(MakeFrame(adapter.currentAddress, peerMac, 0xAAAA, Pattern(4, 60))));
}

TEST_F(WireTest, WaitWithoutTrafficReturnsFalseAfterItsTime) {
    for (bool delivering : {true, false}) {
        if (delivering) adapter.StartReceive(&RecordFrame);
        else adapter.StopReceive();
        const Clock::time_point start = Clock::now();
        EXPECT_FALSE(adapter.WaitForFrames(300)) << delivering;
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        EXPECT_GE(elapsed, 295) << delivering;
        EXPECT_LT(elapsed, 300 + 10000) << delivering;
    }
    EXPECT_TRUE(received.empty());
}

TEST_F(WireTest, FramesArrivingWhileDeliveryIsOffAreDeliveredByTheNextWait) {
    for (uint8_t tag = 1; tag <= 3; ++tag) SendFromPeer(ownMac, 0xAAAA, Pattern(tag, 30));
    adapter.StopReceive();
    EXPECT_FALSE(adapter.WaitForFrames(100));
    EXPECT_TRUE(received.empty());

    adapter.StartReceive(&RecordFrame);
    ASSERT_TRUE(ReceiveAtLeast(3, 10000)) << received.size() << " frames";
    ASSERT_EQ(received.size(), 3u);
    for (uint8_t tag = 1; tag <= 3; ++tag)
        EXPECT_EQ(HexText(received[tag - 1u]), HexText(MakeFrame(ownMac, peerMac, 0xAAAA, Pattern(tag, 30))));
}

TEST_F(WireTest, BurstOfTwoHundredFramesArrivesWholeAndInOrder) {
    constexpr size_t kBurst = 200;
    const Frame payload = Pattern(9, 100);
    adapter.StartReceive(&RecordFrame);
    Peer sender;
    ASSERT_TRUE(sender.Start(
        {"send", peerInterface, MacText(ownMac), "aaaa", HexText(payload), "--count", std::to_string(kBurst)}));
    EXPECT_TRUE(ReceiveAtLeast(kBurst, 20000)) << received.size() << " frames";
    EXPECT_EQ(sender.Wait(20000), 0);
    adapter.WaitForFrames(200);
    ASSERT_EQ(received.size(), kBurst);
    for (size_t i = 0; i < kBurst; ++i) {
        Frame numbered = payload;
        numbered[0] = static_cast<uint8_t>(i >> 24);
        numbered[1] = static_cast<uint8_t>(i >> 16);
        numbered[2] = static_cast<uint8_t>(i >> 8);
        numbered[3] = static_cast<uint8_t>(i);
        ASSERT_EQ(HexText(received[i]), HexText(MakeFrame(ownMac, peerMac, 0xAAAA, numbered))) << "frame " << i;
    }
}

TEST_F(WireTest, OpenWithoutPrivilegeFailsClosedAndNamesTheFix) {
    int errPipe[2];
    ASSERT_EQ(pipe(errPipe), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Drop root, and with it CAP_NET_RAW, then try to open the veth.
        dup2(errPipe[1], STDERR_FILENO);
        close(errPipe[0]);
        if (freopen("/dev/null", "w", stdout) == nullptr) _exit(10);
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(11);
        CAdapter unprivileged;
        unprivileged.SetDriver(MakePcapDriver());
        unprivileged.EnumerateAdapters();
        const bool opened = unprivileged.OpenAdapter(1) || unprivileged.OpenAdapter(1);
        _exit(opened ? 12 : unprivileged.IsAdapterOpen() ? 13 : 0);
    }
    close(errPipe[1]);
    std::string err;
    char chunk[512];
    for (ssize_t n; (n = read(errPipe[0], chunk, sizeof chunk)) > 0;) err.append(chunk, static_cast<size_t>(n));
    close(errPipe[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find("CAP_NET_RAW"), std::string::npos) << err;
    EXPECT_NE(err.find("setcap cap_net_raw+ep"), std::string::npos) << err;
}

}  // namespace
}  // namespace aputil
