#pragma once
// What the request handlers share: the reply a handler hands to Emit, the
// byte-level patches of whole reply frames (Ethernet header included), and
// the start of a request's log line.

#include <cstdint>
#include <cstring>
#include <vector>

#include "protocol/bytes.h"
#include "protocol/frame.h"
#include "tools/apsim/apsim_core.h"

namespace apsim {

inline constexpr size_t kEth = aputil::kEthHeaderSize;
// Payload offsets inside an Ethernet frame.
inline constexpr size_t kSeqAt = kEth + 5;
inline constexpr size_t kLengthAt = kEth + 3;

inline void PutU32le(uint8_t* p, uint32_t v) {
    aputil::ByteWriter w(p, 4);
    w.u32le(v);
}

// Destination, source and EtherType 0xAAAA.
inline void PutEthernetHeader(std::vector<uint8_t>& frame, const Mac& dst, const Mac& src) {
    std::memcpy(frame.data(), dst.data(), 6);
    std::memcpy(frame.data() + 6, src.data(), 6);
    frame[12] = 0xAA;
    frame[13] = 0xAA;
}

inline void PutSequence(std::vector<uint8_t>& frame, uint16_t seq) {
    frame[kSeqAt] = static_cast<uint8_t>(seq >> 8);
    frame[kSeqAt + 1] = static_cast<uint8_t>(seq);
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
