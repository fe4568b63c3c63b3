#include "tests/tools/apsim_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace apsim_test {

namespace {

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The argument vector of `ip netns exec B apsim --iface IF args...`.
std::vector<std::string> NetnsArgv(const WireEnv& env, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"ip", "netns", "exec", env.nsB, env.apsim};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

[[noreturn]] void Exec(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
}

}  // namespace

WireEnv WireEnv::FromEnvironment() {
    WireEnv e;
    e.nsB = Env("APUTIL_NS_B");
    e.apsim = Env("APUTIL_APSIM");
    e.iface = Env("APUTIL_IF");
    e.peerIface = Env("APUTIL_PEER_IF");
    if (e.nsB.empty() || e.iface.empty() || e.peerIface.empty())
        e.why = "not inside the namespace pair of tests/netns/with-netns";
    else if (e.apsim.empty())
        e.why = "APUTIL_APSIM is not set (apsim not built)";
    return e;
}

ApsimProcess::ApsimProcess() {
    char tmpl[] = "/tmp/apsim-test-XXXXXX";
    if (const char* d = ::mkdtemp(tmpl)) dir_ = d;
}

ApsimProcess::~ApsimProcess() {
    if (pid_ > 0) Stop();
    if (in_ >= 0) ::close(in_);
    if (out_ >= 0) ::close(out_);
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

void ApsimProcess::WriteFile(const std::string& name, const std::string& bytes) const {
    std::ofstream f(Path(name), std::ios::binary | std::ios::trunc);
    f << bytes;
}

bool ApsimProcess::Start(const WireEnv& env, const std::vector<std::string>& args, std::string& error) {
    ::signal(SIGPIPE, SIG_IGN);  // a simulator that died must fail the test, not kill it
    int toChild[2], fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) {
        error = "pipe failed";
        return false;
    }
    std::vector<std::string> all = {"--iface", env.peerIface, "--log", Path("log.jsonl")};
    all.insert(all.end(), args.begin(), args.end());
    const auto argv = NetnsArgv(env, all);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(toChild[0], STDIN_FILENO);
        ::dup2(fromChild[1], STDOUT_FILENO);
        Exec(argv);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    in_ = toChild[1];
    out_ = fromChild[0];
    for (;;) {
        const std::string line = ReadLine(10000);
        if (line == "ready") return true;
        if (line.rfind("ap ", 0) == 0) {
            std::istringstream s(line.substr(3));
            Ap ap;
            std::string mac;
            s >> ap.index >> mac;
            std::getline(s >> std::ws, ap.name);
            apsim::ParseMac(mac, ap.mac);
            aps_.push_back(ap);
            continue;
        }
        error = "apsim did not get ready; last line: '" + line + "'";
        Stop();
        return false;
    }
}

int ApsimProcess::RunToEnd(const WireEnv& env, const std::vector<std::string>& args, std::string& output) {
    int err[2];
    if (::pipe2(err, O_CLOEXEC) != 0) return -1;
    const auto argv = NetnsArgv(env, args);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        Exec(argv);
    }
    ::close(err[1]);
    char buf[512];
    ssize_t n;
    output.clear();
    while ((n = ::read(err[0], buf, sizeof buf)) > 0) output.append(buf, static_cast<size_t>(n));
    ::close(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ApsimProcess::ReadLine(int timeoutMs) {
    const int64_t end = NowMs() + timeoutMs;
    for (;;) {
        if (const size_t nl = buffer_.find('\n'); nl != std::string::npos) {
            std::string line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            return line;
        }
        const int64_t left = end - NowMs();
        if (left <= 0 || out_ < 0) return "";
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char buf[4096];
        const ssize_t n = ::read(out_, buf, sizeof buf);
        if (n <= 0) {
            ::close(out_);
            out_ = -1;
            continue;
        }
        buffer_.append(buf, static_cast<size_t>(n));
    }
}

std::string ApsimProcess::Command(const std::string& line, int timeoutMs) {
    const std::string text = line + "\n";
    if (in_ < 0 || ::write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return "";
    return ReadLine(timeoutMs);
}

int ApsimProcess::Stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    const int64_t end = NowMs() + 10000;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (NowMs() > end) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> ApsimProcess::Log() const {
    std::vector<std::string> lines;
    std::ifstream f(Path("log.jsonl"));
    for (std::string line; std::getline(f, line);) lines.push_back(line);
    return lines;
}

std::string ApsimProcess::WaitForLog(const std::vector<std::string>& fragments, int timeoutMs) const {
    const int64_t end = NowMs() + timeoutMs;
    do {
        for (const auto& line : Log()) {
            bool all = true;
            for (const auto& f : fragments) all = all && line.find(f) != std::string::npos;
            if (all) return line;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (NowMs() < end);
    return "";
}

std::string JsonField(const std::string& line, const std::string& key) {
    const std::string tag = "\"" + key + "\":";
    size_t at = line.find(tag);
    if (at == std::string::npos) return "";
    at += tag.size();
    std::string value;
    if (at < line.size() && line[at] == '"') {
        for (size_t i = at + 1; i < line.size() && line[i] != '"'; ++i) {
            if (line[i] == '\\' && i + 1 < line.size()) ++i;
            value += line[i];
        }
        return value;
    }
    while (at < line.size() && line[at] != ',' && line[at] != '}') value += line[at++];
    return value;
}

}  // namespace apsim_test
