// CAdapter over the scripted driver: enumeration, probing, the open rules,
// delivery and transmission, without privileges or a wire.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/fake_driver.h"
#include "transport/adapter.h"

namespace aputil {
namespace {

using Frame = FakeDriver::Frame;
using Mac = std::array<uint8_t, 6>;

FakeInterface Ethernet(const std::string& name, Mac mac) {
    FakeInterface entry;
    entry.name = name;
    entry.mac = mac;
    return entry;
}

size_t CountOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

class AdapterTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto fake = std::make_unique<FakeDriver>();
        driver = fake.get();
        adapter.SetDriver(std::move(fake));
    }

    CAdapter adapter;
    FakeDriver* driver = nullptr;
};

// --- enumeration ---

struct EnumerationCase {
    int present;
    int listed;
    size_t traceLines;
};

class EnumerationTest : public AdapterTest, public ::testing::WithParamInterface<EnumerationCase> {};

TEST_P(EnumerationTest, KeepsAtMostOneHundredNamesInOrderAndTracesEachExtraOne) {
    const EnumerationCase& c = GetParam();
    for (int i = 0; i < c.present; ++i) driver->interfaces.push_back(Ethernet("if" + std::to_string(i), {}));

    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(adapter.EnumerateAdapters());
    const std::string out = ::testing::internal::GetCapturedStdout();

    ASSERT_EQ(adapter.adapterCount, c.listed);
    for (int i = 0; i < c.listed; ++i) EXPECT_EQ(adapter.adapterName[i], "if" + std::to_string(i)) << i;
    EXPECT_EQ(CountOf(out, "over range 100 !! "), c.traceLines);
    EXPECT_EQ(out.size(), c.traceLines * std::string("over range 100 !! ").size()) << out;
    EXPECT_FALSE(adapter.classKeyPath.empty());
}

INSTANTIATE_TEST_SUITE_P(Counts, EnumerationTest,
                         ::testing::Values(EnumerationCase{0, 0, 0}, EnumerationCase{3, 3, 0},
                                           EnumerationCase{100, 100, 0}, EnumerationCase{101, 100, 1},
                                           EnumerationCase{103, 100, 3}));

TEST_F(AdapterTest, EnumerationOfAShorterListForgetsTheOldNames) {
    driver->interfaces = {Ethernet("a", {}), Ethernet("b", {}), Ethernet("c", {})};
    adapter.EnumerateAdapters();
    driver->interfaces.pop_back();
    adapter.EnumerateAdapters();
    EXPECT_EQ(adapter.adapterCount, 2);
    EXPECT_TRUE(adapter.adapterName[2].empty());

    driver->listOk = false;
    adapter.EnumerateAdapters();
    EXPECT_EQ(adapter.adapterCount, 0);
}

// --- probing ---

TEST_F(AdapterTest, ProbingListsEveryAdapterButKeepsOnlyUsableOnesInEnumerationOrder) {
    FakeInterface loopback = Ethernet("lo", {});
    loopback.arpType = kArpHrdLoopback;
    FakeInterface refused = Ethernet("refused", {0x02, 0, 0, 0, 0, 0x10});
    refused.openError = OpenError::Other;
    FakeInterface noAddress = Ethernet("noaddr", {0x02, 0, 0, 0, 0, 0x11});
    noAddress.macReadable = false;
    FakeInterface any = Ethernet("any", {});
    any.linkTypeReadable = false;
    const Mac a = {0x02, 0xAA, 0, 0, 0, 1}, b = {0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}, c = {0x02, 0xCC, 0, 0, 0, 3};
    driver->interfaces = {loopback,
                          Ethernet("eth0", a),
                          refused,
                          Ethernet("ppp0", {0x44, 0x45, 0x53, 0x54, 0x00, 0x01}),
                          Ethernet("eth1", b),
                          noAddress,
                          any,
                          Ethernet("eth2", c)};

    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(adapter.ProbeAdapters());
    ::testing::internal::GetCapturedStdout();

    ASSERT_EQ(adapter.adapterCount, 8);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(adapter.adapterName[i], driver->interfaces[static_cast<size_t>(i)].name);
    ASSERT_EQ(adapter.usableCount, 3);
    const int positions[] = {1, 4, 7};
    const Mac* addresses[] = {&a, &b, &c};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(adapter.usableIndex[i], positions[i]);
        EXPECT_EQ(adapter.usableName[i], adapter.adapterName[positions[i]]);
        EXPECT_EQ(0, std::memcmp(adapter.usableAddress[i], addresses[i]->data(), 6)) << i;
    }
    // Every adapter was tried once, in order, and nothing is left open after a usable last one.
    std::vector<std::string> names;
    for (const FakeInterface& entry : driver->interfaces) names.push_back(entry.name);
    EXPECT_EQ(driver->opened, names);
    EXPECT_FALSE(adapter.IsAdapterOpen());
    EXPECT_TRUE(driver->openName.empty());
}

