// The session capture: which bytes the secret mask replaces (and which it must
// leave), its checksum rule, and the recorder under a CAdapter writing a pcap
// file that libpcap reads back.

#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "protocol/frame.h"
#include "tests/support/fake_driver.h"
#include "transport/adapter.h"
#include "transport/capture_file.h"

namespace aputil {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kUtilityMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
constexpr uint8_t kApMac[6] = {0x02, 0x5e, 0x10, 0x20, 0x00, 0x01};
constexpr uint8_t kOtherApMac[6] = {0x02, 0x5e, 0x10, 0x20, 0x00, 0x02};
constexpr uint32_t kImageBase = 0x00030000;

// An Ethernet frame around a payload built by the codec.
Bytes Frame(const uint8_t* dst, const uint8_t* src, uint16_t sequence, uint16_t type, const FrameFields& fields) {
    uint8_t payload[kFrameBufferSize];
    const size_t n = BuildFrame(payload, sequence, type, fields);
    EXPECT_NE(n, 0u) << "type " << type;
    Bytes frame(kEthHeaderSize + n);
    std::copy(dst, dst + 6, frame.begin());
    std::copy(src, src + 6, frame.begin() + 6);
    frame[12] = 0xAA;
    frame[13] = 0xAA;
    std::copy(payload, payload + n, frame.begin() + kEthHeaderSize);
    return frame;
}

Bytes Login(std::string_view password, uint16_t sequence = 7) {
    FrameFields f;
    f.subtype = SESSION_LOGIN;
    f.user = "user";
    f.password = password;
    return Frame(kApMac, kUtilityMac, sequence, MSG_SESSION, f);
}

bool Verifies(const Bytes& frame) {
    FrameHeader h;
    return VerifyFrame(std::span<const uint8_t>(frame).subspan(kEthHeaderSize), h);
}

// Where a text sits in a frame (npos when absent).
size_t Find(const Bytes& haystack, std::string_view needle) {
    auto it = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end());
    return it == haystack.end() ? std::string::npos : static_cast<size_t>(it - haystack.begin());
}

// Bytes that differ between two frames of the same size, outside [from, to)
// and outside the checksum's two bytes at the end.
size_t DiffersOutside(const Bytes& a, const Bytes& b, size_t from, size_t to) {
    size_t n = 0;
    for (size_t i = 0; i + 2 < a.size(); ++i)
        if ((i < from || i >= to) && a[i] != b[i]) ++n;
    return n;
}

struct PasswordCase {
    const char* name;
    std::string password;
};

class LoginMask : public ::testing::TestWithParam<PasswordCase> {};

TEST_P(LoginMask, PasswordBecomesAsterisksOfTheSameLengthAndTheFrameStillVerifies) {
    const std::string& password = GetParam().password;
    const Bytes original = Login(password);
    Bytes frame = original;
    SecretMask mask;
    EXPECT_EQ(mask.Apply(frame.data(), frame.size()), password.size());

    ASSERT_EQ(frame.size(), original.size());
    // Body: subtype, 0, 0, ATTR_USER "user", then ATTR_PASSWORD's head and value.
    const size_t value = kEthHeaderSize + kFrameHeaderSize + 6 + 3 + 4 + 3;
    EXPECT_EQ(frame[value - 1], password.size()) << "length byte kept";
    EXPECT_EQ(Bytes(frame.begin() + static_cast<long>(value), frame.end() - 2), Bytes(password.size(), '*'));
    EXPECT_EQ(DiffersOutside(original, frame, value, value + password.size()), 0u);
    EXPECT_NE(Find(frame, "user"), std::string::npos) << "the user name is no secret";
    EXPECT_TRUE(Verifies(frame)) << "checksum recomputed over the masked bytes";
}

