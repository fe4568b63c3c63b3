#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/frame.h"

using namespace aputil;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Build(uint16_t seq, uint16_t type, const FrameFields& f, size_t max = kDefaultMaxFrameSize) {
    Bytes out(kFrameBufferSize);
    const size_t n = BuildFrame(out, seq, type, f, max);
    out.resize(n);
    return out;
}

}  // namespace

TEST(Crc16, KnownAnswers) {
    // CRC-16/XMODEM check value over the nine ASCII digits.
    EXPECT_EQ(Crc16(reinterpret_cast<const uint8_t*>("123456789"), 9), 0x31C3);
    EXPECT_EQ(Crc16(nullptr, 0), 0);
    // Checksum of the logout frame below: over 01 02 00 05 00 03.
    const uint8_t body[] = {0x01, 0x02, 0x00, 0x05, 0x00, 0x03};
    EXPECT_EQ(Crc16(body, sizeof body), 0xDAB0);
}

TEST(BuildFrame, LogoutIsTheDocumentedThirteenBytes) {
    FrameFields f;
    f.session = 3;
    const Bytes expected = {0xF5, 0x58,   // magic
                            0x40,         // version
                            0x00, 0x06,   // length: seq + type + 2-byte body
                            0x01, 0x02,   // sequence
                            0x00, 0x05,   // MSG_LOGOUT
                            0x00, 0x03,   // session
                            0xDA, 0xB0};  // CRC-16
    EXPECT_EQ(Build(0x0102, MSG_LOGOUT, f), expected);
}

TEST(BuildFrame, AllModelsBrowseCarriesAnEmptyModelAttribute) {
    const Attribute attrs[] = {TextAttribute(ATTR_VENDOR, "M-Rax"),
                               TextAttribute(ATTR_PRODUCT, "Lumivance/QR-4710 Access Point"),
                               TextAttribute(ATTR_MODEL, "")};
    FrameFields f;
    f.attributes = attrs;
    const Bytes frame = Build(7, MSG_BROWSE, f);
    ASSERT_FALSE(frame.empty());
    // The body ends with the model attribute: id 2, length 0, and no terminator follows.
    const size_t bodyEnd = frame.size() - 2;
    EXPECT_EQ(Bytes(frame.begin() + bodyEnd - 3, frame.begin() + bodyEnd), (Bytes{0x00, 0x02, 0x00}));
    EXPECT_EQ(frame.size(), 9u + (3 + 5) + (3 + 30) + 3 + 2);
}

TEST(BuildFrame, RefusesUndefinedTypes) {
    FrameFields f;
    for (uint16_t type : {16, 17, 18, 19, 22, 100, 0xFFFF}) EXPECT_EQ(Build(1, type, f).size(), 0u) << type;
}

TEST(BuildFrame, SizeRuleKeepsPayloadToMaxMinusTwo) {
    // MSG_BLOCK: 9 header + 2 session + 2 count + n data + 2 checksum.
    // Counted data at p = 13 is copied only if 13 + n + 2 <= 1500, so n <= 1485,
    // but then the checksum at 13 + n must satisfy p + 1 + 3 <= 1500: n <= 1483.
    std::vector<uint8_t> data(1483, 0x5A);
    FrameFields f;
    f.session = 1;
    f.data = data;
    EXPECT_EQ(Build(1, MSG_BLOCK, f).size(), 1498u);
    data.push_back(0);
    f.data = data;
    EXPECT_EQ(Build(1, MSG_BLOCK, f).size(), 0u) << "checksum would pass maxFrameSize";
    // A smaller limit applies the same rule: a 115-byte payload needs a limit of 117.
    data.resize(100);
    f.data = data;
    EXPECT_EQ(Build(1, MSG_BLOCK, f, 117).size(), 115u);
    EXPECT_EQ(Build(1, MSG_BLOCK, f, 116).size(), 0u);
}

TEST(BuildFrame, RefusesMalformedCallerLists) {
    const uint8_t noTerminator[] = {0x00, 0x05, 0x01, 'u'};
    const uint16_t idsNoEnd[] = {1, 2, 3};
    FrameFields f;
    f.attributeList = noTerminator;
    EXPECT_EQ(Build(1, MSG_SET, f).size(), 0u);
    f.ids = idsNoEnd;
    EXPECT_EQ(Build(1, MSG_GET, f).size(), 0u);
    const Attribute tooFew[] = {TextAttribute(ATTR_VENDOR, "v")};
    f.attributes = tooFew;
    EXPECT_EQ(Build(1, MSG_BROWSE, f).size(), 0u);
    std::string longValue(256, 'x');
    const Attribute tooLong[] = {TextAttribute(ATTR_VENDOR, longValue), TextAttribute(ATTR_PRODUCT, ""),
                                 TextAttribute(ATTR_MODEL, "")};
    f.attributes = tooLong;
    EXPECT_EQ(Build(1, MSG_BROWSE, f).size(), 0u);
}