TEST_F(AdapterTest, ProbingWithoutAUsableAdapterReportsFalseAndAnEmptyList) {
    FakeInterface loopback = Ethernet("lo", {});
    loopback.arpType = kArpHrdLoopback;
    driver->interfaces = {loopback};
    adapter.usableCount = 5;  // from an earlier probe: must not survive

    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(adapter.ProbeAdapters());
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(adapter.adapterCount, 1);
    EXPECT_EQ(adapter.usableCount, 0);
}

// --- the open rules ---

struct OpenCase {
    const char* name;
    void (*spoil)(FakeInterface&, FakeDriver&);
    bool opens;
    bool leftOpen;  // the capture stays open after the failed check, to be closed by the next open
};

class OpenRulesTest : public AdapterTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(OpenRulesTest, OpenSucceedsOnlyForAReadyEthernetAdapter) {
    const OpenCase& c = GetParam();
    const Mac mac = {0x02, 0x12, 0x34, 0x56, 0x78, 0x9A};
    driver->interfaces = {Ethernet("eth0", mac), Ethernet("eth1", {0x02, 0, 0, 0, 0, 2})};
    c.spoil(driver->interfaces[0], *driver);

    ::testing::internal::CaptureStdout();
    adapter.EnumerateAdapters();
    const bool opened = adapter.OpenAdapter(0);
    const std::string out = ::testing::internal::GetCapturedStdout();

    EXPECT_EQ(opened, c.opens);
    EXPECT_EQ(out, "Adapter Names : eth0\n");
    EXPECT_EQ(adapter.IsAdapterOpen(), c.leftOpen);
    EXPECT_EQ(adapter.handle == -1, !c.leftOpen);
    EXPECT_EQ(driver->openName.empty(), !c.leftOpen);
    if (c.opens) {
        EXPECT_EQ(0, std::memcmp(adapter.currentAddress, mac.data(), 6));
        EXPECT_EQ(driver->filter.size(), kFilterProgramLength);
    }

    // Whatever the outcome, the next open starts from a closed capture.
    driver->filterOk = true;
    const int closesBefore = driver->closeCount;
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(adapter.OpenAdapter(1));
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(driver->closeCount - closesBefore, c.leftOpen ? 1 : 0);
    EXPECT_EQ(driver->openName, "eth1");
}

