// apctl against simulated APs on a veth pair: the program runs in namespace A
// as a script would run it, apsim in namespace B. Each command is judged by its
// JSON (parsed field by field), its exit status, the simulator's log of what
// arrived and the images the simulator committed.

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "app/backup.h"
#include "app/textconv.h"
#include "tests/support/apsim_process.h"

namespace {

using aputil::test::Apsim;
using aputil::test::LogLine;
using aputil::test::WireEnv;
using nlohmann::json;
namespace fs = std::filesystem;

constexpr int kBlock = 20;  // message type of block requests in the log
constexpr int kOpFinish = 0;
constexpr int kOpWrite = 2;
constexpr int kOpCommit = 0x30;

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string DashedOf(std::string colonMac) {
    std::replace(colonMac.begin(), colonMac.end(), ':', '-');
    return colonMac;
}

struct Result {
    int status = -1;
    std::string out, err;
    json doc;  // parsed stdout when it was JSON
};

class ApctlWire : public ::testing::Test {
protected:
    void SetUp() override {
        env_ = WireEnv::FromEnvironment();
        if (!env_.why.empty()) GTEST_SKIP() << env_.why;
        work_ = fs::temp_directory_path() / ("apctl-test-" + std::to_string(getpid()));
        fs::create_directories(work_);
    }
    void TearDown() override {
        std::error_code ignored;
        if (!work_.empty()) fs::remove_all(work_, ignored);
    }

    void Start(Apsim& sim, std::vector<std::string> args, const std::string& state = "") {
        std::string error;
        ASSERT_TRUE(sim.Start(std::move(args), state, error)) << error;
    }

    // Runs apctl with the adapter of the test link and the simulator's password
    // in the environment; stdin is /dev/null (no terminal to prompt on).
    Result Run(std::vector<std::string> args, const char* password = "admin") {
        Result r;
        const std::string outPath = (work_ / "stdout").string();
        const std::string errPath = (work_ / "stderr").string();
        args.insert(args.begin(), {program_, "--adapter", env_.iface});
        const pid_t pid = fork();
        if (pid == 0) {
            const int in = open("/dev/null", O_RDONLY);
            const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            if (password) {
                setenv("APCTL_PASSWORD", password, 1);
            } else {
                unsetenv("APCTL_PASSWORD");
            }
            if (inProcess_) setenv("APCTL_IN_PROCESS", "1", 1);
            if (uid_ >= 0 && (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(uid_)) != 0 ||
                              setuid(static_cast<uid_t>(uid_)) != 0)) {
                _exit(126);
            }
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        const auto o = ReadFile(outPath);
        const auto e = ReadFile(errPath);
        r.out.assign(o.begin(), o.end());
        r.err.assign(e.begin(), e.end());
        if (std::find(args.begin(), args.end(), "--json") != args.end()) {
            r.doc = json::parse(r.out, nullptr, false);
            EXPECT_FALSE(r.doc.is_discarded()) << "not JSON: " << r.out;
        }
        return r;
    }

    // The simulator's live images, keyed by dashed MAC, through its dump command.
    std::map<std::string, std::vector<uint8_t>> LiveImages(Apsim& sim) {
        EXPECT_EQ(sim.Command("dump").rfind("ok", 0), 0u);
        std::map<std::string, std::vector<uint8_t>> images;
        for (const auto& f : fs::directory_iterator(sim.DumpDir())) {
            images[f.path().stem().string()] = ReadFile(f.path().string());
        }
        return images;
    }

    static int Count(const std::vector<LogLine>& log, const std::string& ap, int op) {
        return static_cast<int>(std::count_if(log.begin(), log.end(), [&](const LogLine& l) {
            return l.Is("request", kBlock, op) && (ap.empty() || l.Text("ap") == ap);
        }));
    }
    static int Requests(const std::vector<LogLine>& log) {
        return static_cast<int>(
            std::count_if(log.begin(), log.end(), [](const LogLine& l) { return l.Is("request"); }));
    }

