// How fast a received frame is checked: every frame the adapter delivers goes
// through VerifyFrame, and a browse brings one reply per access point.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "protocol/bytes.h"
#include "protocol/frame.h"

namespace {

using namespace aputil;

constexpr size_t kBrowseReplySize = 600;

// A browse reply as an access point sends it: the four attributes the utility
// reads, more attributes of the device's own, the terminator; filled up to
// exactly 600 payload bytes.
std::vector<uint8_t> MakeBrowseReply() {
    std::vector<uint8_t> payload(kBrowseReplySize);
    ByteWriter w(payload.data(), payload.size());
    w.u16be(kFrameMagic);
    w.u8(kFrameVersion);
    w.u16be(static_cast<uint16_t>(kBrowseReplySize - 7));
    w.u16be(0x1234);  // sequence
    w.u16be(MSG_BROWSE_REPLY);
    const auto text = [&w](uint16_t id, std::string_view value) {
        w.u16be(id);
        w.u8(static_cast<uint8_t>(value.size()));
        w.bytes(reinterpret_cast<const uint8_t*>(value.data()), value.size());
    };
    text(ATTR_VENDOR, "M-Rax");
    text(ATTR_PRODUCT, "Lumivance/QR-4710 Access Point");
    text(ATTR_MODEL, "QR-4710A Smart AP");
    text(ATTR_AP_NAME, "Second floor, east wing");
    text(16, std::string(255, 'd'));
    // The last attribute takes what is left before the terminator and the checksum.
    const size_t filler = kBrowseReplySize - w.position() - 3 - 2 - 2;
    text(17, std::string(filler, 'f'));
    w.u16be(ATTR_END);
    w.u16be(Crc16(payload.data() + 5, kBrowseReplySize - 7));
    if (!w.ok() || w.position() != kBrowseReplySize) payload.clear();
    return payload;
}

void BM_VerifyFrameBrowseReply(benchmark::State& state) {
    const std::vector<uint8_t> payload = MakeBrowseReply();
    FrameHeader header;
    if (payload.empty() || !VerifyFrame(payload, header)) {
        state.SkipWithError("the browse reply did not build or verify");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(payload.data());
        const bool ok = VerifyFrame(payload, header);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(header);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(payload.size()));
}
BENCHMARK(BM_VerifyFrameBrowseReply);

// What the browse handler does after the check: find the name in the body.
void BM_FindAttributeApName(benchmark::State& state) {
    const std::vector<uint8_t> payload = MakeBrowseReply();
    FrameHeader header;
    if (payload.empty() || !VerifyFrame(payload, header)) {
        state.SkipWithError("the browse reply did not build or verify");
        return;
    }
    const auto body = FrameBody(payload, header);
    for (auto _ : state) {
        benchmark::DoNotOptimize(body.data());
        auto found = FindAttribute(body, ATTR_AP_NAME);
        benchmark::DoNotOptimize(found);
    }
}
BENCHMARK(BM_FindAttributeApName);

void BM_Crc16(benchmark::State& state) {
    std::vector<uint8_t> bytes(static_cast<size_t>(state.range(0)));
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 131 + 7);
    for (auto _ : state) {
        benchmark::DoNotOptimize(bytes.data());
        const uint16_t crc = Crc16(bytes.data(), bytes.size());
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc16)->Arg(1500);

}  // namespace
