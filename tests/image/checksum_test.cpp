// CRC-32 of the configuration image and the stamping of its checksum field.

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "image/image.h"

namespace aputil {
namespace {

std::vector<uint8_t> Ascii(std::string_view text) { return {text.begin(), text.end()}; }

struct CrcCase {
    const char* name;
    uint32_t seed;
    std::vector<uint8_t> bytes;
    uint32_t finalXor;
    uint32_t expected;
};

// The image vectors were computed with an independent CRC-32 (zlib's crc32,
// with its pre- and post-inversion undone so that the seed is used as given);
// 0xCBF43926 is the published check value of CRC-32/ISO-HDLC over "123456789".
TEST(Crc32, KnownAnswers) {
    const CrcCase cases[] = {
        {"abc with the image seed", IMAGE_CRC_SEED, Ascii("abc"), 0, 0x60A43ED8},
        {"no bytes give the seed", IMAGE_CRC_SEED, {}, 0, 0x5A5A5A5A},
        {"4084 zero bytes (a blank image)", IMAGE_CRC_SEED, std::vector<uint8_t>(4084, 0), 0, 0x4152EC2B},
        {"standard check", 0xFFFFFFFF, Ascii("123456789"), 0xFFFFFFFF, 0xCBF43926},
    };
    for (const CrcCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Crc32(c.seed, c.bytes) ^ c.finalXor, c.expected);
    }
}

TEST(Crc32, TableIsTheStandardReflectedOne) {
    // Entries of the well-known table of the reflected polynomial 0xEDB88320.
    EXPECT_EQ(kCrc32Table[0], 0x00000000u);
    EXPECT_EQ(kCrc32Table[1], 0x77073096u);
    EXPECT_EQ(kCrc32Table[128], 0xEDB88320u);
    EXPECT_EQ(kCrc32Table[255], 0x2D02EF8Du);
}

// A blank image has the 4084-zero-byte checksum, stored little-endian; the
// eight bytes behind the field are neither covered nor touched.
TEST(ImageChecksum, StampsLittleEndianAt4084AndLeavesTheTailAlone) {
    ConfigImage image{};
    for (size_t i = 4088; i < 4096; ++i) image[i] = static_cast<uint8_t>(0xA0 + i);
    const ConfigImage before = image;

    StampImageChecksum(image);

    EXPECT_EQ(image[4084], 0x2B);
    EXPECT_EQ(image[4085], 0xEC);
    EXPECT_EQ(image[4086], 0x52);
    EXPECT_EQ(image[4087], 0x41);
    for (size_t i = 0; i < 4096; ++i)
        if (i < 4084 || i >= 4088) {
            EXPECT_EQ(image[i], before[i]) << "byte " << i;
        }
}

TEST(ImageChecksum, CoversExactlyBytesZeroTo4083) {
    ConfigImage image{};
    const uint32_t blank = ImageChecksum(image);
    ASSERT_EQ(blank, 0x4152EC2Bu);

    struct Poke {
        size_t offset;
        bool covered;
    };
    const Poke pokes[] = {{0, true}, {4083, true}, {4084, false}, {4087, false}, {4088, false}, {4095, false}};
    for (const Poke& p : pokes) {
        SCOPED_TRACE(p.offset);
        ConfigImage poked{};
        poked[p.offset] = 0x01;
        EXPECT_EQ(ImageChecksum(poked) != blank, p.covered);
    }
}

}  // namespace
}  // namespace aputil
