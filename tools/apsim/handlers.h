#pragma once
// What the request handlers share: the reply a handler hands to Emit, the
// byte-level patches of whole reply frames (Ethernet header included), and
// the start of a request's log line.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "protocol/bytes.h"
#include "protocol/ether.h"
#include "protocol/frame.h"
#include "tools/apsim/apsim_core.h"

namespace apsim {

// Payload offsets inside an Ethernet frame. The checksum covers the header's
// length in bytes from the sequence on.
inline constexpr size_t kLengthAt = aputil::kEthHeaderSize + 3;
inline constexpr size_t kSeqAt = aputil::kEthHeaderSize + 5;

inline void PutU32le(uint8_t* p, uint32_t v) {
    aputil::ByteWriter w(p, 4);
    w.u32le(v);
}

// Where a whole frame's CRC-16 trailer lies by its length field; 0 when that
// runs past the frame.
inline size_t ChecksumAt(std::span<const uint8_t> frame) {
    const size_t at = kSeqAt + aputil::U16beAt(frame, kLengthAt);
    return at + 2 <= frame.size() ? at : 0;
}

// Recomputes the CRC-16 trailer after a reply was patched.
void Recrc(std::vector<uint8_t>& frame);

// {"t":..,"event":"request","ap":..,"type":..: how the line of a request to one AP starts.
inline JsonLine RequestLine(uint64_t nowMs, const SimAp& ap, uint16_t type) {
    JsonLine line(nowMs, "request");
    line.Str("ap", MacText(ap.mac)).Num("type", type);
    return line;
}

struct Simulator::Reply {
    aputil::FrameFields fields;
    std::vector<uint8_t> counted;  // block replies: device block header + data
    bool shapeable = false;        // a block reply that carries data (info, read)
};

}  // namespace apsim
