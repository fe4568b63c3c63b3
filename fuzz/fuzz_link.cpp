// The packet helper's two parsers: the requests its client sends (which the
// privileged side must never misread) and the helper's messages as the client
// reads them. The first input byte picks the side; the rest is one message.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "fuzz/fuzz_check.h"
#include "transport/link_wire.h"

namespace {

using namespace aputil::link;

bool Inside(std::span<const uint8_t> part, std::span<const uint8_t> whole) {
    return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

void CheckRequest(std::span<const uint8_t> message) {
    Request request;
    if (!ParseRequest(message, request)) return;
    FUZZ_REQUIRE(request.slot < kMaxChannels);
    FUZZ_REQUIRE(message[0] == request.kind);
    switch (request.kind) {
    case OPEN: {
        FUZZ_REQUIRE(ValidName(request.name));
        uint8_t again[3 + kMaxNameLength];
        const size_t length = WriteOpen(again, request.slot, request.name);
        // An accepted request is exactly what the writer makes of its fields.
        FUZZ_REQUIRE(length == message.size() && std::memcmp(again, message.data(), length) == 0);
        break;
    }
    case OPENS: {
        static uint8_t slots[kMaxChannels];
        static std::string names[kMaxChannels];
        const int count = OpenEntries(request, slots, names, kMaxChannels);
        FUZZ_REQUIRE(count == request.openCount && count >= 1 && count <= kMaxChannels);
        FUZZ_REQUIRE(Inside(request.opens, message));
        bool seen[kMaxChannels] = {};
        for (int i = 0; i < count; ++i) {
            FUZZ_REQUIRE(slots[i] < kMaxChannels && !seen[slots[i]] && ValidName(names[i]));
            seen[slots[i]] = true;
        }
        static uint8_t again[kMaxMessage];
        const size_t length = WriteOpens(again, slots, names, count);
        FUZZ_REQUIRE(length == message.size() && std::memcmp(again, message.data(), length) == 0);
        break;
    }
    case LINK: {
        FUZZ_REQUIRE(ValidName(request.name));
        uint8_t again[2 + kMaxNameLength];
        const size_t length = WriteLink(again, request.name);
        FUZZ_REQUIRE(length == message.size() && std::memcmp(again, message.data(), length) == 0);
        break;
    }
    case SEND:
        FUZZ_REQUIRE(request.frame.size() >= kMinFrame && request.frame.size() <= kMaxFrame);
        FUZZ_REQUIRE(Inside(request.frame, message) && request.frame.size() + 2 == message.size());
        // Whatever was asked, only a 0xAAAA frame from the interface's own address may go out.
        if (FrameAllowed(request.frame, request.frame.data() + 6))
            FUZZ_REQUIRE(request.frame[12] == 0xAA && request.frame[13] == 0xAA);
        break;
    case LIST:
    case STATUS:
    case CLOSE:
        FUZZ_REQUIRE(message.size() == (request.kind == CLOSE ? 2u : 1u));
        break;
    default:
        FUZZ_REQUIRE(false);
    }
}

void CheckMessage(std::span<const uint8_t> bytes) {
    Message message;
    if (!ParseMessage(bytes, message)) return;
    FUZZ_REQUIRE(message.slot < kMaxChannels);
    FUZZ_REQUIRE(Inside(message.frame, bytes) && Inside(message.list, bytes));
    if (message.kind == FRAME) FUZZ_REQUIRE(message.frame.size() >= kMinFrame && message.frame.size() <= kMaxFrame);
    if (message.kind != LIST_REPLY) return;
    static std::string names[kMaxChannels];
    static uint8_t macs[kMaxChannels][6];
    const int count = ListEntries(message, names, macs, kMaxChannels);
    FUZZ_REQUIRE(count == message.listCount);
    for (int i = 0; i < count; ++i) FUZZ_REQUIRE(ValidName(names[i]));
    // The entries read back into the very message they came from.
    static uint8_t again[kMaxMessage];
    const size_t length = WriteListReply(again, message.result, names, macs, count);
    FUZZ_REQUIRE(length == bytes.size() && std::memcmp(again, bytes.data(), length) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::span<const uint8_t> message(data + 1, size - 1);
    if ((data[0] & 1) == 0) CheckRequest(message);
    else CheckMessage(message);
    return 0;
}