INSTANTIATE_TEST_SUITE_P(
    Rules, OpenRulesTest,
    ::testing::Values(
        OpenCase{"Ready", [](FakeInterface&, FakeDriver&) {}, true, true},
        OpenCase{"CaptureRefused", [](FakeInterface& i, FakeDriver&) { i.openError = OpenError::Other; }, false, false},
        OpenCase{"NoSuchDevice", [](FakeInterface& i, FakeDriver&) { i.openError = OpenError::NoSuchDevice; }, false,
                 false},
        OpenCase{"NoPrivilege", [](FakeInterface& i, FakeDriver&) { i.openError = OpenError::NoPrivilege; }, false,
                 false},
        OpenCase{"NotEthernet", [](FakeInterface& i, FakeDriver&) { i.arpType = kArpHrdLoopback; }, false, true},
        OpenCase{"LinkTypeUnreadable", [](FakeInterface& i, FakeDriver&) { i.linkTypeReadable = false; }, false, true},
        OpenCase{"DialUpAddress", [](FakeInterface& i, FakeDriver&) { i.mac = {0x44, 0x45, 0x53, 0x54, 0x12, 0x34}; },
                 false, true},
        OpenCase{"AddressUnreadable", [](FakeInterface& i, FakeDriver&) { i.macReadable = false; }, false, false},
        OpenCase{"FilterRefused", [](FakeInterface&, FakeDriver& d) { d.filterOk = false; }, false, false}),
    [](const ::testing::TestParamInfo<OpenCase>& param) { return std::string(param.param.name); });

TEST_F(AdapterTest, AddressThatOnlyStartsLikeDialUpIsAccepted) {
    // Only all four bytes of "DEST" mark a dial-up adapter.
    driver->interfaces = {Ethernet("eth0", {0x44, 0x45, 0x53, 0x55, 0, 1})};
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(adapter.OpenAdapter(0));
    ::testing::internal::GetCapturedStdout();
}

TEST_F(AdapterTest, PositionKeepsNamingTheProbedAdapterWhenTheListChanges) {
    driver->interfaces = {Ethernet("eth0", {2, 0, 0, 0, 0, 1}), Ethernet("eth1", {2, 0, 0, 0, 0, 2}),
                          Ethernet("eth2", {2, 0, 0, 0, 0, 3})};
    ::testing::internal::CaptureStdout();
    adapter.EnumerateAdapters();
    driver->interfaces.erase(driver->interfaces.begin() + 1);  // eth1 goes away; eth2 now stands at 1

    EXPECT_TRUE(adapter.OpenAdapter(2));
    EXPECT_EQ(driver->openName, "eth2");
    EXPECT_FALSE(adapter.OpenAdapter(1));  // eth1, gone: not whichever adapter took its place
    EXPECT_EQ(driver->opened.back(), "eth1");
    ::testing::internal::GetCapturedStdout();
}

TEST_F(AdapterTest, PositionsOutsideTheListOpenNothing) {
    driver->interfaces = {Ethernet("eth0", {2, 0, 0, 0, 0, 1})};
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(adapter.OpenAdapter(0));  // without an enumeration the live list names the position
    for (int position : {-1, 1, kMaxAdapters, 1000}) {
        EXPECT_FALSE(adapter.OpenAdapter(position)) << position;
        EXPECT_FALSE(adapter.IsAdapterOpen()) << position;
    }
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(driver->opened, std::vector<std::string>{"eth0"});
}

struct PrivilegeCase {
    OpenError error;
    size_t lines;
};

class PrivilegeMessageTest : public AdapterTest, public ::testing::WithParamInterface<PrivilegeCase> {};

TEST_P(PrivilegeMessageTest, MissingPrivilegeIsNamedOnceWithItsFix) {
    for (const char* name : {"eth0", "eth1", "eth2"}) {
        FakeInterface entry = Ethernet(name, {2, 0, 0, 0, 0, 1});
        entry.openError = GetParam().error;
        driver->interfaces.push_back(entry);
    }
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(adapter.ProbeAdapters());
    const std::string err = ::testing::internal::GetCapturedStderr();
    ::testing::internal::GetCapturedStdout();

    EXPECT_EQ(CountOf(err, "\n"), GetParam().lines) << err;
    if (GetParam().lines != 0) {
        EXPECT_NE(err.find("eth0"), std::string::npos) << err;
        EXPECT_NE(err.find("CAP_NET_RAW"), std::string::npos) << err;
        EXPECT_NE(err.find("setcap cap_net_raw+ep "), std::string::npos) << err;
    }
}

