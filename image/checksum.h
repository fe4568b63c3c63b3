#pragma once
// The configuration image's CRC-32: the checksum the AP expects in the image's
// last covered bytes, computed, read and stamped.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "image/buffers.h"

namespace aputil {

inline constexpr size_t kImageChecksumOffset = 4084;  // bytes 0..4083 are covered
inline constexpr uint32_t IMAGE_CRC_SEED = 0x5A5A5A5A;

// The reflected CRC-32 of IEEE 802.3 (polynomial 0xEDB88320 in reflected form).
using Crc32Table = std::array<uint32_t, 256>;
constexpr Crc32Table MakeCrc32Table() noexcept {
    Crc32Table table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}
inline constexpr Crc32Table kCrc32Table = MakeCrc32Table();

// Table-driven CRC starting from seed, without final XOR. Seed 0xFFFFFFFF and
// an XOR of the result with 0xFFFFFFFF give the usual CRC-32.
uint32_t Crc32(uint32_t seed, std::span<const uint8_t> bytes, const Crc32Table& table = kCrc32Table) noexcept;

// The checksum the AP expects at 4084..4087: Crc32(IMAGE_CRC_SEED) over 0..4083.
uint32_t ImageChecksum(const ConfigImage& image) noexcept;
// The checksum the image carries (little-endian u32 at 4084).
uint32_t StoredImageChecksum(const ConfigImage& image) noexcept;
// Stores ImageChecksum little-endian at 4084..4087; nothing else changes.
void StampImageChecksum(ConfigImage& image) noexcept;

}  // namespace aputil
