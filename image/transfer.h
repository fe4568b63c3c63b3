#pragma once
// Moving the AP's blocks over the block requests of the logged-in session: the
// 32-byte information block, the 424-byte firmware block and the 4096-byte
// configuration image, read in chunks of at most 512 bytes after login and the
// image written back with its CRC-32, then committed and finished.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

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

// Chunking and the checksum field of the image.
inline constexpr size_t kBlockChunkSize = 512;
inline constexpr size_t kBlockRequestSize = 16 + kBlockChunkSize;  // header + one chunk
inline constexpr size_t kBlockReplySize = 16 + 1024;                // device header + largest data
inline constexpr size_t kImageChecksumOffset = 4084;                 // bytes 0..4083 are covered
inline constexpr uint32_t IMAGE_CRC_SEED = 0x5A5A5A5A;

// Reply wait per send that BlockOp sets: the finish request is not expected to
// be answered, so it only gets a token wait.
inline constexpr int kBlockWaitMs = 1000;
inline constexpr int kFinishWaitMs = 1;
inline constexpr int kFinishRepeats = 8;

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

// One block request for currentSession: op code and device address in the
// request header, requestLength bytes of the request buffer (16, or 16 plus the
// chunk of a write). True only when the AP answered with status 0; the reply's
// data then sits in the block reply buffer. For op codes other than read and
// write the header's length field is sent as 0. A requestLength outside
// 16..528 is refused without sending. False as well once a conflicting block
// reply was seen since the transfer began (BlockReplyConflict).
bool BlockOp(uint8_t op, uint32_t offset, size_t requestLength);

// Reads destination.size() bytes from deviceAddress in chunks of at most 512,
// one request after the other. Fails at the first chunk the AP refuses, does not
// answer, or answers with fewer bytes than were asked for (the chunks before
// it stay in destination); an empty destination sends nothing and succeeds.
bool ReadBlock(std::span<uint8_t> destination, uint32_t deviceAddress);
// Writes source to deviceAddress in chunks of at most 512, each sent after the
// previous one was accepted; stops at the first refused chunk.
bool WriteBlock(std::span<const uint8_t> source, uint32_t deviceAddress);

// Reads DeviceInfo, then the firmware block and the image at the addresses it
// names, then asks for DeviceInfo once more: the AP answers in order, so a
// second reply to any earlier exchange has arrived by then. Fails, keeping the
// blocks of the previous read, when any exchange got a second reply that
// differs from the one taken or the second DeviceInfo differs from the first.
// The checksum stored in the image is not verified: the image is taken as it
// is, and ImageChecksumValid says whether it matched.
bool ReadDeviceImage();
// Whether the image of the latest successful ReadDeviceImage carried the
// checksum of its bytes; false before any read.
bool ImageChecksumValid() noexcept;
// Stamps configImage's checksum, writes the image to ImageAddress(deviceInfo)
// and asks for DeviceInfo once more; when every chunk was accepted, no exchange
// got a conflicting second reply and the AP's DeviceInfo is still deviceInfo,
// commits it. True when the commit was accepted and no conflicting reply to it
// was already waiting once it was taken.
bool WriteDeviceImage();
// Sends op eight times, ignoring the answers; always true.
bool SendFinish(uint8_t op);

}  // namespace aputil
