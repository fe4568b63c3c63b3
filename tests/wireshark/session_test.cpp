// Captures of a whole session against the simulator, through the real channel
// on a veth pair, read back by tshark with the dissector: one frame of each
// kind field by field, the bad verdict on an altered checksum, the link of
// every reply to its request, and the password only where secrets are kept.

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "protocol/hex.h"
#include "tests/wireshark/session.h"
#include "tests/wireshark/tshark.h"

namespace aputil {
namespace {

using test::FieldValues;
using test::Tshark;

constexpr const char* kPassword = "Qx7-lab-Secret";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Hex(std::string_view text) {
    return HexText(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

std::string MacHex(const uint8_t* mac) { return Hex(std::string_view(reinterpret_cast<const char*>(mac), 6)); }

// Copies a capture, inverting the last byte of record `index` (0-based): the
// low byte of its checksum, as the simulator's and the utility's frames carry
// no padding.
bool CopyWithAlteredChecksum(const std::string& from, const std::string& to, size_t index) {
    char err[PCAP_ERRBUF_SIZE];
    pcap_t* in = pcap_open_offline(from.c_str(), err);
    if (in == nullptr) return false;
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t* out = pcap_dump_open(dead, to.c_str());
    bool altered = false;
    pcap_pkthdr* h;
    const u_char* data;
    for (size_t i = 0; out != nullptr && pcap_next_ex(in, &h, &data) == 1; ++i) {
        std::vector<u_char> copy(data, data + h->caplen);
        if (i == index && !copy.empty()) {
            copy.back() ^= 0xFF;
            altered = true;
        }
        pcap_dump(reinterpret_cast<u_char*>(out), h, copy.data());
    }
    if (out != nullptr) pcap_dump_close(out);
    pcap_close(dead);
    pcap_close(in);
    return altered;
}

class SessionCapture : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const test::WireEnv env = test::WireEnv::FromEnvironment();
        why_ = !env.why.empty() ? env.why : Tshark::Missing();
        if (!why_.empty()) return;
        char dir[] = "/tmp/aputil-session-XXXXXX";
        if (mkdtemp(dir) == nullptr) {
            why_ = "no temporary folder";
            return;
        }
        dir_ = dir;
        test::SessionCapture options;
        options.password = kPassword;
        std::string error;
        {
            test::Apsim sim;
            if (!test::RecordSession(sim, Masked(), options, facts_, error)) failure_ = "masked session: " + error;
        }
        options.keepSecrets = true;
        test::SessionFacts kept;
        {
            test::Apsim sim;
            if (failure_.empty() && !test::RecordSession(sim, Kept(), options, kept, error))
                failure_ = "session with secrets: " + error;
        }
        if (!failure_.empty()) return;
        tshark_ = new Tshark;
        if (!tshark_->Fields(Masked(), kFields, rows_)) failure_ = "tshark failed: " + tshark_->errors();
    }
    static void TearDownTestSuite() {
        delete tshark_;
        tshark_ = nullptr;
        if (!dir_.empty()) (void)std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    void SetUp() override {
        if (!why_.empty()) GTEST_SKIP() << why_;
        ASSERT_TRUE(failure_.empty()) << failure_;
        ASSERT_FALSE(rows_.empty()) << tshark_->errors();
    }

    static std::string Masked() { return dir_ + "/session.pcap"; }
    static std::string Kept() { return dir_ + "/secrets.pcap"; }

    static std::string Value(const FieldValues& row, const std::string& field) {
        auto it = row.find(field);
        if (it == row.end()) return "";
        std::string out;
        for (const std::string& v : it->second) out += (out.empty() ? "" : ",") + v;
        return out;
    }
    // The first frame that matches, by its dissected fields; null when none does.
    static const FieldValues* First(const std::function<bool(const FieldValues&)>& match) {
        for (const FieldValues& row : rows_)
            if (match(row)) return &row;
        return nullptr;
    }
    static std::function<bool(const FieldValues&)> Is(std::string type, std::string subtype = "", std::string op = "",
                                                      std::string status = "") {
        return [=](const FieldValues& r) {
            return Value(r, "aputil.type") == type &&
                   (subtype.empty() || Value(r, "aputil.session.subtype") == subtype) &&
                   (op.empty() || Value(r, "aputil.block.op") == op) &&
                   (status.empty() || Value(r, "aputil.status") == status);
        };
    }
    static const FieldValues& Row(const std::string& number) {
        return rows_.at(static_cast<size_t>(std::stoul(number)) - 1);
    }

    // Laid out by hand: the table reads better packed.

    // clang-format off
    static inline const std::vector<std::string> kFields = {
        "eth.src", "eth.dst", "aputil.magic", "aputil.version", "aputil.length", "aputil.seq", "aputil.type",
        "aputil.checksum.status", "aputil.session", "aputil.status", "aputil.session.subtype",
        "aputil.session.value1", "aputil.session.value2", "aputil.attr.id", "aputil.attr.value", "aputil.data.count",
        "aputil.block.op", "aputil.block.offset", "aputil.block.length", "aputil.block.data", "aputil.response_to",
        "aputil.response_in", "aputil.time", "_ws.expert.message"};
    // clang-format on
    static inline std::string why_, failure_, dir_;
    static inline test::SessionFacts facts_;
    static inline Tshark* tshark_ = nullptr;
    static inline std::vector<FieldValues> rows_;
};

TEST_F(SessionCapture, OneFrameOfEachKindReadsFieldByField) {
    const std::string utility = MacHex(facts_.utility);
    const std::string ap = MacHex(facts_.ap.data());
    const std::string session = std::to_string(facts_.session);
    auto mac = [](const FieldValues& r, const char* field) {
        std::string v = Value(r, field);
        v.erase(std::remove(v.begin(), v.end(), ':'), v.end());
        return v;
    };
    struct Expect {
        const char* what;
        std::function<bool(const FieldValues&)> match;
        std::vector<std::pair<std::string, std::string>> fields;
        bool fromUtility;
    };
    const std::vector<Expect> table = {
        {"browse",
         Is("0"),
         {{"aputil.attr.id", "0,1,2"},
          {"aputil.attr.value",
           Hex("M-Rax") + "," + Hex("Lumivance/QR-4710 Access Point") + "," + Hex("QR-4710A Smart AP")},
          {"eth.dst", "ff:ff:ff:ff:ff:ff"}},
         true},
        {"browse reply", Is("1"), {{"aputil.attr.id", "0,1,2,3,4"}}, false},
        {"login",
         Is("4", "1"),
         {{"aputil.session.value1", "0"},
          {"aputil.session.value2", "0"},
          {"aputil.attr.id", "5,6"},
          {"aputil.attr.value", Hex("user") + "," + Hex(std::string(std::string(kPassword).size() + 6, '*'))}},
         true},
        {"refused login reply",
         Is("4", "2", "", "5"),
         {{"aputil.session", "0"}, {"aputil.session.value1", "5"}},
         false},
        {"accepted login reply",
         Is("4", "2", "", "0"),
         {{"aputil.session", session}, {"aputil.session.value2", session}},
         false},
        {"session check", Is("4", "3"), {{"aputil.session", session}}, false},
        {"session check reply", Is("4", "4"), {{"aputil.status", "0"}, {"aputil.session", session}}, true},
        {"info request",
         Is("20", "", "0x10"),
         {{"aputil.session", session},
          {"aputil.data.count", "16"},
          {"aputil.block.offset", "0x00000000"},
          {"aputil.block.length", "0"}},
         true},
        {"info reply", Is("21", "", "0x10"), {{"aputil.status", "0"}, {"aputil.data.count", "48"}}, false},
        {"image read", Is("20", "", "0x01"), {{"aputil.data.count", "16"}}, true},
        {"image write",
         Is("20", "", "0x02"),
         {{"aputil.data.count", "528"}, {"aputil.block.offset", "0x00030000"}, {"aputil.block.length", "512"}},
         true},
        {"commit", Is("20", "", "0x30"), {{"aputil.data.count", "16"}}, true},
        {"commit reply", Is("21", "", "0x30"), {{"aputil.status", "0"}}, false},
        {"finish", Is("20", "", "0x00"), {{"aputil.data.count", "16"}}, true},
        {"logout", Is("5"), {{"aputil.session", session}, {"aputil.length", "6"}}, true},
    };
    for (const Expect& e : table) {
        const FieldValues* row = First(e.match);
        ASSERT_NE(row, nullptr) << "no " << e.what << " in the capture";
        for (const auto& [field, value] : e.fields) EXPECT_EQ(Value(*row, field), value) << e.what << ": " << field;
        EXPECT_EQ(Value(*row, "aputil.magic"), "0xf558") << e.what;
        EXPECT_EQ(Value(*row, "aputil.version"), "0x40") << e.what;
        EXPECT_EQ(Value(*row, "aputil.checksum.status"), "1") << e.what;
        EXPECT_EQ(Value(*row, "_ws.expert.message"), "") << e.what;
        EXPECT_EQ(mac(*row, "eth.src"), e.fromUtility ? utility : ap) << e.what;
    }
    // The image read's first chunk of the image, placed by its offset.
    const FieldValues* firstChunk = First([](const FieldValues& r) {
        return Value(r, "aputil.type") == "20" && Value(r, "aputil.block.op") == "0x01" &&
               Value(r, "aputil.block.offset") == "0x00030000";
    });
    ASSERT_NE(firstChunk, nullptr);
    EXPECT_EQ(Value(*firstChunk, "aputil.block.length"), "512");
    // Eight finish requests, as the window sends them (each retried, as the AP never answers one).
    std::set<std::string> finishes;
    for (const FieldValues& r : rows_)
        if (Is("20", "", "0x00")(r)) finishes.insert(Value(r, "aputil.seq"));
    EXPECT_EQ(finishes.size(), 8u);
}

TEST_F(SessionCapture, EveryReplyIsLinkedToItsRequest) {
    size_t replies = 0;
    for (const FieldValues& r : rows_) {
        const std::string type = Value(r, "aputil.type");
        const std::string subtype = Value(r, "aputil.session.subtype");
        const bool reply = (type != "4" && type != "5" && std::stoi(type) % 2 == 1) || subtype == "2" || subtype == "4";
        const std::string request = Value(r, "aputil.response_to");
        if (!reply) {
            EXPECT_EQ(request, "") << "frame " << Value(r, "frame.number");
            continue;
        }
        ++replies;
        ASSERT_NE(request, "") << "reply in frame " << Value(r, "frame.number") << " is linked to nothing";
        const FieldValues& q = Row(request);
        EXPECT_LT(std::stoul(request), std::stoul(Value(r, "frame.number")));
        EXPECT_EQ(Value(q, "aputil.seq"), Value(r, "aputil.seq"));
        EXPECT_EQ(Value(q, "eth.src"), Value(r, "eth.dst"));
        if (type == "21") {
            EXPECT_EQ(Value(q, "aputil.type"), "20");
            EXPECT_EQ(Value(q, "aputil.block.offset"), Value(r, "aputil.block.offset"))
                << "the reply to the request of frame " << request;
        }
        EXPECT_NE(Value(r, "aputil.time"), "");
        EXPECT_NE(Value(q, "aputil.response_in"), "");
    }
    // Browse, two logins, the check, info, firmware (1) and image (8) reads,
    // the information check after the read, image writes (8), the information
    // check before the commit, and the commit.
    EXPECT_EQ(replies, 1u + 2u + 1u + 1u + 1u + 8u + 1u + 8u + 1u + 1u);
}

TEST_F(SessionCapture, AnAlteredChecksumIsBadAndOnlyThatFrame) {
    const FieldValues* reply = First(Is("4", "2", "", "0"));
    ASSERT_NE(reply, nullptr);
    const size_t index = std::stoul(Value(*reply, "frame.number")) - 1;
    const std::string altered = dir_ + "/altered.pcap";
    ASSERT_TRUE(CopyWithAlteredChecksum(Masked(), altered, index));
    Tshark tshark;
    std::vector<FieldValues> rows;
    ASSERT_TRUE(tshark.Fields(altered, {"aputil.checksum.status", "_ws.expert.message"}, rows)) << tshark.errors();
    ASSERT_EQ(rows.size(), rows_.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(Value(rows[i], "aputil.checksum.status"), i == index ? "0" : "1") << "frame " << i + 1;
        EXPECT_EQ(Value(rows[i], "_ws.expert.message").find("Bad checksum") != std::string::npos, i == index)
            << "frame " << i + 1;
    }
}

TEST_F(SessionCapture, PasswordIsOnlyInACaptureThatKeepsSecrets) {
    const std::string masked = ReadFile(Masked());
    const std::string kept = ReadFile(Kept());
    ASSERT_FALSE(masked.empty());
    EXPECT_EQ(masked.find(kPassword), std::string::npos) << "neither in the login nor in the image";
    // In the kept capture: the login, the wrong login, the image read (chunk 1)
    // and the image written back.
    size_t count = 0;
    for (size_t at = kept.find(kPassword); at != std::string::npos; at = kept.find(kPassword, at + 1)) ++count;
    EXPECT_EQ(count, 4u);
    // Every frame of the masked capture still verifies.
    for (const FieldValues& r : rows_) EXPECT_EQ(Value(r, "aputil.checksum.status"), "1") << Value(r, "frame.number");
}

}  // namespace
}  // namespace aputil