INSTANTIATE_TEST_SUITE_P(Errors, PrivilegeMessageTest,
                         ::testing::Values(PrivilegeCase{OpenError::NoPrivilege, 1},
                                           PrivilegeCase{OpenError::NoSuchDevice, 0},
                                           PrivilegeCase{OpenError::Other, 0}));

// --- delivery and transmission on an open adapter ---

std::vector<Frame> received;

void RecordFrame(const uint8_t* frame, size_t length) { received.emplace_back(frame, frame + length); }

class ChannelTest : public AdapterTest {
protected:
    void SetUp() override {
        AdapterTest::SetUp();
        received.clear();
        driver->interfaces = {Ethernet("eth0", {0x02, 0, 0, 0, 0, 1})};
        ::testing::internal::CaptureStdout();
        ASSERT_TRUE(adapter.OpenAdapter(0));
        ::testing::internal::GetCapturedStdout();
    }

    static Frame Numbered(uint8_t n) { return Frame{0x02, 0, 0, 0, 0, 1, 0x02, 0, 0, 0, 0, 9, 0xAA, 0xAA, n}; }
};

TEST_F(ChannelTest, FramesWaitWhileDeliveryIsOffAndArriveInOrderOnceItIsOn) {
    driver->incoming = {Numbered(1), Numbered(2)};
    EXPECT_FALSE(adapter.WaitForFrames(0));  // never started
    adapter.StartReceive(&RecordFrame);
    adapter.StopReceive();
    EXPECT_FALSE(adapter.WaitForFrames(40));
    EXPECT_EQ(driver->pausedMs, 40);  // the time passed without a read
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(driver->incoming.size(), 2u);

    adapter.StartReceive(&RecordFrame);
    driver->incoming.push_back(Numbered(3));
    EXPECT_TRUE(adapter.WaitForFrames(0));
    EXPECT_EQ(received, (std::vector<Frame>{Numbered(1), Numbered(2), Numbered(3)}));
    EXPECT_FALSE(adapter.WaitForFrames(0));  // nothing more waiting
    EXPECT_EQ(received.size(), 3u);
}

TEST_F(ChannelTest, WaitingOnAClosedAdapterDeliversNothing) {
    adapter.StartReceive(&RecordFrame);
    adapter.CloseAdapter();
    driver->incoming = {Numbered(1)};
    const size_t polls = driver->pollArguments.size();
    EXPECT_FALSE(adapter.WaitForFrames(25));
    EXPECT_EQ(driver->pollArguments.size(), polls);
    EXPECT_EQ(driver->pausedMs, 25);
    EXPECT_TRUE(received.empty());
}

TEST_F(ChannelTest, TransmitSendsTheFrameAsGivenAndReportsTheDriversResult) {
    const Frame shortFrame = {0x02, 0, 0, 0, 0,    9,    0x02, 0,
                              0,    0, 0, 1, 0xAA, 0xAA, 0xF5, 0x58};  // 16 bytes: no padding
    EXPECT_TRUE(adapter.TransmitFrame(shortFrame.data(), shortFrame.size()));
    ASSERT_EQ(driver->sent.size(), 1u);
    EXPECT_EQ(driver->sent[0], shortFrame);

    driver->sendOk = false;
    EXPECT_FALSE(adapter.TransmitFrame(shortFrame.data(), shortFrame.size()));

    adapter.CloseAdapter();
    driver->sendOk = true;
    EXPECT_FALSE(adapter.TransmitFrame(shortFrame.data(), shortFrame.size()));
    EXPECT_EQ(driver->sent.size(), 2u);
}

// --- browse channels ---

// A driver of several captures whose opens fail for scripted names a set number of times.
class ChannelDriver final : public PacketDriver {
public:
    std::vector<std::string> names;
    std::vector<int> failuresLeft;                                // per name: opens still to fail
    std::vector<std::string> open = std::vector<std::string>(8);  // per channel, empty when closed

