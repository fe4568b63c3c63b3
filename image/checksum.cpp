#include "image/checksum.h"

#include "protocol/bytes.h"

namespace aputil {

uint32_t Crc32(uint32_t seed, std::span<const uint8_t> bytes, const Crc32Table& table) noexcept {
    uint32_t crc = seed;
    for (uint8_t b : bytes) crc = table[(crc ^ b) & 0xFFu] ^ (crc >> 8);
    return crc;
}

uint32_t ImageChecksum(const ConfigImage& image) noexcept {
    return Crc32(IMAGE_CRC_SEED, std::span<const uint8_t>(image).first(kImageChecksumOffset));
}

uint32_t StoredImageChecksum(const ConfigImage& image) noexcept {
    ByteReader r(image);
    r.skip(kImageChecksumOffset);
    return r.u32le();
}

void StampImageChecksum(ConfigImage& image) noexcept {
    ByteWriter w(image);
    w.seek(kImageChecksumOffset);
    w.u32le(ImageChecksum(image));
}

}  // namespace aputil
