// The backup file: what is written reads back whole, and every damaged,
// truncated or foreign file is refused before any of it is used.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/backup.h"
#include "app/settings.h"

namespace {

using namespace aputil;

// The usual CRC-32, bit by bit, independent of the program's table.
uint32_t ReferenceCrc32(const uint8_t* data, size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// Puts a fresh file checksum behind an edited file, so that only the edit is wrong.
void Reseal(std::vector<uint8_t>& file) {
    const uint32_t crc = ReferenceCrc32(file.data(), file.size() - 4);
    for (int i = 0; i < 4; ++i) file[file.size() - 4 + static_cast<size_t>(i)] = static_cast<uint8_t>(crc >> (8 * i));
}

Backup Sample() {
    Backup b;
    b.mac = {0x02, 0x5e, 0x00, 0x00, 0x00, 0x07};
    b.time = 1796900000;
    b.firmwareDate = "2002/03/14";
    b.firmwareVersion = "1.08.01";
    for (size_t i = 0; i < b.image.size(); ++i) b.image[i] = static_cast<uint8_t>(i * 13 + 1);
    StampImageChecksum(b.image);
    b.crcValid = true;
    return b;
}

TEST(BackupFile, WrittenFileReadsBackWhole) {
    for (const bool crcValid : {true, false}) {
        Backup b = Sample();
        if (!crcValid) b.image[10] ^= 0xFF;  // the stored CRC no longer matches
        const std::vector<uint8_t> file = EncodeBackup(b);
        ASSERT_EQ(file.size(), 28 + b.firmwareDate.size() + b.firmwareVersion.size() + 4096 + 4);
        EXPECT_EQ(std::string(file.begin(), file.begin() + 8), "APCTLBAK");
        EXPECT_EQ(file[24], crcValid ? 1 : 0);
        // The trailer is the common CRC-32 of everything before it.
        const uint32_t trailer = file[file.size() - 4] | file[file.size() - 3] << 8 | file[file.size() - 2] << 16 |
                                 static_cast<uint32_t>(file[file.size() - 1]) << 24;
        EXPECT_EQ(trailer, ReferenceCrc32(file.data(), file.size() - 4));

        Backup read;
        ASSERT_EQ(DecodeBackup(file, read), BackupError::None);
        EXPECT_EQ(read.mac, b.mac);
        EXPECT_EQ(read.time, b.time);
        EXPECT_EQ(read.firmwareDate, b.firmwareDate);
        EXPECT_EQ(read.firmwareVersion, b.firmwareVersion);
        EXPECT_EQ(read.image, b.image);
        EXPECT_EQ(read.crcValid, crcValid);
    }
}

TEST(BackupFile, DamagedFilesAreRefusedAndNothingIsTaken) {
    const std::vector<uint8_t> good = EncodeBackup(Sample());
    const size_t imageAt = 28 + Sample().firmwareDate.size() + Sample().firmwareVersion.size();
    const struct {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> damage;
        BackupError expected;
    } cases[] = {
        {"empty", [](auto& f) { f.clear(); }, BackupError::Truncated},
        {"magic only", [](auto& f) { f.resize(8); }, BackupError::Truncated},
        {"header cut", [](auto& f) { f.resize(27); }, BackupError::Truncated},
        {"image cut", [&](auto& f) { f.resize(imageAt + 2000); }, BackupError::Truncated},
        {"last byte missing", [](auto& f) { f.pop_back(); }, BackupError::Truncated},
        {"a byte too many", [](auto& f) { f.push_back(0); }, BackupError::BadLength},
        {"other magic", [](auto& f) { f[0] = 'X'; }, BackupError::BadMagic},
        {"version 2",
         [](auto& f) {
             f[8] = 2;
             Reseal(f);
         },
         BackupError::BadVersion},
        {"date length 33",
         [](auto& f) {
             f[25] = 33;
             Reseal(f);
         },
         BackupError::BadLength},
        {"version length 385",
         [](auto& f) {
             f[26] = 0x81;
             f[27] = 1;
             Reseal(f);
         },
         BackupError::BadLength},
        {"image byte flipped", [&](auto& f) { f[imageAt + 100] ^= 1; }, BackupError::BadChecksum},
        {"MAC changed", [](auto& f) { f[15] ^= 1; }, BackupError::BadChecksum},
        {"CRC state 2",
         [](auto& f) {
             f[24] = 2;
             Reseal(f);
         },
         BackupError::BadCrcState},
        // Sealed again, but the image no longer has the CRC the file claims.
        {"image edited and resealed",
         [&](auto& f) {
             f[imageAt + 100] ^= 1;
             Reseal(f);
         },
         BackupError::BadCrcState},
        {"CRC state denied",
         [](auto& f) {
             f[24] = 0;
             Reseal(f);
         },
         BackupError::BadCrcState},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> file = good;
        c.damage(file);
        Backup out;
        out.firmwareDate = "untouched";
        EXPECT_EQ(DecodeBackup(file, out), c.expected) << c.what;
        EXPECT_EQ(out.firmwareDate, "untouched") << c.what;
        EXPECT_STRNE(BackupErrorText(c.expected), "ok") << c.what;
    }
}

TEST(BackupFile, LongTextsAreCutToTheirLimits) {
    Backup b = Sample();
    b.firmwareDate = std::string(40, 'd');
    b.firmwareVersion = std::string(400, 'v');
    Backup read;
    ASSERT_EQ(DecodeBackup(EncodeBackup(b), read), BackupError::None);
    EXPECT_EQ(read.firmwareDate, std::string(32, 'd'));
    EXPECT_EQ(read.firmwareVersion, std::string(384, 'v'));
}

}  // namespace
