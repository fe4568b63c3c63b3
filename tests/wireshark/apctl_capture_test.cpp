// apctl --pcap: a set run against the simulator writes every frame, dissects
// clean, and holds the password only with --pcap-keep-secrets; bad capture
// options are refused before anything is sent.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/apsim_process.h"
#include "tests/wireshark/tshark.h"

#ifndef APCTL_PATH
#error "APCTL_PATH must name the apctl program"
#endif

namespace aputil {
namespace {

constexpr const char* kPassword = "Fleet-Pw-77";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class ApctlCapture : public ::testing::Test {
protected:
    void SetUp() override {
        env_ = test::WireEnv::FromEnvironment();
        if (!env_.why.empty()) GTEST_SKIP() << env_.why;
        std::string error;
        ASSERT_TRUE(sim_.Start({"--password", kPassword, "--count", "2"}, error)) << error;
    }

    // apctl with the test link's adapter and the password in the environment; its exit status.
    int Run(std::vector<std::string> args) {
        args.insert(args.begin(), {APCTL_PATH, "--adapter", env_.iface, "--quiet"});
        const std::string err = sim_.Path("apctl.err");
        const pid_t pid = fork();
        if (pid == 0) {
            const int in = open("/dev/null", O_RDONLY);
            const int out = open("/dev/null", O_WRONLY);
            const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(in, 0);
            dup2(out, 1);
            dup2(e, 2);
            setenv("APCTL_PASSWORD", kPassword, 1);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        errors_ = ReadFile(err);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    test::WireEnv env_;
    test::Apsim sim_;
    std::string errors_;
};

TEST_F(ApctlCapture, SetWritesEveryFrameMaskedOrWithSecretsKept) {
    const std::string masked = sim_.Path("set.pcap");
    ASSERT_EQ(Run({"--pcap", masked, "set", "all", "ssid=Lab"}), 0) << errors_;
    const std::string kept = sim_.Path("kept.pcap");
    ASSERT_EQ(Run({"--pcap", kept, "--pcap-keep-secrets", "set", "all", "ssid=Lab2"}), 0) << errors_;

    const std::string maskedBytes = ReadFile(masked);
    const std::string keptBytes = ReadFile(kept);
    EXPECT_EQ(maskedBytes.find(kPassword), std::string::npos);
    EXPECT_NE(keptBytes.find(kPassword), std::string::npos);
    struct stat st {};
    ASSERT_EQ(stat(kept.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const std::string why = test::Tshark::Missing();
    if (!why.empty()) GTEST_SKIP() << why;
    test::Tshark tshark;
    std::vector<test::FieldValues> rows;
    ASSERT_TRUE(tshark.Fields(
        masked,
        {"aputil.type", "aputil.session.subtype", "aputil.block.op", "aputil.checksum.status", "aputil.attr.value"},
        rows))
        << tshark.errors();
    std::string stars;  // the hex of as many '*' as the password has characters
    for (size_t i = 0; i < std::string(kPassword).size(); ++i) stars += "2a";
    size_t logins = 0, writes = 0, commits = 0;
    for (const auto& r : rows) {
        ASSERT_EQ(r.at("aputil.checksum.status"), std::vector<std::string>{"1"}) << r.at("frame.number")[0];
        const std::string type = r.at("aputil.type").empty() ? "" : r.at("aputil.type")[0];
        const auto& sub = r.at("aputil.session.subtype");
        if (type == "4" && !sub.empty() && sub[0] == "1") {
            ++logins;
            ASSERT_EQ(r.at("aputil.attr.value").size(), 2u);
            EXPECT_EQ(r.at("aputil.attr.value")[1], stars) << "the password is masked";
        }
        const auto& op = r.at("aputil.block.op");
        if (type == "20" && !op.empty() && op[0] == "0x02") ++writes;
        if (type == "20" && !op.empty() && op[0] == "0x30") ++commits;
    }
    EXPECT_GE(logins, 2u) << "at least one login per AP";
    EXPECT_GE(writes, 2u);
    EXPECT_EQ(commits, 2u);
}

TEST_F(ApctlCapture, BadCaptureOptionsAreRefusedBeforeAnythingIsSent) {
    EXPECT_EQ(Run({"--pcap-keep-secrets", "browse"}), 2);
    EXPECT_NE(errors_.find("--pcap"), std::string::npos) << errors_;
    EXPECT_EQ(Run({"--pcap", sim_.Path("no/such/folder/x.pcap"), "browse"}), 2);
    EXPECT_NE(errors_.find("no/such/folder/x.pcap"), std::string::npos) << errors_;
    EXPECT_EQ(Run({"--pcap"}), 2);
    size_t requests = 0;
    for (const auto& line : sim_.ReadLog()) requests += line.Is("request") ? 1 : 0;
    EXPECT_EQ(requests, 0u) << "nothing reached the AP";
}

}  // namespace
}  // namespace aputil