    WireEnv env_;
    fs::path work_;
    std::string program_ = APCTL_PATH;
    bool inProcess_ = false;  // the channel in apctl itself instead of the helper's
    int uid_ = -1;            // run as this user (and group) instead of root
};

// The top-level keys every shape carries.
void ExpectEnvelope(const json& doc, const char* command, bool ok) {
    ASSERT_TRUE(doc.is_object());
    EXPECT_EQ(doc.at("command"), command);
    EXPECT_EQ(doc.at("ok"), ok);
    if (ok) {
        EXPECT_TRUE(doc.at("error").is_null());
    }
    if (doc.contains("results")) {
        EXPECT_TRUE(doc.at("results").is_array());
    }
}

TEST_F(ApctlWire, AdaptersBrowseAndShowThroughTheChannel) {
    Apsim sim;
    Start(sim, {"--count", "3"},
          "0 ssid lab\n0 channel 6\n0 ip 10.1.2.3\n0 mask 255.255.0.0\n0 gateway 10.1.0.1\n0 wep 64\n"
          "0 default-key 1\n0 key 1 0A1B2C3D4E\n0 mac-access on\n0 mac-entries 00:11:22:33:44:55 00:0a:0b:0c:0d:0e\n"
          "0 firmware-version 1.08.01\n0 firmware-date 2002/03/14\n");
    ASSERT_EQ(sim.aps().size(), 3u);

    const Result adapters = Run({"--json", "adapters"});
    EXPECT_EQ(adapters.status, 0) << adapters.err;
    ExpectEnvelope(adapters.doc, "adapters", true);
    bool seen = false;
    for (const auto& a : adapters.doc.at("adapters")) {
        if (a.at("name") != env_.iface) continue;
        seen = true;
        EXPECT_TRUE(a.at("usable").get<bool>());
        EXPECT_EQ(a.at("mac").get<std::string>().size(), 17u);
    }
    EXPECT_TRUE(seen) << adapters.out;

    const Result browse = Run({"--json", "browse"});
    ASSERT_EQ(browse.status, 0) << browse.err;
    ExpectEnvelope(browse.doc, "browse", true);
    const json& aps = browse.doc.at("aps");
    ASSERT_EQ(aps.size(), 3u);
    for (size_t i = 0; i < aps.size(); ++i) {
        if (i > 0) {
            EXPECT_LT(aps[i - 1].at("mac").get<std::string>(), aps[i].at("mac").get<std::string>());
        }
        EXPECT_EQ(aps[i].at("vendor"), "M-Rax");
        EXPECT_EQ(aps[i].at("product"), "Lumivance/QR-4710 Access Point");
        EXPECT_EQ(aps[i].at("model"), "QR-4710A Smart AP");
        EXPECT_EQ(aps[i].at("adapter"), env_.iface);
    }

    // AP 0 by its dashed upper-case MAC, AP 2 by name: two results in that order.
    std::string mac0 = apsim::MacText(sim.aps()[0].mac);
    std::string dashed = DashedOf(mac0);
    std::transform(dashed.begin(), dashed.end(), dashed.begin(), ::toupper);
    const Result show = Run({"--json", "show", dashed, sim.aps()[2].name});
    ASSERT_EQ(show.status, 0) << show.err;
    ExpectEnvelope(show.doc, "show", true);
    const json& results = show.doc.at("results");
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].at("ap"), mac0);
    EXPECT_EQ(results[1].at("name"), sim.aps()[2].name);
    const json& s = results[0].at("settings");
    EXPECT_EQ(s.at("mac"), mac0);
    EXPECT_EQ(s.at("name"), sim.aps()[0].name);
    EXPECT_EQ(s.at("ssid"), "lab");
    EXPECT_EQ(s.at("channel"), 6);
    EXPECT_EQ(s.at("allowed_channels"), json({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    EXPECT_EQ(s.at("ip"), "10.1.2.3");
    EXPECT_EQ(s.at("mask"), "255.255.0.0");
    EXPECT_EQ(s.at("gateway"), "10.1.0.1");
    EXPECT_EQ(s.at("regulatory_domain").at("code"), 16);
    EXPECT_EQ(s.at("regulatory_domain").at("name"), "FCC");
    EXPECT_EQ(s.at("wep"), "64");
    EXPECT_EQ(s.at("default_key"), 2);
    EXPECT_TRUE(s.at("keys").is_null());
    EXPECT_EQ(s.at("mac_access"), "on");
    EXPECT_EQ(s.at("mac_table"), json({"00:11:22:33:44:55", "00:0a:0b:0c:0d:0e"}));
    EXPECT_EQ(s.at("firmware_version"), "1.08.01");
    EXPECT_EQ(s.at("firmware_date"), "2002/03/14");
    EXPECT_EQ(s.at("crc_valid"), true);

    const Result keys = Run({"--json", "--show-keys", "show", mac0});
    ASSERT_EQ(keys.status, 0) << keys.err;
    const json& k = keys.doc.at("results")[0].at("settings").at("keys");
    ASSERT_EQ(k.size(), 4u);
    EXPECT_EQ(k[1].get<std::string>().substr(0, 10), "0A1B2C3D4E");

    // A name nobody has: that AP fails and says so; exit 1.
    const Result missing = Run({"--json", "show", "NoSuchAP"});
    EXPECT_EQ(missing.status, 1);
    ExpectEnvelope(missing.doc, "show", false);
    ASSERT_EQ(missing.doc.at("results").size(), 1u);
    EXPECT_EQ(missing.doc.at("results")[0].at("ok"), false);
    EXPECT_TRUE(missing.doc.at("results")[0].at("settings").is_null());
    EXPECT_NE(missing.doc.at("results")[0].at("error").get<std::string>().find("NoSuchAP"), std::string::npos);
}

TEST_F(ApctlWire, SetSsidOnFiftyApsChangesOnlyTheSsidAndChecksum) {
    Apsim sim;
    Start(sim, {"--count", "50", "--quiet"});
    const auto before = LiveImages(sim);
    ASSERT_EQ(before.size(), 50u);

    const Result set = Run({"--json", "--quiet", "set", "all", "ssid=Fleet"});
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_TRUE(set.err.empty()) << "--quiet: " << set.err;
    ExpectEnvelope(set.doc, "set", true);
    EXPECT_EQ(set.doc.at("check"), false);
    const json& results = set.doc.at("results");
    ASSERT_EQ(results.size(), 50u);
    std::set<std::string> macs;
    for (const auto& r : results) {
        macs.insert(r.at("ap").get<std::string>());
        EXPECT_EQ(r.at("ok"), true) << r.dump();
        EXPECT_EQ(r.at("written"), true);
        EXPECT_EQ(r.at("verified"), true);
        ASSERT_EQ(r.at("changes").size(), 1u) << r.dump();
        EXPECT_EQ(r.at("changes")[0].at("field"), "ssid");
        EXPECT_EQ(r.at("changes")[0].at("to"), "Fleet");
        EXPECT_EQ(r.at("changes")[0].at("from").get<std::string>().rfind("SimNet-", 0), 0u);
    }
    EXPECT_EQ(macs.size(), 50u);

    const auto log = sim.ReadLog();
    const auto commits = std::count_if(log.begin(), log.end(), [](const LogLine& l) {
        return l.Is("commit") && l.raw().find("\"ok\":true") != std::string::npos;
    });
    EXPECT_EQ(commits, 50);
    // Eight finish requests per AP (each may be sent again by the engine's
    // retries, under its own sequence number, as no answer comes).
    std::set<std::pair<std::string, int64_t>> finishes;
    for (const LogLine& l : log) {
        if (l.Is("request", kBlock, kOpFinish)) finishes.insert({l.Text("ap"), l.Number("seq").value_or(-1)});
    }
    EXPECT_EQ(finishes.size(), 50u * 8u);

    const auto after = LiveImages(sim);
    ASSERT_EQ(after.size(), 50u);
    for (const auto& [mac, image] : after) {
        const auto& old = before.at(mac);
        ASSERT_EQ(image.size(), 4096u);
        for (size_t i = 0; i < image.size(); ++i) {
            const bool ssid = i >= 1032 && i < 1068;
            const bool crc = i >= 4084 && i < 4088;
            if (!ssid && !crc) {
                ASSERT_EQ(image[i], old[i]) << mac << " byte " << i;
            }
        }
        EXPECT_EQ(std::string(image.begin() + 1032, image.begin() + 1037), "Fleet");
        EXPECT_EQ(image[1037], 0);
    }
}

TEST_F(ApctlWire, RefusedWriteFailsThatApAndKeepGoingDoesTheOthers) {
    // Two simulators on one link: the second one's AP refuses image chunk 3.
    Apsim good, bad;
    Start(good, {"--count", "2", "--seed", "1"});
    Start(bad, {"--count", "1", "--seed", "2", "--name-prefix", "Bad-", "--refuse-write-chunk", "3"});
    const std::string badMac = apsim::MacText(bad.aps()[0].mac);

    const Result stop = Run({"--json", "set", "all", "ssid=First"});
    EXPECT_EQ(stop.status, 1);
    ExpectEnvelope(stop.doc, "set", false);
    const json& first = stop.doc.at("results");
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first.back().at("ap"), badMac) << "stops at the failed AP";
    EXPECT_EQ(first.back().at("ok"), false);
    EXPECT_EQ(first.back().at("written"), false);
    EXPECT_NE(stop.err.find(badMac), std::string::npos) << stop.err;

    const Result going = Run({"--json", "--keep-going", "set", "all", "ssid=Second"});
    EXPECT_EQ(going.status, 1);
    const json& all = going.doc.at("results");
    ASSERT_EQ(all.size(), 3u);
    for (const auto& r : all) {
        const bool isBad = r.at("ap") == badMac;
        EXPECT_EQ(r.at("ok"), !isBad) << r.dump();
        EXPECT_EQ(r.at("verified"), !isBad) << r.dump();
        if (isBad) {
            EXPECT_NE(r.at("error").get<std::string>().find("refused"), std::string::npos);
        }
    }
    // Nothing was committed at the refusing AP, and both others were.
    const auto log = bad.ReadLog();
    EXPECT_FALSE(std::any_of(log.begin(), log.end(), [](const LogLine& l) {
        return l.Is("request", kBlock, kOpCommit);
    })) << "a refused chunk must not be followed by a commit";
    for (const auto& ap : good.aps()) {
        const auto glog = good.ReadLog();
        EXPECT_GE(Count(glog, apsim::MacText(ap.mac), kOpCommit), 1);
    }
}

TEST_F(ApctlWire, BackupRestoreAndRefusedBackups) {
    Apsim sim;
    Start(sim, {"--count", "2"});
    const std::string mac0 = apsim::MacText(sim.aps()[0].mac);
    const std::string mac1 = apsim::MacText(sim.aps()[1].mac);
    const auto original = LiveImages(sim).at(DashedOf(mac0));
    const std::string file = (work_ / "ap0.apbak").string();

    const Result backup = Run({"--json", "backup", mac0, file});
    ASSERT_EQ(backup.status, 0) << backup.err;
    ExpectEnvelope(backup.doc, "backup", true);
    const json& b = backup.doc.at("results")[0];
    EXPECT_EQ(b.at("file"), file);
    EXPECT_EQ(b.at("crc_valid"), true);
    EXPECT_EQ(b.at("time").get<std::string>().size(), 20u);
    aputil::Backup read;
    ASSERT_EQ(aputil::DecodeBackup(ReadFile(file), read), aputil::BackupError::None);
    EXPECT_EQ(std::vector<uint8_t>(read.image.begin(), read.image.end()), original);
    EXPECT_EQ(aputil::FormatMacText(read.mac), mac0);

    ASSERT_EQ(Run({"--quiet", "set", mac0, "ssid=Changed", "name=Renamed"}).status, 0);
    const Result restore = Run({"--json", "restore", mac0, file});
    ASSERT_EQ(restore.status, 0) << restore.err;
    const json& r = restore.doc.at("results")[0];
    EXPECT_EQ(r.at("backup_mac"), mac0);
    EXPECT_EQ(r.at("forced"), false);
    EXPECT_EQ(r.at("written"), true);
    EXPECT_EQ(r.at("verified"), true);
    EXPECT_EQ(LiveImages(sim).at(DashedOf(mac0)), original);

    // Another AP's backup: refused without a write, then taken with --force.
    const int writesBefore = Count(sim.ReadLog(), mac1, kOpWrite);
    const Result other = Run({"--json", "restore", mac1, file});
    EXPECT_EQ(other.status, 1);
    EXPECT_EQ(other.doc.at("results")[0].at("ok"), false);
    EXPECT_NE(other.doc.at("results")[0].at("error").get<std::string>().find(mac0), std::string::npos);
    EXPECT_EQ(Count(sim.ReadLog(), mac1, kOpWrite), writesBefore);
    const Result forced = Run({"--json", "--force", "restore", mac1, file});
    EXPECT_EQ(forced.status, 0) << forced.err;
    EXPECT_EQ(forced.doc.at("results")[0].at("forced"), true);
    EXPECT_EQ(forced.doc.at("results")[0].at("verified"), true);

    // Damaged files: refused as bad input before anything is sent.
    std::vector<uint8_t> bytes = ReadFile(file);
    std::vector<uint8_t> flipped = bytes;
    flipped[28 + 100] ^= 0x01;
    std::vector<uint8_t> truncated(bytes.begin(), bytes.end() - 1000);
    for (const auto& [name, content] : {std::pair{"flipped.apbak", flipped}, std::pair{"cut.apbak", truncated}}) {
        const std::string path = (work_ / name).string();
        WriteFile(path, content);
        const int requests = Requests(sim.ReadLog());
        const Result refused = Run({"--json", "restore", mac0, path});
        EXPECT_EQ(refused.status, 2) << name;
        ExpectEnvelope(refused.doc, "restore", false);
        EXPECT_TRUE(refused.doc.at("results").empty()) << name;
        EXPECT_FALSE(refused.doc.at("error").is_null()) << name;
        EXPECT_EQ(Requests(sim.ReadLog()), requests) << name << ": something was sent";
    }
}

TEST_F(ApctlWire, BadValuesAreRefusedByKeyAndNothingIsSent) {
    Apsim sim;
    Start(sim, {"--count", "1"});
    const std::string mac = apsim::MacText(sim.aps()[0].mac);
    const struct {
        std::vector<std::string> pairs;
        const char* key;
    } cases[] = {
        {{"channel=15"}, "channel"},
        {{"ip=1.2.3"}, "ip"},
        {{"ssid=" + std::string(33, 'x')}, "ssid"},
        {{"wep=64", "key1=0a1b2c"}, "key1"},
        {{"mac-add=00:11:22:33:44"}, "mac-add"},
        {{"mac-table=00:11:22:33:44:55,zz:11:22:33:44:55"}, "mac-table"},
        {{"password=secret"}, "password"},
        {{"colour=blue"}, "colour"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"--json", "set", mac};
        args.insert(args.end(), c.pairs.begin(), c.pairs.end());
        const Result r = Run(args);
        EXPECT_EQ(r.status, 2) << c.key;
        ExpectEnvelope(r.doc, "set", false);
        EXPECT_NE(r.doc.at("error").get<std::string>().find(c.key), std::string::npos) << r.doc.dump();
        EXPECT_TRUE(r.doc.at("results").empty());
    }
    EXPECT_EQ(Requests(sim.ReadLog()), 0) << "a bad value must stop apctl before the first frame";

    // Off this AP's mask (channels 1-11): refused at the AP, after the read, without a write.
    const Result offMask = Run({"--json", "set", mac, "channel=13"});
    EXPECT_EQ(offMask.status, 1);
    EXPECT_NE(offMask.doc.at("results")[0].at("error").get<std::string>().find("channel"), std::string::npos);
    EXPECT_EQ(Count(sim.ReadLog(), mac, kOpWrite), 0);

    // --check reads and shows the change, and writes nothing.
    const Result check = Run({"--json", "--check", "set", mac, "ssid=Planned", "channel=3"});
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_EQ(check.doc.at("check"), true);
    const json& changes = check.doc.at("results")[0].at("changes");
    ASSERT_EQ(changes.size(), 2u) << changes.dump();
    EXPECT_EQ(changes[0].at("field"), "ssid");
    EXPECT_EQ(changes[0].at("to"), "Planned");
    EXPECT_EQ(changes[1].at("field"), "channel");
    EXPECT_EQ(changes[1].at("to"), 3);
    EXPECT_EQ(check.doc.at("results")[0].at("written"), false);
    const auto log = sim.ReadLog();
    EXPECT_EQ(Count(log, mac, kOpWrite) + Count(log, mac, kOpCommit) + Count(log, mac, kOpFinish), 0);
}

TEST_F(ApctlWire, PasswordsNeverFromArgumentsAndDiffOfApsAndFiles) {
    Apsim sim;
    Start(sim, {"--count", "2"});
    const std::string mac0 = apsim::MacText(sim.aps()[0].mac);
    const std::string mac1 = apsim::MacText(sim.aps()[1].mac);

    const Result arg = Run({"--json", "--password", "admin", "show", mac0});
    EXPECT_EQ(arg.status, 2);
    EXPECT_NE(arg.doc.at("error").get<std::string>().find("never"), std::string::npos);
    const Result none = Run({"--json", "show", mac0}, nullptr);
    EXPECT_EQ(none.status, 2) << "no terminal, no file, no variable";
    const std::string pwFile = (work_ / "pw").string();
    WriteFile(pwFile, {'a', 'd', 'm', 'i', 'n', '\n'});
    EXPECT_EQ(Run({"--json", "--password-file", pwFile, "show", mac0}, nullptr).status, 0);
    const Result wrong = Run({"--json", "show", mac0}, "wrong");
    EXPECT_EQ(wrong.status, 1);
    EXPECT_NE(wrong.doc.at("results")[0].at("error").get<std::string>().find("login"), std::string::npos);

    // A new password is read from a file, never printed, and lands in the image.
    const std::string newPw = (work_ / "newpw").string();
    WriteFile(newPw, {'s', '3', 'c', 'r', '3', 't', '\n'});
    const Result changed = Run({"--json", "set", mac1, "password=@" + newPw});
    ASSERT_EQ(changed.status, 0) << changed.err;
    const json& change = changed.doc.at("results")[0];
    EXPECT_EQ(change.at("verified"), true);
    ASSERT_EQ(change.at("changes").size(), 1u) << change.dump();
    EXPECT_EQ(change.at("changes")[0].at("field"), "password");
    EXPECT_TRUE(change.at("changes")[0].at("to").is_null());
    EXPECT_EQ(changed.out.find("s3cr3t"), std::string::npos);
    const auto image1 = LiveImages(sim).at(DashedOf(mac1));
    EXPECT_EQ(std::string(image1.begin() + 552, image1.begin() + 559), std::string("s3cr3t\0", 7));

    // Names are 8-bit Latin-1 in the image and UTF-8 on the command line and in JSON.
    ASSERT_EQ(Run({"--quiet", "set", mac1, "name=Caf\xc3\xa9"}).status, 0);
    const auto named = LiveImages(sim).at(DashedOf(mac1));
    EXPECT_EQ(std::string(named.begin() + 472, named.begin() + 477), std::string("Caf\xe9\0", 5));
    const Result shown = Run({"--json", "show", mac1});
    ASSERT_EQ(shown.status, 0) << shown.out << shown.err;
    EXPECT_EQ(shown.doc.at("results")[0].at("settings").at("name"), "Caf\xc3\xa9");
    const Result plain = Run({"show", mac1});
    EXPECT_NE(plain.out.find("name: Caf\xc3\xa9\n"), std::string::npos) << plain.out;
    const Result unknown = Run({"--json", "show", "Caf\xc3\xa9-2"});
    EXPECT_EQ(unknown.doc.at("results")[0].at("ap"), "Caf\xc3\xa9-2") << "an argument is shown as given";

    const std::string file = (work_ / "a.apbak").string();
    ASSERT_EQ(Run({"--quiet", "backup", mac0, file}).status, 0);
    ASSERT_EQ(Run({"--quiet", "set", mac0, "ssid=Moved"}).status, 0);

    const Result apVsFile = Run({"--json", "diff", mac0, file});
    ASSERT_EQ(apVsFile.status, 0) << apVsFile.err;
    ExpectEnvelope(apVsFile.doc, "diff", true);
    EXPECT_EQ(apVsFile.doc.at("a").at("kind"), "ap");
    EXPECT_EQ(apVsFile.doc.at("a").at("id"), mac0);
    EXPECT_EQ(apVsFile.doc.at("b").at("kind"), "file");
    ASSERT_EQ(apVsFile.doc.at("fields").size(), 1u) << apVsFile.doc.dump();
    EXPECT_EQ(apVsFile.doc.at("fields")[0].at("field"), "ssid");
    EXPECT_EQ(apVsFile.doc.at("fields")[0].at("a"), "Moved");
    EXPECT_TRUE(apVsFile.doc.at("ranges").empty());
    EXPECT_EQ(apVsFile.doc.at("identical"), false);

    const Result same = Run({"--json", "diff", file, file});
    EXPECT_EQ(same.status, 0);
    EXPECT_EQ(same.doc.at("identical"), true);

    // Two generated APs differ in their names and in unnamed filler bytes.
    const Result two = Run({"--json", "diff", mac0, mac1});
    ASSERT_EQ(two.status, 0) << two.err;
    std::set<std::string> fields;
    for (const auto& f : two.doc.at("fields")) fields.insert(f.at("field").get<std::string>());
    EXPECT_TRUE(fields.count("name")) << two.doc.dump();
    ASSERT_FALSE(two.doc.at("ranges").empty());
    for (const auto& range : two.doc.at("ranges")) {
        const int offset = range.at("offset");
        const int length = range.at("length");
        EXPECT_GT(length, 0);
        EXPECT_FALSE(offset < 1032 + 36 && offset + length > 1032) << "a range inside the SSID field";
        EXPECT_FALSE(offset < 4088 && offset + length > 4084) << "a range inside the checksum";
    }
}

TEST_F(ApctlWire, NoUsableAdapterIsExitThree) {
    const Result r = Run({"--json", "--adapter", "nosuch0", "browse"});
    EXPECT_EQ(r.status, 3);
    ExpectEnvelope(r.doc, "browse", false);
    EXPECT_TRUE(r.doc.at("aps").is_array());
}

// The same browse and show with the channel inside apctl (root, no helper used).
TEST_F(ApctlWire, InProcessChannelAsRoot) {
    Apsim sim;
    Start(sim, {"--count", "2"});
    inProcess_ = true;
    const Result browse = Run({"--json", "browse"});
    ASSERT_EQ(browse.status, 0) << browse.err;
    ASSERT_EQ(browse.doc.at("aps").size(), 2u);
    const Result show = Run({"--json", "show", "all"});
    ASSERT_EQ(show.status, 0) << show.err;
    ASSERT_EQ(show.doc.at("results").size(), 2u);
    EXPECT_EQ(show.doc.at("results")[1].at("settings").at("name"), sim.aps()[1].name);
}

// An unprivileged user: with the helper beside apctl holding the packet right
// everything works; without it apctl says it has no privilege (exit 3).
TEST_F(ApctlWire, UnprivilegedUserThroughTheHelper) {
    Apsim sim;
    Start(sim, {"--count", "2"});
    const fs::path bin = work_ / "bin";
    fs::create_directories(bin);
    fs::permissions(work_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
    fs::copy_file(APCTL_PATH, bin / "apctl");
    program_ = (bin / "apctl").string();
    uid_ = 65534;

    const Result alone = Run({"--json", "browse"});
    EXPECT_EQ(alone.status, 3) << alone.out << alone.err;
    EXPECT_NE(alone.doc.at("error").get<std::string>().find("privilege"), std::string::npos) << alone.out;

    const Result listed = Run({"--json", "adapters"});
    EXPECT_EQ(listed.status, 3) << listed.out;
    EXPECT_FALSE(listed.doc.at("adapters").empty()) << "the list is printed all the same";
    for (const auto& a : listed.doc.at("adapters")) EXPECT_EQ(a.at("usable"), false) << a.dump();

    fs::copy_file(APCTL_HELPER_PATH, bin / "aputil-link");
    const std::string setcap = "setcap cap_net_raw+ep " + (bin / "aputil-link").string() + " 2>/dev/null";
    if (std::system(setcap.c_str()) != 0) GTEST_SKIP() << "file capabilities not available here";
    const Result browse = Run({"--json", "browse"});
    ASSERT_EQ(browse.status, 0) << browse.out << browse.err;
    EXPECT_EQ(browse.doc.at("aps").size(), 2u);
    const Result set = Run({"--json", "set", apsim::MacText(sim.aps()[0].mac), "ssid=Unprivileged"});
    ASSERT_EQ(set.status, 0) << set.out << set.err;
    EXPECT_EQ(set.doc.at("results")[0].at("verified"), true);
}

}  // namespace
