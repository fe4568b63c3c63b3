// apsim: puts the simulated access points of apsim_core on one interface.
// Command line, control commands, log and state file: tools/apsim/README.md.

#include <fcntl.h>
#include <linux/filter.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <queue>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/apsim/apsim_core.h"
#include "transport/adapter.h"

namespace {

volatile std::sig_atomic_t gStop = 0;

void OnSignal(int) { gStop = 1; }

// EtherType 0xAAAA only. Promiscuous, because the simulated MACs are not the interface's.
constexpr sock_filter kFilter[] = {
    {0x28, 0, 0, 12},      // ldh [12]
    {0x15, 0, 1, 0xAAAA},  // jeq #0xAAAA
    {0x06, 0, 0, 0xFFFF},  // ret #0xFFFF
    {0x06, 0, 0, 0},       // ret #0
};

constexpr const char* kUsage =
    "usage: apsim --iface IF [--count N] [--seed S] [--password P] [--name-prefix TEXT]\n"
    "             [--vendor TEXT] [--product TEXT] [--model TEXT] [--state FILE] [--log FILE|-]\n"
    "             [--dump-dir DIR] [--control FIFO] [--quiet] [--burst N] [--burst-gap-us US]\n"
    "             [--drop-requests P] [--drop-replies P] [--dup-replies P] [--delay-ms MS] [--delay-prob P]\n"
    "             [--corrupt-checksum P] [--wrong-sequence P] [--foreign-mac P] [--oversized-block P]\n"
    "             [--truncated-block P] [--lying-count P] [--refuse-write-chunk K] [--refuse-commit]\n"
    "             [--forge-chunk K] [--junk N] [--fault-on browse,login,block]\n"
    "See tools/apsim/README.md.\n";

struct Options {
    std::string iface, state, log, dumpDir, control;
    bool quiet = false;
    uint64_t burst = 0;  // frames sent back to back before a pause; 0: no pauses
    uint64_t burstGapUs = 500;
    apsim::Config config;
};

bool ParseNumber(const std::string& text, uint64_t max, uint64_t& out) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 19) return false;
    out = std::stoull(text);
    return out <= max;
}

// Returns 0 to go on, or an exit status.
int ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            std::fputs(kUsage, stdout);
            return -1;
        }
        if (name.rfind("--", 0) != 0) {
            std::fprintf(stderr, "apsim: unexpected argument '%s'\n%s", name.c_str(), kUsage);
            return 2;
        }
        name = name.substr(2);
        std::string value;
        bool inlineValue = false;
        if (const size_t eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            inlineValue = true;
        }
        if (name == "quiet" || name == "refuse-commit") {
            if (name == "quiet") o.quiet = true;
            else o.config.faults.refuseCommit = true;
            continue;
        }
        static const char* const kValueOptions[] = {"iface",    "state",       "log",    "dump-dir",    "control",
                                                    "password", "name-prefix", "vendor", "product",     "model",
                                                    "count",    "seed",        "burst",  "burst-gap-us"};
        if (std::find(std::begin(kValueOptions), std::end(kValueOptions), name) == std::end(kValueOptions) &&
            !apsim::IsFaultName(name)) {
            std::fprintf(stderr, "apsim: unknown option --%s\n%s", name.c_str(), kUsage);
            return 2;
        }
        if (!inlineValue) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "apsim: --%s needs a value\n", name.c_str());
                return 2;
            }
            value = argv[++i];
        }
        uint64_t n = 0;
        std::string error;
        if (name == "iface") o.iface = value;
        else if (name == "state") o.state = value;
        else if (name == "log") o.log = value;
        else if (name == "dump-dir") o.dumpDir = value;
        else if (name == "control") o.control = value;
        else if (name == "password") o.config.password = value;
        else if (name == "name-prefix") o.config.namePrefix = value;
        else if (name == "vendor") o.config.vendor = value;
        else if (name == "product") o.config.product = value;
        else if (name == "model") o.config.model = value;
        else if (name == "count") {
            if (!ParseNumber(value, apsim::kMaxAps, n) || n < 1) {
                std::fprintf(stderr, "apsim: --count must be 1..%d\n", apsim::kMaxAps);
                return 2;
            }
            o.config.count = static_cast<int>(n);
        } else if (name == "seed") {
            if (!ParseNumber(value, UINT64_MAX, n)) {
                std::fprintf(stderr, "apsim: --seed must be a non-negative number\n");
                return 2;
            }
            o.config.seed = n;
        } else if (name == "burst" || name == "burst-gap-us") {
            if (!ParseNumber(value, 1000000, n)) {
                std::fprintf(stderr, "apsim: --%s must be a number 0..1000000\n", name.c_str());
                return 2;
            }
            (name == "burst" ? o.burst : o.burstGapUs) = n;
        } else if (apsim::IsFaultName(name)) {
            if (!apsim::SetFault(o.config.faults, name, value, error)) {
                std::fprintf(stderr, "apsim: %s\n", error.c_str());
                return 2;
            }
        } else {
            std::fprintf(stderr, "apsim: unknown option --%s\n%s", name.c_str(), kUsage);
            return 2;
        }
    }
    if (o.iface.empty()) {
        std::fprintf(stderr, "apsim: --iface is required\n%s", kUsage);
        return 2;
    }
    return 0;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    bytes.clear();
    uint8_t buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

