#pragma once
// The backup file of one AP's configuration image: the image with the AP's
// MAC, firmware texts, time and CRC state, and a checksum over the whole file
// so that a truncated or damaged copy is never written to a device.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "image/layout.h"
#include "image/transfer.h"

namespace aputil {

inline constexpr uint16_t kBackupFormatVersion = 1;
inline constexpr size_t kBackupHeaderSize = 28;
inline constexpr size_t kBackupMaxDate = 32;
inline constexpr size_t kBackupMaxVersion = 384;

struct Backup {
    MacAddress mac{};
    int64_t time = 0;  // seconds since 1970-01-01 UTC
    bool crcValid = false;
    std::string firmwareDate;
    std::string firmwareVersion;
    ConfigImage image{};
};

// The file's bytes; the CRC state is taken from the image itself and texts
// longer than their limits are cut there.
std::vector<uint8_t> EncodeBackup(const Backup& backup);

// Why a file was refused; None when it was read whole.
enum class BackupError { None, Truncated, BadMagic, BadVersion, BadLength, BadChecksum, BadCrcState };
const char* BackupErrorText(BackupError error);

// Checks everything before filling `out`; on a refusal `out` is untouched.
BackupError DecodeBackup(std::span<const uint8_t> bytes, Backup& out);

}  // namespace aputil
