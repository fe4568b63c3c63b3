#pragma once
// The management protocol on the wire, behind the Ethernet header of
// protocol/ether.h: the 9-byte header with its CRC-16 trailer, attributes,
// every message type, the block header of block transfers and the status
// values.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "protocol/ether.h"  // IWYU pragma: export

namespace aputil {

// Payload header.
inline constexpr uint16_t kFrameMagic = 0xF558;
inline constexpr uint8_t kFrameVersion = 0x40;
inline constexpr size_t kFrameHeaderSize = 9;
inline constexpr size_t kMinPayloadSize = 12;  // header + smallest checksummed body
inline constexpr size_t kDefaultMaxFrameSize = 1500;
inline constexpr size_t kFrameBufferSize = 1508;  // room for any payload BuildFrame may write

// Message types.
inline constexpr uint16_t MSG_BROWSE = 0;
inline constexpr uint16_t MSG_BROWSE_REPLY = 1;
inline constexpr uint16_t MSG_GET = 2;
inline constexpr uint16_t MSG_GET_REPLY = 3;
inline constexpr uint16_t MSG_SESSION = 4;
inline constexpr uint16_t MSG_LOGOUT = 5;
inline constexpr uint16_t MSG_SET = 6;
inline constexpr uint16_t MSG_SET_REPLY = 7;
inline constexpr uint16_t MSG_HANDLE_OPEN = 8;
inline constexpr uint16_t MSG_HANDLE_OPEN_REPLY = 9;
inline constexpr uint16_t MSG_HANDLE_CLOSE = 10;
inline constexpr uint16_t MSG_HANDLE_CLOSE_REPLY = 11;
inline constexpr uint16_t MSG_HANDLE_READ = 12;
inline constexpr uint16_t MSG_HANDLE_READ_REPLY = 13;
inline constexpr uint16_t MSG_HANDLE_WRITE = 14;
inline constexpr uint16_t MSG_HANDLE_WRITE_REPLY = 15;
inline constexpr uint16_t MSG_BLOCK = 20;
inline constexpr uint16_t MSG_BLOCK_REPLY = 21;

// MSG_SESSION subtypes.
inline constexpr uint16_t SESSION_LOGIN = 1;
inline constexpr uint16_t SESSION_LOGIN_REPLY = 2;
inline constexpr uint16_t SESSION_CHECK = 3;
inline constexpr uint16_t SESSION_CHECK_REPLY = 4;

// Attribute ids.
inline constexpr uint16_t ATTR_VENDOR = 0;
inline constexpr uint16_t ATTR_PRODUCT = 1;
inline constexpr uint16_t ATTR_MODEL = 2;
inline constexpr uint16_t ATTR_AP_NAME = 3;
inline constexpr uint16_t ATTR_USER = 5;
inline constexpr uint16_t ATTR_PASSWORD = 6;
inline constexpr uint16_t ATTR_END = 0xFFFF;

// Block operation codes (first byte of a BlockHeader).
inline constexpr uint8_t BLOCK_OP_FINISH = 0;
inline constexpr uint8_t BLOCK_OP_READ = 1;
inline constexpr uint8_t BLOCK_OP_WRITE = 2;
inline constexpr uint8_t BLOCK_OP_INFO = 0x10;
inline constexpr uint8_t BLOCK_OP_COMMIT = 0x30;

// Status values of the operations; device status values pass through.
inline constexpr int STATUS_OK = 0;
inline constexpr int STATUS_FAILED = 1;
inline constexpr int STATUS_NO_REPLY = 2;
inline constexpr int STATUS_BUSY = 3;
inline constexpr int STATUS_BAD_SESSION = 4;
inline constexpr int STATUS_NO_SESSION = 6;
inline constexpr int STATUS_NO_ROOM = 8;

// How the protocol names a station: a length byte (6, or 0 for broadcast) and
// the address. Equal when the lengths and the covered address bytes are equal.
struct PeerAddress {
    uint8_t length = 0;
    uint8_t address[16] = {};

