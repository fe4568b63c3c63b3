#include "transport/capture_file.h"

#include <fcntl.h>
#include <pcap/pcap.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "protocol/bytes.h"
#include "protocol/frame.h"
#include "transport/adapter.h"

namespace aputil {

namespace {

constexpr uint8_t kMaskByte = '*';

uint32_t ReadU32le(const uint8_t* p) noexcept {
    ByteReader r(p, 4);
    return r.u32le();
}

uint16_t ReadU16be(const uint8_t* p) noexcept {
    ByteReader r(p, 2);
    return r.u16be();
}

// One capture at a time, for the whole process; the buffer is the frame's
// masked copy, so the frame handed to the protocol stays as it came.
struct Recorder {
    pcap_t* dead = nullptr;
    pcap_dumper_t* dumper = nullptr;
    bool keepSecrets = false;
    SecretMask mask;
    uint8_t buffer[kSnapLength] = {};

    ~Recorder() { Close(); }
    void Close() noexcept {
        if (dumper != nullptr) {
            pcap_dump_flush(dumper);
            pcap_dump_close(dumper);
            dumper = nullptr;
        }
        if (dead != nullptr) {
            pcap_close(dead);
            dead = nullptr;
        }
    }
};
Recorder recorder;

}  // namespace

size_t SecretMask::MaskAttributes(uint8_t* list, size_t length) noexcept {
    size_t masked = 0;
    size_t pos = 0;
    while (pos + 2 <= length) {
        const uint16_t id = ReadU16be(list + pos);
        if (id == ATTR_END || pos + 3 > length) break;
        const size_t valueLength = list[pos + 2];
        const size_t start = pos + 3;
        const size_t end = std::min(start + valueLength, length);
        if (id == ATTR_PASSWORD) {
            std::fill(list + start, list + end, kMaskByte);
            masked += end - start;
        }
        pos = start + valueLength;
    }
    return masked;
}

size_t SecretMask::MaskImageBytes(uint8_t* data, size_t length, uint32_t deviceAddress) const noexcept {
    if (!imageKnown_ || length == 0) return 0;
    struct Range {
        size_t offset, width;
    };
    constexpr Range kSecrets[] = {{kImagePasswordOffset, kImagePasswordWidth},
                                  {kImageKeySlotsOffset, kImageKeySlotsWidth}};
    // 64-bit sums: device addresses near 4 GiB must not wrap into the image.
    const uint64_t first = deviceAddress;
    const uint64_t last = first + length;
    size_t masked = 0;
    for (const Range& r : kSecrets) {
        const uint64_t from = std::max<uint64_t>(first, uint64_t{imageAddress_} + r.offset);
        const uint64_t to = std::min<uint64_t>(last, uint64_t{imageAddress_} + r.offset + r.width);
        for (uint64_t a = from; a < to; ++a) {
            uint8_t& b = data[a - first];
            if (b != 0) {
                b = kMaskByte;
                ++masked;
            }
        }
    }
    return masked;
}

size_t SecretMask::Block(const EtherHeader& eth, uint8_t* body, size_t bodyLength, uint16_t sequence) noexcept {
    // session (u16), count (u16), then a block header and the data of a write
    if (bodyLength < 4) return 0;
    const size_t dataLength = std::min<size_t>(ReadU16be(body + 2), bodyLength - 4);
    if (dataLength < kBlockHeaderSize) return 0;
    uint8_t* data = body + 4;
    PendingBlock& p = pending_[nextPending_];
    nextPending_ = (nextPending_ + 1) % kPendingBlocks;
    p.used = true;
    p.sequence = sequence;
    p.requester = eth.source;
    p.responder = eth.destination;
    p.op = data[0];
    p.offset = ReadU32le(data + 4);
    if (p.op != BLOCK_OP_WRITE) return 0;
    return MaskImageBytes(data + kBlockHeaderSize, dataLength - kBlockHeaderSize, p.offset);
}

size_t SecretMask::BlockReply(const EtherHeader& eth, uint8_t* body, size_t bodyLength, uint16_t sequence) noexcept {
    // session (u16), status (u16), count (u16), then the device's block header and data
    if (bodyLength < 6) return 0;
    const size_t dataLength = std::min<size_t>(ReadU16be(body + 4), bodyLength - 6);
    if (dataLength <= kBlockHeaderSize) return 0;
    uint8_t* data = body + 6;
    const PendingBlock* request = nullptr;
    for (const PendingBlock& p : pending_) {
        if (p.used && p.sequence == sequence && p.requester == eth.destination && p.responder == eth.source) {
            request = &p;
            break;
        }
    }
    uint8_t* chunk = data + kBlockHeaderSize;
    const size_t chunkLength = dataLength - kBlockHeaderSize;
    if (request == nullptr) {
        // Not an answer to anything seen: place it by the offset its own
        // header names, so image bytes are masked even then.
        return MaskImageBytes(chunk, chunkLength, ReadU32le(data + 4));
    }
    if (request->op == BLOCK_OP_INFO) {
        // DeviceInfo: u32 little-endian words, the image address in word 5.
        if (chunkLength >= 24) {
            imageAddress_ = ReadU32le(chunk + 20);
            imageKnown_ = true;
        }
        return 0;
    }
    return MaskImageBytes(chunk, chunkLength, request->offset);
}

size_t SecretMask::Apply(uint8_t* frame, size_t length) noexcept {
    if (frame == nullptr || length < kEthHeaderSize + kFrameHeaderSize) return 0;
    const std::optional<EtherHeader> eth = ReadEtherHeader({frame, length});
    if (!eth || eth->etherType != kEtherType) return 0;
    uint8_t* payload = frame + kEthHeaderSize;
    const size_t payloadLength = length - kEthHeaderSize;
    const uint16_t declared = ReadU16be(payload + 3);
    const uint16_t sequence = ReadU16be(payload + 5);
    const uint16_t type = ReadU16be(payload + 7);
    const bool lengthFits = declared >= 4 && size_t{declared} + 7 <= payloadLength;
    const bool crcWasGood = lengthFits && Crc16(payload + 5, declared) == ReadU16be(payload + 5 + declared);
    // Everything behind the header is walked, not just the body the length
    // declares: a length that lies, too long or too short, is no reason to
    // leave a password unmasked.
    uint8_t* body = payload + kFrameHeaderSize;
    const size_t bodyLength = payloadLength - kFrameHeaderSize;

    size_t masked = 0;
    switch (type) {
    case MSG_BROWSE:
    case MSG_BROWSE_REPLY:
        masked = MaskAttributes(body, bodyLength);
        break;
    case MSG_GET_REPLY:
        if (bodyLength > 4) masked = MaskAttributes(body + 4, bodyLength - 4);
        break;
    case MSG_SESSION:
        if (bodyLength > 6) masked = MaskAttributes(body + 6, bodyLength - 6);
        break;
    case MSG_SET:
        if (bodyLength > 2) masked = MaskAttributes(body + 2, bodyLength - 2);
        break;
    case MSG_BLOCK:
        masked = Block(*eth, body, bodyLength, sequence);
        break;
    case MSG_BLOCK_REPLY:
        masked = BlockReply(*eth, body, bodyLength, sequence);
        break;
    default:
        break;
    }
    if (masked != 0 && crcWasGood) {
        const uint16_t crc = Crc16(payload + 5, declared);
        payload[5 + declared] = static_cast<uint8_t>(crc >> 8);
        payload[6 + declared] = static_cast<uint8_t>(crc);
    }
    return masked;
}

bool StartFrameCapture(const std::string& path, bool keepSecrets, std::string& error) {
    StopFrameCapture();
    const mode_t mode = keepSecrets ? 0600 : 0644;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        error = "cannot write the capture " + path + ": " + std::strerror(errno);
        return false;
    }
    // An existing file keeps its mode on open; one that will hold secrets must not stay readable by others.
    if (keepSecrets && ::fchmod(fd, 0600) != 0) {
        error = "cannot restrict the capture " + path + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr) {
        error = "cannot write the capture " + path + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    recorder.dead = pcap_open_dead(DLT_EN10MB, kSnapLength);
    recorder.dumper = recorder.dead != nullptr ? pcap_dump_fopen(recorder.dead, file) : nullptr;
    if (recorder.dumper == nullptr) {
        error = "cannot write the capture " + path +
                (recorder.dead != nullptr ? std::string(": ") + pcap_geterr(recorder.dead) : std::string());
        std::fclose(file);
        recorder.Close();
        return false;
    }
    recorder.keepSecrets = keepSecrets;
    recorder.mask.Reset();
    // The file header goes out now, so that even a capture of nothing reads as one.
    pcap_dump_flush(recorder.dumper);
    return true;
}

void StopFrameCapture() { recorder.Close(); }

bool FrameCaptureActive() noexcept { return recorder.dumper != nullptr; }

void CaptureFrame(const uint8_t* frame, size_t length) noexcept {
    if (recorder.dumper == nullptr || frame == nullptr) return;
    const size_t kept = std::min(length, sizeof recorder.buffer);
    std::memcpy(recorder.buffer, frame, kept);
    if (!recorder.keepSecrets) recorder.mask.Apply(recorder.buffer, kept);
    pcap_pkthdr header{};
    gettimeofday(&header.ts, nullptr);
    header.caplen = static_cast<bpf_u_int32>(kept);
    header.len = static_cast<bpf_u_int32>(length);
    pcap_dump(reinterpret_cast<u_char*>(recorder.dumper), &header, recorder.buffer);
    // Written through at once: a capture is most wanted after a run that went wrong.
    pcap_dump_flush(recorder.dumper);
}

}  // namespace aputil
