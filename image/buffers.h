#pragma once
// The AP's three blocks as this utility keeps them: the 32-byte information
// block, the 424-byte firmware block and the 4096-byte configuration image, and
// where the information block says the other two are kept.

#include <array>
#include <cstddef>
#include <cstdint>

namespace aputil {

inline constexpr size_t kDeviceInfoSize = 32;
inline constexpr size_t kFirmwareBlockSize = 424;
inline constexpr size_t kConfigImageSize = 4096;

using DeviceInfo = std::array<uint8_t, kDeviceInfoSize>;
using FirmwareBlock = std::array<uint8_t, kFirmwareBlockSize>;
using ConfigImage = std::array<uint8_t, kConfigImageSize>;

// The copies read from the AP at the latest successful login. ReadDeviceImage
// replaces all three together, and only when every block arrived whole.
extern DeviceInfo deviceInfo;
extern FirmwareBlock firmwareBlock;
extern ConfigImage configImage;

// Where the AP keeps its blocks (little-endian u32 at 0 and at 20 of DeviceInfo).
uint32_t FirmwareAddress(const DeviceInfo& info) noexcept;
uint32_t ImageAddress(const DeviceInfo& info) noexcept;

}  // namespace aputil
