// The packet helper on a real wire (two veth links between namespaces made by
// tests/netns/with-netns): how it confines itself, what it lists and opens,
// what it relays and what it refuses either way, its bounded queue, its exit
// with its client, and several captures at once through both drivers.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/link/link_netns_support.h"
#include "transport/adapter.h"
#include "transport/link_driver.h"
#include "transport/link_wire.h"

namespace aputil {
namespace {

using namespace linktest;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kNetRawMask = 1ull << 13;
const uint8_t kBroadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

std::string StatusField(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, field.size() + 1, field + ":") == 0) {
            std::string value = line.substr(field.size() + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            return value;
        }
    }
    return {};
}

uint64_t CapField(pid_t pid, const std::string& field) {
    return std::strtoull(StatusField(pid, field).c_str(), nullptr, 16);
}

std::set<int> OpenDescriptors(pid_t pid) {
    std::set<int> fds;
    const std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return fds;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') fds.insert(std::atoi(entry->d_name));
    }
    closedir(dir);
    return fds;
}

std::string LinkTarget(pid_t pid, int fd) {
    char target[256] = {};
    const std::string path = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : "";
}

std::vector<Frame> received;
std::vector<int> receivedChannel;
std::vector<std::vector<uint8_t>> receivedOwnAddress;

void Record(const uint8_t* frame, size_t length) {
    received.emplace_back(frame, frame + length);
    receivedChannel.push_back(theAdapter.deliveringChannel);
    receivedOwnAddress.emplace_back(theAdapter.currentAddress, theAdapter.currentAddress + 6);
}

// Receives on theAdapter until quietMs pass without a frame.
void ReceiveUntilQuiet(int quietMs) {
    theAdapter.StartReceive(Record);
    while (theAdapter.WaitForFrames(quietMs)) {
    }
    theAdapter.StopReceive();
}

class HelperTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!InPrivateNamespace()) GTEST_SKIP() << "runs only inside the namespaces made by tests/netns/with-netns";
        ASSERT_TRUE(ReadMac("vethA0", mac0));
        ASSERT_TRUE(ReadMac("vethA1", mac1));
        received.clear();
        receivedChannel.clear();
        receivedOwnAddress.clear();
    }
    void TearDown() override {
        theAdapter.StopReceive();
        theAdapter.SetDriver(MakePcapDriver());
    }

    // theAdapter over a fresh helper; the helper's driver stays reachable.
    LinkDriver* UseHelper() {
        auto driver = std::make_unique<LinkDriver>(APUTIL_LINK_HELPER);
        LinkDriver* view = driver.get();
        EXPECT_TRUE(view->Started());
        theAdapter.SetDriver(std::move(driver));
        return view;
    }

    int PositionOf(const std::string& name) const {
        for (int k = 0; k < theAdapter.usableCount; ++k)
            if (theAdapter.usableName[k] == name) return k;
        return -1;
    }

    uint8_t mac0[6] = {};
    uint8_t mac1[6] = {};
};

