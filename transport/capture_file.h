#pragma once
// Session captures: every frame the adapter sends and every frame it hands to
// the protocol is appended to a pcap file (Ethernet link type), so an
// administrator can look at the exchange with a packet analyser.
//
// Unless secrets are kept, the capture never holds the device password or the
// WEP keys: the ATTR_PASSWORD value of every attribute list and login becomes
// '*' of the same length, and in block transfers that touch the configuration
// image the non-zero bytes of its password field and WEP key slots become '*'.
// A masked frame whose CRC-16 was good gets a recomputed one, so the capture
// dissects clean; a frame that arrived with a bad CRC-16 keeps a bad one.
// (The image's own CRC-32 is left as sent, so it no longer matches masked
// image bytes.)

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/ether.h"

namespace aputil {

// Opens (truncates) the capture file; a capture already running is stopped
// first. A capture that keeps secrets is readable by its owner only. false,
// with error saying why, when the file cannot be written.
bool StartFrameCapture(const std::string& path, bool keepSecrets, std::string& error);
// Flushes and closes the capture; nothing happens when none runs.
void StopFrameCapture();
bool FrameCaptureActive() noexcept;

// Appends one whole Ethernet frame, masked as above, stamped with the current
// time. Called by CAdapter for each frame sent and delivered; does nothing
// when no capture runs. Allocates nothing.
void CaptureFrame(const uint8_t* frame, size_t length) noexcept;

// Offsets of the secret fields inside the 4096-byte configuration image.
inline constexpr size_t kImagePasswordOffset = 552;
inline constexpr size_t kImagePasswordWidth = 480;
inline constexpr size_t kImageKeySlotsOffset = 1072;
inline constexpr size_t kImageKeySlotsWidth = 80;

// The masking, frame by frame. It follows the exchange: block requests are
// remembered (by sequence and the two stations) so that a reply's data can be
// placed in the device's address space, and the information block's reply
// tells where the configuration image lies. Treats every byte as hostile:
// declared lengths are not trusted to bound the walk, and whatever runs past
// the frame is cut at its end.
class SecretMask {
public:
    // Masks the frame in place; returns how many bytes were replaced.
    size_t Apply(uint8_t* frame, size_t length) noexcept;
    void Reset() noexcept { *this = SecretMask{}; }
    bool ImageAddressKnown() const noexcept { return imageKnown_; }
    uint32_t ImageAddress() const noexcept { return imageAddress_; }

private:
    struct PendingBlock {
        bool used = false;
        uint16_t sequence = 0;
        MacAddress requester{};
        MacAddress responder{};
        uint8_t op = 0;
        uint32_t offset = 0;
    };
    static constexpr size_t kPendingBlocks = 16;

    size_t MaskAttributes(uint8_t* list, size_t length) noexcept;
    size_t MaskImageBytes(uint8_t* data, size_t length, uint32_t deviceAddress) const noexcept;
    size_t Block(const EtherHeader& eth, uint8_t* body, size_t bodyLength, uint16_t sequence) noexcept;
    size_t BlockReply(const EtherHeader& eth, uint8_t* body, size_t bodyLength, uint16_t sequence) noexcept;

    PendingBlock pending_[kPendingBlocks];
    size_t nextPending_ = 0;
    bool imageKnown_ = false;
    uint32_t imageAddress_ = 0;
};

}  // namespace aputil