struct Delayed {
    int64_t due;
    uint64_t order;
    std::vector<uint8_t> bytes;
    bool operator>(const Delayed& o) const { return due != o.due ? due > o.due : order > o.order; }
};

// Reads lines from a non-blocking descriptor.
struct LineSource {
    int fd = -1;
    std::string pending;
    // Appends complete lines; false at end of input.
    bool Read(std::vector<std::string>& lines) {
        char buf[512];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) {
                pending.append(buf, static_cast<size_t>(n));
                continue;
            }
            if (n == 0) break;
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                Split(lines);
                return true;
            }
            break;
        }
        Split(lines);
        if (!pending.empty()) lines.push_back(pending);
        pending.clear();
        return false;
    }
    void Split(std::vector<std::string>& lines) {
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            lines.push_back(pending.substr(0, nl));
            pending.erase(0, nl + 1);
        }
    }
};

class Runner {
public:
    explicit Runner(Options o) : o_(std::move(o)), sim_(o_.config) {}

    int Run() {
        if (!o_.state.empty() && !LoadState()) return 2;
        if (!o_.log.empty()) {
            log_ = o_.log == "-" ? stderr : std::fopen(o_.log.c_str(), "w");
            if (!log_) {
                std::fprintf(stderr, "apsim: cannot write the log %s: %s\n", o_.log.c_str(), std::strerror(errno));
                return 2;
            }
        }
        if (!o_.dumpDir.empty()) {
            std::error_code ec;
            std::filesystem::create_directories(o_.dumpDir, ec);
            if (ec) {
                std::fprintf(stderr, "apsim: cannot create %s: %s\n", o_.dumpDir.c_str(), ec.message().c_str());
                return 2;
            }
        }
        if (!OpenControl()) return 2;
        driver_ = aputil::MakePcapDriver(true);
        aputil::OpenError why = aputil::OpenError::None;
        if (!driver_->Open(o_.iface, why)) {
            std::fprintf(stderr, "apsim: cannot open %s%s\n", o_.iface.c_str(),
                         why == aputil::OpenError::NoPrivilege ? " (needs root or CAP_NET_RAW)" : "");
            return 1;
        }
        if (!driver_->SetFilter(kFilter, std::size(kFilter))) {
            std::fprintf(stderr, "apsim: cannot install the receive filter on %s\n", o_.iface.c_str());
            return 1;
        }
        struct sigaction sa {};
        sa.sa_handler = OnSignal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
        std::signal(SIGPIPE, SIG_IGN);

        start_ = std::chrono::steady_clock::now();
        Log("{\"t\":0,\"event\":\"start\",\"aps\":" + std::to_string(sim_.Count()) +
            ",\"seed\":" + std::to_string(o_.config.seed) + ",\"iface\":\"" + apsim::JsonEscape(o_.iface) + "\"}");
        if (!o_.quiet)
            for (int i = 0; i < sim_.Count(); ++i)
                std::printf("ap %d %s %s\n", i, apsim::MacText(sim_.Ap(i).mac).c_str(), sim_.Ap(i).name.c_str());
        std::printf("ready\n");
        std::fflush(stdout);

        stdin_.fd = STDIN_FILENO;
        fcntl(STDIN_FILENO, F_SETFL, fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
        while (!gStop && !quit_) Step();

        Log("{\"t\":" + std::to_string(Now()) + ",\"event\":\"stop\"}");
        DumpAll(true);
        driver_->Close();
        if (log_ && log_ != stderr) std::fclose(log_);
        if (control_.fd >= 0) ::close(control_.fd);
        return 0;
    }

private:
    int64_t Now() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count();
    }

    void Log(const std::string& line) {
        if (!log_) return;
        std::fputs(line.c_str(), log_);
        std::fputc('\n', log_);
        std::fflush(log_);
    }

