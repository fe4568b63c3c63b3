// Image transfer against the AP simulator over a veth pair: what goes on the
// wire (checked in the simulator's log), what is read back, and what the
// simulated AP commits (checked in its dumps).

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/managed_ap.h"
#include "image/image.h"
#include "protocol/engine.h"
#include "protocol/operations.h"
#include "protocol/startup.h"
#include "tests/support/apsim_process.h"
#include "tests/support/fast_clock.h"
#include "transport/adapter.h"

namespace aputil {
namespace {

using test::Apsim;
using test::FastClock;
using test::LogLine;
using test::SteadyMs;

constexpr const char* kFirmwareVersion = "V9.8.7-test";
constexpr const char* kFirmwareDate = "2024/02/29";

// A device image as random as can be, so any byte out of place shows.
ConfigImage RandomImage(uint32_t seed) {
    std::mt19937 rng(seed);
    ConfigImage image{};
    for (uint8_t& b : image) b = static_cast<uint8_t>(rng());
    return image;
}

uint32_t StoredChecksum(const ConfigImage& image) {
    return static_cast<uint32_t>(image[4084]) | static_cast<uint32_t>(image[4085]) << 8 |
           static_cast<uint32_t>(image[4086]) << 16 | static_cast<uint32_t>(image[4087]) << 24;
}

// A block request as logged: op code, device address, length field.
struct BlockLine {
    int64_t op;
    int64_t offset;
    int64_t length;
    friend bool operator==(const BlockLine&, const BlockLine&) = default;
};
std::ostream& operator<<(std::ostream& out, const BlockLine& b) {
    return out << "{op " << b.op << " offset " << b.offset << " length " << b.length << "}";
}

std::vector<BlockLine> BlockRequests(const std::vector<LogLine>& lines, int op = -1) {
    std::vector<BlockLine> out;
    for (const LogLine& l : lines)
        if (l.Is("request", MSG_BLOCK, op))
            out.push_back(
                {l.Number("op").value_or(-1), l.Number("offset").value_or(-1), l.Number("length").value_or(-1)});
    return out;
}

// Chunks of `count` bytes from `base`: 512 each, the rest last.
std::vector<BlockLine> ExpectedChunks(int op, uint32_t base, size_t count) {
    std::vector<BlockLine> chunks;
    for (size_t done = 0; done < count; done += 512)
        chunks.push_back(
            {op, static_cast<int64_t>(base + done), static_cast<int64_t>(std::min<size_t>(512, count - done))});
    return chunks;
}

class ImageTransfer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!std::getenv("APUTIL_APSIM")) return;
        InitPacketDriver();
        adapterOpen_ = theAdapter.usableCount > 0 && theAdapter.OpenAdapter(theAdapter.usableIndex[0]);
        currentAdapter = 0;
    }
    static void TearDownTestSuite() {
        if (theAdapter.IsAdapterOpen()) theAdapter.CloseAdapter();
        currentAdapter = -1;
    }

    void SetUp() override {
        if (!std::getenv("APUTIL_APSIM")) GTEST_SKIP() << "runs against the simulator inside test namespaces";
        ASSERT_TRUE(adapterOpen_) << "no usable adapter in the test namespace";
        loaded_ = RandomImage(4711);
    }

    // Starts the simulator holding loaded_ and the firmware texts, logs in and
    // moves the log cursor past the login.
    void StartAndLogin(std::vector<std::string> options) {
        std::string error;
        ASSERT_TRUE(sim_.FreshDirectory(error)) << error;
        ASSERT_TRUE(sim_.WriteFile("image.bin", loaded_));
        ASSERT_TRUE(sim_.WriteFile("state.txt", std::string("* image image.bin\n") + "* firmware-version " +
                                                    kFirmwareVersion + "\n" + "* firmware-date " + kFirmwareDate +
                                                    "\n"));
        options.insert(options.end(), {"--state", sim_.Path("state.txt"), "--quiet"});
        // --quiet drops the AP lines; the MAC comes from a browse instead.
        ASSERT_TRUE(sim_.Start(options, error)) << error;

        BrowseRecord records[4];
        int count = 4;
        const uint16_t saved = GetTimeout();
        SetTimeout(500);
        const int status =
            Browse(TextAttribute(ATTR_VENDOR, kVendorFilter), TextAttribute(ATTR_PRODUCT, kProductFilter),
                   TextAttribute(ATTR_MODEL, ""), records, count);
        SetTimeout(saved);
        ASSERT_EQ(status, STATUS_OK);
        ASSERT_EQ(count, 1);
        uint16_t session = 0;
        ASSERT_EQ(Login(records[0].peer, "user", "admin", session), STATUS_OK);
        currentSession = session;
        Sync();
    }

    // Everything the simulator logged since the last call. A browse is taken
    // after every frame sent before it, so once its line is in the log, the
    // lines of all earlier requests are too.
    std::vector<LogLine> Sync() {
        auto browses = [](const std::vector<LogLine>& lines) {
            return std::count_if(lines.begin(), lines.end(),
                                 [](const LogLine& l) { return l.Is("request", MSG_BROWSE); });
        };
        const auto before = browses(sim_.ReadLog());
        BrowseRecord records[2];
        int count = 2;
        const uint16_t saved = GetTimeout();
        SetTimeout(20);
        Browse(TextAttribute(ATTR_VENDOR, kVendorFilter), TextAttribute(ATTR_PRODUCT, kProductFilter),
               TextAttribute(ATTR_MODEL, ""), records, count);
        SetTimeout(saved);

        std::vector<LogLine> lines = sim_.ReadLog();
        for (const int64_t deadline = SteadyMs() + 10000; browses(lines) <= before; lines = sim_.ReadLog()) {
            if (SteadyMs() > deadline) {
                ADD_FAILURE() << "the simulator did not log the marker browse";
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::vector<LogLine> fresh;
        for (size_t i = cursor_; i < lines.size(); ++i)
            if (!lines[i].Is("request", MSG_BROWSE)) fresh.push_back(lines[i]);
        cursor_ = lines.size();
        return fresh;
    }

    // Edits of the kinds the setup pages make, different in every round.
    static void EditImage(int round) {
        ASSERT_TRUE(WriteSsid(configImage, "edited-" + std::to_string(round)));
        ASSERT_TRUE(WriteApName(configImage, "name of round " + std::to_string(round)));
        ASSERT_TRUE(WriteChannel(configImage, 1 + round % 11));
        WriteAddress(configImage, AddressField::IpAddress,
                     {10, 1, static_cast<uint8_t>(round / 256), static_cast<uint8_t>(round)});
        WriteNetworkFlag(configImage);
        WriteWepState(configImage, WepState::Wep64);
        ASSERT_TRUE(StoreKeyInSlot(configImage, round % 4, "0123456789", 5));
    }

    static inline bool adapterOpen_ = false;
    Apsim sim_;
    ConfigImage loaded_{};
    size_t cursor_ = 0;
};

TEST_F(ImageTransfer, ReadDeviceImageReturnsTheDevicesExactBytes) {
    ASSERT_NO_FATAL_FAILURE(StartAndLogin({}));
    configImage.fill(0x77);

    ASSERT_TRUE(ReadDeviceImage());

    EXPECT_EQ(configImage, loaded_);
    EXPECT_EQ(ReadFirmwareVersion(firmwareBlock), kFirmwareVersion);
    EXPECT_EQ(ReadFirmwareDate(firmwareBlock), kFirmwareDate);

    // The information block, the blocks where it says they are, and the
    // information block again to check the answers so far.
    std::vector<BlockLine> expected = {{BLOCK_OP_INFO, 0, 0}};
    for (const BlockLine& b : ExpectedChunks(BLOCK_OP_READ, FirmwareAddress(deviceInfo), 424)) expected.push_back(b);
    for (const BlockLine& b : ExpectedChunks(BLOCK_OP_READ, ImageAddress(deviceInfo), 4096)) expected.push_back(b);
    expected.push_back({BLOCK_OP_INFO, 0, 0});
    EXPECT_EQ(BlockRequests(Sync()), expected);
}

// The image is taken as the AP holds it, whatever checksum it carries; the
// read only records whether that checksum matches its bytes. A read that
// fails keeps what was recorded with the blocks it leaves in place.
TEST_F(ImageTransfer, ReadDeviceImageRecordsWhetherTheStoredChecksumMatches) {
    ConfigImage stamped = RandomImage(4712);
    StampImageChecksum(stamped);
    ConfigImage offByOne = stamped;
    offByOne[4084] ^= 0x01;
    ConfigImage bodyChanged = stamped;
    bodyChanged[4083] ^= 0x80;
    ConfigImage uncovered = stamped;  // bytes 4088.. are not covered
    uncovered[4095] ^= 0xFF;
    struct Case {
        const char* name;
        ConfigImage image;
        bool valid;
    };
    const Case cases[] = {
        {"stamped", stamped, true},
        {"stored checksum off by one bit", offByOne, false},
        {"covered byte changed after stamping", bodyChanged, false},
        {"uncovered byte changed after stamping", uncovered, true},
        {"stamped again", stamped, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim_.Stop();
        cursor_ = 0;
        loaded_ = c.image;
        ASSERT_NO_FATAL_FAILURE(StartAndLogin({}));

        ASSERT_TRUE(ReadDeviceImage());

        EXPECT_EQ(configImage, c.image) << "the image is shown as it is, checksum and all";
        EXPECT_EQ(ImageChecksumValid(), c.valid);

        // A failed read changes neither the blocks nor what was recorded with them.
        ASSERT_EQ(sim_.Command("fault truncated-block 1"), "ok fault");
        EXPECT_FALSE(ReadDeviceImage());
        EXPECT_EQ(ImageChecksumValid(), c.valid);
        ASSERT_EQ(sim_.Command("fault truncated-block 0"), "ok fault");
    }
}

TEST_F(ImageTransfer, ReadBlockSendsOneRequestPerChunkOfAtMost512) {
    ASSERT_NO_FATAL_FAILURE(StartAndLogin({}));
    ASSERT_TRUE(ReadDeviceImage());
    Sync();

    struct Case {
        size_t count;
        bool firmware;  // else the image
        size_t requests;
    };
    const Case cases[] = {{0, false, 0}, {424, true, 1}, {4096, false, 8}, {600, false, 2}, {512, false, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        const uint32_t base = c.firmware ? FirmwareAddress(deviceInfo) : ImageAddress(deviceInfo);
        const std::span<const uint8_t> source =
            c.firmware ? std::span<const uint8_t>(firmwareBlock) : std::span<const uint8_t>(loaded_);
        std::vector<uint8_t> destination(c.count, 0x77);

        ASSERT_TRUE(ReadBlock(destination, base));

        EXPECT_TRUE(std::equal(destination.begin(), destination.end(), source.begin()));
        const std::vector<BlockLine> sent = BlockRequests(Sync());
        EXPECT_EQ(sent.size(), c.requests);
        EXPECT_EQ(sent, ExpectedChunks(BLOCK_OP_READ, base, c.count));
    }
}

TEST_F(ImageTransfer, WriteDeviceImageStampsWritesInOrderAndCommits) {
    ASSERT_NO_FATAL_FAILURE(StartAndLogin({}));
    ASSERT_TRUE(ReadDeviceImage());
    Sync();
    ASSERT_NO_FATAL_FAILURE(EditImage(1));
    const ConfigImage edited = configImage;

    ASSERT_TRUE(WriteDeviceImage());
    const ConfigImage written = configImage;

    // Only the checksum field changed; the eight bytes behind it are not covered.
    for (size_t i = 0; i < 4096; ++i) {
        if (i < 4084 || i >= 4088) {
            ASSERT_EQ(written[i], edited[i]) << "byte " << i;
        }
    }
    const std::vector<LogLine> lines = Sync();
    std::vector<BlockLine> expected = ExpectedChunks(BLOCK_OP_WRITE, ImageAddress(deviceInfo), 4096);
    expected.push_back({BLOCK_OP_INFO, 0, 0});
    expected.push_back({BLOCK_OP_COMMIT, 0, 0});
    EXPECT_EQ(BlockRequests(lines), expected);

    // The device checked the checksum itself before taking the image.
    const auto commit = std::find_if(lines.begin(), lines.end(), [](const LogLine& l) { return l.Is("commit"); });
    ASSERT_NE(commit, lines.end());
    EXPECT_NE(commit->raw().find("\"ok\":true"), std::string::npos) << commit->raw();
    EXPECT_EQ(commit->Number("crc"), StoredChecksum(written));
    const auto dump = sim_.ReadDump();
    ASSERT_TRUE(dump.has_value());
    EXPECT_TRUE(std::equal(dump->begin(), dump->end(), written.begin(), written.end()));

    // What is read back after the commit is what was written.
    configImage.fill(0);
    ASSERT_TRUE(ReadDeviceImage());
    EXPECT_EQ(configImage, written);
}

// A refusal is an answer: the refused request is not repeated, nothing after
// it is sent, and the device takes no image.
TEST_F(ImageTransfer, RefusedWriteOrCommitFailsTheWrite) {
    struct Case {
        const char* name;
        std::vector<std::string> options;
        size_t chunksSent;
        bool commitSent;
    };
    const Case cases[] = {
        {"third chunk refused", {"--refuse-write-chunk", "2"}, 3, false},
        {"commit refused", {"--refuse-commit"}, 8, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim_.Stop();
        cursor_ = 0;
        ASSERT_NO_FATAL_FAILURE(StartAndLogin(c.options));
        ASSERT_TRUE(ReadDeviceImage());
        Sync();
        ASSERT_NO_FATAL_FAILURE(EditImage(2));

        EXPECT_FALSE(WriteDeviceImage());

        const std::vector<LogLine> lines = Sync();
        std::vector<BlockLine> expected = ExpectedChunks(BLOCK_OP_WRITE, ImageAddress(deviceInfo), 512 * c.chunksSent);
        if (c.commitSent) {
            expected.push_back({BLOCK_OP_INFO, 0, 0});
            expected.push_back({BLOCK_OP_COMMIT, 0, 0});
        }
        EXPECT_EQ(BlockRequests(lines), expected);
        EXPECT_TRUE(std::none_of(lines.begin(), lines.end(), [](const LogLine& l) {
            return l.Is("commit") && l.raw().find("\"ok\":true") != std::string::npos;
        }));
        EXPECT_FALSE(sim_.ReadDump().has_value());
    }
}

// The check before the commit compares the AP's information block with the
// one the image was read with: an answer that differs (a forged one, or an AP
// that is no longer the device read) stops the write before its commit, and
// the same image then commits once the information block matches again.
TEST_F(ImageTransfer, WriteStopsBeforeTheCommitWhenTheInformationBlockChanged) {
    ASSERT_NO_FATAL_FAILURE(StartAndLogin({}));
    ASSERT_TRUE(ReadDeviceImage());
    Sync();
    ASSERT_NO_FATAL_FAILURE(EditImage(3));
    const DeviceInfo read = deviceInfo;
    deviceInfo[31] ^= 0x01;  // outside both addresses, so the chunks go where they did

    EXPECT_FALSE(WriteDeviceImage());

    std::vector<BlockLine> expected = ExpectedChunks(BLOCK_OP_WRITE, ImageAddress(deviceInfo), 4096);
    expected.push_back({BLOCK_OP_INFO, 0, 0});
    EXPECT_EQ(BlockRequests(Sync()), expected) << "no commit after a differing information block";
    EXPECT_FALSE(sim_.ReadDump().has_value());

    deviceInfo = read;
    ASSERT_TRUE(WriteDeviceImage());
    expected.push_back({BLOCK_OP_COMMIT, 0, 0});
    EXPECT_EQ(BlockRequests(Sync()), expected);
    EXPECT_TRUE(sim_.ReadDump().has_value());
}

TEST_F(ImageTransfer, SendFinishSendsEightRequestsWithoutWaitingForAnswers) {
    ASSERT_NO_FATAL_FAILURE(StartAndLogin({}));
    const uint16_t timeout = GetTimeout();

    const int64_t start = SteadyMs();
    EXPECT_TRUE(SendFinish(BLOCK_OP_FINISH));
    const int64_t elapsed = SteadyMs() - start;
    RecordProperty("send_finish_ms", std::to_string(elapsed));

    EXPECT_EQ(GetTimeout(), timeout);
    // The device never answers a finish, so each of the eight requests goes
    // out retryCount + 1 times with its own sequence number.
    std::set<int64_t> sequences;
    size_t sends = 0;
    for (const LogLine& l : Sync()) {
        if (!l.Is("request", MSG_BLOCK)) continue;
        EXPECT_EQ(l.Number("op"), BLOCK_OP_FINISH) << l.raw();
        sequences.insert(l.Number("seq").value_or(-1));
        ++sends;
    }
    EXPECT_EQ(sequences.size(), 8u);
    EXPECT_EQ(sends, 8u * (protocolParameters.retryCount + 1u));
    // With 1 ms per wait this takes a few tens of milliseconds; the bound is
    // loose for busy machines, yet waiting even 100 ms per send would cross it.
    EXPECT_LT(elapsed, 2000);
}

// A block reply with fewer data bytes than asked for, one that announces more
// than its frame holds, and one with too much: none of them may put a byte
// into a block, and a read taken afterwards from a sound reply succeeds again.
TEST_F(ImageTransfer, ShortOrMalformedBlockRepliesFailTheRead) {
    ASSERT_NO_FATAL_FAILURE(StartAndLogin({}));
    ASSERT_TRUE(ReadDeviceImage());  // the reply buffer now holds good data of earlier replies
    const DeviceInfo info = deviceInfo;

    for (const char* fault : {"truncated-block", "lying-count", "oversized-block"}) {
        SCOPED_TRACE(fault);
        ASSERT_EQ(sim_.Command(std::string("fault ") + fault + " 1"), "ok fault");

        configImage.fill(0x77);
        EXPECT_FALSE(ReadDeviceImage());
        EXPECT_TRUE(std::all_of(configImage.begin(), configImage.end(), [](uint8_t b) { return b == 0x77; }));
        EXPECT_EQ(deviceInfo, info);

        std::vector<uint8_t> firmware(424, 0x55);
        EXPECT_FALSE(ReadBlock(firmware, FirmwareAddress(info)));
        EXPECT_TRUE(std::all_of(firmware.begin(), firmware.end(), [](uint8_t b) { return b == 0x55; }));

        ASSERT_EQ(sim_.Command(std::string("fault ") + fault + " 0"), "ok fault");
        ASSERT_TRUE(ReadDeviceImage());
        EXPECT_EQ(configImage, loaded_);
    }
}

// Requests and replies lost at random: a cycle either reports failure or did
// what it says, and the device never takes an image other than the one written.
TEST_F(ImageTransfer, LossyLinkNeverCommitsAnImageOtherThanTheOneWritten) {
    ASSERT_NO_FATAL_FAILURE(
        StartAndLogin({"--seed", "7", "--drop-requests", "0.1", "--drop-replies", "0.1", "--fault-on", "block"}));
    const FastClock fast;

    ConfigImage live = loaded_;  // what the device holds
    int failed = 0;
    int committedCycles = 0;
    size_t faults = 0;
    for (int cycle = 0; cycle < 50; ++cycle) {
        SCOPED_TRACE(cycle);
        const ConfigImage before = configImage;
        if (!ReadDeviceImage()) {
            ++failed;
            EXPECT_EQ(configImage, before);
            Sync();
            continue;
        }
        EXPECT_EQ(configImage, live);

        ASSERT_NO_FATAL_FAILURE(EditImage(cycle));
        const bool wrote = WriteDeviceImage();
        const ConfigImage written = configImage;

        const std::vector<LogLine> lines = Sync();
        size_t commits = 0;
        for (const LogLine& l : lines) {
            if (l.Has("fault")) ++faults;
            if (!l.Is("commit") || l.raw().find("\"ok\":true") == std::string::npos) continue;
            ++commits;
            EXPECT_EQ(l.Number("crc"), StoredChecksum(written));
        }
        if (commits > 0) {
            const auto dump = sim_.ReadDump();
            ASSERT_TRUE(dump.has_value());
            EXPECT_TRUE(std::equal(dump->begin(), dump->end(), written.begin(), written.end()));
            live = written;
            ++committedCycles;
        }
        if (wrote) {
            EXPECT_GT(commits, 0u) << "success reported without a commit";
        } else {
            ++failed;
        }
    }
    RecordProperty("failed_cycles", failed);
    RecordProperty("committed_cycles", committedCycles);
    EXPECT_GT(faults, 0u) << "the link lost nothing; the faults are not in effect";
    EXPECT_GT(committedCycles, 0);
}

}  // namespace
}  // namespace aputil