// Every defined type is built and read back: the header matches and the body
// holds exactly the fields of that type, in wire order.
TEST(BuildFrame, EveryTypeRoundTrips) {
    const Attribute five[] = {TextAttribute(ATTR_VENDOR, "M-Rax"), TextAttribute(ATTR_PRODUCT, "P"),
                              TextAttribute(ATTR_MODEL, "M"), TextAttribute(ATTR_AP_NAME, "Hall 2"),
                              TextAttribute(9, "x")};
    const uint8_t list[] = {0x00, 0x03, 0x02, 'h', 'i', 0xFF, 0xFF};
    const uint16_t ids[] = {3, 0x1234, ATTR_END};
    const uint8_t data[] = {1, 2, 3, 4, 5};

    struct Case {
        uint16_t type;
        FrameFields fields;
        Bytes body;
    };
    auto fields = [](auto fn) {
        FrameFields f;
        fn(f);
        return f;
    };
    const Case cases[] = {
        {MSG_BROWSE,
         fields([&](FrameFields& f) { f.attributes = std::span(five).first(3); }),
         {0, 0, 5, 'M', '-', 'R', 'a', 'x', 0, 1, 1, 'P', 0, 2, 1, 'M'}},
        {MSG_BROWSE_REPLY,
         fields([&](FrameFields& f) { f.attributes = five; }),
         {0,   0, 5, 'M', '-', 'R', 'a', 'x', 0,   1,   1, 'P', 0, 2,  1,
          'M', 0, 3, 6,   'H', 'a', 'l', 'l', ' ', '2', 0, 9,   1, 'x'}},
        {MSG_GET,
         fields([&](FrameFields& f) {
             f.session = 2;
             f.ids = ids;
         }),
         {0, 2, 0, 3, 0x12, 0x34, 0xFF, 0xFF}},
        {MSG_GET_REPLY,
         fields([&](FrameFields& f) {
             f.session = 2;
             f.status = 7;
             f.attributeList = list;
         }),
         {0, 2, 0, 7, 0x00, 0x03, 0x02, 'h', 'i', 0xFF, 0xFF}},
        {MSG_SESSION,
         fields([&](FrameFields& f) {
             f.subtype = SESSION_LOGIN;
             f.user = "user";
             f.password = "pw";
         }),
         {0, 1, 0, 0, 0, 0, 0, 5, 4, 'u', 's', 'e', 'r', 0, 6, 2, 'p', 'w'}},
        {MSG_SESSION,
         fields([&](FrameFields& f) {
             f.subtype = SESSION_CHECK_REPLY;
             f.value1 = 6;
             f.value2 = 9;
             f.user = "x";
         }),
         {0, 4, 0, 6, 0, 9}},
        {MSG_LOGOUT, fields([&](FrameFields& f) { f.session = 8; }), {0, 8}},
        {MSG_SET,
         fields([&](FrameFields& f) {
             f.session = 1;
             f.attributeList = list;
         }),
         {0, 1, 0x00, 0x03, 0x02, 'h', 'i', 0xFF, 0xFF}},
        {MSG_SET_REPLY,
         fields([&](FrameFields& f) {
             f.session = 1;
             f.status = 5;
         }),
         {0, 1, 0, 5}},
        {MSG_HANDLE_OPEN,
         fields([&](FrameFields& f) {
             f.session = 1;
             f.mode = 2;
             f.name = "cfg";
         }),
         {0, 1, 2, 'c', 'f', 'g', 0}},
        {MSG_HANDLE_OPEN_REPLY,
         fields([&](FrameFields& f) {
             f.session = 1;
             f.status = 0;
             f.handle = 0x0A0B;
             f.value = 0x01020304;
         }),
         {0, 1, 0, 0, 0x0A, 0x0B, 1, 2, 3, 4}},
        {MSG_HANDLE_CLOSE,
         fields([&](FrameFields& f) {
             f.session = 1;
             f.handle = 4;
         }),
         {0, 1, 0, 4}},
        {MSG_HANDLE_CLOSE_REPLY,
         fields([&](FrameFields& f) {
             f.session = 1;
             f.handle = 4;
             f.status = 3;
         }),
         {0, 1, 0, 4, 0, 3}},
        {MSG_HANDLE_READ,
         fields([&](FrameFields& f) {
             f.session = 1;
             f.handle = 4;
             f.length = 512;
             f.position = 0x10000;
         }),
         {0, 1, 0, 4, 2, 0, 0, 1, 0, 0}},
        {MSG_HANDLE_READ_REPLY,
         fields([&](FrameFields& f) {
             f.session = 1;
             f.handle = 4;
             f.length = 5;
             f.position = 6;
             f.data = data;
         }),
         {0, 1, 0, 4, 0, 0, 0, 5, 0, 0, 0, 6, 1, 2, 3, 4, 5}},
        {MSG_HANDLE_READ_REPLY,  // data travels only with status 0
         fields([&](FrameFields& f) {
             f.session = 1;
             f.handle = 4;
             f.status = 1;
             f.data = data;
         }),
         {0, 1, 0, 4, 0, 1, 0, 0, 0, 0, 0, 0}},
        {MSG_HANDLE_WRITE,
         fields([&](FrameFields& f) {
             f.session = 1;
             f.handle = 4;
             f.position = 6;
             f.data = data;
         }),
         {0, 1, 0, 4, 0, 5, 0, 0, 0, 6, 1, 2, 3, 4, 5}},
        {MSG_HANDLE_WRITE_REPLY,
         fields([&](FrameFields& f) {
             f.session = 1;
             f.handle = 4;
             f.status = 0;
             f.length = 5;
             f.position = 6;
         }),
         {0, 1, 0, 4, 0, 0, 0, 5, 0, 0, 0, 6}},
        {MSG_BLOCK,
         fields([&](FrameFields& f) {
             f.session = 3;
             f.data = data;
         }),
         {0, 3, 0, 5, 1, 2, 3, 4, 5}},
        {MSG_BLOCK_REPLY,
         fields([&](FrameFields& f) {
             f.session = 3;
             f.status = 0;
             f.data = data;
         }),
         {0, 3, 0, 0, 0, 5, 1, 2, 3, 4, 5}},
    };
    uint16_t seq = 0xFFF0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        const Bytes frame = Build(++seq, c.type, c.fields);
        ASSERT_EQ(frame.size(), c.body.size() + 11);
        FrameHeader h;
        ASSERT_TRUE(VerifyFrame(frame, h));
        EXPECT_EQ(h.magic, kFrameMagic);
        EXPECT_EQ(h.version, kFrameVersion);
        EXPECT_EQ(h.length, c.body.size() + 4);
        EXPECT_EQ(h.sequence, seq);
        EXPECT_EQ(h.type, c.type);
        auto body = FrameBody(frame, h);
        EXPECT_EQ(Bytes(body.begin(), body.end()), c.body);
    }
}

