#include "transport/link_wire.h"

#include <cstring>

#include "protocol/bytes.h"
#include "protocol/ether.h"

namespace aputil::link {

namespace {

std::string_view ReadName(ByteReader& r) {
    const uint8_t length = r.u8();
    const std::span<const uint8_t> bytes = r.view(length);
    if (!r.ok()) return {};
    const std::string_view name(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (!ValidName(name)) {
        r.skip(r.size());  // marks the reader failed
        return {};
    }
    return name;
}

}  // namespace

bool ValidName(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameLength) return false;
    for (const char c : name) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b >= 0x7F || c == '/') return false;
    }
    return true;
}

bool ParseRequest(std::span<const uint8_t> message, Request& request) {
    request = Request{};
    ByteReader r(message);
    const uint8_t kind = r.u8();
    if (!r.ok()) return false;
    switch (kind) {
    case LIST:
    case STATUS:
        break;
    case OPEN:
        request.slot = r.u8();
        request.name = ReadName(r);
        break;
    case OPENS: {
        const uint8_t count = r.u8();
        if (!r.ok() || count == 0 || count > kMaxChannels) return false;
        const size_t start = r.position();
        bool seen[kMaxChannels] = {};
        for (int i = 0; i < count && r.ok(); ++i) {
            const uint8_t slot = r.u8();
            ReadName(r);
            // Two opens of one slot side by side would race for it.
            if (!r.ok() || slot >= kMaxChannels || seen[slot]) return false;
            seen[slot] = true;
        }
        if (!r.ok()) return false;
        request.opens = message.subspan(start, r.position() - start);
        request.openCount = count;
        break;
    }
    case CLOSE:
        request.slot = r.u8();
        break;
    case SEND:
        request.slot = r.u8();
        if (!r.ok() || r.remaining() < kMinFrame || r.remaining() > kMaxFrame) return false;
        request.frame = r.view(r.remaining());
        break;
    case LINK:
        request.name = ReadName(r);
        break;
    default:
        return false;
    }
    if (!r.ok() || r.remaining() != 0 || request.slot >= kMaxChannels) return false;
    request.kind = static_cast<Kind>(kind);
    return true;
}

bool FrameAllowed(std::span<const uint8_t> frame, const uint8_t own[6]) {
    if (frame.size() < kMinFrame || frame.size() > kMaxFrame) return false;
    const std::optional<EtherHeader> eth = ReadEtherHeader(frame);
    return eth && eth->etherType == kEtherType && eth->source == MacAt(own);
}

bool FrameDeliverable(std::span<const uint8_t> frame) {
    if (frame.size() < kMinFrame || frame.size() > kMaxFrame) return false;
    // A group source is no station: forged, and never an access point's reply.
    const std::optional<EtherHeader> eth = ReadEtherHeader(frame);
    return eth && eth->etherType == kEtherType && !IsGroupMac(eth->source.data());
}

bool ParseMessage(std::span<const uint8_t> message, Message& out) {
    out = Message{};
    ByteReader r(message);
    const uint8_t kind = r.u8();
    if (!r.ok()) return false;
    switch (kind) {
    case LIST_REPLY: {
        out.result = r.u8();
        const uint8_t count = r.u8();
        if (!r.ok() || count > kMaxChannels) return false;
        const size_t start = r.position();
        for (int i = 0; i < count; ++i) {
            ReadName(r);
            r.skip(6);
        }
        if (!r.ok()) return false;
        out.list = message.subspan(start, r.position() - start);
        out.listCount = count;
        break;
    }
    case OPEN_REPLY:
        out.slot = r.u8();
        out.result = r.u8();
        r.bytes(out.mac, 6);
        if (r.ok() && out.result > OPEN_NOT_ETHERNET) return false;
        break;
    case CLOSE_REPLY:
        out.slot = r.u8();
        break;
    case FRAME:
        out.slot = r.u8();
        if (!r.ok() || r.remaining() < kMinFrame || r.remaining() > kMaxFrame) return false;
        out.frame = r.view(r.remaining());
        break;
    case LINK_REPLY:
        out.result = r.u8();
        if (r.ok() && out.result > LINK_UNKNOWN) return false;
        break;
    case STATUS_REPLY:
        for (uint32_t& counter : out.counters) counter = r.u32be();
        break;
    case REFUSED:
        out.result = r.u8();
        break;
    default:
        return false;
    }
    if (!r.ok() || r.remaining() != 0 || out.slot >= kMaxChannels) return false;
    out.kind = static_cast<Kind>(kind);
    return true;
}