INSTANTIATE_TEST_SUITE_P(Passwords, LoginMask,
                         ::testing::Values(PasswordCase{"Typical", "admin"}, PasswordCase{"Empty", ""},
                                           PasswordCase{"OneChar", "q"}, PasswordCase{"Longest", std::string(40, 'p')},
                                           PasswordCase{"AsteriskAndZero", std::string("a*\0b", 4)},
                                           PasswordCase{"Full255", std::string(255, 'z')}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(SecretMaskTest, BadChecksumStaysBadWhilePasswordIsMasked) {
    Bytes frame = Login("hunter2");
    frame.back() ^= 0x01;
    SecretMask mask;
    EXPECT_EQ(mask.Apply(frame.data(), frame.size()), 7u);
    EXPECT_EQ(Find(frame, "hunter2"), std::string::npos);
    EXPECT_FALSE(Verifies(frame)) << "a frame that came in bad must not look good in the capture";
}

TEST(SecretMaskTest, LengthsThatLieAreCutAtTheFrameEnd) {
    const Bytes full = Login("secretpw");
    const size_t value = kEthHeaderSize + kFrameHeaderSize + 6 + 3 + 4 + 3;
    // Cut inside the password value: the header's length and the attribute's
    // length byte both promise more than is there.
    for (size_t cut : {value, value + 3, full.size() - 2}) {
        std::vector<uint8_t> frame(full.begin(), full.begin() + static_cast<long>(cut));
        SecretMask mask;
        EXPECT_EQ(mask.Apply(frame.data(), frame.size()), cut - value) << "cut " << cut;
        EXPECT_TRUE(
            std::all_of(frame.begin() + static_cast<long>(value), frame.end(), [](uint8_t b) { return b == '*'; }))
            << "cut " << cut;
    }
    // A declared length shorter than the body does not hide the password either.
    Bytes shortened = full;
    shortened[kEthHeaderSize + 4] = 4;  // length 4: no body at all
    SecretMask mask;
    EXPECT_EQ(mask.Apply(shortened.data(), shortened.size()), 8u);
    EXPECT_EQ(Find(shortened, "secretpw"), std::string::npos);
    // Too short to hold a header, or another EtherType: left alone.
    Bytes tiny(full.begin(), full.begin() + 20);
    EXPECT_EQ(mask.Apply(tiny.data(), tiny.size()), 0u);
    Bytes foreign = full;
    foreign[12] = 0x08;
    foreign[13] = 0x00;
    EXPECT_EQ(mask.Apply(foreign.data(), foreign.size()), 0u);
}

TEST(SecretMaskTest, PasswordAttributeInEveryAttributeListIsMaskedAndOthersKept) {
    // A wire-form list: vendor "M-Rax", password "pw123", AP name "Lab", end.
    const Bytes list = {0x00, 0x00, 5,   'M', '-',  'R',  'a', 'x', 0x00, 0x06, 5,    'p',
                        'w',  '1',  '2', '3', 0x00, 0x03, 3,   'L', 'a',  'b',  0xFF, 0xFF};
    const uint8_t pw[] = {'p', 'w', '1', '2', '3'};
    const Attribute attributes[5] = {TextAttribute(ATTR_VENDOR, "M-Rax"),
                                     {ATTR_PASSWORD, pw},
                                     TextAttribute(ATTR_AP_NAME, "Lab"),
                                     TextAttribute(ATTR_MODEL, ""),
                                     TextAttribute(4, "V1")};
    struct Case {
        uint16_t type;
        FrameFields fields;
    };
    FrameFields set;
    set.session = 1;
    set.attributeList = list;
    FrameFields getReply = set;
    getReply.status = 7;
    FrameFields browse;
    browse.attributes = attributes;
    for (const Case& c : {Case{MSG_SET, set}, Case{MSG_GET_REPLY, getReply}, Case{MSG_BROWSE_REPLY, browse},
                          Case{MSG_BROWSE, browse}}) {
        Bytes frame = Frame(kApMac, kUtilityMac, 3, c.type, c.fields);
        SecretMask mask;
        EXPECT_EQ(mask.Apply(frame.data(), frame.size()), 5u) << "type " << c.type;
        EXPECT_EQ(Find(frame, "pw123"), std::string::npos) << "type " << c.type;
        EXPECT_NE(Find(frame, "*****"), std::string::npos) << "type " << c.type;
        EXPECT_NE(Find(frame, "M-Rax"), std::string::npos) << "type " << c.type;
        EXPECT_NE(Find(frame, "Lab"), std::string::npos) << "type " << c.type;
        EXPECT_TRUE(Verifies(frame)) << "type " << c.type;
    }
}

// A block exchange as the image transfer runs it, for the mask to follow.
Bytes BlockRequest(uint16_t sequence, uint8_t op, uint32_t offset, const Bytes& data, const uint8_t* ap = kApMac) {
    Bytes counted(kBlockHeaderSize);
    BlockHeader{op, offset, static_cast<uint32_t>(data.size())}.Write(counted.data());
    counted.insert(counted.end(), data.begin(), data.end());
    FrameFields f;
    f.session = 1;
    f.data = counted;
    return Frame(ap, kUtilityMac, sequence, MSG_BLOCK, f);
}

Bytes BlockReply(uint16_t sequence, uint8_t op, uint32_t offset, const Bytes& data, const uint8_t* ap = kApMac) {
    Bytes counted(kBlockHeaderSize);
    BlockHeader{op, offset, static_cast<uint32_t>(data.size())}.Write(counted.data());
    counted.insert(counted.end(), data.begin(), data.end());
    FrameFields f;
    f.session = 1;
    f.data = counted;
    return Frame(kUtilityMac, ap, sequence, MSG_BLOCK_REPLY, f);
}

Bytes DeviceInfo(uint32_t imageAddress) {
    Bytes info(32, 0);
    const uint32_t words[] = {0x0001F000, 424, 0, 0, 0, imageAddress, 4096};
    for (size_t i = 0; i < 7; ++i)
        for (size_t b = 0; b < 4; ++b) info[4 * i + b] = static_cast<uint8_t>(words[i] >> (8 * b));
    return info;
}

// The configuration image with a password "admin", an old longer one's tail
// behind its terminator, and a WEP key; every other byte is a visible 'x'.
Bytes ImageWithSecrets() {
    Bytes image(4096, 'x');
    std::fill(image.begin() + kImagePasswordOffset, image.begin() + kImagePasswordOffset + kImagePasswordWidth, 0);
    const std::string pw("admin\0oldpass", 13);
    std::copy(pw.begin(), pw.end(), image.begin() + kImagePasswordOffset);
    std::fill(image.begin() + kImageKeySlotsOffset, image.begin() + kImageKeySlotsOffset + kImageKeySlotsWidth, 0);
    const Bytes key = {0x11, 0x22, 0x33, 0x44, 0x55};
    std::copy(key.begin(), key.end(), image.begin() + kImageKeySlotsOffset + 3);
    return image;
}

Bytes Chunk(const Bytes& image, size_t k) {
    return Bytes(image.begin() + static_cast<long>(512 * k), image.begin() + static_cast<long>(512 * (k + 1)));
}

// The chunk bytes of a block frame: behind the 16-byte header of the counted data.
Bytes ChunkOf(const Bytes& frame, uint16_t type) {
    const size_t at = kEthHeaderSize + kFrameHeaderSize + (type == MSG_BLOCK ? 4 : 6) + kBlockHeaderSize;
    return Bytes(frame.begin() + static_cast<long>(at), frame.end() - 2);
}

// What the chunk k should look like in a capture: secret bytes '*', zero bytes kept.
Bytes MaskedChunk(const Bytes& image, size_t k) {
    Bytes masked = image;
    auto star = [&](size_t from, size_t width) {
        for (size_t i = from; i < from + width; ++i)
            if (masked[i] != 0) masked[i] = '*';
    };
    star(kImagePasswordOffset, kImagePasswordWidth);
    star(kImageKeySlotsOffset, kImageKeySlotsWidth);
    return Chunk(masked, k);
}

class ImageMask : public ::testing::Test {
protected:
    void LearnImageAddress() {
        Bytes request = BlockRequest(1, BLOCK_OP_INFO, 0, {});
        Bytes reply = BlockReply(1, BLOCK_OP_INFO, 0, DeviceInfo(kImageBase));
        const Bytes reply0 = reply;
        EXPECT_EQ(mask.Apply(request.data(), request.size()), 0u);
        EXPECT_EQ(mask.Apply(reply.data(), reply.size()), 0u);
        EXPECT_EQ(reply, reply0);
        ASSERT_TRUE(mask.ImageAddressKnown());
        ASSERT_EQ(mask.ImageAddress(), kImageBase);
    }

    SecretMask mask;
    const Bytes image = ImageWithSecrets();
};

TEST_F(ImageMask, ReadRepliesHideThePasswordFieldAndKeySlotsOnly) {
    LearnImageAddress();
    uint16_t sequence = 10;
    for (size_t k = 0; k < 8; ++k, ++sequence) {
        Bytes request = BlockRequest(sequence, BLOCK_OP_READ, kImageBase + static_cast<uint32_t>(512 * k), {});
        mask.Apply(request.data(), request.size());
        // The device's own header names offset 0: the request, not the reply, places the data.
        Bytes reply = BlockReply(sequence, BLOCK_OP_READ, 0, Chunk(image, k));
        mask.Apply(reply.data(), reply.size());
        EXPECT_EQ(ChunkOf(reply, MSG_BLOCK_REPLY), MaskedChunk(image, k)) << "chunk " << k;
        EXPECT_TRUE(Verifies(reply)) << "chunk " << k;
    }
}

TEST_F(ImageMask, WritesAreMaskedByTheirOwnOffset) {
    LearnImageAddress();
    for (size_t k : {0u, 1u, 2u}) {
        Bytes request = BlockRequest(static_cast<uint16_t>(20 + k), BLOCK_OP_WRITE,
                                     kImageBase + static_cast<uint32_t>(512 * k), Chunk(image, k));
        mask.Apply(request.data(), request.size());
        EXPECT_EQ(ChunkOf(request, MSG_BLOCK), MaskedChunk(image, k)) << "chunk " << k;
        EXPECT_TRUE(Verifies(request));
    }
    // A chunk that straddles the field's start is masked from the field on.
    const Bytes straddling(image.begin() + 500, image.begin() + 600);
    Bytes request = BlockRequest(30, BLOCK_OP_WRITE, kImageBase + 500, straddling);
    mask.Apply(request.data(), request.size());
    Bytes got = ChunkOf(request, MSG_BLOCK);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 12), Bytes(12, 'x'));
    EXPECT_EQ(Bytes(got.begin() + 52, got.begin() + 57), Bytes(5, '*'));
    EXPECT_EQ(Find(got, "admin"), std::string::npos);
}