TEST(VerifyFrame, AcceptsAndDropsAsDocumented) {
    // The logout frame for session 3, sequence 0x0102, as built above.
    const Bytes good = {0xF5, 0x58, 0x40, 0x00, 0x06, 0x01, 0x02, 0x00, 0x05, 0x00, 0x03, 0xDA, 0xB0};
    FrameHeader h;

    Bytes padded = good;
    padded.resize(good.size() + 20, 0);  // Ethernet minimum-size padding behind the checksum
    EXPECT_TRUE(VerifyFrame(padded, h));
    EXPECT_EQ(h.length, 6);

    Bytes otherVersion = good;
    otherVersion[2] = 0x41;  // the version byte is not examined
    EXPECT_TRUE(VerifyFrame(otherVersion, h));

    struct Bad {
        const char* what;
        Bytes frame;
    };
    auto patched = [&](size_t at, uint8_t v) {
        Bytes b = good;
        b[at] = v;
        return b;
    };
    Bytes claimsOneMore = good;
    claimsOneMore[4] = 7;  // length says 7, only 6 + checksum present
    Bytes shortLength = good;
    shortLength[4] = 3;  // would leave a body of -1 bytes
    const Bad bad[] = {
        {"too short", Bytes(good.begin(), good.begin() + 11)},
        {"bad magic", patched(0, 0xF4)},
        {"length past the end", claimsOneMore},
        {"length below four", shortLength},
        {"bad checksum", patched(12, 0xB1)},
        {"body bit flipped", patched(10, 0x02)},
    };
    for (const Bad& b : bad) EXPECT_FALSE(VerifyFrame(b.frame, h)) << b.what;

    // A length of exactly 4 (empty body) with a valid checksum is a frame.
    Bytes empty = {0xF5, 0x58, 0x40, 0x00, 0x04, 0x00, 0x01, 0x00, 0x05};
    const uint16_t crc = Crc16(empty.data() + 5, 4);
    empty.push_back(static_cast<uint8_t>(crc >> 8));
    empty.push_back(static_cast<uint8_t>(crc));
    empty.push_back(0);  // 12 bytes: the minimum VerifyFrame looks at
    EXPECT_TRUE(VerifyFrame(empty, h));
    EXPECT_EQ(FrameBody(empty, h).size(), 0u);
}