int ListEntries(const Message& message, std::string* names, uint8_t (*macs)[6], int capacity) {
    if (message.kind != LIST_REPLY) return 0;
    ByteReader r(message.list);
    int written = 0;
    for (int i = 0; i < message.listCount && written < capacity; ++i) {
        const std::string_view name = ReadName(r);
        if (!r.bytes(macs[written], kMacSize)) break;
        names[written].assign(name);
        ++written;
    }
    return written;
}

size_t WriteOpen(std::span<uint8_t> out, uint8_t slot, std::string_view name) {
    if (!ValidName(name) || slot >= kMaxChannels || out.size() < 3 + name.size()) return 0;
    out[0] = OPEN;
    out[1] = slot;
    out[2] = static_cast<uint8_t>(name.size());
    std::memcpy(out.data() + 3, name.data(), name.size());
    return 3 + name.size();
}

int OpenEntries(const Request& request, uint8_t* slots, std::string* names, int capacity) {
    if (request.kind != OPENS) return 0;
    ByteReader r(request.opens);
    int written = 0;
    for (int i = 0; i < request.openCount && written < capacity; ++i) {
        const uint8_t slot = r.u8();
        const std::string_view name = ReadName(r);
        if (!r.ok()) break;
        slots[written] = slot;
        names[written].assign(name);
        ++written;
    }
    return written;
}

size_t WriteOpens(std::span<uint8_t> out, const uint8_t* slots, const std::string* names, int count) {
    if (count < 1 || count > kMaxChannels || out.size() < 2) return 0;
    bool seen[kMaxChannels] = {};
    size_t at = 0;
    out[at++] = OPENS;
    out[at++] = static_cast<uint8_t>(count);
    for (int i = 0; i < count; ++i) {
        const std::string& name = names[i];
        if (slots[i] >= kMaxChannels || seen[slots[i]] || !ValidName(name) || out.size() - at < 2 + name.size())
            return 0;
        seen[slots[i]] = true;
        out[at++] = slots[i];
        out[at++] = static_cast<uint8_t>(name.size());
        std::memcpy(out.data() + at, name.data(), name.size());
        at += name.size();
    }
    return at;
}

size_t WriteLink(std::span<uint8_t> out, std::string_view name) {
    if (!ValidName(name) || out.size() < 2 + name.size()) return 0;
    out[0] = LINK;
    out[1] = static_cast<uint8_t>(name.size());
    std::memcpy(out.data() + 2, name.data(), name.size());
    return 2 + name.size();
}

size_t WriteListReply(std::span<uint8_t> out, uint8_t flags, const std::string* names, const uint8_t (*macs)[6],
                      int count) {
    if (count < 0 || count > kMaxChannels || out.size() < 3) return 0;
    size_t at = 0;
    out[at++] = LIST_REPLY;
    out[at++] = flags;
    out[at++] = static_cast<uint8_t>(count);
    for (int i = 0; i < count; ++i) {
        const std::string& name = names[i];
        if (!ValidName(name) || out.size() - at < 1 + name.size() + kMacSize) return 0;
        out[at++] = static_cast<uint8_t>(name.size());
        std::memcpy(out.data() + at, name.data(), name.size());
        at += name.size();
        CopyMac(out.data() + at, macs[i]);
        at += kMacSize;
    }
    return at;
}

size_t WriteStatusReply(std::span<uint8_t> out, uint32_t dropped, uint32_t refused, uint32_t malformed) {
    if (out.size() < 13) return 0;
    out[0] = STATUS_REPLY;
    size_t at = 1;
    for (const uint32_t v : {dropped, refused, malformed}) {
        for (int shift = 24; shift >= 0; shift -= 8) out[at++] = static_cast<uint8_t>(v >> shift);
    }
    return at;
}

}  // namespace aputil::link
