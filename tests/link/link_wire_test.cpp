// The messages between the packet helper and its client: what each side
// accepts from the other, and the helper's rules for frames it sends and
// hands on. Expected bytes are written out here, never taken from the writers.

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "transport/link_wire.h"

namespace aputil::link {
namespace {

using Bytes = std::vector<uint8_t>;

const uint8_t kOwn[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};

Bytes Frame(size_t length, uint16_t etherType = 0xAAAA, const uint8_t* source = kOwn) {
    Bytes f(length, 0x5A);
    if (length >= 14) {
        for (int i = 0; i < 6; ++i) f[static_cast<size_t>(i)] = 0xFF;
        for (int i = 0; i < 6; ++i) f[6 + static_cast<size_t>(i)] = source[i];
        f[12] = static_cast<uint8_t>(etherType >> 8);
        f[13] = static_cast<uint8_t>(etherType);
    }
    return f;
}

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(LinkRequest, AcceptsExactlyTheTable) {
    const struct {
        const char* what;
        Bytes message;
        bool ok;
    } cases[] = {
        {"list", {LIST}, true},
        {"list with a trailing byte", {LIST, 0}, false},
        {"status", {STATUS}, true},
        {"empty message", {}, false},
        {"unknown kind", {0x08}, false},
        {"a reply kind sent as request", {OPEN_REPLY, 0, 0, 1, 2, 3, 4, 5, 6}, false},
        {"open", Cat({OPEN, 3, 6}, Text("vethA0")), true},
        {"open, last slot", Cat({OPEN, kMaxChannels - 1, 2}, Text("lo")), true},
        {"open, slot past the table", Cat({OPEN, kMaxChannels, 2}, Text("lo")), false},
        {"open, name shorter than said", Cat({OPEN, 0, 7}, Text("vethA0")), false},
        {"open, name longer than said", Cat({OPEN, 0, 5}, Text("vethA0")), false},
        {"open, empty name", {OPEN, 0, 0}, false},
        {"open, 15-byte name", Cat({OPEN, 0, 15}, Text("abcdefghijklmno")), true},
        {"open, 16-byte name", Cat({OPEN, 0, 16}, Text("abcdefghijklmnop")), false},
        {"open, slash in name", Cat({OPEN, 0, 4}, Text("a/..")), false},
        {"open, blank in name", Cat({OPEN, 0, 3}, Text("a b")), false},
        {"open, control byte in name", Cat({OPEN, 0, 2}, {'a', 0x01}), false},
        {"open, byte above 0x7e in name", Cat({OPEN, 0, 2}, {'a', 0xE9}), false},
        {"open, no slot", {OPEN}, false},
        {"close", {CLOSE, 9}, true},
        {"close, no slot", {CLOSE}, false},
        {"close, slot past the table", {CLOSE, 0xFF}, false},
        {"send, smallest frame", Cat({SEND, 1}, Frame(kMinFrame)), true},
        {"send, largest frame", Cat({SEND, 1}, Frame(kMaxFrame)), true},
        {"send, header only", Cat({SEND, 1}, Frame(14)), false},
        {"send, frame past 1514 bytes", Cat({SEND, 1}, Frame(kMaxFrame + 1)), false},
        {"send, slot past the table", Cat({SEND, kMaxChannels}, Frame(60)), false},
        {"opens, one", Cat({OPENS, 1, 3, 6}, Text("vethA0")), true},
        {"opens, two", Cat(Cat({OPENS, 2, 0, 6}, Text("vethA0")), Cat({kMaxChannels - 1, 2}, Text("lo"))), true},
        {"opens, none", {OPENS, 0}, false},
        {"opens, no count", {OPENS}, false},
        {"opens, more than the table", {OPENS, kMaxChannels + 1}, false},
        {"opens, fewer entries than said", Cat({OPENS, 2, 0, 2}, Text("lo")), false},
        {"opens, a trailing byte", Cat(Cat({OPENS, 1, 0, 2}, Text("lo")), {0}), false},
        {"opens, one slot twice", Cat(Cat({OPENS, 2, 4, 2}, Text("lo")), Cat({4, 2}, Text("lo"))), false},
        {"opens, slot past the table", Cat({OPENS, 1, kMaxChannels, 2}, Text("lo")), false},
        {"opens, a bad name after a good one", Cat(Cat({OPENS, 2, 0, 2}, Text("lo")), Cat({1, 4}, Text("a/.."))),
         false},
        {"link", Cat({LINK, 4}, Text("eth0")), true},
        {"link, missing name", {LINK, 4}, false},
    };
    for (const auto& c : cases) {
        Request request;
        EXPECT_EQ(ParseRequest(c.message, request), c.ok) << c.what;
    }
}

TEST(LinkRequest, FieldsPointIntoTheMessage) {
    const Bytes open = Cat({OPEN, 7, 6}, Text("vethA1"));
    Request request;
    ASSERT_TRUE(ParseRequest(open, request));
    EXPECT_EQ(request.kind, OPEN);
    EXPECT_EQ(request.slot, 7);
    EXPECT_EQ(request.name, "vethA1");

    const Bytes frame = Frame(60);
    const Bytes send = Cat({SEND, 42}, frame);
    ASSERT_TRUE(ParseRequest(send, request));
    EXPECT_EQ(request.kind, SEND);
    EXPECT_EQ(request.slot, 42);
    ASSERT_EQ(request.frame.size(), frame.size());
    EXPECT_EQ(request.frame.data(), send.data() + 2);
}

TEST(LinkRequest, OpensEntriesComeOutAsWrittenAndTheWriterRefusesWhatTheHelperWould) {
    const uint8_t slots[3] = {5, 0, kMaxChannels - 1};
    const std::string names[3] = {"vethA1", "lo", "abcdefghijklmno"};
    uint8_t buffer[kMaxMessage];
    const size_t length = WriteOpens(buffer, slots, names, 3);
    const Bytes expected = Cat(Cat(Cat({OPENS, 3, 5, 6}, Text("vethA1")), Cat({0, 2}, Text("lo"))),
                               Cat({kMaxChannels - 1, 15}, Text("abcdefghijklmno")));
    ASSERT_EQ(Bytes(buffer, buffer + length), expected);
    Request request;
    ASSERT_TRUE(ParseRequest(std::span<const uint8_t>(buffer, length), request));
    EXPECT_EQ(request.kind, OPENS);
    uint8_t gotSlots[kMaxChannels] = {};
    std::string gotNames[kMaxChannels];
    ASSERT_EQ(OpenEntries(request, gotSlots, gotNames, kMaxChannels), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(gotSlots[i], slots[i]);
        EXPECT_EQ(gotNames[i], names[i]);
    }
    EXPECT_EQ(OpenEntries(request, gotSlots, gotNames, 2), 2);  // never past the caller's room

    const uint8_t twice[2] = {4, 4};
    const std::string bad[2] = {"lo", "a b"};
    EXPECT_EQ(WriteOpens(buffer, twice, names, 2), 0u);
    EXPECT_EQ(WriteOpens(buffer, slots, bad, 2), 0u);
    EXPECT_EQ(WriteOpens(buffer, slots, names, 0), 0u);
    EXPECT_EQ(WriteOpens(std::span<uint8_t>(buffer, 10), slots, names, 2), 0u);

    // Every slot at once with the longest names fits in one message.
    uint8_t all[kMaxChannels];
    std::string longest[kMaxChannels];
    for (int i = 0; i < kMaxChannels; ++i) {
        all[i] = static_cast<uint8_t>(i);
        longest[i] = "abcdefghijklmno";
    }
    const size_t full = WriteOpens(buffer, all, longest, kMaxChannels);
    ASSERT_EQ(full, 2 + kMaxChannels * 17u);
    ASSERT_TRUE(ParseRequest(std::span<const uint8_t>(buffer, full), request));
    EXPECT_EQ(request.openCount, kMaxChannels);
}

TEST(LinkFrames, WhatTheHelperSendsAndHandsOn) {
    const uint8_t foreign[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x56};
    const uint8_t group[6] = {0x03, 0x11, 0x22, 0x33, 0x44, 0x55};
    const struct {
        const char* what;
        Bytes frame;
        bool send;     // FrameAllowed with kOwn
        bool deliver;  // FrameDeliverable
    } cases[] = {
        {"own 0xAAAA frame", Frame(60), true, true},
        {"smallest", Frame(kMinFrame), true, true},
        {"largest", Frame(kMaxFrame), true, true},
        {"header only", Frame(14), false, false},
        {"too long", Frame(kMaxFrame + 1), false, false},
        {"IPv4", Frame(60, 0x0800), false, false},
        {"0xAAAB", Frame(60, 0xAAAB), false, false},
        {"foreign source", Frame(60, 0xAAAA, foreign), false, true},
        {"group source", Frame(60, 0xAAAA, group), false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FrameAllowed(c.frame, kOwn), c.send) << c.what;
        EXPECT_EQ(FrameDeliverable(c.frame), c.deliver) << c.what;
    }
}

TEST(LinkMessage, AcceptsExactlyTheTable) {
    const Bytes mac = {2, 0, 0, 0, 0, 9};
    const struct {
        const char* what;
        Bytes message;
        bool ok;
    } cases[] = {
        {"open reply", Cat({OPEN_REPLY, 4, OPEN_OK}, mac), true},
        {"open reply, unknown result", Cat({OPEN_REPLY, 4, 9}, mac), false},
        {"open reply, short address", {OPEN_REPLY, 4, OPEN_OK, 2, 0, 0}, false},
        {"open reply, slot past the table", Cat({OPEN_REPLY, kMaxChannels, OPEN_OK}, mac), false},
        {"close reply", {CLOSE_REPLY, 4}, true},
        {"close reply with more", {CLOSE_REPLY, 4, 0}, false},
        {"frame", Cat({FRAME, 2}, Frame(60)), true},
        {"frame, header only", Cat({FRAME, 2}, Frame(14)), false},
        {"frame, too long", Cat({FRAME, 2}, Frame(kMaxFrame + 1)), false},
        {"frame, slot past the table", Cat({FRAME, 0xFE}, Frame(60)), false},
        {"link reply", {LINK_REPLY, LINK_DOWN}, true},
        {"link reply, unknown state", {LINK_REPLY, 3}, false},
        {"status reply", {STATUS_REPLY, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3}, true},
        {"status reply, short", {STATUS_REPLY, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0}, false},
        {"refused", {REFUSED, OPEN}, true},
        {"empty list", {LIST_REPLY, 0, 0}, true},
        {"list of one", Cat(Cat({LIST_REPLY, 0, 1, 2}, Text("e0")), mac), true},
        {"list says two, holds one", Cat(Cat({LIST_REPLY, 0, 2, 2}, Text("e0")), mac), false},
        {"list with bytes after", Cat(Cat(Cat({LIST_REPLY, 0, 1, 2}, Text("e0")), mac), {0}), false},
        {"list with a bad name", Cat(Cat({LIST_REPLY, 0, 1, 2}, Text("e/")), mac), false},
        {"list of more than the table", {LIST_REPLY, 0, kMaxChannels + 1}, false},
        {"request kind", {LIST}, false},
        {"empty", {}, false},
    };
    for (const auto& c : cases) {
        Message message;
        EXPECT_EQ(ParseMessage(c.message, message), c.ok) << c.what;
    }
}

TEST(LinkMessage, WritersAndReadersAgree) {
    const std::string names[3] = {"vethA0", "vethA1", "abcdefghijklmno"};
    const uint8_t macs[3][6] = {{2, 0, 0, 0, 0, 1}, {2, 0, 0, 0, 0, 2}, {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};
    uint8_t buffer[kMaxMessage];
    const size_t length = WriteListReply(buffer, LIST_NO_PRIVILEGE, names, macs, 3);
    ASSERT_EQ(length, 3u + (1 + 6 + 6) * 2 + (1 + 15 + 6));
    Message message;
    ASSERT_TRUE(ParseMessage(std::span<const uint8_t>(buffer, length), message));
    EXPECT_EQ(message.kind, LIST_REPLY);
    EXPECT_EQ(message.result, LIST_NO_PRIVILEGE);
    std::string outNames[2];
    uint8_t outMacs[2][6] = {};
    // Only as many as the caller has room for.
    ASSERT_EQ(ListEntries(message, outNames, outMacs, 2), 2);
    EXPECT_EQ(outNames[1], "vethA1");
    EXPECT_EQ(Bytes(outMacs[1], outMacs[1] + 6), Bytes(macs[1], macs[1] + 6));

    // A full table of the longest names fits the largest message.
    std::string many[kMaxChannels];
    uint8_t manyMacs[kMaxChannels][6] = {};
    for (auto& name : many) name = "abcdefghijklmno";
    EXPECT_EQ(WriteListReply(buffer, 0, many, manyMacs, kMaxChannels), kMaxMessage);
    // An invalid name is never written.
    many[5] = "bad name";
    EXPECT_EQ(WriteListReply(buffer, 0, many, manyMacs, kMaxChannels), 0u);

    const size_t status = WriteStatusReply(buffer, 0x01020304, 5, 0xFFFFFFFF);
    ASSERT_TRUE(ParseMessage(std::span<const uint8_t>(buffer, status), message));
    EXPECT_EQ(message.counters[0], 0x01020304u);
    EXPECT_EQ(message.counters[1], 5u);
    EXPECT_EQ(message.counters[2], 0xFFFFFFFFu);

    EXPECT_EQ(WriteOpen(buffer, 3, "vethA0"), 9u);
    EXPECT_EQ(Bytes(buffer, buffer + 9), Cat({OPEN, 3, 6}, Text("vethA0")));
    EXPECT_EQ(WriteOpen(buffer, kMaxChannels, "vethA0"), 0u);
    EXPECT_EQ(WriteOpen(std::span<uint8_t>(buffer, 8), 3, "vethA0"), 0u);
    EXPECT_EQ(WriteLink(buffer, "x/y"), 0u);
}

}  // namespace
}  // namespace aputil::link
