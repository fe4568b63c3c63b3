// The hot paths rewritten for speed must compute exactly what their plain
// definitions do: the CRC-16 of every frame is folded eight bytes at a time.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "protocol/frame.h"

namespace aputil {
namespace {

// CRC-16/XMODEM bit by bit, straight from its definition.
uint16_t ReferenceCrc16(const uint8_t* bytes, size_t count, uint16_t seed) {
    uint16_t crc = seed;
    for (size_t i = 0; i < count; ++i) {
        crc = static_cast<uint16_t>(crc ^ (bytes[i] << 8));
        for (int bit = 0; bit < 8; ++bit) crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

TEST(FastCrc16, MatchesTheBitwiseDefinitionForEveryLengthSeedAndOffset) {
    std::mt19937 rng(20240229);
    std::vector<uint8_t> data(1600);
    for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
    // Every length up to past two eight-byte steps, then frame-sized ones,
    // at unaligned starts and with seeds that set the high and low bytes.
    for (size_t length = 0; length <= 1514; length += length < 40 ? 1 : 37) {
        for (const size_t offset : {size_t{0}, size_t{1}, size_t{5}, size_t{7}}) {
            for (const uint16_t seed : {uint16_t{0}, uint16_t{0xFFFF}, uint16_t{0x1D0F}, uint16_t{0x8001}}) {
                ASSERT_EQ(Crc16(data.data() + offset, length, seed), ReferenceCrc16(data.data() + offset, length, seed))
                    << "length " << length << " offset " << offset << " seed " << seed;
            }
        }
    }
}

TEST(FastCrc16, ChainsAcrossSplitsLikeOneRun) {
    std::mt19937 rng(7);
    std::vector<uint8_t> data(600);
    for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
    const uint16_t whole = Crc16(data.data(), data.size());
    for (size_t split : {size_t{1}, size_t{3}, size_t{8}, size_t{13}, size_t{512}})
        EXPECT_EQ(Crc16(data.data() + split, data.size() - split, Crc16(data.data(), split)), whole) << split;
}

}  // namespace
}  // namespace aputil
