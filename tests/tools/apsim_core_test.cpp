// The simulator's core without a wire: the blocks it holds, its answers to
// well-formed and malformed requests, sessions, fault determinism, state file.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "protocol/bytes.h"
#include "protocol/frame.h"
#include "tools/apsim/apsim_core.h"

namespace {

using apsim::Mac;

const Mac kStation{0x0a, 0x11, 0x22, 0x33, 0x44, 0x55};
const Mac kOtherStation{0x0a, 0x11, 0x22, 0x33, 0x44, 0x66};
const Mac kBroadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

std::vector<uint8_t> Ethernet(const Mac& dst, const Mac& src, std::span<const uint8_t> payload) {
    std::vector<uint8_t> f(dst.begin(), dst.end());
    f.insert(f.end(), src.begin(), src.end());
    f.push_back(0xAA);
    f.push_back(0xAA);
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

std::vector<uint8_t> Request(const Mac& dst, uint16_t seq, uint16_t type, const aputil::FrameFields& fields,
                             const Mac& src = kStation) {
    std::vector<uint8_t> payload(aputil::kFrameBufferSize);
    const size_t n = aputil::BuildFrame(payload, seq, type, fields);
    EXPECT_GT(n, 0u);
    payload.resize(n);
    return Ethernet(dst, src, payload);
}

// A frame with a valid header and checksum around any body, however short.
std::vector<uint8_t> RawRequest(const Mac& dst, uint16_t seq, uint16_t type, std::vector<uint8_t> body) {
    std::vector<uint8_t> p(aputil::kFrameHeaderSize + body.size() + 2);
    aputil::ByteWriter w(p.data(), p.size());
    w.u16be(aputil::kFrameMagic);
    w.u8(aputil::kFrameVersion);
    w.u16be(static_cast<uint16_t>(4 + body.size()));
    w.u16be(seq);
    w.u16be(type);
    w.bytes(body.data(), body.size());
    w.u16be(aputil::Crc16(p.data() + 5, 4 + body.size()));
    return Ethernet(dst, kStation, p);
}

std::vector<uint8_t> LoginRequest(const Mac& ap, const std::string& password, uint16_t seq = 1,
                                  const Mac& src = kStation) {
    aputil::FrameFields f;
    f.subtype = aputil::SESSION_LOGIN;
    f.user = "user";
    f.password = password;
    return Request(ap, seq, aputil::MSG_SESSION, f, src);
}

std::vector<uint8_t> BlockRequest(const Mac& ap, uint16_t session, uint8_t op, uint32_t offset, uint32_t length,
                                  std::span<const uint8_t> data = {}, uint16_t seq = 2, const Mac& src = kStation) {
    std::vector<uint8_t> counted(aputil::kBlockHeaderSize);
    aputil::BlockHeader{op, offset, length}.Write(counted.data());
    counted.insert(counted.end(), data.begin(), data.end());
    aputil::FrameFields f;
    f.session = session;
    f.data = counted;
    return Request(ap, seq, aputil::MSG_BLOCK, f, src);
}

struct Decoded {
    Mac dst{}, src{};
    aputil::FrameHeader header;
    std::vector<uint8_t> body;
};

Decoded Decode(const apsim::OutFrame& f) {
    Decoded d;
    EXPECT_GE(f.bytes.size(), aputil::kEthHeaderSize + aputil::kMinPayloadSize);
    std::memcpy(d.dst.data(), f.bytes.data(), 6);
    std::memcpy(d.src.data(), f.bytes.data() + 6, 6);
    const auto payload = std::span<const uint8_t>(f.bytes).subspan(aputil::kEthHeaderSize);
    EXPECT_TRUE(aputil::VerifyFrame(payload, d.header));
    const auto body = aputil::FrameBody(payload, d.header);
    d.body.assign(body.begin(), body.end());
    return d;
}

struct Block {
    uint16_t session = 0, status = 0;
    std::vector<uint8_t> data;  // after the device block header
};

Block DecodeBlock(const apsim::OutFrame& f) {
    const Decoded d = Decode(f);
    EXPECT_EQ(d.header.type, aputil::MSG_BLOCK_REPLY);
    aputil::ByteReader r(d.body);
    Block b;
    b.session = r.u16be();
    b.status = r.u16be();
    const uint16_t count = r.u16be();
    const auto counted = r.view(count);
    EXPECT_TRUE(r.ok());
    EXPECT_GE(counted.size(), aputil::kBlockHeaderSize);
    if (counted.size() >= aputil::kBlockHeaderSize)
        b.data.assign(counted.begin() + aputil::kBlockHeaderSize, counted.end());
    return b;
}

uint32_t U32le(std::span<const uint8_t> bytes, size_t at) {
    aputil::ByteReader r(bytes.subspan(at, 4));
    return r.u32le();
}

// A simulator with one station logged in to AP 0.
struct LoggedIn {
    explicit LoggedIn(apsim::Config config = {}) : sim(config) {
        sim.HandleFrame(LoginRequest(Ap(), "admin"), 0, out);
        EXPECT_EQ(out.frames.size(), 1u);
        const Decoded reply = Decode(out.frames.at(0));
        aputil::ByteReader r(reply.body);
        r.skip(2);
        EXPECT_EQ(r.u16be(), 0);
        session = r.u16be();
        out.Clear();
    }
    const Mac& Ap() const { return sim.Ap(0).mac; }
    Block Send(const std::vector<uint8_t>& frame) {
        out.Clear();
        sim.HandleFrame(frame, 0, out);
        EXPECT_EQ(out.frames.size(), 1u);
        return out.frames.empty() ? Block{} : DecodeBlock(out.frames[0]);
    }
    apsim::Simulator sim;
    apsim::Output out;
    uint16_t session = 0;
};

// ---------------------------------------------------------------------------

TEST(ApsimCrc32, KnownAnswers) {
    const std::vector<uint8_t> zeros(4084, 0);
    const std::string abc = "abc", check = "123456789";
    struct Case {
        const char* what;
        uint32_t seed;
        const uint8_t* bytes;
        size_t count;
        uint32_t finalXor;
        uint32_t expected;
    } cases[] = {
        // Vectors of the image checksum (seed 0x5A5A5A5A, no final XOR).
        {"abc", 0x5A5A5A5A, reinterpret_cast<const uint8_t*>(abc.data()), abc.size(), 0, 0x60A43ED8},
        {"nothing", 0x5A5A5A5A, zeros.data(), 0, 0, 0x5A5A5A5A},
        {"4084 zeros", 0x5A5A5A5A, zeros.data(), zeros.size(), 0, 0x4152EC2B},
        // The standard CRC-32 check value: same table, seed and final XOR 0xFFFFFFFF.
        {"check", 0xFFFFFFFF, reinterpret_cast<const uint8_t*>(check.data()), check.size(), 0xFFFFFFFF, 0xCBF43926},
    };
    for (const auto& c : cases) EXPECT_EQ(apsim::Crc32(c.seed, c.bytes, c.count) ^ c.finalXor, c.expected) << c.what;
}

TEST(ApsimGenerate, BlocksAreConsistentAndRealistic) {
    apsim::Config config;
    config.count = 1000;
    config.password = "s3cret";
    apsim::Simulator sim(config);
    std::set<std::string> ssids;
    for (int i : {0, 1, 2, 3, 500, 999}) {
        SCOPED_TRACE(i);
        const apsim::SimAp& ap = sim.Ap(i);
        const apsim::Image& im = ap.image;
        EXPECT_EQ(apsim::ImageCrc(im), apsim::StoredImageCrc(im));
        EXPECT_EQ(U32le(ap.deviceInfo, 0), apsim::kFirmwareAddress);
        EXPECT_EQ(U32le(ap.deviceInfo, 20), apsim::kImageAddress);
        EXPECT_EQ(apsim::ReadText(im, apsim::layout::apName, 80), ap.name);
        EXPECT_EQ(apsim::ReadText(im, apsim::layout::password, 40), "s3cret");
        EXPECT_EQ(apsim::ReadText(ap.firmware, apsim::layout::firmwareVersion, 32), config.firmwareVersion);
        EXPECT_EQ(apsim::ReadText(ap.firmware, apsim::layout::firmwareDate, 32), config.firmwareDate);
        const std::string ssid = apsim::ReadText(im, apsim::layout::ssid, 36);
        EXPECT_FALSE(ssid.empty());
        EXPECT_LE(ssid.size(), 32u);
        ssids.insert(ssid);
        const unsigned mask = im[apsim::layout::channelMask] | (im[apsim::layout::channelMask + 1] << 8);
        const unsigned channel = im[apsim::layout::channel];
        ASSERT_GE(channel, 1u);
        EXPECT_TRUE(mask & (1u << (channel - 1))) << "channel " << channel << " not allowed by mask " << mask;
        EXPECT_EQ(0, std::memcmp(&im[apsim::layout::ipAddress], &im[apsim::layout::addressCopy], 12));
        EXPECT_EQ(im[apsim::layout::ipAddress], 192);
        EXPECT_LE(im[apsim::layout::wepMode], 2);
        EXPECT_LE(im[apsim::layout::macEntryCount], 32);
        EXPECT_NE(im[apsim::layout::regulatoryDomain], 0);
        EXPECT_EQ(ap.pending, im);
    }
    EXPECT_EQ(ssids.size(), 6u);
    // Every WEP state and both MAC access states occur among the first APs.
    std::set<int> wep, access;
    for (int i = 0; i < 6; ++i) {
        wep.insert(sim.Ap(i).image[apsim::layout::wepMode]);
        access.insert(sim.Ap(i).image[apsim::layout::macAccessEnabled]);
    }
    EXPECT_EQ(wep, (std::set<int>{0, 1, 2}));
    EXPECT_EQ(access, (std::set<int>{0, 1}));
}

TEST(ApsimGenerate, MacsAreLocallyAdministeredUniqueAndFollowTheSeed) {
    apsim::Config a, b, c;
    a.count = b.count = c.count = 1000;
    c.seed = 2;
    apsim::Simulator sa(a), sb(b), sc(c);
    std::set<Mac> macs;
    for (int i = 0; i < 1000; ++i) {
        const Mac& m = sa.Ap(i).mac;
        EXPECT_EQ(m[0] & 0x03, 0x02) << "locally administered unicast";
        EXPECT_EQ(m, sb.Ap(i).mac);
        EXPECT_NE(m, sc.Ap(i).mac);
        EXPECT_EQ(sa.FindAp(m), i);
        macs.insert(m);
    }
    EXPECT_EQ(macs.size(), 1000u);
    EXPECT_EQ(sa.ResolveAp("7"), 7);
    EXPECT_EQ(sa.ResolveAp(apsim::MacText(sa.Ap(9).mac)), 9);
    EXPECT_EQ(sa.ResolveAp("1000"), -1);
    EXPECT_EQ(sa.ResolveAp("02:00:00:00:00:01"), -1);
}

TEST(ApsimBlocks, AnswersEachRequestWithTheRightStatusAndData) {
    LoggedIn t;
    const apsim::SimAp& ap = t.sim.Ap(0);
    const std::vector<uint8_t> chunk(512, 0x5C);
    const uint32_t img = apsim::kImageAddress, fw = apsim::kFirmwareAddress;
    struct Case {
        const char* what;
        uint8_t op;
        uint32_t offset, length;
        size_t dataBytes;
        uint16_t status;
        std::span<const uint8_t> expected;
    } cases[] = {
        {"info", aputil::BLOCK_OP_INFO, 0, 0, 0, 0, ap.deviceInfo},
        {"whole firmware block", aputil::BLOCK_OP_READ, fw, 424, 0, 0, ap.firmware},
        {"last image chunk", aputil::BLOCK_OP_READ, img + 3584, 512, 0, 0,
         std::span<const uint8_t>(ap.image).subspan(3584)},
        {"odd piece of the image", aputil::BLOCK_OP_READ, img + 1031, 37, 0, 0,
         std::span<const uint8_t>(ap.image).subspan(1031, 37)},
        {"read past the image end", aputil::BLOCK_OP_READ, img + 3585, 512, 0, apsim::kDevBadRequest, {}},
        {"read past the firmware end", aputil::BLOCK_OP_READ, fw + 1, 424, 0, apsim::kDevBadRequest, {}},
        {"read before the image", aputil::BLOCK_OP_READ, img - 1, 16, 0, apsim::kDevBadRequest, {}},
        {"read of nothing", aputil::BLOCK_OP_READ, img, 0, 0, apsim::kDevBadRequest, {}},
        {"read of 513 bytes", aputil::BLOCK_OP_READ, img, 513, 0, apsim::kDevBadRequest, {}},
        {"read near 4 GiB", aputil::BLOCK_OP_READ, 0xFFFFFF00u, 512, 0, apsim::kDevBadRequest, {}},
        {"write into the firmware block", aputil::BLOCK_OP_WRITE, fw, 16, 16, apsim::kDevBadRequest, {}},
        {"write with fewer bytes than announced", aputil::BLOCK_OP_WRITE, img, 512, 100, apsim::kDevBadRequest, {}},
        {"write past the image end", aputil::BLOCK_OP_WRITE, img + 4000, 512, 512, apsim::kDevBadRequest, {}},
        {"write of a chunk", aputil::BLOCK_OP_WRITE, img, 512, 512, 0, {}},
        {"unknown op", 0x55, 0, 0, 0, apsim::kDevBadRequest, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Block b = t.Send(BlockRequest(t.Ap(), t.session, c.op, c.offset, c.length,
                                            std::span<const uint8_t>(chunk).first(c.dataBytes)));
        EXPECT_EQ(b.session, t.session);
        EXPECT_EQ(b.status, c.status);
        EXPECT_EQ(b.data, std::vector<uint8_t>(c.expected.begin(), c.expected.end()));
    }
    // No request above changed what the AP serves.
    EXPECT_EQ(t.sim.Ap(0).commits, 0);
    EXPECT_TRUE(t.out.committed.empty());
}

TEST(ApsimBlocks, FinishIsNeverAnsweredAndRepliesEchoTheRequest) {
    LoggedIn t;
    t.out.Clear();
    t.sim.HandleFrame(BlockRequest(t.Ap(), t.session, aputil::BLOCK_OP_FINISH, 0, 0), 5, t.out);
    EXPECT_TRUE(t.out.frames.empty());
    ASSERT_EQ(t.out.log.size(), 1u);
    EXPECT_NE(t.out.log[0].find("\"op\":0"), std::string::npos);

    t.out.Clear();
    t.sim.HandleFrame(BlockRequest(t.Ap(), t.session, aputil::BLOCK_OP_INFO, 0, 0, {}, 0xBEEF), 5, t.out);
    ASSERT_EQ(t.out.frames.size(), 1u);
    const Decoded d = Decode(t.out.frames[0]);
    EXPECT_EQ(d.dst, kStation);
    EXPECT_EQ(d.src, t.Ap());
    EXPECT_EQ(d.header.sequence, 0xBEEF);
    EXPECT_EQ(d.header.version, aputil::kFrameVersion);
}

TEST(ApsimBlocks, ARefusedCommitDiscardsEveryPendingWrite) {
    LoggedIn t;
    const apsim::Image live = t.sim.Ap(0).image;
    apsim::Image next = live;
    next[apsim::layout::channel] = 13;
    apsim::StampImageCrc(next);
    auto write = [&](size_t chunk, std::span<const uint8_t> bytes) {
        return t
            .Send(BlockRequest(t.Ap(), t.session, aputil::BLOCK_OP_WRITE,
                               static_cast<uint32_t>(apsim::kImageAddress + chunk * 512), 512,
                               bytes.subspan(chunk * 512, 512)))
            .status;
    };
    auto commit = [&] { return t.Send(BlockRequest(t.Ap(), t.session, aputil::BLOCK_OP_COMMIT, 0, 0)).status; };

    // All of the next image with a damaged chunk 2 (which holds the channel): refused.
    apsim::Image damaged = next;
    damaged[1100] ^= 0xFF;
    for (size_t c = 0; c < 8; ++c) ASSERT_EQ(write(c, damaged), 0);
    EXPECT_EQ(commit(), apsim::kDevBadChecksum);
    EXPECT_EQ(t.sim.Ap(0).image, live);
    // Mending chunk 2 alone must not revive the refused chunk 7 with its new checksum.
    ASSERT_EQ(write(2, next), 0);
    EXPECT_EQ(commit(), apsim::kDevBadChecksum);
    EXPECT_EQ(t.sim.Ap(0).image, live);
    // The whole image again: taken.
    for (size_t c = 0; c < 8; ++c) ASSERT_EQ(write(c, next), 0);
    EXPECT_EQ(commit(), 0);
    EXPECT_EQ(t.sim.Ap(0).image, next);
    EXPECT_EQ(t.out.committed, std::vector<int>{0});
}

TEST(ApsimSessions, OnlyTheHolderMayUseASessionAndTheNinthLoginTakesOverTheOldest) {
    apsim::Simulator sim(apsim::Config{});
    const Mac ap = sim.Ap(0).mac;
    apsim::Output out;
    auto login = [&](const Mac& from) {
        out.Clear();
        sim.HandleFrame(LoginRequest(ap, "admin", 1, from), 0, out);
        const Decoded reply = Decode(out.frames.at(0));
        aputil::ByteReader r(reply.body);
        EXPECT_EQ(r.u16be(), aputil::SESSION_LOGIN_REPLY);
        EXPECT_EQ(r.u16be(), 0);
        return r.u16be();
    };
    auto info = [&](uint16_t session, const Mac& from) {
        out.Clear();
        sim.HandleFrame(BlockRequest(ap, session, aputil::BLOCK_OP_INFO, 0, 0, {}, 2, from), 0, out);
        return DecodeBlock(out.frames.at(0)).status;
    };
    std::vector<Mac> stations;
    for (uint8_t i = 0; i < 8; ++i) {
        stations.push_back({0x0a, 0, 0, 0, 0, i});
        EXPECT_EQ(login(stations.back()), i + 1);
    }
    EXPECT_EQ(info(3, stations[2]), 0);
    EXPECT_EQ(info(3, stations[3]), apsim::kDevNoSession) << "held by another station";
    EXPECT_EQ(info(0, stations[0]), apsim::kDevNoSession);
    EXPECT_EQ(info(9, stations[0]), apsim::kDevNoSession);
    // Session 1 has been used least recently (3 was just used): the ninth station takes it.
    EXPECT_EQ(info(2, stations[1]), 0);
    EXPECT_EQ(login(kOtherStation), 1);
    EXPECT_EQ(info(1, stations[0]), apsim::kDevNoSession);
    EXPECT_EQ(info(1, kOtherStation), 0);

    // Logout frees only what the sender holds.
    aputil::FrameFields f;
    f.session = 2;
    out.Clear();
    sim.HandleFrame(Request(ap, 3, aputil::MSG_LOGOUT, f, stations[5]), 0, out);
    EXPECT_TRUE(out.frames.empty());
    EXPECT_EQ(info(2, stations[1]), 0);
    out.Clear();
    sim.HandleFrame(Request(ap, 3, aputil::MSG_LOGOUT, f, stations[1]), 0, out);
    EXPECT_TRUE(out.frames.empty());
    EXPECT_EQ(info(2, stations[1]), apsim::kDevNoSession);
}

TEST(ApsimMalformed, ShortOrInconsistentRequestsGetNoReplyOrAPlainRefusal) {
    const apsim::Simulator probe(apsim::Config{});
    const Mac ap = probe.Ap(0).mac;
    struct Case {
        const char* what;
        std::vector<uint8_t> frame;
        int replies;           // frames expected
        uint16_t loginStatus;  // when one login reply is expected
    } cases[] = {
        {"session body of 5 bytes", RawRequest(ap, 1, aputil::MSG_SESSION, {0, 1, 0, 0, 0}), 0, 0},
        {"login without attributes", RawRequest(ap, 1, aputil::MSG_SESSION, {0, 1, 0, 0, 0, 0}), 1,
         apsim::kDevBadRequest},
        {"password attribute running past the body",
         RawRequest(ap, 1, aputil::MSG_SESSION, {0, 1, 0, 0, 0, 0, 0, 5, 4, 'u', 's', 'e', 'r', 0, 6, 9, 'a'}), 1,
         apsim::kDevBadRequest},
        {"logout body of 1 byte", RawRequest(ap, 1, aputil::MSG_LOGOUT, {0}), 0, 0},
        {"block body of 3 bytes", RawRequest(ap, 1, aputil::MSG_BLOCK, {0, 1, 0}), 0, 0},
        {"block count beyond the body", RawRequest(ap, 1, aputil::MSG_BLOCK, {0, 1, 0, 40, 0x10, 0, 0, 0}), 0, 0},
        {"block header of 15 bytes",
         RawRequest(ap, 1, aputil::MSG_BLOCK, {0, 1, 0, 15, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 0, 0},
        {"undefined type to an AP", RawRequest(ap, 1, 19, {0, 1}), 0, 0},
        {"login to broadcast", LoginRequest(kBroadcast, "admin"), 0, 0},
        {"login to another MAC", LoginRequest(Mac{0x02, 9, 9, 9, 9, 9}, "admin"), 0, 0},
        {"frame shorter than a header", std::vector<uint8_t>(20, 0xAA), 0, 0},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        apsim::Simulator sim(apsim::Config{});
        apsim::Output out;
        sim.HandleFrame(c.frame, 0, out);
        ASSERT_EQ(static_cast<int>(out.frames.size()), c.replies);
        if (c.replies) {
            const Decoded reply = Decode(out.frames[0]);
            aputil::ByteReader r(reply.body);
            EXPECT_EQ(r.u16be(), aputil::SESSION_LOGIN_REPLY);
            EXPECT_EQ(r.u16be(), c.loginStatus);
            EXPECT_EQ(r.u16be(), 0) << "no session for a refused login";
        }
        // A damaged checksum silences even a good request.
        c.frame.back() ^= 1;
        out.Clear();
        sim.HandleFrame(c.frame, 0, out);
        EXPECT_TRUE(out.frames.empty());
    }
}

TEST(ApsimFaults, TheSameSeedRepeatsTheSameFaults) {
    auto run = [](uint64_t seed) {
        apsim::Config c;
        c.seed = seed;
        c.faults.dropReplies = 0.5;
        c.faults.dupReplies = 0.3;
        c.faults.wrongSequence = 0.3;
        apsim::Simulator sim(c);
        std::vector<std::vector<uint8_t>> all;
        for (uint16_t seq = 0; seq < 64; ++seq) {
            apsim::Output out;
            sim.HandleFrame(LoginRequest(sim.Ap(0).mac, seq % 3 ? "admin" : "bad", seq), 0, out);
            all.emplace_back();  // marks the request, so drops show
            for (const auto& f : out.frames) all.push_back(f.bytes);
        }
        return all;
    };
    const auto a = run(7), b = run(7), c = run(8);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
}

// The forger answers first, in the AP's name; the AP's own reply follows and
// differs from it only in the last counted byte. Only the chunk named is forged.
TEST(ApsimFaults, ForgedReplyPrecedesTheApsOwnForTheNamedChunkOnly) {
    LoggedIn t;
    t.sim.faults().forgeChunk = 2;
    const uint32_t img = apsim::kImageAddress;
    const std::vector<uint8_t> chunk(512, 0x5C);
    struct Case {
        const char* what;
        uint8_t op;
        uint32_t offset;
        size_t dataBytes;
        bool forged;
    } cases[] = {
        {"read of chunk 2", aputil::BLOCK_OP_READ, img + 1024, 0, true},
        {"write of chunk 2", aputil::BLOCK_OP_WRITE, img + 1024, 512, true},
        {"read of chunk 3", aputil::BLOCK_OP_READ, img + 1536, 0, false},
        {"info", aputil::BLOCK_OP_INFO, 0, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        t.out.Clear();
        t.sim.HandleFrame(BlockRequest(t.Ap(), t.session, c.op, c.offset, 512,
                                       std::span<const uint8_t>(chunk).first(c.dataBytes), 0x0C0C),
                          0, t.out);
        ASSERT_EQ(t.out.frames.size(), c.forged ? 2u : 1u);
        const Decoded own = Decode(t.out.frames.back());
        EXPECT_EQ(own.src, t.Ap());
        EXPECT_EQ(DecodeBlock(t.out.frames.back()).status, 0);
        if (!c.forged) continue;
        const Decoded forged = Decode(t.out.frames.front());
        EXPECT_EQ(forged.src, own.src);
        EXPECT_EQ(forged.dst, own.dst);
        EXPECT_EQ(forged.header.sequence, 0x0C0C);
        EXPECT_EQ(forged.header.sequence, own.header.sequence);
        ASSERT_EQ(forged.body.size(), own.body.size());
        std::vector<uint8_t> mended = forged.body;
        mended.back() ^= 0xFF;
        EXPECT_EQ(mended, own.body) << "only the last counted byte differs";
        ASSERT_EQ(t.out.log.size(), 1u);
        EXPECT_NE(t.out.log[0].find("forge"), std::string::npos) << t.out.log[0];
    }
}

// Every reply of the knob's scope comes with N junk frames around it, each a
// damaged copy that a requester must drop: cut short, a bad CRC-16, another
// station's MAC, or a sequence far from the request's. The draws follow the seed.
TEST(ApsimFaults, JunkFramesSurroundEachReplyAndNoneCouldPassForIt) {
    constexpr uint32_t kJunk = 7;
    auto run = [](uint64_t seed, unsigned scope) {
        apsim::Config c;
        c.seed = seed;
        c.faults.junk = kJunk;
        c.faults.scope = scope;
        LoggedIn s(c);  // logins stay out of scope: LoggedIn takes the grant alone
        std::vector<std::vector<uint8_t>> all;
        std::set<std::string> kinds;
        for (uint16_t seq = 10; seq < 30; ++seq) {
            s.out.Clear();
            s.sim.HandleFrame(BlockRequest(s.Ap(), s.session, aputil::BLOCK_OP_READ, 0x00030000, 512, {}, seq), 0,
                              s.out);
            const size_t expected = scope & apsim::kScopeBlock ? kJunk + 1 : 1;
            EXPECT_EQ(s.out.frames.size(), expected);
            if (s.out.frames.size() != expected) continue;
            const size_t replyAt = expected == 1 ? 0 : kJunk / 2;
            const apsim::OutFrame& reply = s.out.frames[replyAt];
            const Block block = DecodeBlock(reply);
            EXPECT_EQ(block.status, 0);
            EXPECT_EQ(block.data.size(), 512u);
            for (size_t i = 0; i < s.out.frames.size(); ++i) {
                const std::vector<uint8_t>& f = s.out.frames[i].bytes;
                all.push_back(f);
                if (i == replyAt) continue;
                SCOPED_TRACE(testing::Message() << "seq " << seq << " frame " << i);
                if (f.size() < aputil::kEthHeaderSize) {
                    ADD_FAILURE() << "shorter than an Ethernet header";
                    continue;
                }
                EXPECT_TRUE(std::equal(f.begin(), f.begin() + 6, kStation.begin())) << "sent to the requester";
                aputil::FrameHeader h;
                const auto payload = std::span<const uint8_t>(f).subspan(aputil::kEthHeaderSize);
                const bool verifies = aputil::VerifyFrame(payload, h);
                const bool fromAp = std::equal(f.begin() + 6, f.begin() + 12, s.Ap().begin());
                if (f.size() < reply.bytes.size()) {
                    EXPECT_FALSE(verifies);
                    kinds.insert("truncated");
                } else if (!verifies) {
                    EXPECT_EQ(f.size(), reply.bytes.size());
                    kinds.insert("bad-crc");
                } else if (!fromAp) {
                    EXPECT_EQ(f[6], 0x06);
                    EXPECT_EQ(h.sequence, seq);
                    kinds.insert("foreign-mac");
                } else {
                    EXPECT_EQ(h.sequence, static_cast<uint16_t>(seq ^ 0x8000));
                    kinds.insert("wrong-sequence");
                }
            }
        }
        if (scope & apsim::kScopeBlock) {
            EXPECT_EQ(kinds, (std::set<std::string>{"truncated", "bad-crc", "foreign-mac", "wrong-sequence"}));
        }
        return all;
    };
    const unsigned blocks = apsim::kScopeBlock, browses = apsim::kScopeBrowse;
    const auto a = run(3, blocks), b = run(3, blocks), c = run(4, blocks);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    run(3, browses);  // out of scope: the block replies come alone
}

TEST(ApsimFaults, SetFaultAcceptsTheKnobsAndRefusesNonsense) {
    apsim::Faults f;
    std::string error;
    EXPECT_TRUE(apsim::SetFault(f, "drop-replies", "0.25", error));
    EXPECT_DOUBLE_EQ(f.dropReplies, 0.25);
    EXPECT_TRUE(apsim::SetFault(f, "refuse-write-chunk", "7", error));
    EXPECT_EQ(f.refuseWriteChunk, 7);
    EXPECT_TRUE(apsim::SetFault(f, "forge-chunk", "2", error));
    EXPECT_EQ(f.forgeChunk, 2);
    EXPECT_EQ(f.refuseWriteChunk, 7) << "each chunk knob is its own";
    EXPECT_TRUE(apsim::SetFault(f, "forge-chunk", "off", error));
    EXPECT_EQ(f.forgeChunk, -1);
    EXPECT_TRUE(apsim::SetFault(f, "fault-on", "login,block", error));
    EXPECT_EQ(f.scope, unsigned{apsim::kScopeLogin | apsim::kScopeBlock});
    EXPECT_TRUE(apsim::SetFault(f, "refuse-commit", "off", error));
    EXPECT_FALSE(f.refuseCommit);
    EXPECT_TRUE(apsim::SetFault(f, "junk", "7", error));
    EXPECT_EQ(f.junk, 7u);
    const std::pair<const char*, const char*> bad[] = {
        {"drop-replies", "1.5"}, {"drop-replies", "-0.1"}, {"drop-replies", "half"}, {"refuse-write-chunk", "8"},
        {"forge-chunk", "8"},    {"fault-on", "radio"},    {"delay-ms", "-3"},       {"no-such-knob", "1"},
        {"junk", "65"},          {"junk", "-1"},           {"junk", "seven"},
    };
    for (const auto& [name, value] : bad) {
        error.clear();
        EXPECT_FALSE(apsim::SetFault(f, name, value, error)) << name << " " << value;
        EXPECT_FALSE(error.empty());
    }
    EXPECT_DOUBLE_EQ(f.dropReplies, 0.25) << "a refused value changes nothing";
}

TEST(ApsimState, LinesSetTheFieldsAndKeepTheChecksumValid) {
    apsim::Config config;
    config.count = 3;
    apsim::Simulator sim(config);
    const std::vector<uint8_t> ownImage(4096, 0x42);  // deliberately without a valid checksum
    const std::string text =
        "# starting state\n"
        "* password common\n"
        "1 password other one\n"
        "0 name Lobby\n"
        "0 ssid Guest WLAN\n"
        "0 channel 11\n"
        "0 ip 10.1.2.3\n"
        "0 mask 255.255.0.0\n"
        "0 gateway 10.1.0.1\n"
        "0 wep 128\n"
        "0 key 2 00112233445566778899AABBCC\n"
        "0 mac-access on\n"
        "0 mac-entries 00:40:96:00:00:01 00-40-96-00-00-02\n"
        "0 model QR-4710B\n"
        "0 firmware-version V9.9\n"
        "2 image own.bin\n";
    std::string requested;
    auto load = [&](const std::string& path, std::vector<uint8_t>& bytes) {
        requested = path;
        bytes = ownImage;
        return true;
    };
    std::string error;
    ASSERT_TRUE(apsim::ApplyState(sim, text, load, error)) << error;
    const apsim::SimAp& a0 = sim.Ap(0);
    const apsim::Image& im = a0.image;
    EXPECT_EQ(a0.name, "Lobby");
    EXPECT_EQ(apsim::ReadText(im, apsim::layout::apName, 80), "Lobby");
    EXPECT_EQ(a0.password, "common");
    EXPECT_EQ(sim.Ap(1).password, "other one");
    EXPECT_EQ(apsim::ReadText(sim.Ap(1).image, apsim::layout::password, 40), "other one");
    EXPECT_EQ(apsim::ReadText(im, apsim::layout::ssid, 36), "Guest WLAN");
    EXPECT_EQ(im[apsim::layout::channel], 11);
    const uint8_t net[12] = {10, 1, 2, 3, 255, 255, 0, 0, 10, 1, 0, 1};
    EXPECT_EQ(0, std::memcmp(&im[apsim::layout::ipAddress], net, 12));
    EXPECT_EQ(0, std::memcmp(&im[apsim::layout::addressCopy], net, 12));
    EXPECT_EQ(im[apsim::layout::wepMode], 2);
    EXPECT_EQ(im[apsim::layout::wepEnabled], 1);
    const uint8_t slot2[16] = {0, 0, 0, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC};
    EXPECT_EQ(0, std::memcmp(&im[1112], slot2, 16));
    EXPECT_EQ(im[apsim::layout::macAccessEnabled], 1);
    EXPECT_EQ(im[apsim::layout::macEntryCount], 2);
    const uint8_t entries[12] = {0x00, 0x40, 0x96, 0, 0, 1, 0x00, 0x40, 0x96, 0, 0, 2};
    EXPECT_EQ(0, std::memcmp(&im[apsim::layout::macTable], entries, 12));
    EXPECT_EQ(apsim::ImageCrc(im), apsim::StoredImageCrc(im));
    EXPECT_EQ(a0.model, "QR-4710B");
    EXPECT_EQ(apsim::ReadText(a0.firmware, apsim::layout::firmwareVersion, 32), "V9.9");
    EXPECT_EQ(requested, "own.bin");
    EXPECT_TRUE(std::equal(ownImage.begin(), ownImage.end(), sim.Ap(2).image.begin()));
    EXPECT_EQ(sim.Ap(2).pending, sim.Ap(2).image);

    // The new model and name are what a browse reply now carries.
    apsim::Output out;
    const aputil::Attribute attrs[3] = {aputil::TextAttribute(aputil::ATTR_VENDOR, "M-Rax"),
                                        aputil::TextAttribute(aputil::ATTR_PRODUCT, "Lumivance/QR-4710 Access Point"),
                                        aputil::TextAttribute(aputil::ATTR_MODEL, "QR-4710B")};
    aputil::FrameFields f;
    f.attributes = attrs;
    sim.HandleFrame(Request(kBroadcast, 9, aputil::MSG_BROWSE, f), 0, out);
    ASSERT_EQ(out.frames.size(), 1u);
    const Decoded d = Decode(out.frames[0]);
    const auto name = aputil::FindAttribute(d.body, aputil::ATTR_AP_NAME);
    ASSERT_TRUE(name);
    EXPECT_EQ(std::string(name->value.begin(), name->value.end()), "Lobby");
}

TEST(ApsimState, ErrorsNameTheLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"0 name A\n5 name B\n", "line 2: no AP '5'"},
        {"0 channel 300\n", "line 1: expected a number 0..255"},
        {"\n# c\n0 ip 10.0.0\n", "line 3: expected a dotted quad"},
        {"0 wep 40\n", "line 1: expected off, 64 or 128"},
        {"0 key 4 0011223344\n", "line 1: expected: key K HEX"},
        {"0 key 1 00112233\n", "line 1: expected: key K HEX"},
        {"0 mac-entries 00:40:96:00:00\n", "line 1: bad MAC address"},
        {"0 colour blue\n", "line 1: unknown key 'colour'"},
        {"0\n", "line 1: expected: WHO KEY VALUE"},
        {"0 image missing.bin\n", "line 1: cannot read 'missing.bin'"},
        {"0 image short.bin\n", "line 1: 'short.bin' has 10 bytes, not 4096"},
    };
    auto load = [](const std::string& path, std::vector<uint8_t>& bytes) {
        if (path != "short.bin") return false;
        bytes.assign(10, 0);
        return true;
    };
    for (const auto& [text, message] : cases) {
        apsim::Simulator sim(apsim::Config{});
        std::string error;
        EXPECT_FALSE(apsim::ApplyState(sim, text, load, error)) << text;
        EXPECT_EQ(error.rfind(message, 0), 0u) << "got: " << error;
    }
}

TEST(ApsimLog, TextsFromTheWireAreEscaped) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "plain"},
        {"say \"hi\"\\", "say \\\"hi\\\"\\\\"},
        {std::string("a\0b\n", 4), "a\\u0000b\\u000a"},
        {"\xff\x80", "\\u00ff\\u0080"},
    };
    for (const auto& [in, expected] : cases) EXPECT_EQ(apsim::JsonEscape(in), expected);
}

}  // namespace
