// The dissector over hand-made captures: the message types the simulator does
// not serve, field by field; a known-answer frame for the checksum; the
// request/reply link by sequence and stations; and frames whose lengths lie,
// which must dissect without a Lua error and carry the malformed verdict.
// The captures are written by the frame recorder (secrets kept, so the bytes
// are exactly the ones built here).

#include <gtest/gtest.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "protocol/frame.h"
#include "tests/wireshark/tshark.h"
#include "transport/capture_file.h"

namespace aputil {
namespace {

using Bytes = std::vector<uint8_t>;
using test::FieldValues;
using test::Tshark;

constexpr uint8_t kUtility[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
constexpr uint8_t kAp[6] = {0x02, 0x5e, 0x00, 0x00, 0x00, 0x01};
constexpr uint8_t kOtherAp[6] = {0x02, 0x5e, 0x00, 0x00, 0x00, 0x02};
constexpr uint8_t kBroadcast[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

Bytes Ethernet(const uint8_t* dst, const uint8_t* src, const Bytes& payload) {
    // Byte by byte: GCC 12's -O3 array-bounds check misreads the block
    // copies of a six-byte address into a vector.
    Bytes frame;
    frame.reserve(kEthHeaderSize + payload.size());
    for (size_t i = 0; i < 6; ++i) frame.push_back(dst[i]);
    for (size_t i = 0; i < 6; ++i) frame.push_back(src[i]);
    frame.push_back(0xAA);
    frame.push_back(0xAA);
    for (const uint8_t b : payload) frame.push_back(b);
    return frame;
}

// Body fields in a few words: Fields().Session(1).Data(bytes).
struct Fields : FrameFields {
    Fields& Session(uint16_t v) {
        session = v;
        return *this;
    }
    Fields& Mode(uint8_t v) {
        mode = v;
        return *this;
    }
    Fields& Name(std::string_view v) {
        name = v;
        return *this;
    }
    Fields& Ids(std::span<const uint16_t> v) {
        ids = v;
        return *this;
    }
    Fields& Data(std::span<const uint8_t> v) {
        data = v;
        return *this;
    }
    Fields& Attributes(std::span<const Attribute> v) {
        attributes = v;
        return *this;
    }
};

Bytes Payload(uint16_t sequence, uint16_t type, const FrameFields& fields) {
    uint8_t out[kFrameBufferSize];
    const size_t n = BuildFrame(out, sequence, type, fields);
    EXPECT_NE(n, 0u) << "type " << type;
    return Bytes(out, out + n);
}

// Rewrites the checksum of a hand-edited payload, so that only the edit is wrong.
Bytes Reseal(Bytes payload) {
    const size_t length = size_t{payload[3]} << 8 | payload[4];
    const uint16_t crc = Crc16(payload.data() + 5, length);
    payload[5 + length] = static_cast<uint8_t>(crc >> 8);
    payload[6 + length] = static_cast<uint8_t>(crc);
    return payload;
}

Bytes BlockData(uint8_t op, uint32_t offset, uint32_t length, const Bytes& tail = {}) {
    Bytes data(kBlockHeaderSize);
    BlockHeader{op, offset, length}.Write(data.data());
    data.insert(data.end(), tail.begin(), tail.end());
    return data;
}

std::string Join(const std::vector<std::string>& values) {
    std::string out;
    for (const std::string& v : values) out += (out.empty() ? "" : ",") + v;
    return out;
}

// Indices of the frames in the capture, set by BuildFrames.
struct FrameIndex {
    size_t logoutVector, get, getReply, set, setReply, open, openReply, close, closeReply, read, readReply, write,
        writeReply, block, blockReply, loginReply, check, checkReply, badChecksum;
    size_t linkGet, linkRetry, linkReply, linkForeign, linkOtherSeq, browse, browseReply1, browseReply2;
    std::vector<std::pair<size_t, std::string>> malformed;  // frame, what the verdict must name
    size_t badMagic, undefinedType, padded;
    size_t mutatedFrom = 0;  // every frame from here on is a mutation of one before
};

class Dissector : public ::testing::Test {
protected:
    // Every frame of the suite, in capture order; a test finds its own by index.
    static std::vector<Bytes>& Frames() {
        static std::vector<Bytes> frames;
        return frames;
    }
    static size_t Add(const uint8_t* dst, const uint8_t* src, const Bytes& payload) {
        Frames().push_back(Ethernet(dst, src, payload));
        return Frames().size() - 1;
    }

    static void SetUpTestSuite() {
        why_ = Tshark::Missing();
        if (!why_.empty()) return;
        BuildFrames();
        char dir[] = "/tmp/aputil-dissector-XXXXXX";
        if (mkdtemp(dir) == nullptr) {
            why_ = "no temporary folder";
            return;
        }
        dir_ = dir;
        const std::string path = dir_ + "/frames.pcap";
        std::string error;
        if (!StartFrameCapture(path, true, error)) {
            why_ = error;
            return;
        }
        for (const Bytes& f : Frames()) CaptureFrame(f.data(), f.size());
        StopFrameCapture();
        tshark_ = new Tshark;
        // Laid out by hand: the table reads better packed.
        // clang-format off
        const std::vector<std::string> fields = {
            "aputil.magic", "aputil.version", "aputil.length", "aputil.seq", "aputil.type", "aputil.checksum",
            "aputil.checksum.status", "aputil.session", "aputil.status", "aputil.session.subtype",
            "aputil.session.value1", "aputil.session.value2", "aputil.attr.id", "aputil.attr.value",
            "aputil.handle", "aputil.handle.mode", "aputil.handle.name", "aputil.handle.value",
            "aputil.handle.max_length", "aputil.handle.data_length", "aputil.handle.position", "aputil.data",
            "aputil.data.count", "aputil.block.op", "aputil.block.offset", "aputil.block.length",
            "aputil.block.data", "aputil.padding", "aputil.trailing", "aputil.response_to", "aputil.response_in",
            "aputil.time", "_ws.expert.message", "_ws.expert.severity"};
        // clang-format on
        if (!tshark_->Fields(path, fields, rows_)) failure_ = "tshark failed: " + tshark_->errors();
    }
    static void TearDownTestSuite() {
        delete tshark_;
        tshark_ = nullptr;
        if (!dir_.empty()) (void)std::system(("rm -rf '" + dir_ + "'").c_str());
    }

    void SetUp() override {
        if (!why_.empty()) GTEST_SKIP() << why_;
        ASSERT_TRUE(failure_.empty()) << failure_;
        ASSERT_EQ(rows_.size(), Frames().size()) << tshark_->errors();
    }

    static const FieldValues& Row(size_t index) { return rows_.at(index); }
    static std::string Value(size_t index, const std::string& field) {
        return Join(Row(index).count(field) ? Row(index).at(field) : std::vector<std::string>{});
    }
    static std::string Experts(size_t index) { return Value(index, "_ws.expert.message"); }
    static std::string FrameNumber(size_t index) { return std::to_string(index + 1); }

    static void BuildFrames();

    static inline FrameIndex at_{};
    static inline std::string why_, failure_, dir_;
    static inline Tshark* tshark_ = nullptr;
    static inline std::vector<FieldValues> rows_;
};

void Dissector::BuildFrames() {
    Frames().clear();
    FrameFields f;
    // The logout of session 3 with sequence 0x0102, byte for byte as the
    // protocol defines it: checksum DA B0 over 01 02 00 05 00 03.
    at_.logoutVector =
        Add(kAp, kUtility, {0xF5, 0x58, 0x40, 0x00, 0x06, 0x01, 0x02, 0x00, 0x05, 0x00, 0x03, 0xDA, 0xB0});

    const uint16_t ids[] = {ATTR_VENDOR, ATTR_AP_NAME, ATTR_END};
    f = {};
    f.session = 3;
    f.ids = ids;
    at_.get = Add(kAp, kUtility, Payload(0x10, MSG_GET, f));
    const Bytes list = {0x00, 0x03, 0x03, 'L', 'a', 'b', 0xFF, 0xFF};
    f = {};
    f.session = 3;
    f.status = 7;
    f.attributeList = list;
    at_.getReply = Add(kUtility, kAp, Payload(0x10, MSG_GET_REPLY, f));
    f.status = 0;
    at_.set = Add(kAp, kUtility, Payload(0x11, MSG_SET, f));
    f.status = 1;
    at_.setReply = Add(kUtility, kAp, Payload(0x11, MSG_SET_REPLY, f));
    f = {};
    f.session = 2;
    f.mode = 0x41;
    f.name = "cfg";
    at_.open = Add(kAp, kUtility, Payload(0x12, MSG_HANDLE_OPEN, f));
    f.status = 0;
    f.handle = 9;
    f.value = 0xDEADBEEF;
    at_.openReply = Add(kUtility, kAp, Payload(0x12, MSG_HANDLE_OPEN_REPLY, f));
    at_.close = Add(kAp, kUtility, Payload(0x13, MSG_HANDLE_CLOSE, f));
    f.status = 4;
    at_.closeReply = Add(kUtility, kAp, Payload(0x13, MSG_HANDLE_CLOSE_REPLY, f));
    f = {};
    f.session = 2;
    f.handle = 9;
    f.length = 512;
    f.position = 70000;
    at_.read = Add(kAp, kUtility, Payload(0x14, MSG_HANDLE_READ, f));
    const Bytes abc = {'a', 'b', 'c'};
    f.length = 3;
    f.data = abc;
    at_.readReply = Add(kUtility, kAp, Payload(0x14, MSG_HANDLE_READ_REPLY, f));
    at_.write = Add(kAp, kUtility, Payload(0x15, MSG_HANDLE_WRITE, f));
    at_.writeReply = Add(kUtility, kAp, Payload(0x15, MSG_HANDLE_WRITE_REPLY, f));

    // Block header fields are little-endian: offset 0x00030200 is 00 02 03 00.
    const Bytes write = BlockData(BLOCK_OP_WRITE, 0x00030200, 4, {1, 2, 3, 4});
    f = {};
    f.session = 1;
    f.data = write;
    at_.block = Add(kAp, kUtility, Payload(0x16, MSG_BLOCK, f));
    const Bytes header = BlockData(BLOCK_OP_WRITE, 0x00030200, 0);
    f.data = header;
    at_.blockReply = Add(kUtility, kAp, Payload(0x16, MSG_BLOCK_REPLY, f));

    f = {};
    f.subtype = SESSION_LOGIN_REPLY;
    f.value1 = 5;
    f.value2 = 0;
    at_.loginReply = Add(kUtility, kAp, Payload(0x17, MSG_SESSION, f));
    f.subtype = SESSION_CHECK;
    f.value1 = 0;
    f.value2 = 4;
    at_.check = Add(kUtility, kAp, Payload(0x0300, MSG_SESSION, f));
    f.subtype = SESSION_CHECK_REPLY;
    f.value1 = STATUS_NO_SESSION;
    at_.checkReply = Add(kAp, kUtility, Payload(0x0300, MSG_SESSION, f));

    Bytes bad = Payload(0x18, MSG_LOGOUT, Fields().Session(1));
    bad.back() ^= 0xFF;
    at_.badChecksum = Add(kAp, kUtility, bad);

    // The link: a request, its retry, the reply; a reply from another AP and
    // one with another sequence answer nothing.
    f = {};
    f.session = 1;
    f.ids = ids;
    at_.linkGet = Add(kAp, kUtility, Payload(0x40, MSG_GET, f));
    at_.linkRetry = Add(kAp, kUtility, Payload(0x40, MSG_GET, f));
    f.attributeList = list;
    at_.linkForeign = Add(kUtility, kOtherAp, Payload(0x40, MSG_GET_REPLY, f));
    at_.linkOtherSeq = Add(kUtility, kAp, Payload(0x41, MSG_GET_REPLY, f));
    at_.linkReply = Add(kUtility, kAp, Payload(0x40, MSG_GET_REPLY, f));
    const Attribute filters[5] = {TextAttribute(ATTR_VENDOR, "M-Rax"), TextAttribute(ATTR_PRODUCT, "P"),
                                  TextAttribute(ATTR_MODEL, ""), TextAttribute(ATTR_AP_NAME, "AP1"),
                                  TextAttribute(4, "V1")};
    f = {};
    f.attributes = filters;
    at_.browse = Add(kBroadcast, kUtility, Payload(0x42, MSG_BROWSE, f));
    at_.browseReply1 = Add(kUtility, kAp, Payload(0x42, MSG_BROWSE_REPLY, f));
    at_.browseReply2 = Add(kUtility, kOtherAp, Payload(0x42, MSG_BROWSE_REPLY, f));

    // Lengths that lie.
    Bytes good = Payload(0x50, MSG_LOGOUT, Fields().Session(1));
    Bytes longer = good;
    longer[4] += 1;  // one byte more than is present
    at_.malformed.push_back({Add(kAp, kUtility, longer), "claims"});
    Bytes below = good;
    below[4] = 2;
    at_.malformed.push_back({Add(kAp, kUtility, below), "below 4"});
    at_.malformed.push_back({Add(kAp, kUtility, Bytes(good.begin(), good.begin() + 5)), "at least 12"});
    Bytes attrPast = Payload(0x51, MSG_BROWSE_REPLY, Fields().Attributes(filters));
    attrPast[kFrameHeaderSize + 2] = 200;  // the vendor's value length
    at_.malformed.push_back({Add(kUtility, kAp, Reseal(attrPast)), "attribute value claims 200"});
    const Bytes chunk(8, 0xEE);
    const Bytes readData = BlockData(BLOCK_OP_READ, 0x30000, 8, chunk);
    Bytes countPast = Payload(0x52, MSG_BLOCK_REPLY, Fields().Session(1).Data(readData));
    countPast[kFrameHeaderSize + 5] += 200;  // the data count, low byte
    at_.malformed.push_back({Add(kUtility, kAp, Reseal(countPast)), "data count"});
    Bytes idsOpen = Payload(0x53, MSG_GET, Fields().Session(1).Ids(ids));
    idsOpen[kFrameHeaderSize + 6] = 0x00;  // the terminator becomes id 0x00FF...
    idsOpen[kFrameHeaderSize + 7] = 0x01;  // ...id 1, and the list ends without one
    at_.malformed.push_back({Add(kAp, kUtility, Reseal(idsOpen)), "without its terminator"});
    Bytes nameOpen = Payload(0x54, MSG_HANDLE_OPEN, Fields().Mode(1).Name("cfg"));
    nameOpen[kFrameHeaderSize + 6] = 'g';  // the zero byte
    at_.malformed.push_back({Add(kAp, kUtility, Reseal(nameOpen)), "zero byte"});
    const Bytes shortHeader(10, 0);
    at_.malformed.push_back(
        {Add(kAp, kUtility, Payload(0x55, MSG_BLOCK, Fields().Session(1).Data(shortHeader))), "block header missing"});
    Bytes shortBody = Payload(0x56, MSG_SET_REPLY, Fields().Session(1));
    shortBody.erase(shortBody.begin() + kFrameHeaderSize + 2, shortBody.begin() + kFrameHeaderSize + 4);
    shortBody[4] -= 2;
    at_.malformed.push_back({Add(kUtility, kAp, Reseal(shortBody)), "status missing"});

    Bytes magic = good;
    magic[0] = 0x12;
    at_.badMagic = Add(kAp, kUtility, magic);
    Bytes undefinedType = good;
    undefinedType[8] = 17;
    at_.undefinedType = Add(kAp, kUtility, Reseal(undefinedType));
    Bytes padded = good;
    padded.resize(46, 0);  // to the Ethernet minimum
    at_.padded = Add(kAp, kUtility, padded);

    // Mutations of all the frames above: every cut of a few of them, and
    // seeded random byte changes (lengths and counts included) of each.
    const std::vector<Bytes> originals = Frames();
    at_.mutatedFrom = Frames().size();
    for (size_t index : {at_.getReply, at_.block, at_.blockReply, at_.open, at_.browseReply1})
        for (size_t cut = kEthHeaderSize; cut < originals[index].size(); ++cut)
            Frames().emplace_back(originals[index].begin(), originals[index].begin() + static_cast<long>(cut));
    std::mt19937 rng(18);
    for (int round = 0; round < 6; ++round) {
        for (const Bytes& original : originals) {
            Bytes m = original;
            if (m.size() <= kEthHeaderSize) continue;
            const size_t changes = 1 + rng() % 4;
            for (size_t k = 0; k < changes; ++k) {
                const size_t at = kEthHeaderSize + rng() % (m.size() - kEthHeaderSize);
                m[at] = static_cast<uint8_t>(rng());
            }
            if (round % 2 == 1) {
                // A plausible checksum, so the body is walked as if it were sound.
                Bytes payload(m.begin() + kEthHeaderSize, m.end());
                const size_t length = payload.size() >= 5 ? (size_t{payload[3]} << 8 | payload[4]) : 0;
                if (length >= 4 && length + 7 <= payload.size()) {
                    payload = Reseal(payload);
                    std::copy(payload.begin(), payload.end(), m.begin() + kEthHeaderSize);
                }
            }
            Frames().push_back(std::move(m));
        }
    }
}

TEST_F(Dissector, KnownAnswerFrameReadsFieldByFieldWithAGoodChecksum) {
    const size_t i = at_.logoutVector;
    EXPECT_EQ(Value(i, "aputil.magic"), "0xf558");
    EXPECT_EQ(Value(i, "aputil.version"), "0x40");
    EXPECT_EQ(Value(i, "aputil.length"), "6");
    EXPECT_EQ(Value(i, "aputil.seq"), "258");
    EXPECT_EQ(Value(i, "aputil.type"), "5");
    EXPECT_EQ(Value(i, "aputil.session"), "3");
    EXPECT_EQ(Value(i, "aputil.checksum"), "0xdab0");
    EXPECT_EQ(Value(i, "aputil.checksum.status"), "1");
    EXPECT_EQ(Experts(i), "");
}

struct FieldCase {
    const char* name;
    size_t FrameIndex::*frame;
    std::vector<std::pair<std::string, std::string>> fields;
};

class DissectorFields : public Dissector, public ::testing::WithParamInterface<FieldCase> {};

TEST_P(DissectorFields, EveryBodyFieldByName) {
    const size_t i = at_.*GetParam().frame;
    for (const auto& [field, value] : GetParam().fields) EXPECT_EQ(Value(i, field), value) << field;
    EXPECT_EQ(Value(i, "aputil.checksum.status"), "1");
    EXPECT_EQ(Experts(i), "") << "a well-formed frame has no verdict";
}

INSTANTIATE_TEST_SUITE_P(
    Types, DissectorFields,
    ::testing::Values(
        FieldCase{
            "Get", &FrameIndex::get, {{"aputil.type", "2"}, {"aputil.session", "3"}, {"aputil.attr.id", "0,3,65535"}}},
        FieldCase{"GetReply",
                  &FrameIndex::getReply,
                  {{"aputil.type", "3"},
                   {"aputil.session", "3"},
                   {"aputil.status", "7"},
                   {"aputil.attr.id", "3,65535"},
                   {"aputil.attr.value", "4c6162"}}},
        FieldCase{
            "Set",
            &FrameIndex::set,
            {{"aputil.type", "6"}, {"aputil.session", "3"}, {"aputil.attr.id", "3,65535"}, {"aputil.status", ""}}},
        FieldCase{
            "SetReply", &FrameIndex::setReply, {{"aputil.type", "7"}, {"aputil.session", "3"}, {"aputil.status", "1"}}},
        FieldCase{"HandleOpen",
                  &FrameIndex::open,
                  {{"aputil.type", "8"},
                   {"aputil.session", "2"},
                   {"aputil.handle.mode", "0x41"},
                   {"aputil.handle.name", "cfg"}}},
        FieldCase{"HandleOpenReply",
                  &FrameIndex::openReply,
                  {{"aputil.type", "9"},
                   {"aputil.status", "0"},
                   {"aputil.handle", "9"},
                   {"aputil.handle.value", "0xdeadbeef"}}},
        FieldCase{"HandleClose",
                  &FrameIndex::close,
                  {{"aputil.type", "10"}, {"aputil.session", "2"}, {"aputil.handle", "9"}}},
        FieldCase{"HandleCloseReply",
                  &FrameIndex::closeReply,
                  {{"aputil.type", "11"}, {"aputil.handle", "9"}, {"aputil.status", "4"}}},
        FieldCase{"HandleRead",
                  &FrameIndex::read,
                  {{"aputil.type", "12"},
                   {"aputil.handle", "9"},
                   {"aputil.handle.max_length", "512"},
                   {"aputil.handle.position", "70000"}}},
        FieldCase{"HandleReadReply",
                  &FrameIndex::readReply,
                  {{"aputil.type", "13"},
                   {"aputil.status", "0"},
                   {"aputil.handle.data_length", "3"},
                   {"aputil.handle.position", "70000"},
                   {"aputil.data", "616263"}}},
        FieldCase{"HandleWrite",
                  &FrameIndex::write,
                  {{"aputil.type", "14"}, {"aputil.handle.data_length", "3"}, {"aputil.data", "616263"}}},
        FieldCase{"HandleWriteReply",
                  &FrameIndex::writeReply,
                  {{"aputil.type", "15"}, {"aputil.status", "0"}, {"aputil.handle.data_length", "3"}}},
        FieldCase{"BlockLittleEndian",
                  &FrameIndex::block,
                  {{"aputil.type", "20"},
                   {"aputil.session", "1"},
                   {"aputil.data.count", "20"},
                   {"aputil.block.op", "0x02"},
                   {"aputil.block.offset", "0x00030200"},
                   {"aputil.block.length", "4"},
                   {"aputil.block.data", "01020304"}}},
        FieldCase{"BlockReply",
                  &FrameIndex::blockReply,
                  {{"aputil.type", "21"},
                   {"aputil.status", "0"},
                   {"aputil.data.count", "16"},
                   {"aputil.block.op", "0x02"},
                   {"aputil.block.data", ""}}},
        FieldCase{"LoginRefused",
                  &FrameIndex::loginReply,
                  {{"aputil.session.subtype", "2"},
                   {"aputil.session.value1", "5"},
                   {"aputil.status", "5"},
                   {"aputil.session", "0"}}},
        FieldCase{"SessionCheck",
                  &FrameIndex::check,
                  {{"aputil.session.subtype", "3"}, {"aputil.session", "4"}, {"aputil.status", ""}}},
        FieldCase{
            "SessionCheckReply",
            &FrameIndex::checkReply,
            {{"aputil.session.subtype", "4"}, {"aputil.status", "6"}, {"aputil.session", "4"}, {"aputil.seq", "768"}}},
        FieldCase{"PaddingIsNotBody",
                  &FrameIndex::padded,
                  {{"aputil.length", "6"}, {"aputil.padding", std::string(2 * 33, '0')}, {"aputil.trailing", ""}}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(Dissector, AlteredChecksumIsBadWithAnExpertItem) {
    const size_t i = at_.badChecksum;
    EXPECT_EQ(Value(i, "aputil.checksum.status"), "0");
    EXPECT_NE(Experts(i).find("Bad checksum"), std::string::npos) << Experts(i);
    EXPECT_EQ(Value(i, "aputil.session"), "1") << "the body is still shown";
}

TEST_F(Dissector, ReplyIsLinkedToTheLatestRequestOfItsSequenceAndStations) {
    EXPECT_EQ(Value(at_.linkReply, "aputil.response_to"), FrameNumber(at_.linkRetry));
    EXPECT_NE(Value(at_.linkReply, "aputil.time"), "");
    EXPECT_EQ(Value(at_.linkRetry, "aputil.response_in"), FrameNumber(at_.linkReply));
    EXPECT_EQ(Value(at_.linkForeign, "aputil.response_to"), "") << "another AP's reply answers nothing";
    EXPECT_EQ(Value(at_.linkOtherSeq, "aputil.response_to"), "") << "another sequence answers nothing";
    // Every AP answers a browse sent to everyone.
    EXPECT_EQ(Value(at_.browseReply1, "aputil.response_to"), FrameNumber(at_.browse));
    EXPECT_EQ(Value(at_.browseReply2, "aputil.response_to"), FrameNumber(at_.browse));
    // A session check is the AP's request, answered by the utility.
    EXPECT_EQ(Value(at_.checkReply, "aputil.response_to"), FrameNumber(at_.check));
}

TEST_F(Dissector, MutatedFramesAllDissectWithoutAnError) {
    ASSERT_GT(Frames().size(), at_.mutatedFrom + 300);
    size_t flagged = 0;
    for (size_t i = at_.mutatedFrom; i < Frames().size(); ++i) {
        const std::string experts = Experts(i);
        EXPECT_EQ(experts.find("Dissector error"), std::string::npos) << "frame " << FrameNumber(i) << ": " << experts;
        if (Frames()[i].size() >= kEthHeaderSize + 12) {
            EXPECT_NE(Value(i, "aputil.type"), "") << FrameNumber(i);
        }
        if (experts.find("needed") != std::string::npos || experts.find("claims") != std::string::npos) ++flagged;
    }
    EXPECT_GT(flagged, 100u) << "cut frames are flagged as malformed";
}

TEST_F(Dissector, LengthsThatLieAreFlaggedMalformedWithoutALuaError) {
    for (const auto& [i, what] : at_.malformed) {
        const std::string experts = Experts(i);
        EXPECT_NE(experts.find(what), std::string::npos) << "frame " << FrameNumber(i) << ": " << experts;
        EXPECT_NE(Value(i, "_ws.expert.severity"), "") << "frame " << FrameNumber(i);
        EXPECT_EQ(experts.find("Dissector error"), std::string::npos) << experts;
    }
    EXPECT_EQ(Value(at_.malformed[0].first, "aputil.checksum.status"), "2") << "no checksum where the length lies";
    EXPECT_NE(Experts(at_.badMagic).find("not 0xf558"), std::string::npos);
    EXPECT_NE(Experts(at_.undefinedType).find("not defined"), std::string::npos);
    for (const std::string& line : {std::string("Lua"), std::string("rror")})
        EXPECT_EQ(tshark_->errors().find(line), std::string::npos) << tshark_->errors();
}

}  // namespace
}  // namespace aputil
