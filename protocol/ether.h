#pragma once
// Ethernet framing: the 14-byte header in front of every payload (destination,
// source, EtherType), read and written only here, and MAC addresses as they
// are kept in plain six-byte arrays.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "protocol/bytes.h"

namespace aputil {

inline constexpr size_t kEthHeaderSize = 14;
inline constexpr size_t kEthMaxFrame = 1514;  // header + largest payload we accept
inline constexpr uint16_t kEtherType = 0xAAAA;
inline constexpr size_t kMacSize = 6;

using MacAddress = std::array<uint8_t, kMacSize>;
inline constexpr MacAddress kBroadcastMac = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// A group (multicast or broadcast) address has bit 0 of its first octet set.
inline bool IsGroupMac(const uint8_t* mac) noexcept { return (mac[0] & 1) != 0; }

// Copies the six bytes of a MAC address; MacAt gives them as a value.
inline void CopyMac(uint8_t* to, const uint8_t* from) noexcept { std::memcpy(to, from, kMacSize); }
inline MacAddress MacAt(const uint8_t* mac) noexcept {
    MacAddress m;
    CopyMac(m.data(), mac);
    return m;
}

struct EtherHeader {
    MacAddress destination{};
    MacAddress source{};
    uint16_t etherType = 0;
};

// The header at the start of frame; absent when the frame is shorter than one.
inline std::optional<EtherHeader> ReadEtherHeader(std::span<const uint8_t> frame) noexcept {
    ByteReader r(frame);
    EtherHeader h;
    r.bytes(h.destination.data(), kMacSize);
    r.bytes(h.source.data(), kMacSize);
    h.etherType = r.u16be();
    if (!r.ok()) return std::nullopt;
    return h;
}

// Writes the header at the start of frame; false, and nothing written, when
// the frame has no room for one.
inline bool WriteEtherHeader(std::span<uint8_t> frame, const EtherHeader& header) noexcept {
    if (frame.size() < kEthHeaderSize) return false;
    ByteWriter w(frame);
    w.bytes(header.destination.data(), kMacSize);
    w.bytes(header.source.data(), kMacSize);
    w.u16be(header.etherType);
    return w.ok();
}

}  // namespace aputil
