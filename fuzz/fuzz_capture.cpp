// The capture's secret mask over a run of frames, as the recorder sees them:
// the input is split into frames by a 2-byte little-endian length in front of
// each, and every frame goes through one mask, whose state (block requests
// seen, the image address) carries over from frame to frame.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "protocol/frame.h"
#include "transport/capture_file.h"

namespace {

constexpr size_t kLargestFrame = 1600;

// The checksum trailer as the frame declares it, when the declared length fits.
bool ChecksumGood(const uint8_t* frame, size_t size, size_t& at) {
    if (size < aputil::kEthHeaderSize + aputil::kFrameHeaderSize) return false;
    const uint8_t* payload = frame + aputil::kEthHeaderSize;
    const size_t payloadSize = size - aputil::kEthHeaderSize;
    const size_t length = size_t{payload[3]} << 8 | payload[4];
    if (length < 4 || length + 7 > payloadSize) return false;
    at = aputil::kEthHeaderSize + 5 + length;
    return aputil::Crc16(payload + 5, length) == (payload[5 + length] << 8 | payload[6 + length]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    aputil::SecretMask mask;
    size_t pos = 0;
    while (pos + 2 <= size) {
        const size_t length = std::min<size_t>(data[pos] | data[pos + 1] << 8, kLargestFrame);
        pos += 2;
        const size_t take = std::min(length, size - pos);
        // An exact-size copy, so the sanitizers see any read or write past the frame.
        std::vector<uint8_t> frame(data + pos, data + pos + take);
        pos += take;
        const std::vector<uint8_t> original = frame;
        size_t crcAt = 0;
        const bool wasGood = ChecksumGood(original.data(), original.size(), crcAt);

        const aputil::SecretMask before = mask;
        const size_t masked = mask.Apply(frame.data(), frame.size());
        FUZZ_REQUIRE(frame.size() == original.size());
        size_t changed = 0;
        for (size_t i = 0; i < frame.size(); ++i) {
            if (frame[i] == original[i]) continue;
            // Only secrets become '*'; otherwise only a recomputed checksum changes.
            const bool checksum = wasGood && (i == crcAt || i == crcAt + 1);
            FUZZ_REQUIRE(frame[i] == '*' || checksum);
            if (!checksum) ++changed;
        }
        FUZZ_REQUIRE(changed <= masked);
        if (masked == 0) FUZZ_REQUIRE(frame == original);
        // A checksum that was good stays good over the masked bytes.
        size_t crcAfter = 0;
        if (wasGood) FUZZ_REQUIRE(ChecksumGood(frame.data(), frame.size(), crcAfter));
        // Masking what is already masked, from the same state, changes nothing.
        aputil::SecretMask again = before;
        std::vector<uint8_t> twice = frame;
        again.Apply(twice.data(), twice.size());
        FUZZ_REQUIRE(twice == frame);
    }
    return 0;
}