TEST_F(HelperTest, KeepsOnlyTheRawRightNothingInheritedAndNoEnvironment) {
    setenv("APUTIL_SECRET_FOR_TEST", "x", 1);
    LinkDriver link(APUTIL_LINK_HELPER);
    ASSERT_TRUE(link.Started());
    uint32_t dropped = 1, refused = 1, malformed = 1;
    ASSERT_TRUE(link.Status(dropped, refused, malformed));  // it is up and answering
    const pid_t pid = link.HelperPid();

    // Started by root: everything but CAP_NET_RAW is gone, the bounding set included.
    EXPECT_EQ(CapField(pid, "CapEff"), kNetRawMask);
    EXPECT_EQ(CapField(pid, "CapPrm"), kNetRawMask);
    EXPECT_EQ(CapField(pid, "CapInh"), 0u);
    EXPECT_EQ(CapField(pid, "CapAmb"), 0u);
    EXPECT_EQ(CapField(pid, "CapBnd"), kNetRawMask);
    EXPECT_EQ(StatusField(pid, "NoNewPrivs"), "1");
    EXPECT_EQ(StatusField(pid, "PPid"), std::to_string(getpid()));

    std::ifstream environ("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    std::stringstream environment;
    environment << environ.rdbuf();
    EXPECT_EQ(environment.str(), "");

    // The socket on 3, input and output on /dev/null, the test's error output, nothing else.
    EXPECT_EQ(OpenDescriptors(pid), (std::set<int>{0, 1, 2, 3}));
    EXPECT_EQ(LinkTarget(pid, 0), "/dev/null");
    EXPECT_EQ(LinkTarget(pid, 1), "/dev/null");
    EXPECT_EQ(LinkTarget(pid, 3).rfind("socket:", 0), 0u);
    unsetenv("APUTIL_SECRET_FOR_TEST");
}

TEST_F(HelperTest, ListsWhatTheInProcessProbingFinds) {
    theAdapter.SetDriver(MakePcapDriver());
    ASSERT_TRUE(theAdapter.ProbeAdapters());
    std::vector<std::string> direct(theAdapter.usableName, theAdapter.usableName + theAdapter.usableCount);
    std::vector<std::vector<uint8_t>> directMacs;
    for (int k = 0; k < theAdapter.usableCount; ++k)
        directMacs.emplace_back(theAdapter.usableAddress[k], theAdapter.usableAddress[k] + 6);

    UseHelper();
    ASSERT_TRUE(theAdapter.ProbeAdapters());
    EXPECT_EQ(std::vector<std::string>(theAdapter.usableName, theAdapter.usableName + theAdapter.usableCount), direct);
    for (int k = 0; k < theAdapter.usableCount; ++k)
        EXPECT_EQ(std::vector<uint8_t>(theAdapter.usableAddress[k], theAdapter.usableAddress[k] + 6),
                  directMacs[static_cast<size_t>(k)]);
    // lo is no Ethernet adapter; both veth links are.
    EXPECT_EQ(direct, (std::vector<std::string>{"vethA0", "vethA1"}));
    EXPECT_FALSE(theAdapter.NeedsPrivilege());
}

TEST_F(HelperTest, OpensOnlyEthernetInterfacesTheKernelLists) {
    LinkDriver* link = UseHelper();
    const struct {
        const char* name;
        bool opens;
        OpenError error;
    } cases[] = {
        {"vethA1", true, OpenError::None},
        {"lo", false, OpenError::Other},             // not Ethernet
        {"any", false, OpenError::NoSuchDevice},     // a capture pseudo-device, no interface
        {"vethB0", false, OpenError::NoSuchDevice},  // the other namespace's
        {"../vethA0", false, OpenError::NoSuchDevice},
    };
    for (const auto& c : cases) {
        OpenError error = OpenError::Other;
        EXPECT_EQ(link->OpenChannel(4, c.name, error), c.opens) << c.name;
        EXPECT_EQ(error, c.error) << c.name;
        uint8_t mac[6] = {};
        EXPECT_EQ(link->HardwareAddress(c.name, mac), c.opens) << c.name;
        if (c.opens) {
            EXPECT_EQ(std::memcmp(mac, mac1, 6), 0);
        }
        link->CloseChannel(4);
    }
    // The helper is still there and answering after all of it.
    uint32_t dropped = 0, refused = 0, malformed = 0;
    EXPECT_TRUE(link->Status(dropped, refused, malformed));
}

TEST_F(HelperTest, RelaysFramesBothWaysAndDropsGroupSources) {
    UseHelper();
    ASSERT_TRUE(theAdapter.ProbeAdapters());
    const int k = PositionOf("vethA0");
    ASSERT_GE(k, 0);
    ASSERT_TRUE(theAdapter.OpenAdapter(theAdapter.usableIndex[k]));

    PeerCapture peer;
    ASSERT_TRUE(peer.Start("vethB0", 400));
    const Frame out = MakeFrame(kBroadcast, mac0, 0xAAAA, 100, 0x31);
    EXPECT_TRUE(theAdapter.TransmitFrame(out.data(), out.size()));
    const std::vector<Frame> seen = OursOnly(peer.Collect());
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], out);

    uint8_t peerMac[6];
    ASSERT_TRUE(ReadMac("vethA0", peerMac));  // any station but ours will do as the far end's address
    peerMac[5] ^= 0x40;
    uint8_t group[6] = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
    const Frame good = MakeFrame(mac0, peerMac, 0xAAAA, 80, 1);
    const Frame largest = MakeFrame(kBroadcast, peerMac, 0xAAAA, 1514, 2);
    const Frame fromGroup = MakeFrame(mac0, group, 0xAAAA, 80, 3);
    const Frame otherType = MakeFrame(mac0, peerMac, 0x0800, 80, 4);
    ASSERT_TRUE(InjectFromPeer("vethB0", {fromGroup, good, otherType, largest}));
    ReceiveUntilQuiet(300);
    EXPECT_EQ(received, (std::vector<Frame>{good, largest}));
}

