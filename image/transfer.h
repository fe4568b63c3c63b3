#pragma once
// Moving the AP's blocks over the block requests of the logged-in session: the
// 32-byte information block, the 424-byte firmware block and the 4096-byte
// configuration image, read in chunks of at most 512 bytes after login and the
// image written back with its CRC-32, then committed and finished.

#include <cstddef>
#include <cstdint>
#include <span>

#include "image/buffers.h"   // IWYU pragma: export
#include "image/checksum.h"  // IWYU pragma: export

namespace aputil {

// Chunking.
inline constexpr size_t kBlockChunkSize = 512;
inline constexpr size_t kBlockRequestSize = 16 + kBlockChunkSize;  // header + one chunk
inline constexpr size_t kBlockReplySize = 16 + 1024;               // device header + largest data

// Reply wait per send that BlockOp sets: the finish request is not expected to
// be answered, so it only gets a token wait.
inline constexpr int kBlockWaitMs = 1000;
inline constexpr int kFinishWaitMs = 1;
inline constexpr int kFinishRepeats = 8;

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
