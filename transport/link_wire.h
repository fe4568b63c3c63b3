#pragma once
// Messages between the packet helper (aputil-link) and its client over one
// SOCK_SEQPACKET socket: one request, reply or frame per message. Both sides
// read every byte of the other's messages through a bounds-checked reader;
// the helper trusts nothing its client asks, the client nothing the helper says.
//
// Client to helper (first byte the kind):
//   LIST                       the usable adapters
//   OPEN  slot len name        open adapter name as channel slot (a slot in use is closed first)
//   OPENS count {slot len name}*count
//                              several OPENs made side by side (1..kMaxChannels of them, each slot
//                              once), answered by one OPEN_REPLY each, in request order
//   CLOSE slot                 close channel slot; answered once nothing of it is queued any more
//   SEND  slot frame           send one frame on channel slot (not answered; refusals are counted)
//   LINK  len name             whether the interface is up
//   STATUS                     the helper's counters
// Helper to client:
//   LIST_REPLY   flags count {len name mac[6]}*count
//   OPEN_REPLY   slot result mac[6]
//   CLOSE_REPLY  slot
//   FRAME        slot frame
//   LINK_REPLY   state
//   STATUS_REPLY dropped:u32 refused:u32 malformed:u32   (big-endian)
//   REFUSED      kind of the request that was malformed

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "protocol/ether.h"

namespace aputil::link {

// The helper finds its end of the socket here; everything else is closed.
inline constexpr int kSocketFd = 3;
// Open channels at once: one per usable adapter.
inline constexpr int kMaxChannels = 100;
inline constexpr size_t kMaxNameLength = 15;             // IFNAMSIZ - 1
inline constexpr size_t kMinFrame = kEthHeaderSize + 1;  // and at least one payload byte
inline constexpr size_t kMaxFrame = kEthMaxFrame;
// Largest message either way: a LIST_REPLY of kMaxChannels adapters.
inline constexpr size_t kMaxMessage = 3 + kMaxChannels * (1 + kMaxNameLength + kMacSize);
static_assert(kMaxMessage >= 2 + kMaxFrame);
static_assert(kMaxMessage >= 2 + kMaxChannels * (2 + kMaxNameLength));  // the largest OPENS

enum Kind : uint8_t {
    LIST = 0x01,
    OPEN = 0x02,
    CLOSE = 0x03,
    SEND = 0x04,
    LINK = 0x05,
    STATUS = 0x06,
    OPENS = 0x07,
    LIST_REPLY = 0x81,
    OPEN_REPLY = 0x82,
    CLOSE_REPLY = 0x83,
    FRAME = 0x84,
    LINK_REPLY = 0x85,
    STATUS_REPLY = 0x86,
    REFUSED = 0x8F,
};

// Result of an OPEN.
enum OpenResult : uint8_t {
    OPEN_OK = 0,
    OPEN_NO_DEVICE = 1,
    OPEN_NO_PRIVILEGE = 2,
    OPEN_FAILED = 3,
    OPEN_NOT_ETHERNET = 4,  // wrong link type, unreadable or dial-up address, filter refused
};

// LIST_REPLY flags.
inline constexpr uint8_t LIST_NO_PRIVILEGE = 0x01;  // an adapter could not be opened for want of CAP_NET_RAW

// LINK_REPLY states.
enum LinkState : uint8_t { LINK_DOWN = 0, LINK_UP = 1, LINK_UNKNOWN = 2 };

// Interface names as the kernel allows them: 1..15 printable bytes, no '/' or blank.
bool ValidName(std::string_view name);

struct Request {
    Kind kind = LIST;
    uint8_t slot = 0;
    std::string_view name;           // OPEN, LINK; points into the message
    std::span<const uint8_t> frame;  // SEND; points into the message
    std::span<const uint8_t> opens;  // OPENS entries, all checked; points into the message
    int openCount = 0;
};
// A request exactly as the table above has it (nothing missing, nothing
// after it, slot below kMaxChannels, a valid name, a frame of
// kMinFrame..kMaxFrame bytes); false for anything else.
bool ParseRequest(std::span<const uint8_t> message, Request& request);
// Copies a checked OPENS request's entries out, at most capacity of them.
int OpenEntries(const Request& request, uint8_t* slots, std::string* names, int capacity);

// Whether the helper may put this frame on an interface whose address is own:
// kMinFrame..kMaxFrame bytes, EtherType 0xAAAA, and the interface's own source.
bool FrameAllowed(std::span<const uint8_t> frame, const uint8_t own[6]);
// Whether a received frame may go on to the client: kMinFrame..kMaxFrame
// bytes, EtherType 0xAAAA, and an individual (not group) source address.
bool FrameDeliverable(std::span<const uint8_t> frame);

struct Message {
    Kind kind = REFUSED;
    uint8_t slot = 0;
    uint8_t result = 0;              // OPEN_REPLY result, LINK_REPLY state, REFUSED kind, LIST_REPLY flags
    uint8_t mac[6] = {};             // OPEN_REPLY
    uint32_t counters[3] = {};       // STATUS_REPLY
    std::span<const uint8_t> frame;  // FRAME; points into the message
    std::span<const uint8_t> list;   // LIST_REPLY entries; points into the message
    int listCount = 0;
};
// A helper message as the table above has it; a LIST_REPLY's entries are all
// checked here (valid names, exact length). False for anything else.
bool ParseMessage(std::span<const uint8_t> message, Message& out);
// Copies a checked LIST_REPLY's entries out, at most capacity of them.
int ListEntries(const Message& message, std::string* names, uint8_t (*macs)[6], int capacity);

// Writers; each returns the message length, 0 when out is too small or an
// argument is out of range.
size_t WriteOpen(std::span<uint8_t> out, uint8_t slot, std::string_view name);
// One OPENS of count entries; 0 also when a slot repeats or count is not 1..kMaxChannels.
size_t WriteOpens(std::span<uint8_t> out, const uint8_t* slots, const std::string* names, int count);
size_t WriteLink(std::span<uint8_t> out, std::string_view name);
size_t WriteListReply(std::span<uint8_t> out, uint8_t flags, const std::string* names, const uint8_t (*macs)[6],
                      int count);
size_t WriteStatusReply(std::span<uint8_t> out, uint32_t dropped, uint32_t refused, uint32_t malformed);

}  // namespace aputil::link
