// The generated APs: their image with its checksum, blocks and identity.

#include <algorithm>
#include <cstring>

#include "tools/apsim/apsim_core.h"
#include "tools/apsim/handlers.h"

namespace apsim {

using aputil::ByteReader;

namespace {

constexpr std::array<uint32_t, 256> MakeCrc32Table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}
constexpr auto kCrc32Table = MakeCrc32Table();

}  // namespace

uint32_t Crc32(uint32_t seed, const uint8_t* bytes, size_t count) noexcept {
    uint32_t crc = seed;
    for (size_t i = 0; i < count; ++i) crc = kCrc32Table[(crc ^ bytes[i]) & 0xFFu] ^ (crc >> 8);
    return crc;
}

uint32_t ImageCrc(const Image& image) noexcept { return Crc32(kImageCrcSeed, image.data(), kImageCrcOffset); }

uint32_t StoredImageCrc(const Image& image) noexcept {
    ByteReader r(image.data() + kImageCrcOffset, 4);
    return r.u32le();
}

void StampImageCrc(Image& image) noexcept { PutU32le(image.data() + kImageCrcOffset, ImageCrc(image)); }

Mac DeriveMac(uint64_t seed, int index) {
    const uint64_t h = Mix(seed ^ 0x61707369ull);
    return {0x02,
            static_cast<uint8_t>(h >> 40),
            static_cast<uint8_t>(h >> 32),
            static_cast<uint8_t>(h >> 24),
            static_cast<uint8_t>(index >> 8),
            static_cast<uint8_t>(index)};
}

void WriteText(Image& image, size_t offset, size_t width, std::string_view text) {
    if (width == 0 || offset + width > image.size()) return;
    const size_t n = std::min(text.size(), width - 1);
    std::memcpy(image.data() + offset, text.data(), n);
    image[offset + n] = 0;
}

std::string ReadText(std::span<const uint8_t> bytes, size_t offset, size_t width) {
    std::string s;
    for (size_t i = offset; i < offset + width && i < bytes.size() && bytes[i]; ++i) s += static_cast<char>(bytes[i]);
    return s;
}

void PutIpv4(Image& image, size_t offset, const std::array<uint8_t, 4>& ip) {
    std::memcpy(image.data() + offset, ip.data(), 4);
}

void GenerateAp(SimAp& ap, int index, const Config& config) {
    Rng rng(Mix(config.seed) ^ static_cast<uint64_t>(index) * 0x100000001B3ull);
    const auto n = static_cast<size_t>(index);
    ap.mac = DeriveMac(config.seed, index);
    ap.vendor = config.vendor;
    ap.product = config.product;
    ap.model = config.model;
    ap.name = config.namePrefix + std::to_string(index + 1);
    ap.password = config.password;
    ap.firmwareVersion = config.firmwareVersion;
    ap.firmwareDate = config.firmwareDate;

    ap.deviceInfo.fill(0);
    PutU32le(ap.deviceInfo.data() + 0, kFirmwareAddress);
    PutU32le(ap.deviceInfo.data() + 4, kFirmwareSize);
    PutU32le(ap.deviceInfo.data() + 8, 0x00010000);  // flash base, unused by the utility
    PutU32le(ap.deviceInfo.data() + 20, kImageAddress);
    PutU32le(ap.deviceInfo.data() + 24, kImageSize);

    for (auto& b : ap.firmware) b = static_cast<uint8_t>(rng.Next());
    std::memcpy(ap.firmware.data(), "FWHD", 4);
    PutU32le(ap.firmware.data() + 4, kFirmwareSize);
    std::memset(ap.firmware.data() + layout::firmwareDate, 0, layout::firmwareVersion - layout::firmwareDate);
    std::memset(ap.firmware.data() + layout::firmwareVersion, 0, layout::firmwareTextWidth);
    std::memcpy(ap.firmware.data() + layout::firmwareDate, ap.firmwareDate.data(),
                std::min(ap.firmwareDate.size(), layout::firmwareVersion - layout::firmwareDate - 1));
    std::memcpy(ap.firmware.data() + layout::firmwareVersion, ap.firmwareVersion.data(),
                std::min(ap.firmwareVersion.size(), layout::firmwareTextWidth - 1));

    // Unnamed bytes carry data too, so that a utility which disturbs them is caught.
    Image& im = ap.image;
    im.fill(0);
    for (size_t i = 22; i < layout::apName; ++i) im[i] = static_cast<uint8_t>(rng.Next());
    for (size_t i = kImageCrcOffset + 4; i < kImageSize; ++i) im[i] = static_cast<uint8_t>(rng.Next());
    im[0] = 'C';
    im[1] = 'F';
    im[2] = 1;
    im[3] = 0;
    const bool etsi = index % 4 == 3;
    const uint16_t mask = etsi ? 0x1FFF : 0x07FF;  // channels 1-13 or 1-11
    im[layout::channelMask] = static_cast<uint8_t>(mask);
    im[layout::channelMask + 1] = static_cast<uint8_t>(mask >> 8);
    im[layout::regulatoryDomain] = etsi ? 0x30 : 0x10;
    im[layout::networkFlag] = 1;
    WriteText(im, layout::apName, layout::apNameWidth, ap.name);
    WriteText(im, layout::password, layout::passwordWidth, ap.password);
    WriteText(im, layout::ssid, layout::ssidWidth, "SimNet-" + std::to_string(index + 1));
    static constexpr uint8_t kChannels[] = {1, 6, 11};
    im[layout::channel] = kChannels[n % 3];
    const std::array<uint8_t, 4> ip{192, 168, static_cast<uint8_t>(1 + n / 200), static_cast<uint8_t>(10 + n % 200)};
    const std::array<uint8_t, 4> netmask{255, 255, 255, 0};
    const std::array<uint8_t, 4> gw{192, 168, static_cast<uint8_t>(1 + n / 200), 1};
    PutIpv4(im, layout::ipAddress, ip);
    PutIpv4(im, layout::subnetMask, netmask);
    PutIpv4(im, layout::gateway, gw);
    PutIpv4(im, layout::addressCopy, ip);
    PutIpv4(im, layout::addressCopy + 4, netmask);
    PutIpv4(im, layout::addressCopy + 8, gw);
    static constexpr uint8_t kWep[3][2] = {{0, 0}, {1, 1}, {2, 1}};
    im[layout::wepMode] = kWep[n % 3][0];
    im[layout::wepEnabled] = kWep[n % 3][1];
    im[layout::defaultKeyIndex] = static_cast<uint8_t>(n % 4);
    for (size_t k = 0; k < 4; ++k) {
        uint8_t* slot = im.data() + layout::wepKeySlot + k * layout::wepKeySlotSize;
        for (size_t i = 3; i < layout::wepKeySlotSize; ++i) slot[i] = static_cast<uint8_t>(rng.Next());
    }
    im[layout::macAccessEnabled] = index % 2 ? 1 : 0;
    im[layout::macEntryCount] = 3;
    for (size_t e = 0; e < 3; ++e) {
        uint8_t* entry = im.data() + layout::macTable + 6 * e;
        entry[0] = 0x00;
        entry[1] = 0x40;
        entry[2] = 0x96;
        for (size_t i = 3; i < 6; ++i) entry[i] = static_cast<uint8_t>(rng.Next());
    }
    StampImageCrc(im);
    ap.pending = im;
    ap.sessions = {};
    ap.nextSequence = static_cast<uint16_t>(rng.Next() | 1);
    ap.commits = 0;
}

// ---------------------------------------------------------------------------

}  // namespace apsim