TEST_F(HelperTest, RefusesFramesItMustNotSend) {
    LinkDriver* link = UseHelper();
    ASSERT_TRUE(theAdapter.ProbeAdapters());
    ASSERT_TRUE(theAdapter.OpenAdapter(theAdapter.usableIndex[PositionOf("vethA0")]));
    uint8_t foreign[6];
    std::memcpy(foreign, mac0, 6);
    foreign[5] ^= 0x01;
    const struct {
        const char* what;
        Frame frame;
    } refused[] = {
        {"IPv4 EtherType", MakeFrame(kBroadcast, mac0, 0x0800, 60, 1)},
        {"ARP EtherType", MakeFrame(kBroadcast, mac0, 0x0806, 60, 2)},
        {"foreign source", MakeFrame(kBroadcast, foreign, 0xAAAA, 60, 3)},
        {"the other link's source", MakeFrame(kBroadcast, mac1, 0xAAAA, 60, 4)},
    };
    PeerCapture peer;
    ASSERT_TRUE(peer.Start("vethB0", 500));
    for (const auto& r : refused) {
        std::vector<uint8_t> request = {link::SEND, 0};
        request.insert(request.end(), r.frame.begin(), r.frame.end());
        ASSERT_TRUE(link->SendRaw(request.data(), request.size())) << r.what;
    }
    // Outside the message table altogether: answered as malformed, sent nowhere.
    const Frame tooLong = MakeFrame(kBroadcast, mac0, 0xAAAA, 1515, 5);
    std::vector<uint8_t> oversized = {link::SEND, 0};
    oversized.insert(oversized.end(), tooLong.begin(), tooLong.end());
    ASSERT_TRUE(link->SendRaw(oversized.data(), oversized.size()));
    // On a channel that was never opened.
    const Frame unopened = MakeFrame(kBroadcast, mac1, 0xAAAA, 60, 6);
    std::vector<uint8_t> onSlot9 = {link::SEND, 9};
    onSlot9.insert(onSlot9.end(), unopened.begin(), unopened.end());
    ASSERT_TRUE(link->SendRaw(onSlot9.data(), onSlot9.size()));
    // And one it must send, so that the capture is known to work.
    const Frame allowed = MakeFrame(kBroadcast, mac0, 0xAAAA, 60, 7);
    ASSERT_TRUE(theAdapter.TransmitFrame(allowed.data(), allowed.size()));

    const std::vector<Frame> seen = peer.Collect();
    for (const auto& r : refused)
        EXPECT_EQ(std::count(seen.begin(), seen.end(), r.frame), 0) << r.what << " reached the peer";
    EXPECT_EQ(std::count(seen.begin(), seen.end(), tooLong), 0);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), unopened), 0);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), allowed), 1);

    uint32_t dropped = 0, refusedCount = 0, malformed = 0;
    ASSERT_TRUE(link->Status(dropped, refusedCount, malformed));
    EXPECT_EQ(refusedCount, std::size(refused) + 1);
    EXPECT_EQ(malformed, 1u);
}

