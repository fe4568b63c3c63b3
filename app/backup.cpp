#include "app/backup.h"

#include <algorithm>
#include <cstring>

#include "app/settings.h"
#include "protocol/bytes.h"

namespace aputil {
namespace {

constexpr char kMagic[8] = {'A', 'P', 'C', 'T', 'L', 'B', 'A', 'K'};
constexpr size_t kTrailerSize = 4;

// The usual CRC-32, as zlib computes it, so that the file can be checked with
// common tools too.
uint32_t FileChecksum(std::span<const uint8_t> bytes) { return Crc32(0xFFFFFFFFu, bytes) ^ 0xFFFFFFFFu; }

// Fills a file of known size front to back.
class Filler {
public:
    explicit Filler(std::vector<uint8_t>& out) : out_(out) {}
    void Bytes(const void* data, size_t n) {
        if (n == 0) return;
        std::memcpy(out_.data() + at_, data, n);
        at_ += n;
    }
    void Le(uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) out_[at_++] = static_cast<uint8_t>(value >> (8 * i));
    }
    size_t at() const { return at_; }

private:
    std::vector<uint8_t>& out_;
    size_t at_ = 0;
};

}  // namespace

std::vector<uint8_t> EncodeBackup(const Backup& backup) {
    const std::string date = backup.firmwareDate.substr(0, kBackupMaxDate);
    const std::string version = backup.firmwareVersion.substr(0, kBackupMaxVersion);
    std::vector<uint8_t> out(kBackupHeaderSize + date.size() + version.size() + kConfigImageSize + kTrailerSize);
    Filler f(out);
    f.Bytes(kMagic, sizeof kMagic);
    f.Le(kBackupFormatVersion, 2);
    f.Bytes(backup.mac.data(), backup.mac.size());
    f.Le(static_cast<uint64_t>(backup.time), 8);
    f.Le(StoredChecksumValid(backup.image) ? 1 : 0, 1);
    f.Le(date.size(), 1);
    f.Le(version.size(), 2);
    f.Bytes(date.data(), date.size());
    f.Bytes(version.data(), version.size());
    f.Bytes(backup.image.data(), backup.image.size());
    f.Le(FileChecksum(std::span<const uint8_t>(out).first(f.at())), 4);
    return out;
}

const char* BackupErrorText(BackupError error) {
    switch (error) {
    case BackupError::None:
        return "ok";
    case BackupError::Truncated:
        return "truncated backup file";
    case BackupError::BadMagic:
        return "not a backup file";
    case BackupError::BadVersion:
        return "backup file of an unknown format version";
    case BackupError::BadLength:
        return "backup file with a wrong length";
    case BackupError::BadChecksum:
        return "corrupt backup file (checksum mismatch)";
    case BackupError::BadCrcState:
        return "corrupt backup file (CRC state disagrees with the image)";
    }
    return "bad backup file";
}

BackupError DecodeBackup(std::span<const uint8_t> bytes, Backup& out) {
    ByteReader r(bytes);
    if (bytes.size() < sizeof kMagic) return BackupError::Truncated;
    if (std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) return BackupError::BadMagic;
    if (bytes.size() < kBackupHeaderSize) return BackupError::Truncated;
    r.skip(sizeof kMagic);
    if (r.u16le() != kBackupFormatVersion) return BackupError::BadVersion;
    Backup b;
    for (auto& octet : b.mac) octet = r.u8();
    uint64_t time = 0;
    for (int i = 0; i < 8; ++i) time |= static_cast<uint64_t>(r.u8()) << (8 * i);
    b.time = static_cast<int64_t>(time);
    const uint8_t crcState = r.u8();
    const size_t dateLength = r.u8();
    const size_t versionLength = r.u16le();
    if (!r.ok()) return BackupError::Truncated;
    if (crcState > 1) return BackupError::BadCrcState;
    if (dateLength > kBackupMaxDate || versionLength > kBackupMaxVersion) return BackupError::BadLength;
    const size_t total = kBackupHeaderSize + dateLength + versionLength + kConfigImageSize + kTrailerSize;
    if (bytes.size() < total) return BackupError::Truncated;
    if (bytes.size() > total) return BackupError::BadLength;
    const auto body = bytes.first(total - kTrailerSize);
    ByteReader trailer(bytes.subspan(total - kTrailerSize));
    if (trailer.u32le() != FileChecksum(body)) return BackupError::BadChecksum;

    const auto text = [&](size_t length) {
        std::string s(reinterpret_cast<const char*>(r.current()), length);
        r.skip(length);
        return s;
    };
    b.firmwareDate = text(dateLength);
    b.firmwareVersion = text(versionLength);
    std::copy_n(r.current(), kConfigImageSize, b.image.begin());
    b.crcValid = crcState == 1;
    if (b.crcValid != StoredChecksumValid(b.image)) return BackupError::BadCrcState;
    out = std::move(b);
    return BackupError::None;
}

}  // namespace aputil