    static PeerAddress Broadcast() noexcept { return {}; }
    static PeerAddress FromMac(const uint8_t* mac) noexcept;
    friend bool operator==(const PeerAddress& a, const PeerAddress& b) noexcept;
};
static_assert(sizeof(PeerAddress) == 17);

struct FrameHeader {
    uint16_t magic = 0;
    uint8_t version = 0;
    uint16_t length = 0;  // bytes from offset 5 up to the checksum: 4 + body length
    uint16_t sequence = 0;
    uint16_t type = 0;
};

// One attribute to write: id and value (at most 255 bytes).
struct Attribute {
    uint16_t id = 0;
    std::span<const uint8_t> value;
};
Attribute TextAttribute(uint16_t id, std::string_view text) noexcept;

// The body fields of a frame to build; each type takes the fields named in its
// comment, in wire order, and ignores the others.
//   MSG_BROWSE               attributes[0..2]
//   MSG_BROWSE_REPLY         attributes[0..4]
//   MSG_GET                  session, ids (ended by 0xFFFF)
//   MSG_GET_REPLY            session, status, attributeList
//   MSG_SESSION              subtype, value1, value2; for SESSION_LOGIN also user, password
//   MSG_LOGOUT               session
//   MSG_SET                  session, attributeList
//   MSG_SET_REPLY            session, status
//   MSG_HANDLE_OPEN          session, mode, name (sent with its zero byte)
//   MSG_HANDLE_OPEN_REPLY    session, status, handle, value
//   MSG_HANDLE_CLOSE         session, handle
//   MSG_HANDLE_CLOSE_REPLY   session, handle, status
//   MSG_HANDLE_READ          session, handle, length (largest accepted), position
//   MSG_HANDLE_READ_REPLY    session, handle, status, length, position, data (only when status is 0)
//   MSG_HANDLE_WRITE         session, handle, data.size(), position, data
//   MSG_HANDLE_WRITE_REPLY   session, handle, status, length, position
//   MSG_BLOCK                session, counted data
//   MSG_BLOCK_REPLY          session, status, counted data
// attributeList is in wire form (id u16 big-endian, length u8, value), ended by 0xFFFF;
// a malformed list fails the build.
struct FrameFields {
    uint16_t session = 0;
    uint16_t status = 0;
    uint16_t handle = 0;
    uint16_t subtype = 0;
    uint16_t value1 = 0;
    uint16_t value2 = 0;
    uint8_t mode = 0;
    uint16_t length = 0;
    uint32_t position = 0;
    uint32_t value = 0;
    std::span<const Attribute> attributes;
    std::span<const uint8_t> attributeList;
    std::span<const uint16_t> ids;
    std::string_view name;
    std::string_view user;
    std::string_view password;
    std::span<const uint8_t> data;
};

// Writes a complete payload (header, body, checksum) and returns its size
// (`length` + 7), or 0 when the type is not defined or the content does not fit.
// Size rule: a byte at payload offset p is written only if p + 3 <= maxFrameSize;
// counted data of n bytes at p only if p + n + 2 <= maxFrameSize. So a payload
// never exceeds maxFrameSize - 2 bytes.
size_t BuildFrame(std::span<uint8_t> out, uint16_t sequence, uint16_t type, const FrameFields& fields,
                  size_t maxFrameSize = kDefaultMaxFrameSize) noexcept;

// Checks a received payload (the bytes behind the Ethernet header): at least 12
// bytes, magic 0xF558, a length of at least 4 that fits, and a good checksum.
// Bytes behind the checksum (padding) are ignored; the version is not examined.
bool VerifyFrame(std::span<const uint8_t> payload, FrameHeader& header) noexcept;

// The body of a payload that passed VerifyFrame.
inline std::span<const uint8_t> FrameBody(std::span<const uint8_t> payload, const FrameHeader& header) noexcept {
    return payload.subspan(kFrameHeaderSize, header.length - 4u);
}

// A located attribute: where its 3-byte head starts in the list, and its value.
struct AttributeRef {
    size_t offset = 0;
    uint16_t id = 0;
    std::span<const uint8_t> value;
};

// Walks a received attribute list for `id`. Absent when the terminator comes
// first, when an item runs past the list, or when the list ends without a
// terminator. With id ATTR_END it locates the terminator, so it checks that the
// whole list is well formed.
std::optional<AttributeRef> FindAttribute(std::span<const uint8_t> list, uint16_t id) noexcept;

// CRC-16/XMODEM (poly 0x1021, MSB first, no reflection, no final XOR).
uint16_t Crc16(const uint8_t* bytes, size_t count, uint16_t seed = 0) noexcept;

// The 16-byte header at the start of a block message's counted data; its 32-bit
// fields are little-endian, unlike the rest of the protocol.
inline constexpr size_t kBlockHeaderSize = 16;
struct BlockHeader {
    uint8_t op = 0;
    uint32_t offset = 0;
    uint32_t length = 0;

    void Write(uint8_t* out) const noexcept;  // 16 bytes, reserved bytes 0
    static std::optional<BlockHeader> Read(std::span<const uint8_t> in) noexcept;
};

}  // namespace aputil
