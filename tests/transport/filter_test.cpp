// The receive filter, run by libpcap's own BPF interpreter over frames of
// every kind that can reach an interface.

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <pcap/pcap.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/fake_driver.h"
#include "transport/adapter.h"

namespace aputil {
namespace {

using Frame = std::vector<uint8_t>;

constexpr uint8_t kOwn[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};

Frame MakeFrame(std::initializer_list<uint8_t> destination, uint16_t etherType, size_t payload = 32) {
    Frame frame(destination);
    const uint8_t source[6] = {0x00, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E};
    frame.insert(frame.end(), source, source + 6);
    frame.push_back(static_cast<uint8_t>(etherType >> 8));
    frame.push_back(static_cast<uint8_t>(etherType));
    for (size_t i = 0; i < payload; ++i) frame.push_back(static_cast<uint8_t>(i));
    return frame;
}

std::vector<bpf_insn> ToBpf(const std::vector<sock_filter>& program) {
    std::vector<bpf_insn> code;
    for (const sock_filter& insn : program) code.push_back(bpf_insn{insn.code, insn.jt, insn.jf, insn.k});
    return code;
}

bool Passes(const std::vector<sock_filter>& program, const Frame& frame) {
    const std::vector<bpf_insn> code = ToBpf(program);
    const u_int length = static_cast<u_int>(frame.size());
    return bpf_filter(code.data(), frame.data(), length, length) != 0;
}

std::vector<sock_filter> ProgramFor(const uint8_t* mac) {
    std::vector<sock_filter> program(kFilterProgramLength);
    EXPECT_EQ(BuildFilterProgram(mac, program.data()), kFilterProgramLength);
    return program;
}

struct FilterCase {
    const char* name;
    Frame frame;
    bool passes;
};

class FilterProgramTest : public ::testing::TestWithParam<FilterCase> {};

TEST_P(FilterProgramTest, PassesOnlyDirectedAndBroadcastFramesOfOurEtherType) {
    const std::vector<sock_filter> program = ProgramFor(kOwn);
    ASSERT_TRUE(bpf_validate(ToBpf(program).data(), static_cast<int>(program.size())));
    EXPECT_EQ(Passes(program, GetParam().frame), GetParam().passes);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, FilterProgramTest,
    ::testing::Values(
        FilterCase{"Directed", MakeFrame({0x02, 0x11, 0x22, 0x33, 0x44, 0x55}, 0xAAAA), true},
        FilterCase{"Broadcast", MakeFrame({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0xAAAA), true},
        FilterCase{"DirectedHeaderOnly", MakeFrame({0x02, 0x11, 0x22, 0x33, 0x44, 0x55}, 0xAAAA, 0), true},
        FilterCase{"Multicast", MakeFrame({0x01, 0x00, 0x5E, 0x00, 0x00, 0x01}, 0xAAAA), false},
        FilterCase{"MulticastOwnTail", MakeFrame({0x03, 0x11, 0x22, 0x33, 0x44, 0x55}, 0xAAAA), false},
        FilterCase{"AlmostBroadcastHead", MakeFrame({0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF}, 0xAAAA), false},
        FilterCase{"AlmostBroadcastTail", MakeFrame({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}, 0xAAAA), false},
        FilterCase{"BroadcastHeadOwnTail", MakeFrame({0xFF, 0xFF, 0xFF, 0xFF, 0x44, 0x55}, 0xAAAA), false},
        FilterCase{"OwnHeadBroadcastTail", MakeFrame({0x02, 0x11, 0x22, 0x33, 0xFF, 0xFF}, 0xAAAA), false},
        FilterCase{"OtherStationFirstByte", MakeFrame({0x06, 0x11, 0x22, 0x33, 0x44, 0x55}, 0xAAAA), false},
        FilterCase{"OtherStationFifthByte", MakeFrame({0x02, 0x11, 0x22, 0x33, 0x45, 0x55}, 0xAAAA), false},
        FilterCase{"OtherStationLastByte", MakeFrame({0x02, 0x11, 0x22, 0x33, 0x44, 0x56}, 0xAAAA), false},
        FilterCase{"DirectedIPv4", MakeFrame({0x02, 0x11, 0x22, 0x33, 0x44, 0x55}, 0x0800), false},
        FilterCase{"BroadcastArp", MakeFrame({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0x0806), false},
        FilterCase{"NeighbourEtherType", MakeFrame({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0xAAAB), false},
        FilterCase{"ByteSwappedEtherType", MakeFrame({0x02, 0x11, 0x22, 0x33, 0x44, 0x55}, 0xAAAA ^ 0x0100), false},
        FilterCase{"CutBeforeEtherType", Frame{0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 0, 0, 0, 0, 0, 0, 0xAA}, false}),
    [](const ::testing::TestParamInfo<FilterCase>& param) { return std::string(param.param.name); });

TEST(FilterProgramTest, OpenInstallsTheProgramForTheAdaptersOwnAddress) {
    // Two adapters with different addresses: each open must filter for its own.
    const uint8_t other[6] = {0x02, 0x99, 0x88, 0x77, 0x66, 0x55};
    auto fake = std::make_unique<FakeDriver>();
    FakeDriver* driver = fake.get();
    FakeInterface first, second;
    first.name = "eth0";
    std::copy(kOwn, kOwn + 6, first.mac.begin());
    second.name = "eth1";
    std::copy(other, other + 6, second.mac.begin());
    driver->interfaces = {first, second};
    CAdapter adapter;
    adapter.SetDriver(std::move(fake));

    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(adapter.OpenAdapter(0));
    const std::vector<sock_filter> firstProgram = driver->filter;
    ASSERT_TRUE(adapter.OpenAdapter(1));
    ::testing::internal::GetCapturedStdout();

    const Frame toFirst = MakeFrame({0x02, 0x11, 0x22, 0x33, 0x44, 0x55}, 0xAAAA);
    const Frame toSecond = MakeFrame({0x02, 0x99, 0x88, 0x77, 0x66, 0x55}, 0xAAAA);
    EXPECT_TRUE(Passes(firstProgram, toFirst));
    EXPECT_FALSE(Passes(firstProgram, toSecond));
    EXPECT_TRUE(Passes(driver->filter, toSecond));
    EXPECT_FALSE(Passes(driver->filter, toFirst));
}

}  // namespace
}  // namespace aputil