TEST_F(ImageMask, RepliesAreMatchedBySequenceAndBothStations) {
    LearnImageAddress();
    // A read of chunk 0 (nothing secret) by sequence 40 from this AP.
    Bytes request = BlockRequest(40, BLOCK_OP_READ, kImageBase, {});
    mask.Apply(request.data(), request.size());
    // Another AP answers with sequence 40 and chunk 1's bytes, its header naming
    // chunk 1's address: not the answer, so placed by its own header, masked.
    Bytes foreign = BlockReply(40, BLOCK_OP_READ, kImageBase + 512, Chunk(image, 1), kOtherApMac);
    mask.Apply(foreign.data(), foreign.size());
    EXPECT_EQ(ChunkOf(foreign, MSG_BLOCK_REPLY), MaskedChunk(image, 1));
    // The real answer carries chunk 0 and stays as it is.
    Bytes reply = BlockReply(40, BLOCK_OP_READ, 0, Chunk(image, 0));
    const Bytes reply0 = reply;
    EXPECT_EQ(mask.Apply(reply.data(), reply.size()), 0u);
    EXPECT_EQ(reply, reply0);
}

TEST_F(ImageMask, AddressesNearTheTopDoNotWrapIntoTheImage) {
    Bytes request = BlockRequest(1, BLOCK_OP_INFO, 0, {});
    mask.Apply(request.data(), request.size());
    Bytes reply = BlockReply(1, BLOCK_OP_INFO, 0, DeviceInfo(0xFFFFFE00));
    mask.Apply(reply.data(), reply.size());
    ASSERT_EQ(mask.ImageAddress(), 0xFFFFFE00u);
    // The secret fields lie beyond 4 GiB: a chunk at a low address must not be
    // taken for them by a sum that wrapped.
    Bytes low = BlockRequest(2, BLOCK_OP_WRITE, 0x00000100, Chunk(image, 1));
    EXPECT_EQ(mask.Apply(low.data(), low.size()), 0u);
    EXPECT_EQ(ChunkOf(low, MSG_BLOCK), Chunk(image, 1));
}