    bool ListInterfaces(std::string* out, int capacity, int& count) override {
        count = static_cast<int>(names.size());
        for (int i = 0; i < count && i < capacity; ++i) out[i] = names[static_cast<size_t>(i)];
        return true;
    }
    bool LinkType(const std::string&, int& arpType) override {
        arpType = kArpHrdEther;
        return true;
    }
    bool HardwareAddress(const std::string& name, uint8_t* mac) override {
        const int k = IndexOf(name);
        if (k < 0) return false;
        const uint8_t address[6] = {0x02, 0, 0, 0, 0, static_cast<uint8_t>(0x10 + k)};
        std::memcpy(mac, address, 6);
        return true;
    }
    bool Open(const std::string& name, OpenError& error) override { return OpenChannel(0, name, error); }
    void Close() override { CloseChannel(0); }
    bool SetFilter(const sock_filter* program, size_t n) override { return SetChannelFilter(0, program, n); }
    bool Poll(int) override { return false; }
    int Drain(void (*)(void*, const uint8_t*, size_t), void*) override { return 0; }
    bool Send(const uint8_t*, size_t) override { return false; }

    int MaxChannels() const override { return 8; }
    bool OpenChannel(int channel, const std::string& name, OpenError& error) override {
        const int k = IndexOf(name);
        if (channel < 0 || channel >= 8 || k < 0) return false;
        open[static_cast<size_t>(channel)].clear();
        int& left = failuresLeft[static_cast<size_t>(k)];
        if (left > 0) {
            --left;
            error = OpenError::Other;
            return false;
        }
        open[static_cast<size_t>(channel)] = name;
        return true;
    }
    void CloseChannel(int channel) override {
        if (channel >= 0 && channel < 8) open[static_cast<size_t>(channel)].clear();
    }
    bool SetChannelFilter(int channel, const sock_filter*, size_t) override {
        return channel >= 0 && channel < 8 && !open[static_cast<size_t>(channel)].empty();
    }

private:
    int IndexOf(const std::string& name) const {
        for (size_t i = 0; i < names.size(); ++i)
            if (names[i] == name) return static_cast<int>(i);
        return -1;
    }
};

TEST(BrowseChannelsTest, AFailedOpenLeavesNoGapAndKeepsTheListOrder) {
    const struct {
        const char* what;
        int failures;                // of eth1's opens
        std::vector<int> positions;  // usable-list positions of the channels, in channel order
    } cases[] = {
        {"every open succeeds", 0, {0, 1, 2, 3}},
        {"the second try succeeds", 1, {0, 1, 2, 3}},
        {"both tries fail: the later adapters move down", 2, {0, 2, 3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CAdapter adapter;
        auto owned = std::make_unique<ChannelDriver>();
        ChannelDriver* driver = owned.get();
        driver->names = {"eth0", "eth1", "eth2", "eth3"};
        driver->failuresLeft = {0, 0, 0, 0};
        adapter.SetDriver(std::move(owned));
        ASSERT_TRUE(adapter.ProbeAdapters());
        ASSERT_EQ(adapter.usableCount, 4);
        driver->failuresLeft[1] = c.failures;

        const int count = adapter.OpenBrowseChannels();
        ASSERT_EQ(count, static_cast<int>(c.positions.size()));
        for (int ch = 0; ch < count; ++ch) {
            const int k = c.positions[static_cast<size_t>(ch)];
            EXPECT_EQ(adapter.channelPosition[ch], k);
            EXPECT_EQ(driver->open[static_cast<size_t>(ch)], adapter.usableName[k]);
            EXPECT_EQ(std::memcmp(adapter.channelAddress[ch], adapter.usableAddress[k], 6), 0);
        }
        // Nothing stays open past the last channel, where a moved capture was.
        for (size_t ch = static_cast<size_t>(count); ch < driver->open.size(); ++ch)
            EXPECT_EQ(driver->open[ch], "") << "channel " << ch;
        adapter.CloseAdapter();
        for (const std::string& name : driver->open) EXPECT_EQ(name, "");
    }
}

}  // namespace
}  // namespace aputil
