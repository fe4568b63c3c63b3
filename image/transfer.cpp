#include "image/transfer.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "protocol/bytes.h"
#include "protocol/engine.h"
#include "protocol/frame.h"
#include "protocol/operations.h"

namespace aputil {
namespace {

// The request being built (header + one chunk of a write) and the data of the
// latest accepted reply (device header + data). Only `replyLength` bytes of the
// reply buffer belong to that reply; the rest is left over from earlier ones.
std::array<uint8_t, kBlockRequestSize> blockRequest{};
std::array<uint8_t, kBlockReplySize> blockReply{};
size_t replyLength = 0;
// Chunk size of the running read or write, sent in the header's length field.
uint32_t chunkLength = 0;
// Recorded with the blocks of the latest successful read.
bool imageChecksumValid = false;

// The data of the latest reply behind its 16-byte device header.
ByteReader ReplyData() {
    ByteReader r(blockReply.data(), replyLength);
    r.skip(kBlockHeaderSize);
    return r;
}

// A reply forged to look like the AP's arrives just before or after the AP's
// own. The AP answers in order, so one more cheap exchange after the last
// chunk makes the AP's reply to that chunk arrive while we wait for it, where
// the conflict record catches a second, different reply. The check's own
// answer must repeat the information block this transfer is based on, so a
// forged answer to the check cannot slip in other data either.
bool CheckBlockReplies(const DeviceInfo& expected) {
    if (!BlockOp(BLOCK_OP_INFO, 0, kBlockHeaderSize)) return false;
    DeviceInfo info{};
    ByteReader data = ReplyData();
    return data.bytes(info.data(), info.size()) && info == expected;
}

}  // namespace

bool BlockOp(uint8_t op, uint32_t offset, size_t requestLength) {
    if (requestLength < kBlockHeaderSize || requestLength > kBlockRequestSize) return false;
    replyLength = 0;

    BlockHeader header;
    header.op = op;
    header.offset = offset;
    // The length field means something only to reads and writes.
    header.length = (op == BLOCK_OP_READ || op == BLOCK_OP_WRITE) ? chunkLength : 0;
    header.Write(blockRequest.data());

    const uint16_t savedTimeout = GetTimeout();
    SetTimeout(op == BLOCK_OP_FINISH ? kFinishWaitMs : kBlockWaitMs);
    const uint8_t* data = nullptr;
    size_t length = 0;
    const int status = BlockRequest(currentSession, blockRequest.data(), requestLength, data, length);
    SetTimeout(savedTimeout);

    if (status != STATUS_OK || BlockReplyConflict()) return false;
    if (data != nullptr && length <= blockReply.size()) {
        std::memcpy(blockReply.data(), data, length);
        replyLength = length;
    }
    return true;
}

bool ReadBlock(std::span<uint8_t> destination, uint32_t deviceAddress) {
    while (!destination.empty()) {
        const size_t chunk = std::min(destination.size(), kBlockChunkSize);
        chunkLength = static_cast<uint32_t>(chunk);
        if (!BlockOp(BLOCK_OP_READ, deviceAddress, kBlockHeaderSize)) return false;
        // A reply shorter than the chunk fails the read: taking it would put
        // bytes of an earlier reply into the destination.
        ByteReader data = ReplyData();
        if (!data.bytes(destination.data(), chunk)) return false;
        destination = destination.subspan(chunk);
        deviceAddress += static_cast<uint32_t>(chunk);
    }
    return true;
}

bool WriteBlock(std::span<const uint8_t> source, uint32_t deviceAddress) {
    while (!source.empty()) {
        const size_t chunk = std::min(source.size(), kBlockChunkSize);
        chunkLength = static_cast<uint32_t>(chunk);
        std::memcpy(blockRequest.data() + kBlockHeaderSize, source.data(), chunk);
        if (!BlockOp(BLOCK_OP_WRITE, deviceAddress, kBlockHeaderSize + chunk)) return false;
        source = source.subspan(chunk);
        deviceAddress += static_cast<uint32_t>(chunk);
    }
    return true;
}

bool ReadDeviceImage() {
    // Staged, so that a read that breaks off leaves the previous blocks whole
    // rather than a mix of two devices.
    static DeviceInfo info;
    static FirmwareBlock firmware;
    static ConfigImage image;

    BeginBlockTransfer();
    if (!BlockOp(BLOCK_OP_INFO, 0, kBlockHeaderSize)) return false;
    ByteReader data = ReplyData();
    if (!data.bytes(info.data(), info.size())) return false;
    if (!ReadBlock(firmware, FirmwareAddress(info))) return false;
    if (!ReadBlock(image, ImageAddress(info))) return false;
    if (!CheckBlockReplies(info)) return false;

    deviceInfo = info;
    firmwareBlock = firmware;
    configImage = image;
    imageChecksumValid = StoredImageChecksum(image) == ImageChecksum(image);
    return true;
}

bool ImageChecksumValid() noexcept { return imageChecksumValid; }

bool WriteDeviceImage() {
    BeginBlockTransfer();
    StampImageChecksum(configImage);
    if (!WriteBlock(configImage, ImageAddress(deviceInfo))) return false;
    // A chunk whose acceptance was forged must not be committed.
    if (!CheckBlockReplies(deviceInfo)) return false;
    if (!BlockOp(BLOCK_OP_COMMIT, 0, kBlockHeaderSize)) return false;
    // The commit cannot be taken back, so a second, different answer to it
    // can no longer protect the image; it only means the acceptance we took
    // may not be the AP's. Listening for it would cost a fixed wait on every
    // write for a verdict that changes nothing on the AP, so only the frames
    // already queued are looked at; a conflict among them fails the write, as
    // the AP may have refused the image whose acceptance we were shown.
    WaitForReply(0);
    return !BlockReplyConflict();
}

bool SendFinish(uint8_t op) {
    for (int i = 0; i < kFinishRepeats; ++i) BlockOp(op, 0, kBlockHeaderSize);
    return true;
}

}  // namespace aputil