TEST_F(HelperTest, QueueTowardALaggingClientDropsTheOldestAndCountsThem) {
    LinkDriver* link = UseHelper();
    ASSERT_TRUE(theAdapter.ProbeAdapters());
    ASSERT_TRUE(theAdapter.OpenAdapter(theAdapter.usableIndex[PositionOf("vethA0")]));
    uint8_t peerMac[6];
    std::memcpy(peerMac, mac0, 6);
    peerMac[5] ^= 0x40;
    // Far more frames than the helper keeps, while the client reads nothing.
    constexpr int kFlood = 6000;
    std::vector<Frame> flood;
    for (int i = 0; i < kFlood; ++i) {
        Frame f = MakeFrame(mac0, peerMac, 0xAAAA, 64, 0);
        f[14] = static_cast<uint8_t>(i >> 8);
        f[15] = static_cast<uint8_t>(i);
        flood.push_back(f);
    }
    ASSERT_TRUE(InjectFromPeer("vethB0", flood, 200, 10));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    ReceiveUntilQuiet(300);
    uint32_t dropped = 0, refused = 0, malformed = 0;
    ASSERT_TRUE(link->Status(dropped, refused, malformed));
    ASSERT_FALSE(received.empty());
    EXPECT_GT(dropped, 0u) << received.size() << " frames received";
    EXPECT_LE(received.size() + dropped, static_cast<size_t>(kFlood));
    // What is left comes in order, and it is the newest: the last frame is there.
    int previous = -1;
    for (const Frame& f : received) {
        const int number = (f[14] << 8) | f[15];
        EXPECT_GT(number, previous);
        previous = number;
    }
    EXPECT_EQ(previous, kFlood - 1);
}

TEST_F(HelperTest, ExitsWhenItsClientGoesAway) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t client = fork();
    if (client == 0) {
        // Leaves without closing anything: the helper sees its socket end.
        auto* link = new LinkDriver(APUTIL_LINK_HELPER);
        uint32_t a, b, c;
        const pid_t helper = link->Status(a, b, c) ? link->HelperPid() : -1;
        if (write(fds[1], &helper, sizeof helper) != sizeof helper) _exit(3);
        _exit(0);
    }
    close(fds[1]);
    pid_t helper = -1;
    ASSERT_EQ(read(fds[0], &helper, sizeof helper), static_cast<ssize_t>(sizeof helper));
    close(fds[0]);
    waitpid(client, nullptr, 0);
    ASSERT_GT(helper, 0);
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(3);
    bool gone = false;
    while (!gone && Clock::now() < deadline) {
        const std::string state = StatusField(helper, "State");
        gone = state.empty() || state[0] == 'Z' || state[0] == 'X';
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(gone) << "helper " << helper << " still " << StatusField(helper, "State");
}

// Several captures at once, through the helper and in process alike.
class ChannelsTest : public HelperTest, public ::testing::WithParamInterface<bool> {
protected:
    void UseDriver() {
        if (GetParam()) UseHelper();
        else theAdapter.SetDriver(MakePcapDriver());
    }
};

TEST_P(ChannelsTest, EveryAdapterSendsAndReceivesAsItself) {
    UseDriver();
    ASSERT_TRUE(theAdapter.ProbeAdapters());
    ASSERT_EQ(theAdapter.usableCount, 2);
    ASSERT_EQ(theAdapter.OpenBrowseChannels(), 2);
    EXPECT_TRUE(theAdapter.IsAdapterOpen());
    EXPECT_EQ(theAdapter.channelPosition[0], 0);
    EXPECT_EQ(theAdapter.channelPosition[1], 1);

    PeerCapture peer0, peer1;
    ASSERT_TRUE(peer0.Start("vethB0", 400));
    ASSERT_TRUE(peer1.Start("vethB1", 400));
    // Written with the first adapter's address; each link sends its own.
    const Frame out = MakeFrame(kBroadcast, mac0, 0xAAAA, 90, 9);
    EXPECT_TRUE(theAdapter.TransmitFrame(out.data(), out.size()));
    Frame viaSecond = out;
    std::memcpy(viaSecond.data() + 6, mac1, 6);
    EXPECT_EQ(OursOnly(peer0.Collect()), (std::vector<Frame>{out}));
    EXPECT_EQ(OursOnly(peer1.Collect()), (std::vector<Frame>{viaSecond}));

    uint8_t far[6] = {0x02, 0x42, 0, 0, 0, 7};
    const Frame toSecond = MakeFrame(mac1, far, 0xAAAA, 70, 1);
    const Frame toFirst = MakeFrame(kBroadcast, far, 0xAAAA, 70, 2);
    ASSERT_TRUE(InjectFromPeer("vethB1", {toSecond}));
    ASSERT_TRUE(InjectFromPeer("vethB0", {toFirst}));
    ReceiveUntilQuiet(300);
    ASSERT_EQ(received.size(), 2u);
    for (size_t i = 0; i < received.size(); ++i) {
        const int channel = received[i] == toSecond ? 1 : 0;
        EXPECT_EQ(receivedChannel[i], channel);
        EXPECT_EQ(receivedOwnAddress[i], std::vector<uint8_t>(channel ? mac1 : mac0, (channel ? mac1 : mac0) + 6));
    }
    EXPECT_EQ(theAdapter.deliveringChannel, -1);

    theAdapter.CloseAdapter();
    EXPECT_EQ(theAdapter.channelCount, 0);
    EXPECT_FALSE(theAdapter.IsAdapterOpen());
    // A single adapter opens again as before.
    EXPECT_TRUE(theAdapter.OpenAdapter(theAdapter.usableIndex[1]));
    theAdapter.CloseAdapter();
}

