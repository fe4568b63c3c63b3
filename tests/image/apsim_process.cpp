#include "apsim_process.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace aputil::imagetest {
namespace {

// Where "key": starts its value in a flat JSON object, or npos.
size_t ValueStart(const std::string& raw, std::string_view key) {
    std::string needle = "\"";
    needle += key;
    needle += "\":";
    const size_t at = raw.find(needle);
    return at == std::string::npos ? at : at + needle.size();
}

bool ParseMac(std::string_view text, std::array<uint8_t, 6>& mac) {
    unsigned b[6];
    if (text.size() != 17) return false;
    const std::string s(text);
    if (std::sscanf(s.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6)
        return false;
    for (size_t i = 0; i < 6; ++i) mac[i] = static_cast<uint8_t>(b[i]);
    return true;
}

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

bool LogLine::Has(std::string_view key) const { return ValueStart(raw_, key) != std::string::npos; }

std::string LogLine::Text(std::string_view key) const {
    const size_t at = ValueStart(raw_, key);
    if (at == std::string::npos || at >= raw_.size() || raw_[at] != '"') return {};
    std::string text;
    for (size_t i = at + 1; i < raw_.size() && raw_[i] != '"'; ++i) {
        if (raw_[i] == '\\' && i + 1 < raw_.size()) ++i;
        text.push_back(raw_[i]);
    }
    return text;
}

std::optional<int64_t> LogLine::Number(std::string_view key) const {
    const size_t at = ValueStart(raw_, key);
    if (at == std::string::npos) return std::nullopt;
    const char* begin = raw_.c_str() + at;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(begin, &end, 10);
    if (end == begin || errno != 0) return std::nullopt;
    return static_cast<int64_t>(v);
}

bool LogLine::Is(std::string_view event, int type, int op) const {
    if (Text("event") != event) return false;
    if (type >= 0 && Number("type") != type) return false;
    if (op >= 0 && Number("op") != op) return false;
    return true;
}

Apsim::~Apsim() { Stop(); }

bool Apsim::MakeDirectory(std::string& error) {
    char pattern[] = "/tmp/aputil-image-XXXXXX";
    if (!mkdtemp(pattern)) {
        error = "mkdtemp failed";
        return false;
    }
    dir_ = pattern;
    std::error_code ec;
    if (!std::filesystem::create_directory(DumpDir(), ec)) {
        error = "cannot make the dump folder";
        return false;
    }
    return true;
}

bool Apsim::Start(const std::vector<std::string>& options, std::string& error) {
    const char* apsim = std::getenv("APUTIL_APSIM");
    const char* ns = std::getenv("APUTIL_NS_B");
    const char* iface = std::getenv("APUTIL_PEER_IF");
    if (!apsim || !ns || !iface) {
        error = "APUTIL_APSIM, APUTIL_NS_B or APUTIL_PEER_IF is not set";
        return false;
    }
    if (dir_.empty() && !MakeDirectory(error)) return false;

    std::vector<std::string> args = {"ip", "netns", "exec", ns, apsim, "--iface", iface,
                                     "--log", LogPath(), "--dump-dir", DumpDir()};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        error = "pipe failed";
        return false;
    }
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    toChild_ = in[1];
    fromChild_ = out[0];
    if (pid_ < 0) {
        error = "fork failed";
        return false;
    }

    std::string line;
    while (ReadLine(line, 10000)) {
        if (line == "ready") return true;
        // "ap INDEX MAC NAME"
        std::istringstream words(line);
        std::string tag, index, mac;
        words >> tag >> index >> mac;
        std::array<uint8_t, 6> parsed{};
        if (tag == "ap" && ParseMac(mac, parsed)) macs_.push_back(parsed);
    }
    error = "the simulator did not report ready";
    return false;
}

bool Apsim::ReadLine(std::string& line, int timeoutMs) {
    const int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        const size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return true;
        }
        const int64_t left = deadline - NowMs();
        if (left <= 0 || fromChild_ < 0) return false;
        pollfd p{fromChild_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char buffer[512];
        const ssize_t n = read(fromChild_, buffer, sizeof buffer);
        if (n <= 0) return false;
        pending_.append(buffer, static_cast<size_t>(n));
    }
}

std::string Apsim::Command(const std::string& line) {
    const std::string text = line + "\n";
    if (toChild_ < 0 || write(toChild_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        return "error: not running";
    std::string answer;
    while (ReadLine(answer, 5000))
        if (answer.rfind("ok", 0) == 0 || answer.rfind("error", 0) == 0) return answer;
    return "error: no answer";
}

void Apsim::Stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        const int64_t deadline = NowMs() + 5000;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (NowMs() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            usleep(10000);
        }
        pid_ = -1;
    }
    if (toChild_ >= 0) close(toChild_);
    if (fromChild_ >= 0) close(fromChild_);
    toChild_ = fromChild_ = -1;
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        dir_.clear();
    }
    macs_.clear();
    pending_.clear();
}

std::vector<LogLine> Apsim::ReadLog() const {
    std::vector<LogLine> lines;
    std::ifstream in(LogPath());
    // A line still being written has no newline yet; getline would hand it
    // over cut short, so only complete lines are taken.
    std::stringstream all;
    all << in.rdbuf();
    std::string text = all.str();
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.emplace_back(text.substr(start, end - start));
    return lines;
}

std::optional<std::vector<uint8_t>> Apsim::ReadDump() const {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(DumpDir(), ec)) {
        if (entry.path().extension() != ".bin") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return std::nullopt;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

bool WriteFile(const std::string& path, std::string_view text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return static_cast<bool>(out);
}

}  // namespace aputil::imagetest
