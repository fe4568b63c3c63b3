#include "protocol/frame.h"

#include <algorithm>
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
        for (unsigned i = 0; i < 256; ++i) t[k][i] = static_cast<uint16_t>((t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 8]);
    return t;
}
constexpr Crc16Tables kCrc16Tables = MakeCrc16Tables();

// The builder's size rule on top of the buffer bounds: a byte at payload
// offset p may be written only if p + 3 <= maxFrameSize, i.e. two bytes stay
// free behind it for the checksum (counted data: p + n + 2 <= max). So every
// byte, the checksum's included, lies below maxFrameSize - 2: a ByteWriter
// over that much of the buffer applies the rule. Any field that does not fit,
// or is not valid, fails the whole frame.
class FrameWriter {
public:
    FrameWriter(std::span<uint8_t> out, size_t maxFrameSize)
        : out_(out.first(std::min(out.size(), maxFrameSize >= 2 ? maxFrameSize - 2 : 0))), w_(out_) {}

    void u8(uint8_t v) { w_.u8(v); }
    void u16(uint16_t v) { w_.u16be(v); }
    void u32(uint32_t v) { w_.u32be(v); }
    void bytes(std::span<const uint8_t> b) { w_.bytes(b.data(), b.size()); }
    // A 16-bit count, then the bytes it counts.
    void counted(std::span<const uint8_t> b) {
        if (b.size() > 0xFFFF) return refuse();
        u16(static_cast<uint16_t>(b.size()));
        bytes(b);
    }
    void attribute(const Attribute& a) {
        if (a.value.size() > 255) return refuse();
        u16(a.id);
        u8(static_cast<uint8_t>(a.value.size()));
        bytes(a.value);
    }
    void attributes(std::span<const Attribute> list, size_t n) {
        if (list.size() < n) return refuse();
        for (size_t i = 0; i < n; ++i) attribute(list[i]);
    }
    // Copies a caller's wire-form list item by item, terminator included.
    void attributeList(std::span<const uint8_t> list) {
        const auto end = FindAttribute(list, ATTR_END);
        if (!end) return refuse();
        bytes(list.first(end->offset + 2));
    }
    void idList(std::span<const uint16_t> ids) {
        for (uint16_t id : ids) {
            u16(id);
            if (id == ATTR_END) return;
        }
        refuse();  // no terminator within the list
    }
    void text(std::string_view s) {
        bytes(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
        u8(0);
    }
    void refuse() { refused_ = true; }

    // Fills in the length, appends the checksum and returns the payload size;
    // 0 when anything failed.
    size_t finish() {
        const size_t end = w_.position();
        if (refused_ || !w_.ok() || end - 5 > 0xFFFF) return 0;
        const auto length = static_cast<uint16_t>(end - 5);
        w_.seek(3);
        w_.u16be(length);
        w_.seek(end);
        w_.u16be(Crc16(out_.data() + 5, length, 0));
        return w_.ok() ? w_.position() : 0;
    }

private:
    std::span<uint8_t> out_;
    ByteWriter w_;
    bool refused_ = false;
};

// The body fields of the message types, in wire order; FrameFields names the
// value each takes.
enum class Field : uint8_t {
    End,  // of a layout
    Session,
    Status,
    Handle,
    Subtype,
    Value1,
    Value2,
    Mode,
    Length,
    Position,
    Value,
    BrowseFilters,  // attributes[0..2]
    BrowseAnswers,  // attributes[0..4]
    Ids,
    AttributeList,
    Name,         // with its zero byte
    Credentials,  // user and password attributes, for SESSION_LOGIN only
    DataSize,     // data.size() as a u16
    Data,
    DataIfOk,  // data, only when status is 0
    CountedData,
};

struct BodyLayout {
    uint16_t type;
    std::array<Field, 6> fields;
};

using enum Field;
constexpr BodyLayout kBodyLayouts[] = {
    {MSG_BROWSE, {BrowseFilters}},
    {MSG_BROWSE_REPLY, {BrowseAnswers}},
    {MSG_GET, {Session, Ids}},
    {MSG_GET_REPLY, {Session, Status, AttributeList}},
    {MSG_SESSION, {Subtype, Value1, Value2, Credentials}},
    {MSG_LOGOUT, {Session}},
    {MSG_SET, {Session, AttributeList}},
    {MSG_SET_REPLY, {Session, Status}},
    {MSG_HANDLE_OPEN, {Session, Mode, Name}},
    {MSG_HANDLE_OPEN_REPLY, {Session, Status, Handle, Value}},
    {MSG_HANDLE_CLOSE, {Session, Handle}},
    {MSG_HANDLE_CLOSE_REPLY, {Session, Handle, Status}},
    {MSG_HANDLE_READ, {Session, Handle, Length, Position}},
    {MSG_HANDLE_READ_REPLY, {Session, Handle, Status, Length, Position, DataIfOk}},
    {MSG_HANDLE_WRITE, {Session, Handle, DataSize, Position, Data}},
    {MSG_HANDLE_WRITE_REPLY, {Session, Handle, Status, Length, Position}},
    {MSG_BLOCK, {Session, CountedData}},
    {MSG_BLOCK_REPLY, {Session, Status, CountedData}},
};

void WriteField(FrameWriter& w, Field field, const FrameFields& f) {
    switch (field) {
    case End:
        break;
    case Session:
        w.u16(f.session);
        break;
    case Status:
        w.u16(f.status);
        break;
    case Handle:
        w.u16(f.handle);
        break;
    case Subtype:
        w.u16(f.subtype);
        break;
    case Value1:
        w.u16(f.value1);
        break;
    case Value2:
        w.u16(f.value2);
        break;
    case Mode:
        w.u8(f.mode);
        break;
    case Length:
        w.u16(f.length);
        break;
    case Position:
        w.u32(f.position);
        break;
    case Value:
        w.u32(f.value);
        break;
    case BrowseFilters:
        w.attributes(f.attributes, 3);
        break;
    case BrowseAnswers:
        w.attributes(f.attributes, 5);
        break;
    case Ids:
        w.idList(f.ids);
        break;
    case AttributeList:
        w.attributeList(f.attributeList);
        break;
    case Name:
        w.text(f.name);
        break;
    case Credentials:
        if (f.subtype == SESSION_LOGIN) {
            w.attribute(TextAttribute(ATTR_USER, f.user));
            w.attribute(TextAttribute(ATTR_PASSWORD, f.password));
        }
        break;
    case DataSize:
        if (f.data.size() > 0xFFFF) return w.refuse();
        w.u16(static_cast<uint16_t>(f.data.size()));
        break;
    case Data:
        w.bytes(f.data);
        break;
    case DataIfOk:
        if (f.status == 0) w.bytes(f.data);
        break;
    case CountedData:
        w.counted(f.data);
        break;
    }
}

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
    const BodyLayout* layout = nullptr;
    for (const BodyLayout& l : kBodyLayouts)
        if (l.type == type) layout = &l;
    if (layout == nullptr) return 0;

    FrameWriter w(out, maxFrameSize);
    w.u16(kFrameMagic);
    w.u8(kFrameVersion);
    w.u16(0);  // length, filled in by finish()
    w.u16(sequence);
    w.u16(type);
    for (Field field : layout->fields) WriteField(w, field, f);
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