// The recorder under the adapter, writing a real file.
class Recorder : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/aputil-capture-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        auto fake = std::make_unique<FakeDriver>();
        driver = fake.get();
        driver->interfaces.push_back(FakeInterface{"eth0"});
        adapter.SetDriver(std::move(fake));
        ASSERT_TRUE(adapter.OpenAdapter(0));
    }
    void TearDown() override {
        StopFrameCapture();
        std::string cmd = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }

    // Sends a login, receives a reply to it; returns the frames the handler saw.
    void RunExchange(const Bytes& login, const Bytes& reply) {
        ASSERT_TRUE(adapter.TransmitFrame(login.data(), login.size()));
        driver->incoming.push_back(reply);
        handled().clear();
        adapter.StartReceive(&Handle);
        EXPECT_TRUE(adapter.WaitForFrames(10));
        adapter.StopReceive();
    }

    static std::vector<Bytes>& handled() {
        static std::vector<Bytes> frames;
        return frames;
    }
    static void Handle(const uint8_t* frame, size_t length) { handled().emplace_back(frame, frame + length); }

    struct Record {
        Bytes bytes;
        bpf_u_int32 len;
    };
    std::vector<Record> ReadBack(const std::string& path) {
        char err[PCAP_ERRBUF_SIZE];
        pcap_t* p = pcap_open_offline(path.c_str(), err);
        EXPECT_NE(p, nullptr) << err;
        std::vector<Record> records;
        if (p == nullptr) return records;
        EXPECT_EQ(pcap_datalink(p), DLT_EN10MB);
        pcap_pkthdr* h;
        const u_char* data;
        while (pcap_next_ex(p, &h, &data) == 1) records.push_back({Bytes(data, data + h->caplen), h->len});
        pcap_close(p);
        return records;
    }

    CAdapter adapter;
    FakeDriver* driver = nullptr;
    std::string dir_;
};

