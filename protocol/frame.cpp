#include "protocol/frame.h"

#include <array>
#include <cstring>

#include "protocol/bytes.h"

namespace aputil {

namespace {

// Slicing-by-8 tables: kCrc16Tables[k][b] is the CRC of byte b followed by k
// zero bytes, so eight bytes fold in with eight independent look-ups instead
// of a chain of eight dependent ones. Table 0 is the classic byte table.
using Crc16Tables = std::array<std::array<uint16_t, 256>, 8>;
constexpr Crc16Tables MakeCrc16Tables() {
    Crc16Tables t{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i << 8;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000u) ? (crc << 1) ^ 0x1021u : crc << 1;
        t[0][i] = static_cast<uint16_t>(crc);
    }
    for (size_t k = 1; k < t.size(); ++k)
        for (unsigned i = 0; i < 256; ++i)
            t[k][i] = static_cast<uint16_t>((t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 8]);
    return t;
}
constexpr Crc16Tables kCrc16Tables = MakeCrc16Tables();

// Applies the builder's size rule on top of the buffer bounds: a byte at
// payload offset p may be written only if p + 3 <= maxFrameSize, i.e. two bytes
// stay free for the checksum. Counted data uses the rule p + n + 2 <= max.
class FrameWriter {
public:
    FrameWriter(std::span<uint8_t> out, size_t maxFrameSize)
        : out_(out), limit_(maxFrameSize >= 2 ? maxFrameSize - 2 : 0) {}

    bool ok() const { return ok_; }
    size_t position() const { return pos_; }

    void u8(uint8_t v) {
        if (!fits(1)) return;
        out_[pos_++] = v;
    }
    void u16(uint16_t v) {
        u8(static_cast<uint8_t>(v >> 8));
        u8(static_cast<uint8_t>(v));
    }
    void u32(uint32_t v) {
        u16(static_cast<uint16_t>(v >> 16));
        u16(static_cast<uint16_t>(v));
    }
    void bytes(std::span<const uint8_t> b) {
        for (uint8_t v : b) u8(v);
    }
    void counted(std::span<const uint8_t> b) {
        if (b.size() > 0xFFFF) {
            ok_ = false;
            return;
        }
        u16(static_cast<uint16_t>(b.size()));
        // Copied only if p + n + 2 <= maxFrameSize.
        if (!ok_ || pos_ + b.size() > limit_ || pos_ + b.size() > out_.size()) {
            ok_ = false;
            return;
        }
        if (!b.empty()) std::memcpy(out_.data() + pos_, b.data(), b.size());
        pos_ += b.size();
    }
    void attribute(const Attribute& a) {
        if (a.value.size() > 255) {
            ok_ = false;
            return;
        }
        u16(a.id);
        u8(static_cast<uint8_t>(a.value.size()));
        bytes(a.value);
    }
    // Copies a caller's wire-form list item by item, terminator included.
    void attributeList(std::span<const uint8_t> list) {
        auto end = FindAttribute(list, ATTR_END);
        if (!end) {
            ok_ = false;
            return;
        }
        bytes(list.first(end->offset + 2));
    }
    void idList(std::span<const uint16_t> ids) {
        for (uint16_t id : ids) {
            u16(id);
            if (id == ATTR_END) return;
        }
        ok_ = false;  // no terminator within the list
    }
    void text(std::string_view s) {
        for (char c : s) u8(static_cast<uint8_t>(c));
        u8(0);
    }
    // Writes the checksum (under the same rule, at its own offset) and returns
    // the payload size.
    size_t finish() {
        if (!ok_) return 0;
        const size_t length = pos_ - 5;
        if (length > 0xFFFF) return 0;
        out_[3] = static_cast<uint8_t>(length >> 8);
        out_[4] = static_cast<uint8_t>(length);
        const uint16_t crc = Crc16(out_.data() + 5, length, 0);
        // The checksum's bytes sit at p and p + 1; each must satisfy p + 3 <= max.
        if (pos_ + 2 > out_.size() || pos_ + 1 + 3 > limit_ + 2) return 0;
        out_[pos_++] = static_cast<uint8_t>(crc >> 8);
        out_[pos_++] = static_cast<uint8_t>(crc);
        return pos_;
    }

private:
    bool fits(size_t n) {
        if (!ok_ || pos_ + n > limit_ || pos_ + n > out_.size()) ok_ = false;
        return ok_;
    }

    std::span<uint8_t> out_;
    size_t limit_;
    size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace

PeerAddress PeerAddress::FromMac(const uint8_t* mac) noexcept {
    PeerAddress p;
    p.length = kMacSize;
    CopyMac(p.address, mac);
    return p;
}

bool operator==(const PeerAddress& a, const PeerAddress& b) noexcept {
    if (a.length != b.length) return false;
    const size_t n = a.length <= sizeof(a.address) ? a.length : sizeof(a.address);
    return std::memcmp(a.address, b.address, n) == 0;
}

Attribute TextAttribute(uint16_t id, std::string_view text) noexcept {
    return {id, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size())};
}

uint16_t Crc16(const uint8_t* bytes, size_t count, uint16_t seed) noexcept {
    // Every frame is checksummed on both sides of each exchange, so this sits
    // on the round trip's critical path: eight bytes per step.
    const auto& t = kCrc16Tables;
    uint16_t crc = seed;
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const uint8_t* b = bytes + i;
        crc = static_cast<uint16_t>(t[7][b[0] ^ (crc >> 8)] ^ t[6][b[1] ^ (crc & 0xFF)] ^ t[5][b[2]] ^ t[4][b[3]] ^
                                    t[3][b[4]] ^ t[2][b[5]] ^ t[1][b[6]] ^ t[0][b[7]]);
    }
    for (; i < count; ++i) crc = static_cast<uint16_t>(t[0][((crc >> 8) ^ bytes[i]) & 0xFF] ^ (crc << 8));
    return crc;
}

