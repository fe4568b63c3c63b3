// The apsim program on a veth pair: this test is the utility's side in
// namespace A and sends raw frames; apsim runs in namespace B. Everything is
// judged by what arrives on the wire, by the log and by the dumped images.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>

#include "protocol/bytes.h"
#include "protocol/frame.h"
#include "tests/support/apsim_process.h"
#include "tools/apsim/station.h"

namespace {

using apsim::BlockAnswer;
using apsim::Mac;
using apsim::Received;
using aputil::test::Apsim;
using aputil::test::WireEnv;

const std::string kVendor = "M-Rax";
const std::string kProduct = "Lumivance/QR-4710 Access Point";
const std::string kModel = "QR-4710A Smart AP";
constexpr uint32_t kImg = apsim::kImageAddress;

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

class ApsimWire : public ::testing::Test {
protected:
    void SetUp() override {
        env_ = WireEnv::FromEnvironment();
        if (!env_.why.empty()) GTEST_SKIP() << env_.why;
        std::string error;
        ASSERT_TRUE(station_.Open(env_.iface, error)) << error;
    }

    // Starts a simulator; state, when given, is written to a state file first.
    void Start(Apsim& sim, std::vector<std::string> args, const std::string& state = "") {
        std::string error;
        ASSERT_TRUE(sim.Start(std::move(args), state, error)) << error;
        station_.Flush();
    }

    uint16_t Login(const Mac& ap, const std::string& password = "admin") {
        const auto r = station_.Login(ap, password, 2000);
        EXPECT_TRUE(r.has_value()) << "no login reply";
        if (!r) return 0;
        EXPECT_EQ(r->first, 0);
        EXPECT_GE(r->second, 1);
        EXPECT_LE(r->second, 8);
        return r->second;
    }

    std::vector<uint8_t> ReadImage(const Mac& ap, uint16_t session) {
        std::vector<uint8_t> image;
        for (uint32_t off = 0; off < apsim::kImageSize; off += 512) {
            const BlockAnswer b = station_.Block(ap, session, aputil::BLOCK_OP_READ, kImg + off, 512);
            EXPECT_TRUE(b.answered);
            EXPECT_EQ(b.status, 0);
            EXPECT_EQ(b.data.size(), 512u);
            image.insert(image.end(), b.data.begin(), b.data.end());
        }
        return image;
    }

    // Writes the image in eight chunks; the statuses of the eight replies (-1: none within waitMs).
    std::vector<int> WriteImage(const Mac& ap, uint16_t session, const std::vector<uint8_t>& image, int waitMs = 1000) {
        std::vector<int> statuses;
        for (uint32_t off = 0; off < apsim::kImageSize; off += 512) {
            const BlockAnswer b = station_.Block(ap, session, aputil::BLOCK_OP_WRITE, kImg + off, 512,
                                                 std::span<const uint8_t>(image).subspan(off, 512), waitMs);
            statuses.push_back(b.answered ? b.status : -1);
        }
        return statuses;
    }

    int Commit(const Mac& ap, uint16_t session) {
        const BlockAnswer b = station_.Block(ap, session, aputil::BLOCK_OP_COMMIT, 0, 0);
        return b.answered ? b.status : -1;
    }

    // Sends a request and collects every frame that comes back within ms.
    std::vector<Received> Exchange(const Mac& ap, uint16_t seq, uint16_t type, const aputil::FrameFields& f, int ms) {
        EXPECT_TRUE(station_.Send(ap, seq, type, f));
        return station_.Collect(ms);
    }

