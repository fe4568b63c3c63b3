// Received payloads: header check, checksum, and the attribute walk over the
// body (and over raw bytes, as the attribute lists of replies arrive).

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "fuzz/fuzz_check.h"
#include "protocol/frame.h"

namespace {

using aputil::ATTR_END;

// A located attribute must lie wholly inside the list and say what the list says.
void CheckAttribute(std::span<const uint8_t> list, uint16_t id) {
    const auto found = aputil::FindAttribute(list, id);
    if (!found) return;
    const size_t at = found->offset;
    FUZZ_REQUIRE(at + 2 <= list.size());
    FUZZ_REQUIRE(found->id == id);
    FUZZ_REQUIRE(((list[at] << 8) | list[at + 1]) == id);
    if (id == ATTR_END) {
        FUZZ_REQUIRE(found->value.empty());
        return;
    }
    FUZZ_REQUIRE(at + 3 + found->value.size() <= list.size());
    FUZZ_REQUIRE(list[at + 2] == found->value.size());
    FUZZ_REQUIRE(found->value.data() == list.data() + at + 3);
    // Where the list is well formed, the attribute lies before its terminator.
    if (const auto end = aputil::FindAttribute(list, ATTR_END)) FUZZ_REQUIRE(at < end->offset);
}

void CheckAttributes(std::span<const uint8_t> list) {
    for (const uint16_t id : {aputil::ATTR_VENDOR, aputil::ATTR_PRODUCT, aputil::ATTR_MODEL, aputil::ATTR_AP_NAME,
                              aputil::ATTR_USER, aputil::ATTR_PASSWORD, ATTR_END}) {
        CheckAttribute(list, id);
    }
    if (list.size() >= 2) CheckAttribute(list, static_cast<uint16_t>((list[0] << 8) | list[1]));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> payload(data, size);
    aputil::FrameHeader header;
    if (aputil::VerifyFrame(payload, header)) {
        FUZZ_REQUIRE(size >= aputil::kMinPayloadSize);
        FUZZ_REQUIRE(header.magic == aputil::kFrameMagic);
        FUZZ_REQUIRE(header.length >= 4 && size_t{header.length} + 7 <= size);
        FUZZ_REQUIRE(aputil::Crc16(data + 5, header.length) ==
                     ((data[5 + header.length] << 8) | data[6 + header.length]));
        const auto body = aputil::FrameBody(payload, header);
        FUZZ_REQUIRE(body.data() == data + aputil::kFrameHeaderSize && body.size() == header.length - 4u);
        CheckAttributes(body);
        // Padding behind the checksum never matters (the shortest frame is
        // 11 bytes, which is accepted only with padding up to the minimum).
        if (header.length + 7u >= aputil::kMinPayloadSize) {
            FUZZ_REQUIRE(aputil::VerifyFrame(payload.first(header.length + 7u), header));
        }
    }
    CheckAttributes(payload);

    // The block header of block replies: what is read writes back the same.
    if (const auto block = aputil::BlockHeader::Read(payload)) {
        uint8_t bytes[aputil::kBlockHeaderSize];
        block->Write(bytes);
        const auto again = aputil::BlockHeader::Read(bytes);
        FUZZ_REQUIRE(again && again->op == block->op && again->offset == block->offset &&
                     again->length == block->length);
    }
    return 0;
}