TEST_F(Recorder, WritesEverySentAndDeliveredFrameMaskedWhileTheWireSeesTheRealOnes) {
    const std::string path = dir_ + "/session.pcap";
    std::string error;
    ASSERT_TRUE(StartFrameCapture(path, false, error)) << error;
    EXPECT_TRUE(FrameCaptureActive());
    const Bytes login = Login("topsecret");
    FrameFields f;
    f.subtype = SESSION_LOGIN_REPLY;
    f.value2 = 1;
    Bytes reply = Frame(kUtilityMac, kApMac, 7, MSG_SESSION, f);
    reply.resize(60, 0);  // Ethernet padding, recorded as received
    RunExchange(login, reply);
    StopFrameCapture();
    EXPECT_FALSE(FrameCaptureActive());

    ASSERT_EQ(driver->sent.size(), 1u);
    EXPECT_EQ(driver->sent[0], login) << "the wire gets the password";
    ASSERT_EQ(handled().size(), 1u);
    EXPECT_EQ(handled()[0], reply) << "the protocol gets the frame as it came";

    const auto records = ReadBack(path);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].len, login.size());
    EXPECT_EQ(Find(records[0].bytes, "topsecret"), std::string::npos);
    EXPECT_NE(Find(records[0].bytes, "*********"), std::string::npos);
    EXPECT_TRUE(Verifies(records[0].bytes));
    EXPECT_EQ(records[1].bytes, reply);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(Recorder, KeepingSecretsWritesTheFramesAsSentIntoAnOwnerOnlyFile) {
    const std::string path = dir_ + "/secret.pcap";
    {
        FILE* f = std::fopen(path.c_str(), "w");  // an old file, readable by all
        ASSERT_NE(f, nullptr);
        std::fclose(f);
        ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    }
    std::string error;
    ASSERT_TRUE(StartFrameCapture(path, true, error)) << error;
    const Bytes login = Login("topsecret");
    ASSERT_TRUE(adapter.TransmitFrame(login.data(), login.size()));
    StopFrameCapture();
    const auto records = ReadBack(path);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].bytes, login);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(Recorder, NothingIsWrittenForFramesNotSentOrNotDeliveredAndABadPathIsReported) {
    std::string error;
    EXPECT_FALSE(StartFrameCapture(dir_ + "/missing/dir/x.pcap", false, error));
    EXPECT_NE(error.find("missing/dir/x.pcap"), std::string::npos) << error;
    EXPECT_FALSE(FrameCaptureActive());

    const std::string path = dir_ + "/quiet.pcap";
    ASSERT_TRUE(StartFrameCapture(path, false, error)) << error;
    const Bytes login = Login("pw");
    driver->sendOk = false;  // the kernel refuses it
    EXPECT_FALSE(adapter.TransmitFrame(login.data(), login.size()));
    driver->incoming.push_back(login);  // waits while delivery is off
    EXPECT_FALSE(adapter.WaitForFrames(5));
    StopFrameCapture();
    EXPECT_TRUE(ReadBack(path).empty()) << "an empty capture is still a readable file";
}

}  // namespace
}  // namespace aputil