    bool LoadState() {
        if (!ReadFile(o_.state, stateText_)) {
            std::fprintf(stderr, "apsim: cannot read the state file %s\n", o_.state.c_str());
            return false;
        }
        std::string error;
        if (!ApplyStateText(sim_, error)) {
            std::fprintf(stderr, "apsim: %s: %s\n", o_.state.c_str(), error.c_str());
            return false;
        }
        return true;
    }

    // The state file's text as read on start; files it names are read again.
    bool ApplyStateText(apsim::Simulator& sim, std::string& error) const {
        const auto base = std::filesystem::path(o_.state).parent_path();
        auto load = [&](const std::string& path, std::vector<uint8_t>& bytes) {
            const std::filesystem::path p(path);
            return ReadFile((p.is_absolute() ? p : base / p).string(), bytes);
        };
        return apsim::ApplyState(
            sim, std::string_view(reinterpret_cast<const char*>(stateText_.data()), stateText_.size()), load, error);
    }

    // Back to the state of the start: the APs as made from the options and the
    // state file, the faults of the command line, no session, fresh counters
    // and fault draws, no reply waiting to go out, and no dump of a commit.
    bool Reset(std::string& error) {
        apsim::Simulator fresh(o_.config);
        if (!o_.state.empty() && !ApplyStateText(fresh, error)) return false;
        sim_ = std::move(fresh);
        out_.Clear();
        delayed_ = {};
        if (!o_.dumpDir.empty()) {
            for (int i = 0; i < sim_.Count(); ++i) {
                std::error_code ignored;
                std::filesystem::remove(DumpPath(i), ignored);
            }
        }
        Log("{\"t\":" + std::to_string(Now()) + ",\"event\":\"reset\"}");
        return true;
    }

    bool OpenControl() {
        if (o_.control.empty()) return true;
        struct stat st {};
        if (::stat(o_.control.c_str(), &st) != 0 && ::mkfifo(o_.control.c_str(), 0600) != 0) {
            std::fprintf(stderr, "apsim: cannot create the FIFO %s: %s\n", o_.control.c_str(), std::strerror(errno));
            return false;
        }
        // Opened for reading and writing, so that a writer closing it is no end of input.
        control_.fd = ::open(o_.control.c_str(), O_RDWR | O_NONBLOCK);
        if (control_.fd < 0) {
            std::fprintf(stderr, "apsim: cannot open %s: %s\n", o_.control.c_str(), std::strerror(errno));
            return false;
        }
        return true;
    }

    void Step() {
        int wait = 5;  // bounds how late a control command or a delayed reply is seen
        if (!delayed_.empty()) wait = static_cast<int>(std::clamp<int64_t>(delayed_.top().due - Now(), 0, wait));
        if (driver_->Poll(wait)) {
            driver_->Drain(
                [](void* self, const uint8_t* frame, size_t length) {
                    auto* r = static_cast<Runner*>(self);
                    r->sim_.HandleFrame(std::span<const uint8_t>(frame, length), static_cast<uint64_t>(r->Now()),
                                        r->out_);
                },
                this);
        }
        Flush();
        while (!delayed_.empty() && delayed_.top().due <= Now()) {
            Send(delayed_.top().bytes);
            delayed_.pop();
        }
        PollControl();
    }

    void Send(const std::vector<uint8_t>& frame) {
        if (!driver_->Send(frame.data(), frame.size()))
            Log("{\"t\":" + std::to_string(Now()) +
                ",\"event\":\"send-failed\",\"length\":" + std::to_string(frame.size()) + "}");
    }