    WireEnv env_;
    apsim::Station station_;
};

// An image with content in every byte and a valid checksum.
std::vector<uint8_t> PatternImage(uint8_t salt) {
    apsim::Image im{};
    for (size_t i = 0; i < im.size(); ++i) im[i] = static_cast<uint8_t>(i * 7 + salt);
    apsim::StampImageCrc(im);
    return {im.begin(), im.end()};
}

TEST_F(ApsimWire, BrowseHonoursEachFilter) {
    Apsim sim;
    Start(sim, {"--count", "3"}, "2 model QR-4710B\n");
    ASSERT_EQ(sim.aps().size(), 3u);
    struct Case {
        const char* what;
        std::string vendor, product, model;
        std::set<int> expected;
    } cases[] = {
        {"all three filters", kVendor, kProduct, kModel, {0, 1}},
        {"empty model: every model", kVendor, kProduct, "", {0, 1, 2}},
        {"the other model", kVendor, kProduct, "QR-4710B", {2}},
        {"other vendor", "Other", kProduct, "", {}},
        {"vendor in other case", "m-rax", kProduct, "", {}},
        {"product prefix", kVendor, "Lumivance/QR-4710", "", {}},
        {"model prefix", kVendor, kProduct, "QR-4710", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto answers = station_.Browse(c.vendor, c.product, c.model, 400);
        std::set<int> got;
        for (const auto& a : answers) {
            int index = -1;
            for (const auto& ap : sim.aps())
                if (ap.mac == a.mac) index = ap.index;
            ASSERT_GE(index, 0) << "a reply from an unknown MAC " << apsim::MacText(a.mac);
            EXPECT_TRUE(got.insert(index).second) << "AP " << index << " answered twice";
            EXPECT_EQ(a.name, sim.aps()[static_cast<size_t>(index)].name);
            EXPECT_EQ(a.vendor, kVendor);
            EXPECT_EQ(a.model, index == 2 ? "QR-4710B" : kModel);
        }
        EXPECT_EQ(got, c.expected);
    }
    EXPECT_TRUE(sim.WaitForLog({"\"type\":0", "\"model\":\"QR-4710B\"", "\"answered\":1"}));
}

TEST_F(ApsimWire, LoginIsAcceptedOnlyWithTheRightUserAndPassword) {
    Apsim sim;
    Start(sim, {"--count", "2"}, "1 password other secret\n");
    const Mac ap0 = sim.aps().at(0).mac, ap1 = sim.aps().at(1).mac;
    struct Case {
        const char* what;
        Mac ap;
        std::string user, password;
        bool accepted;
    } cases[] = {
        {"default password", ap0, "user", "admin", true},
        {"password of its own", ap1, "user", "other secret", true},
        {"another AP's password", ap1, "user", "admin", false},
        {"wrong password", ap0, "user", "admin2", false},
        {"password in other case", ap0, "user", "ADMIN", false},
        {"empty password", ap0, "user", "", false},
        {"other user", ap0, "admin", "admin", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = station_.Login(c.ap, c.password, 2000, c.user);
        ASSERT_TRUE(r.has_value()) << "no login reply";
        if (c.accepted) {
            EXPECT_EQ(r->first, 0);
            EXPECT_GE(r->second, 1);
            EXPECT_LE(r->second, 8);
            // The session works.
            EXPECT_EQ(station_.Block(c.ap, r->second, aputil::BLOCK_OP_INFO, 0, 0).status, 0);
        } else {
            EXPECT_NE(r->first, 0);
            EXPECT_EQ(r->second, 0);
        }
    }
    EXPECT_TRUE(sim.WaitForLog({"\"subtype\":1", "\"ok\":false", "\"user\":\"admin\""}));
}

TEST_F(ApsimWire, ReadsDeliverDeviceInfoFirmwareBlockAndImage) {
    Apsim sim;
    const auto image = PatternImage(3);
    ASSERT_TRUE(sim.WriteFile("start.bin", image));
    Start(sim, {}, "0 image start.bin\n0 firmware-version V7.7\n0 firmware-date 2004/01/02\n");
    const Mac ap = sim.aps().at(0).mac;
    const uint16_t session = Login(ap);

    const BlockAnswer info = station_.Block(ap, session, aputil::BLOCK_OP_INFO, 0, 0);
    ASSERT_EQ(info.status, 0);
    ASSERT_EQ(info.data.size(), apsim::kDeviceInfoSize);
    aputil::ByteReader r(info.data);
    const uint32_t fw = r.u32le();
    r.skip(16);
    const uint32_t img = r.u32le();
    EXPECT_NE(fw, 0u);
    EXPECT_NE(img, 0u);
    EXPECT_NE(fw, img);

    const BlockAnswer firmware = station_.Block(ap, session, aputil::BLOCK_OP_READ, fw, 424);
    ASSERT_EQ(firmware.status, 0);
    ASSERT_EQ(firmware.data.size(), 424u);
    EXPECT_EQ(apsim::ReadText(firmware.data, 8, 32), "2004/01/02");
    EXPECT_EQ(apsim::ReadText(firmware.data, 40, 32), "V7.7");

    EXPECT_EQ(ReadImage(ap, session), image);
    EXPECT_TRUE(sim.WaitForLog({"\"type\":20", "\"op\":1", "\"offset\":" + std::to_string(img + 3584)}));
}

TEST_F(ApsimWire, CommitTakesTheWrittenImageOnlyWhenItsChecksumIsRight) {
    Apsim sim;
    Start(sim, {});
    const Mac ap = sim.aps().at(0).mac;
    std::string dumpName = apsim::MacText(ap);
    std::replace(dumpName.begin(), dumpName.end(), ':', '-');
    const std::string dump = sim.DumpDir() + "/" + dumpName + ".bin";
    const uint16_t session = Login(ap);
    const std::vector<uint8_t> before = ReadImage(ap, session);
    ASSERT_EQ(before.size(), apsim::kImageSize);

    std::vector<uint8_t> edited = before;
    const char ssid[] = "Edited SSID";
    std::memcpy(&edited[apsim::layout::ssid], ssid, sizeof ssid);
    // Bad: the old checksum is left in place.
    EXPECT_EQ(WriteImage(ap, session, edited), std::vector<int>(8, 0));
    EXPECT_EQ(ReadImage(ap, session), before) << "written but not committed";
    EXPECT_EQ(Commit(ap, session), apsim::kDevBadChecksum);
    EXPECT_EQ(ReadImage(ap, session), before);
    EXPECT_FALSE(std::filesystem::exists(dump));
    EXPECT_TRUE(sim.WaitForLog({"\"event\":\"commit\"", "\"ok\":false"}));

    // Good: stamped with the right checksum.
    apsim::Image stamped{};
    std::copy(edited.begin(), edited.end(), stamped.begin());
    apsim::StampImageCrc(stamped);
    edited.assign(stamped.begin(), stamped.end());
    EXPECT_EQ(WriteImage(ap, session, edited), std::vector<int>(8, 0));
    EXPECT_EQ(Commit(ap, session), 0);
    EXPECT_EQ(ReadImage(ap, session), edited);
    EXPECT_EQ(ReadFile(dump), edited);
    const auto line = sim.WaitForLog({"\"event\":\"commit\"", "\"ok\":true"});
    ASSERT_TRUE(line) << "no commit logged";
    EXPECT_EQ(line->Number("crc"), apsim::StoredImageCrc(stamped));

    // A commit of a partial write whose checksum no longer matches is refused as well.
    std::vector<uint8_t> chunk(edited.begin() + 1024, edited.begin() + 1536);
    chunk[10] ^= 0xFF;
    EXPECT_EQ(station_.Block(ap, session, aputil::BLOCK_OP_WRITE, kImg + 1024, 512, chunk).status, 0);
    EXPECT_EQ(Commit(ap, session), apsim::kDevBadChecksum);
    EXPECT_EQ(ReadImage(ap, session), edited);

    // SIGTERM: a clean exit, the log closed, the committed image still dumped.
    EXPECT_EQ(sim.Stop(), 0);
    const auto log = sim.ReadLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().Text("event"), "stop");
    EXPECT_EQ(ReadFile(dump), edited);
}

TEST_F(ApsimWire, FinishIsNeverAnsweredAndLogoutEndsTheSession) {
    Apsim sim;
    Start(sim, {});
    const Mac ap = sim.aps().at(0).mac;
    const uint16_t session = Login(ap);
    const BlockAnswer finish = station_.Block(ap, session, aputil::BLOCK_OP_FINISH, 0, 0, {}, 500);
    EXPECT_FALSE(finish.answered);
    EXPECT_TRUE(sim.WaitForLog({"\"type\":20", "\"op\":0"}));

    aputil::FrameFields f;
    f.session = session;
    EXPECT_TRUE(Exchange(ap, station_.NextSequence(), aputil::MSG_LOGOUT, f, 300).empty()) << "logout is not answered";
    EXPECT_TRUE(sim.WaitForLog({"\"type\":5", "\"freed\":true"}));
    const BlockAnswer after = station_.Block(ap, session, aputil::BLOCK_OP_INFO, 0, 0);
    EXPECT_TRUE(after.answered);
    EXPECT_EQ(after.status, apsim::kDevNoSession);
    EXPECT_TRUE(after.data.empty());
}

TEST_F(ApsimWire, ControlSendsSessionChecksAndLogoutNotices) {
    Apsim sim;
    Start(sim, {"--control", sim.Path("control")});
    const Mac ap = sim.aps().at(0).mac;
    const uint16_t session = Login(ap);

    const std::string answer = sim.Command("check 0 " + std::to_string(session));
    ASSERT_EQ(answer.rfind("ok check ", 0), 0u) << answer;
    const auto seq = static_cast<uint16_t>(std::stoi(answer.substr(9)));
    const auto frames = station_.Collect(2000, [](const std::vector<Received>& f) { return !f.empty(); });
    ASSERT_EQ(frames.size(), 1u);
    const Received& check = frames[0];
    ASSERT_TRUE(check.valid);
    EXPECT_EQ(check.src, ap);
    EXPECT_EQ(check.dst, station_.mac());
    EXPECT_EQ(check.header.type, aputil::MSG_SESSION);
    EXPECT_EQ(check.header.sequence, seq);
    aputil::ByteReader r(check.Body());
    EXPECT_EQ(r.u16be(), aputil::SESSION_CHECK);
    r.u16be();
    EXPECT_EQ(r.u16be(), session);

    // The utility's answer to it is logged.
    aputil::FrameFields f;
    f.subtype = aputil::SESSION_CHECK_REPLY;
    f.value1 = 0;
    f.value2 = session;
    ASSERT_TRUE(station_.Send(ap, seq, aputil::MSG_SESSION, f));
    const auto reply = sim.WaitForLog({"\"event\":\"check-reply\""});
    ASSERT_TRUE(reply) << "no check-reply logged";
    EXPECT_EQ(reply->Number("status"), 0);
    EXPECT_EQ(reply->Number("session"), session);
    EXPECT_EQ(reply->Number("seq"), seq);

    // Not held, no destination: refused; with a destination: sent there.
    EXPECT_EQ(sim.Command("check 0 7").rfind("error", 0), 0u);
    EXPECT_EQ(sim.Command("check 0 7 " + apsim::MacText(station_.mac())).rfind("ok check", 0), 0u);
    EXPECT_EQ(station_.Collect(2000, [](const std::vector<Received>& v) { return !v.empty(); }).size(), 1u);
    EXPECT_EQ(sim.Command("check 5 1").rfind("error", 0), 0u) << "there is no AP 5";
    EXPECT_EQ(sim.Command("launch").rfind("error", 0), 0u);

    // This one through the FIFO.
    {
        std::ofstream fifo(sim.Path("control"));
        fifo << "logout " << apsim::MacText(ap) << " " << session << "\n";
    }
    ASSERT_EQ(sim.NextLine().rfind("ok logout", 0), 0u);
    const auto notices = station_.Collect(2000, [](const std::vector<Received>& v) { return !v.empty(); });
    ASSERT_EQ(notices.size(), 1u);
    ASSERT_TRUE(notices[0].valid);
    EXPECT_EQ(notices[0].header.type, aputil::MSG_LOGOUT);
    aputil::ByteReader lr(notices[0].Body());
    EXPECT_EQ(lr.u16be(), session);
    EXPECT_EQ(station_.Block(ap, session, aputil::BLOCK_OP_INFO, 0, 0).status, apsim::kDevNoSession);

    EXPECT_EQ(sim.Command("quit"), "ok quit");
    EXPECT_EQ(sim.Stop(), 0);
    const auto log = sim.ReadLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().Text("event"), "stop");
}

// Each fault knob, seen in what arrives for one request.
TEST_F(ApsimWire, EveryFaultKnobShowsInWhatArrives) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
        bool login;  // the faulted request is the login (else a 512-byte read after a clean login)
        int waitMs;
        std::function<void(const std::vector<Received>& frames, uint16_t seq, const Mac& ap, Apsim& sim)> check;
    };
    auto readFrame = [](const std::vector<Received>& frames) {
        BlockAnswer b;
        EXPECT_EQ(frames.size(), 1u);
        if (frames.size() == 1) {
            EXPECT_TRUE(apsim::DecodeBlockReply(frames[0], b));
        }
        return b;
    };
    auto countOf = [](const Received& f) {
        aputil::ByteReader r(f.Body());
        r.skip(4);
        return r.u16be();
    };
    const Case cases[] = {
        {"drop-requests",
         {"--drop-requests", "1", "--fault-on", "login"},
         true,
         600,
         [](const auto& frames, uint16_t seq, const Mac&, Apsim& sim) {
             EXPECT_TRUE(frames.empty());
             EXPECT_TRUE(sim.WaitForLog({"\"seq\":" + std::to_string(seq), "\"fault\":\"drop-request\""}));
             EXPECT_FALSE(sim.WaitForLog({"\"ok\":true"}, 100)) << "a dropped login is not carried out";
         }},
        {"drop-replies",
         {"--drop-replies", "1", "--fault-on", "login"},
         true,
         600,
         [](const auto& frames, uint16_t seq, const Mac&, Apsim& sim) {
             EXPECT_TRUE(frames.empty());
             // Carried out all the same: the session was granted.
             EXPECT_TRUE(sim.WaitForLog({"\"seq\":" + std::to_string(seq), "\"ok\":true", "drop-reply"}));
         }},
        {"dup-replies",
         {"--dup-replies", "1"},
         true,
         600,
         [](const auto& frames, uint16_t seq, const Mac&, Apsim&) {
             ASSERT_EQ(frames.size(), 2u);
             EXPECT_EQ(frames[0].bytes, frames[1].bytes);
             EXPECT_TRUE(frames[0].valid);
             EXPECT_EQ(frames[0].header.sequence, seq);
         }},
        {"corrupt-checksum",
         {"--corrupt-checksum", "1"},
         true,
         600,
         [](const auto& frames, uint16_t seq, const Mac&, Apsim&) {
             ASSERT_EQ(frames.size(), 1u);
             EXPECT_FALSE(frames[0].valid);
             auto repaired = frames[0].bytes;
             repaired.back() ^= 0xFF;
             aputil::FrameHeader h;
             EXPECT_TRUE(aputil::VerifyFrame(std::span<const uint8_t>(repaired).subspan(14), h))
                 << "only the checksum is damaged";
             EXPECT_EQ(h.sequence, seq);
         }},
        {"wrong-sequence",
         {"--wrong-sequence", "1"},
         true,
         600,
         [](const auto& frames, uint16_t seq, const Mac&, Apsim&) {
             ASSERT_EQ(frames.size(), 1u);
             ASSERT_TRUE(frames[0].valid);
             EXPECT_EQ(frames[0].header.sequence, static_cast<uint16_t>(seq + 1));
         }},
        {"foreign-mac",
         {"--foreign-mac", "1"},
         true,
         600,
         [](const auto& frames, uint16_t, const Mac& ap, Apsim&) {
             ASSERT_EQ(frames.size(), 1u);
             ASSERT_TRUE(frames[0].valid);
             Mac expected = ap;
             expected[0] = 0x06;
             EXPECT_EQ(frames[0].src, expected);
         }},
        {"oversized-block",
         {"--oversized-block", "1", "--fault-on", "block"},
         false,
         600,
         [&](const auto& frames, uint16_t, const Mac&, Apsim&) {
             const BlockAnswer b = readFrame(frames);
             EXPECT_EQ(b.status, 0);
             EXPECT_EQ(countOf(frames.at(0)), 16 + 1024);
             ASSERT_EQ(b.data.size(), 1024u);
             EXPECT_EQ(b.data[511 + 1], 0xEE);
             EXPECT_EQ(b.data.back(), 0xEE);
         }},
        {"truncated-block",
         {"--truncated-block", "1", "--fault-on", "block"},
         false,
         600,
         [&](const auto& frames, uint16_t, const Mac&, Apsim&) {
             const BlockAnswer b = readFrame(frames);
             EXPECT_EQ(b.status, 0);
             EXPECT_EQ(countOf(frames.at(0)), 16 + 256);
             EXPECT_EQ(b.data.size(), 256u);
         }},
        {"lying-count",
         {"--lying-count", "1", "--fault-on", "block"},
         false,
         600,
         [&](const auto& frames, uint16_t, const Mac&, Apsim&) {
             const BlockAnswer b = readFrame(frames);
             ASSERT_TRUE(frames.at(0).valid) << "the frame itself is well formed";
             EXPECT_EQ(countOf(frames[0]), 16 + 512 + 200);
             EXPECT_EQ(frames[0].Body().size(), 6u + 16 + 512) << "the frame holds less than it announces";
             EXPECT_EQ(b.data.size(), 512u);
         }},
        {"delay",
         {"--delay-ms", "700"},
         true,
         4000,
         [](const auto& frames, uint16_t seq, const Mac&, Apsim&) {
             ASSERT_EQ(frames.size(), 1u);
             EXPECT_EQ(frames[0].header.sequence, seq);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Apsim sim;
        Start(sim, c.args);
        const Mac ap = sim.aps().at(0).mac;
        uint16_t session = 0;
        if (!c.login) session = Login(ap);
        const uint16_t seq = station_.NextSequence();
        aputil::FrameFields f;
        std::vector<uint8_t> counted(16);
        if (c.login) {
            f.subtype = aputil::SESSION_LOGIN;
            f.user = "user";
            f.password = "admin";
        } else {
            aputil::BlockHeader{aputil::BLOCK_OP_READ, kImg, 512}.Write(counted.data());
            f.session = session;
            f.data = counted;
        }
        const auto sentAt = std::chrono::steady_clock::now();
        ASSERT_TRUE(station_.Send(ap, seq, c.login ? aputil::MSG_SESSION : aputil::MSG_BLOCK, f));
        const bool delayed = std::string(c.what) == "delay";
        if (delayed) {
            // Nothing before the delay has mostly passed, then the reply.
            EXPECT_TRUE(station_.Collect(350).empty()) << "the reply came early";
        }
        const auto frames =
            station_.Collect(c.waitMs, [&](const std::vector<Received>& v) { return delayed && !v.empty(); });
        if (delayed) {
            EXPECT_GE(std::chrono::steady_clock::now() - sentAt, std::chrono::milliseconds(600));
        }
        c.check(frames, seq, ap, sim);
    }
}

TEST_F(ApsimWire, RefusedWriteChunkAndRefusedCommitChangeNothing) {
    Apsim sim;
    Start(sim, {"--refuse-write-chunk", "2", "--refuse-commit"});
    const Mac ap = sim.aps().at(0).mac;
    const uint16_t session = Login(ap);
    const std::vector<uint8_t> before = ReadImage(ap, session);
    const auto edited = PatternImage(9);
    const std::vector<int> expected = {0, 0, apsim::kDevRefused, 0, 0, 0, 0, 0};
    EXPECT_EQ(WriteImage(ap, session, edited), expected);
    EXPECT_EQ(Commit(ap, session), apsim::kDevRefused);
    EXPECT_EQ(ReadImage(ap, session), before);
    EXPECT_TRUE(sim.WaitForLog({"\"fault\":\"refuse-write\""}));

    // Knobs change at run time; the writes kept so far stay pending.
    ASSERT_EQ(sim.Command("fault refuse-commit off"), "ok fault");
    ASSERT_EQ(sim.Command("fault refuse-write-chunk off"), "ok fault");
    // Chunk 2 was refused, so the pending image mixes old and new: its checksum fails.
    EXPECT_EQ(Commit(ap, session), apsim::kDevBadChecksum);
    EXPECT_EQ(WriteImage(ap, session, edited), std::vector<int>(8, 0));
    EXPECT_EQ(Commit(ap, session), 0);
    EXPECT_EQ(ReadImage(ap, session), edited);
    EXPECT_EQ(sim.Command("fault drop-replies 2").rfind("error", 0), 0u);
}

TEST_F(ApsimWire, DroppedReplyStillStoresTheWrite) {
    Apsim sim;
    Start(sim, {"--drop-replies", "1", "--fault-on", "block"});
    const Mac ap = sim.aps().at(0).mac;
    const uint16_t session = Login(ap);
    const auto edited = PatternImage(21);
    EXPECT_EQ(WriteImage(ap, session, edited, 300), std::vector<int>(8, -1)) << "no write is answered";
    ASSERT_EQ(sim.Command("fault drop-replies 0"), "ok fault");
    EXPECT_EQ(Commit(ap, session), 0);
    EXPECT_EQ(ReadImage(ap, session), edited);
}

TEST_F(ApsimWire, ResetReturnsToTheStateOfTheStart) {
    Apsim sim;
    Start(sim, {"--refuse-commit"}, "0 ssid StartNet\n");
    const Mac ap = sim.aps().at(0).mac;
    std::string dumpName = apsim::MacText(ap);
    std::replace(dumpName.begin(), dumpName.end(), ':', '-');
    const std::string dump = sim.DumpDir() + "/" + dumpName + ".bin";
    const uint16_t session = Login(ap);
    const std::vector<uint8_t> atStart = ReadImage(ap, session);

    // Everything a run changes: the image committed and dumped, a knob of the
    // command line off, another on, a session held.
    ASSERT_EQ(sim.Command("fault refuse-commit off"), "ok fault");
    const auto edited = PatternImage(33);
    EXPECT_EQ(WriteImage(ap, session, edited), std::vector<int>(8, 0));
    ASSERT_EQ(Commit(ap, session), 0);
    ASSERT_TRUE(std::filesystem::exists(dump));
    ASSERT_EQ(sim.Command("fault dup-replies 1"), "ok fault");

    ASSERT_EQ(sim.Command("reset"), "ok reset");
    EXPECT_TRUE(sim.WaitForLog({"\"event\":\"reset\""}));
    EXPECT_FALSE(std::filesystem::exists(dump)) << "the dump of the run before is left";
    // The session is no longer held.
    EXPECT_EQ(station_.Block(ap, session, aputil::BLOCK_OP_READ, kImg, 512).status, apsim::kDevNoSession);
    // One answer per request again, and the image of the state file.
    aputil::FrameFields login;
    login.subtype = aputil::SESSION_LOGIN;
    login.user = "user";
    login.password = "admin";
    EXPECT_EQ(Exchange(ap, station_.NextSequence(), aputil::MSG_SESSION, login, 600).size(), 1u);
    const uint16_t again = Login(ap);
    EXPECT_EQ(ReadImage(ap, again), atStart);
    // The command line's refused commit is back.
    EXPECT_EQ(WriteImage(ap, again, edited), std::vector<int>(8, 0));
    EXPECT_EQ(Commit(ap, again), apsim::kDevRefused);
    EXPECT_EQ(ReadImage(ap, again), atStart);
    EXPECT_EQ(sim.Command("reset now").rfind("error", 0), 0u);
}

TEST_F(ApsimWire, TheSameSeedRepeatsTheSameFaults) {
    // Sixteen logins back to back; which of them were answered is the run's fault pattern.
    auto pattern = [&](const std::string& seed) {
        Apsim sim;
        Start(sim, {"--seed", seed, "--drop-replies", "0.5", "--fault-on", "login"});
        const Mac ap = sim.aps().at(0).mac;
        const uint16_t first = station_.NextSequence();
        aputil::FrameFields f;
        f.subtype = aputil::SESSION_LOGIN;
        f.user = "user";
        f.password = "admin";
        for (uint16_t i = 0; i < 16; ++i)
            EXPECT_TRUE(station_.Send(ap, static_cast<uint16_t>(first + i), aputil::MSG_SESSION, f));
        for (int i = 1; i < 16; ++i) station_.NextSequence();
        std::string answered(16, '0');
        for (const auto& r : station_.Collect(1500)) {
            const auto i = static_cast<uint16_t>(r.header.sequence - first);
            if (r.valid && r.src == ap && i < 16) answered[i] = '1';
        }
        return answered;
    };
    const std::string a = pattern("5"), b = pattern("5"), c = pattern("6");
    EXPECT_EQ(a, b);
    EXPECT_NE(a.find('1'), std::string::npos);
    EXPECT_NE(a.find('0'), std::string::npos);
    EXPECT_NE(a, c);
}

TEST_F(ApsimWire, AThousandApsAnswerOneBrowse) {
    Apsim sim;
    Start(sim, {"--count", "1000", "--quiet"});
    const auto answers = station_.Browse(kVendor, kProduct, "", 5000, 1000);
    std::set<Mac> macs;
    for (const auto& a : answers) {
        EXPECT_EQ(a.mac[0], 0x02);
        macs.insert(a.mac);
    }
    EXPECT_EQ(answers.size(), 1000u);
    EXPECT_EQ(macs.size(), 1000u) << "every AP answers once";
    const auto burst = sim.WaitForLog({"\"event\":\"burst\""});
    ASSERT_TRUE(burst) << "no burst logged";
    EXPECT_EQ(burst->Number("frames"), 1000);
    EXPECT_TRUE(sim.WaitForLog({"\"type\":0", "\"answered\":1000"}));
}

TEST_F(ApsimWire, BadCommandLinesAndStateFilesAreRefused) {
    Apsim scratch;
    ASSERT_TRUE(scratch.WriteFile("bad-state.txt", "0 name Fine\n0 channel many\n"));
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--count", "3"}, "--iface is required"},
        {{"--iface", env_.peerIface, "--count", "0"}, "--count must be 1..1000"},
        {{"--iface", env_.peerIface, "--count", "1001"}, "--count must be 1..1000"},
        {{"--iface", env_.peerIface, "--drop-replies", "2"}, "drop-replies"},
        {{"--iface", env_.peerIface, "--fault-on", "radio"}, "fault-on"},
        {{"--iface", env_.peerIface, "--frobnicate"}, "unknown option --frobnicate"},
        {{"--iface", env_.peerIface, "--state", scratch.Path("bad-state.txt")}, "line 2"},
        {{"--iface", env_.peerIface, "--state", scratch.Path("absent.txt")}, "cannot read the state file"},
        {{"--iface", "nosuchif0"}, "cannot open nosuchif0"},
    };
    for (const auto& c : cases) {
        std::string output;
        const int status = Apsim::RunToEnd(c.args, output);
        EXPECT_NE(status, 0) << c.message;
        EXPECT_NE(output.find(c.message), std::string::npos) << "expected '" << c.message << "' in: " << output;
    }
}

}  // namespace