TEST_P(ChannelsTest, AnAdapterThatIsDownIsLeftOut) {
    UseDriver();
    ASSERT_TRUE(theAdapter.ProbeAdapters());
    ASSERT_EQ(theAdapter.usableCount, 2);
    ASSERT_EQ(std::system("ip link set vethA0 down"), 0);
    const int opened = theAdapter.OpenBrowseChannels();
    const int second = theAdapter.channelPosition[0];
    theAdapter.CloseAdapter();
    ASSERT_EQ(std::system("ip link set vethA0 up"), 0);
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(second, 1);
}

TEST_P(ChannelsTest, OpensSideBySideAndAnUnknownNameSpoilsNoOther) {
    UseDriver();
    ASSERT_TRUE(theAdapter.ProbeAdapters());  // the helper knows the adapters from its list
    PacketDriver& driver = theAdapter.Driver();
    const int channels[3] = {0, 5, 2};
    const std::string names[3] = {"vethA0", "nosuchlink9", "vethA1"};
    bool opened[3] = {false, true, false};
    OpenError errors[3] = {OpenError::Other, OpenError::None, OpenError::Other};
    driver.OpenChannels(3, channels, names, opened, errors);
    EXPECT_TRUE(opened[0]);
    EXPECT_FALSE(opened[1]);
    EXPECT_TRUE(opened[2]);
    EXPECT_EQ(errors[0], OpenError::None);
    EXPECT_EQ(errors[1], OpenError::NoSuchDevice);
    EXPECT_EQ(errors[2], OpenError::None);

    // Each capture is on the channel it was asked for.
    PeerCapture peer0, peer1;
    ASSERT_TRUE(peer0.Start("vethB0", 400));
    ASSERT_TRUE(peer1.Start("vethB1", 400));
    const Frame viaFirst = MakeFrame(kBroadcast, mac0, 0xAAAA, 60, 1);
    const Frame viaSecond = MakeFrame(kBroadcast, mac1, 0xAAAA, 60, 2);
    EXPECT_TRUE(driver.SendOn(0, viaFirst.data(), viaFirst.size()));
    EXPECT_TRUE(driver.SendOn(2, viaSecond.data(), viaSecond.size()));
    EXPECT_FALSE(driver.SendOn(5, viaSecond.data(), viaSecond.size()));
    EXPECT_EQ(OursOnly(peer0.Collect()), (std::vector<Frame>{viaFirst}));
    EXPECT_EQ(OursOnly(peer1.Collect()), (std::vector<Frame>{viaSecond}));
    driver.CloseChannel(0);
    driver.CloseChannel(2);
}

INSTANTIATE_TEST_SUITE_P(Drivers, ChannelsTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& param) {
                             return param.param ? "ThroughHelper" : "InProcess";
                         });

}  // namespace
}  // namespace aputil