    // Writes the log lines and dumps, then sends: whoever holds a reply can
    // already read what the request did.
    void Flush() {
        for (const auto& line : out_.log) Log(line);
        for (int ap : out_.committed) Dump(ap);
        const auto began = std::chrono::steady_clock::now();
        size_t sent = 0;
        for (auto& f : out_.frames) {
            if (f.delayMs) {
                delayed_.push({Now() + f.delayMs, order_++, std::move(f.bytes)});
                continue;
            }
            // A receiver with a small capture ring can ask for breathing space.
            if (o_.burst && sent && sent % o_.burst == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(o_.burstGapUs));
            Send(f.bytes);
            ++sent;
        }
        if (sent >= 100) {
            const auto us =
                std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - began);
            Log("{\"t\":" + std::to_string(Now()) + ",\"event\":\"burst\",\"frames\":" + std::to_string(sent) +
                ",\"us\":" + std::to_string(us.count()) + "}");
        }
        out_.Clear();
    }

    std::string DumpPath(int ap) const {
        std::string name = apsim::MacText(sim_.Ap(ap).mac);
        std::replace(name.begin(), name.end(), ':', '-');
        return (std::filesystem::path(o_.dumpDir) / (name + ".bin")).string();
    }

    bool Dump(int ap) {
        if (o_.dumpDir.empty()) return false;
        const std::string path = DumpPath(ap);
        const std::string tmp = path + ".tmp";
        {
            std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
            const auto& image = sim_.Ap(ap).image;
            f.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
            if (!f) return false;
        }
        // Renamed into place, so that a reader never sees half an image.
        return std::rename(tmp.c_str(), path.c_str()) == 0;
    }

    bool DumpAll(bool committedOnly) {
        bool ok = true;
        for (int i = 0; i < sim_.Count(); ++i)
            if (!committedOnly || sim_.Ap(i).commits > 0) ok = Dump(i) && ok;
        return ok;
    }

    void PollControl() {
        std::vector<std::string> lines;
        pollfd fds[2] = {{stdin_.fd, POLLIN, 0}, {control_.fd, POLLIN, 0}};
        if (::poll(fds, 2, 0) > 0) {
            if (stdin_.fd >= 0 && (fds[0].revents & (POLLIN | POLLHUP)))
                if (!stdin_.Read(lines)) stdin_.fd = -1;  // end of stdin is not an exit
            if (control_.fd >= 0 && (fds[1].revents & POLLIN)) control_.Read(lines);
        }
        for (const auto& line : lines) Command(line);
    }

    void Reply(const std::string& text) {
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
    }

    void Command(const std::string& line) {
        std::istringstream in(line);
        std::vector<std::string> w;
        for (std::string word; in >> word;) w.push_back(word);
        if (w.empty()) return;
        const std::string& cmd = w[0];
        if (cmd == "check" || cmd == "logout") {
            if (w.size() < 3 || w.size() > 4) return Reply("error usage: " + cmd + " AP SESSION [MAC]");
            const int ap = sim_.ResolveAp(w[1]);
            uint64_t session = 0;
            if (ap < 0) return Reply("error no AP '" + w[1] + "'");
            if (!ParseNumber(w[2], 0xFFFF, session)) return Reply("error bad session '" + w[2] + "'");
            apsim::Mac dst{};
            if (w.size() == 4 && !apsim::ParseMac(w[3], dst)) return Reply("error bad MAC '" + w[3] + "'");
            std::string error;
            uint16_t seq = 0;
            const auto s = static_cast<uint16_t>(session);
            const apsim::Mac* to = w.size() == 4 ? &dst : nullptr;
            const bool ok = cmd == "check"
                                ? sim_.SendSessionCheck(ap, s, to, static_cast<uint64_t>(Now()), out_, error, seq)
                                : sim_.SendLogoutNotice(ap, s, to, static_cast<uint64_t>(Now()), out_, error, seq);
            Flush();
            return Reply(ok ? "ok " + cmd + " " + std::to_string(seq) : "error " + error);
        }
        if (cmd == "fault") {
            if (w.size() != 3 && !(w.size() == 2 && w[1] == "refuse-commit"))
                return Reply("error usage: fault NAME VALUE");
            std::string error;
            if (!apsim::SetFault(sim_.faults(), w[1], w.size() == 3 ? w[2] : "on", error))
                return Reply("error " + error);
            return Reply("ok fault");
        }
        if (cmd == "dump") {
            if (o_.dumpDir.empty()) return Reply("error no --dump-dir");
            return Reply(DumpAll(false) ? "ok dump" : "error cannot write the dumps");
        }
        if (cmd == "reset") {
            if (w.size() != 1) return Reply("error usage: reset");
            std::string error;
            return Reply(Reset(error) ? "ok reset" : "error " + error);
        }
        if (cmd == "quit") {
            quit_ = true;
            return Reply("ok quit");
        }
        Reply("error unknown command '" + cmd + "'");
    }

    Options o_;
    apsim::Simulator sim_;
    apsim::Output out_;
    std::unique_ptr<aputil::PacketDriver> driver_;
    std::FILE* log_ = nullptr;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::priority_queue<Delayed, std::vector<Delayed>, std::greater<>> delayed_;
    uint64_t order_ = 0;
    LineSource stdin_, control_;
    std::vector<uint8_t> stateText_;
    bool quit_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    Options o;
    const int rc = ParseOptions(argc, argv, o);
    if (rc) return rc < 0 ? 0 : rc;
    Runner runner(std::move(o));
    return runner.Run();
}
