#include "image/buffers.h"

#include "protocol/bytes.h"

namespace aputil {

DeviceInfo deviceInfo{};
FirmwareBlock firmwareBlock{};
ConfigImage configImage{};

uint32_t FirmwareAddress(const DeviceInfo& info) noexcept {
    ByteReader r(info);
    return r.u32le();
}

uint32_t ImageAddress(const DeviceInfo& info) noexcept {
    ByteReader r(info);
    r.skip(20);
    return r.u32le();
}

}  // namespace aputil