TEST(FindAttribute, WalksWellFormedAndMalformedLists) {
    const Bytes list = {0x00, 0x00, 0x02, 'a', 'b',  // vendor "ab"
                        0x00, 0x03, 0x00,            // name, empty
                        0xFF, 0xFF};                 // terminator
    auto found = FindAttribute(list, ATTR_AP_NAME);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->offset, 5u);
    EXPECT_TRUE(found->value.empty());
    auto vendor = FindAttribute(list, ATTR_VENDOR);
    ASSERT_TRUE(vendor);
    EXPECT_EQ(Bytes(vendor->value.begin(), vendor->value.end()), (Bytes{'a', 'b'}));
    auto end = FindAttribute(list, ATTR_END);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->offset, 8u);
    EXPECT_FALSE(FindAttribute(list, ATTR_MODEL));

    struct Case {
        const char* what;
        Bytes list;
        uint16_t id;
        bool present;
    };
    const Case cases[] = {
        // Items behind the terminator are never seen.
        {"after terminator", {0xFF, 0xFF, 0x00, 0x01, 0x00}, ATTR_PRODUCT, false},
        // The list ends without a terminator: attributes wholly inside are found, the terminator is not.
        {"no terminator, inside", {0x00, 0x01, 0x01, 'p', 0x00, 0x02, 0x00}, ATTR_MODEL, true},
        {"no terminator, end", {0x00, 0x01, 0x01, 'p'}, ATTR_END, false},
        // A truncated head or a value past the end makes the list malformed from there on.
        {"truncated head", {0x00, 0x01, 0x01, 'p', 0x00, 0x02}, ATTR_MODEL, false},
        {"value past end", {0x00, 0x01, 0x01, 'p', 0x00, 0x02, 0x05, 'x'}, ATTR_MODEL, false},
        {"value past end, earlier item still found",
         {0x00, 0x01, 0x01, 'p', 0x00, 0x02, 0x05, 'x'},
         ATTR_PRODUCT,
         true},
        {"one byte", {0xFF}, ATTR_END, false},
        {"empty", {}, ATTR_VENDOR, false},
    };
    for (const Case& c : cases) EXPECT_EQ(FindAttribute(c.list, c.id).has_value(), c.present) << c.what;
}

TEST(PeerAddress, EqualityCoversOnlyTheLengthAndTheUsedBytes) {
    const uint8_t mac[6] = {0x02, 0, 0, 0, 0, 1};
    PeerAddress a = PeerAddress::FromMac(mac);
    PeerAddress b = a;
    b.address[10] = 0x77;  // beyond the six used bytes
    EXPECT_EQ(a, b);
    b.address[5] = 2;
    EXPECT_NE(a, b);
    EXPECT_EQ(PeerAddress::Broadcast(), PeerAddress::Broadcast());
    PeerAddress zeroLength = a;
    zeroLength.length = 0;  // the address bytes no longer count
    EXPECT_EQ(zeroLength, PeerAddress::Broadcast());
    EXPECT_NE(a, PeerAddress::Broadcast());
}

TEST(BlockHeader, IsLittleEndianWithZeroReservedBytes) {
    BlockHeader h{BLOCK_OP_READ, 0x00012000, 512};
    uint8_t out[kBlockHeaderSize];
    std::memset(out, 0xEE, sizeof out);
    h.Write(out);
    const Bytes expected = {0x01, 0, 0, 0, 0x00, 0x20, 0x01, 0x00, 0x00, 0x02, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Bytes(out, out + sizeof out), expected);
    auto back = BlockHeader::Read(out);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->op, BLOCK_OP_READ);
    EXPECT_EQ(back->offset, 0x00012000u);
    EXPECT_EQ(back->length, 512u);
    EXPECT_FALSE(BlockHeader::Read(std::span<const uint8_t>(out, 15)));
}

TEST(U16beAt, ReadsAndPatchesOnlyInsideTheBuffer) {
    Bytes b = {0x12, 0x34, 0x56};
    EXPECT_EQ(U16beAt(b, 0), 0x1234);
    EXPECT_EQ(U16beAt(b, 1), 0x3456);  // the last field that fits
    EXPECT_TRUE(PutU16beAt(b, 1, 0xBEEF));
    const Bytes patched = {0x12, 0xBE, 0xEF};
    EXPECT_EQ(b, patched);
    // Half a field left, none left, and an offset that would wrap a careless bound: 0 read, nothing written.
    for (size_t at : {size_t{2}, size_t{3}, SIZE_MAX - 1}) {
        EXPECT_EQ(U16beAt(b, at), 0) << at;
        EXPECT_FALSE(PutU16beAt(b, at, 0xFFFF)) << at;
        EXPECT_EQ(b, patched) << at;
    }
}
