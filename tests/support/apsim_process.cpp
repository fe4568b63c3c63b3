#include "tests/support/apsim_process.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace aputil::test {
namespace {

// How long the simulator may take to list its APs and get ready, line by line.
constexpr int kReadyLineMs = 10000;
// How long a run of the simulator that is meant to refuse its arguments may take.
constexpr int kRunToEndMs = 30000;

// Where "key": starts its value in a flat JSON object, or npos.
size_t ValueStart(const std::string& raw, std::string_view key) {
    std::string needle = "\"";
    needle += key;
    needle += "\":";
    const size_t at = raw.find(needle);
    return at == std::string::npos ? at : at + needle.size();
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
    else if (e.apsim.empty()) e.why = "APUTIL_APSIM is not set (apsim not built)";
    return e;
}

// ---------------------------------------------------------------- LogLine

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

// ---------------------------------------------------------------- Apsim

Apsim::Apsim() {
    std::string ignored;
    MakeDirectory(ignored);  // Start reports it when there is none
}

Apsim::~Apsim() {
    Stop();
    RemoveDirectory();
}

bool Apsim::MakeDirectory(std::string& error) {
    char pattern[] = "/tmp/aputil-apsim-XXXXXX";
    if (!mkdtemp(pattern)) {
        error = "cannot make a temporary folder";
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

void Apsim::RemoveDirectory() {
    if (dir_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    dir_.clear();
}

bool Apsim::FreshDirectory(std::string& error) {
    if (process_.Running()) {
        error = "the simulator is still running";
        return false;
    }
    RemoveDirectory();
    return MakeDirectory(error);
}

bool Apsim::WriteFile(const std::string& name, std::span<const uint8_t> bytes) const {
    std::ofstream out(Path(name), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

bool Apsim::WriteFile(const std::string& name, std::string_view text) const {
    std::ofstream out(Path(name), std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

bool Apsim::Start(std::vector<std::string> options, const std::string& state, std::string& error) {
    if (!state.empty()) {
        if (!WriteFile("state.txt", state)) {
            error = "cannot write " + Path("state.txt");
            return false;
        }
        options.push_back("--state");
        options.push_back(Path("state.txt"));
    }
    return Start(options, error);
}

bool Apsim::Start(const std::vector<std::string>& options, std::string& error) {
    const WireEnv env = WireEnv::FromEnvironment();
    if (!env.why.empty()) {
        error = env.why;
        return false;
    }
    if (process_.Running()) {
        error = "the simulator is already running";
        return false;
    }
    if (dir_.empty() && !MakeDirectory(error)) return false;

    std::vector<std::string> command = {env.apsim, "--iface",    env.peerIface, "--log",
                                        LogPath(), "--dump-dir", DumpDir()};
    command.insert(command.end(), options.begin(), options.end());
    aps_.clear();
    if (!process_.Start(env.nsB, command)) {
        error = "cannot start " + env.apsim;
        return false;
    }
    for (;;) {
        std::string line;
        if (!process_.ReadLine(line, kReadyLineMs)) {
            error = "the simulator did not report ready";
            break;
        }
        if (line == "ready") return true;
        // "ap INDEX MAC NAME"
        if (line.rfind("ap ", 0) == 0) {
            std::istringstream words(line.substr(3));
            Ap ap;
            std::string mac;
            if (words >> ap.index >> mac && apsim::ParseMac(mac, ap.mac)) {
                std::getline(words >> std::ws, ap.name);
                aps_.push_back(ap);
                continue;
            }
        }
        error = "the simulator did not get ready; it printed '" + line + "'";
        break;
    }
    Stop();
    return false;
}

int Apsim::RunToEnd(const std::vector<std::string>& args, std::string& output) {
    output.clear();
    const WireEnv env = WireEnv::FromEnvironment();
    if (!env.why.empty()) {
        output = env.why;
        return -1;
    }
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0) return -1;
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    std::vector<std::string> command = {env.apsim};
    command.insert(command.end(), args.begin(), args.end());
    const pid_t pid = SpawnInNamespace(env.nsB, command, null, null, err[1]);
    close(err[1]);
    if (null >= 0) close(null);
    // Its standard error until it closes it; one that keeps running is stopped.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRunToEndMs);
    bool overran = false;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        pollfd p{err[0], POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
            overran = left <= 0;
            if (overran) break;
            continue;
        }
        char buf[512];
        const ssize_t n = read(err[0], buf, sizeof buf);
        if (n <= 0) break;
        output.append(buf, static_cast<size_t>(n));
    }
    close(err[0]);
    const int status = AwaitExit(pid, overran, kRunToEndMs);
    if (overran) {
        output += "\n(still running after " + std::to_string(kRunToEndMs / 1000) + " s; stopped)";
        return -1;
    }
    return status;
}

std::string Apsim::Command(const std::string& line, int timeoutMs) {
    if (!process_.Running() || !process_.Send(line + "\n")) return "";
    return NextLine(timeoutMs);
}

std::string Apsim::NextLine(int timeoutMs) {
    std::string line;
    return process_.ReadLine(line, timeoutMs) ? line : "";
}

int Apsim::Stop() { return process_.Stop(); }

std::vector<LogLine> Apsim::ReadLog() const {
    std::ifstream in(LogPath(), std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    // A line still being written has no newline yet; taken now it would be
    // cut short, so only complete lines are taken.
    std::vector<LogLine> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.emplace_back(text.substr(start, end - start));
    return lines;
}

std::optional<LogLine> Apsim::WaitForLog(const std::vector<std::string>& fragments, int timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        for (LogLine& line : ReadLog()) {
            bool all = true;
            for (const auto& f : fragments) all = all && line.raw().find(f) != std::string::npos;
            if (all) return std::move(line);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
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

}  // namespace aputil::test