size_t BuildFrame(std::span<uint8_t> out, uint16_t sequence, uint16_t type, const FrameFields& f,
                  size_t maxFrameSize) noexcept {
    FrameWriter w(out, maxFrameSize);
    w.u16(kFrameMagic);
    w.u8(kFrameVersion);
    w.u16(0);  // length, filled in by finish()
    w.u16(sequence);
    w.u16(type);

    switch (type) {
    case MSG_BROWSE:
    case MSG_BROWSE_REPLY: {
        const size_t n = type == MSG_BROWSE ? 3 : 5;
        if (f.attributes.size() < n) return 0;
        for (size_t i = 0; i < n; ++i) w.attribute(f.attributes[i]);
        break;
    }
    case MSG_GET:
        w.u16(f.session);
        w.idList(f.ids);
        break;
    case MSG_GET_REPLY:
        w.u16(f.session);
        w.u16(f.status);
        w.attributeList(f.attributeList);
        break;
    case MSG_SESSION:
        w.u16(f.subtype);
        w.u16(f.value1);
        w.u16(f.value2);
        if (f.subtype == SESSION_LOGIN) {
            w.attribute(TextAttribute(ATTR_USER, f.user));
            w.attribute(TextAttribute(ATTR_PASSWORD, f.password));
        }
        break;
    case MSG_LOGOUT:
        w.u16(f.session);
        break;
    case MSG_SET:
        w.u16(f.session);
        w.attributeList(f.attributeList);
        break;
    case MSG_SET_REPLY:
        w.u16(f.session);
        w.u16(f.status);
        break;
    case MSG_HANDLE_OPEN:
        w.u16(f.session);
        w.u8(f.mode);
        w.text(f.name);
        break;
    case MSG_HANDLE_OPEN_REPLY:
        w.u16(f.session);
        w.u16(f.status);
        w.u16(f.handle);
        w.u32(f.value);
        break;
    case MSG_HANDLE_CLOSE:
        w.u16(f.session);
        w.u16(f.handle);
        break;
    case MSG_HANDLE_CLOSE_REPLY:
        w.u16(f.session);
        w.u16(f.handle);
        w.u16(f.status);
        break;
    case MSG_HANDLE_READ:
        w.u16(f.session);
        w.u16(f.handle);
        w.u16(f.length);
        w.u32(f.position);
        break;
    case MSG_HANDLE_READ_REPLY:
        w.u16(f.session);
        w.u16(f.handle);
        w.u16(f.status);
        w.u16(f.length);
        w.u32(f.position);
        if (f.status == 0) w.bytes(f.data);
        break;
    case MSG_HANDLE_WRITE:
        if (f.data.size() > 0xFFFF) return 0;
        w.u16(f.session);
        w.u16(f.handle);
        w.u16(static_cast<uint16_t>(f.data.size()));
        w.u32(f.position);
        w.bytes(f.data);
        break;
    case MSG_HANDLE_WRITE_REPLY:
        w.u16(f.session);
        w.u16(f.handle);
        w.u16(f.status);
        w.u16(f.length);
        w.u32(f.position);
        break;
    case MSG_BLOCK:
        w.u16(f.session);
        w.counted(f.data);
        break;
    case MSG_BLOCK_REPLY:
        w.u16(f.session);
        w.u16(f.status);
        w.counted(f.data);
        break;
    default:
        return 0;
    }
    return w.finish();
}

bool VerifyFrame(std::span<const uint8_t> payload, FrameHeader& header) noexcept {
    if (payload.size() < kMinPayloadSize) return false;
    ByteReader r(payload);
    FrameHeader h;
    h.magic = r.u16be();
    h.version = r.u8();
    h.length = r.u16be();
    h.sequence = r.u16be();
    h.type = r.u16be();
    if (!r.ok() || h.magic != kFrameMagic) return false;
    // A length below 4 would leave a body of negative size.
    if (h.length < 4 || size_t{h.length} + 7 > payload.size()) return false;
    ByteReader trailer(payload.subspan(5 + size_t{h.length}, 2));
    const uint16_t stored = trailer.u16be();
    if (!trailer.ok() || Crc16(payload.data() + 5, h.length, 0) != stored) return false;
    header = h;
    return true;
}

std::optional<AttributeRef> FindAttribute(std::span<const uint8_t> list, uint16_t id) noexcept {
    ByteReader r(list);
    while (r.remaining() >= 2) {
        const size_t at = r.position();
        const uint16_t itemId = r.u16be();
        if (itemId == ATTR_END) {
            if (id == ATTR_END) return AttributeRef{at, ATTR_END, {}};
            return std::nullopt;
        }
        const uint8_t len = r.u8();
        auto value = r.view(len);
        if (!r.ok()) return std::nullopt;  // head or value runs past the list
        if (itemId == id) return AttributeRef{at, itemId, value};
    }
    return std::nullopt;  // ended without a terminator
}

void BlockHeader::Write(uint8_t* out) const noexcept {
    ByteWriter w(out, kBlockHeaderSize);
    w.u8(op);
    w.u8(0);
    w.u8(0);
    w.u8(0);
    w.u32le(offset);
    w.u32le(length);
    w.u32le(0);
}

std::optional<BlockHeader> BlockHeader::Read(std::span<const uint8_t> in) noexcept {
    ByteReader r(in);
    BlockHeader h;
    h.op = r.u8();
    r.skip(3);
    h.offset = r.u32le();
    h.length = r.u32le();
    r.skip(4);
    if (!r.ok()) return std::nullopt;
    return h;
}

}  // namespace aputil
