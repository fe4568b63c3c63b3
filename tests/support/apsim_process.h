#pragma once
// Runs the AP simulator in the peer namespace for a test in namespace A
// (tests/netns/with-netns): starts it with its log and dump folder in a
// private temporary folder, waits for "ready" and learns the simulated APs,
// talks to it over its control stdin, reads its JSON-lines log and its dumps
// of committed images, and stops it.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/peer_process.h"
#include "tools/apsim/apsim_core.h"

namespace aputil::test {

// The namespace test environment; `why` is empty when everything the
// simulator needs is there.
struct WireEnv {
    std::string nsB, apsim, iface, peerIface;
    std::string why;  // what is missing
    static WireEnv FromEnvironment();
};

// One line of the simulator's log; flat JSON, so fields are found by name.
class LogLine {
public:
    explicit LogLine(std::string raw) : raw_(std::move(raw)) {}
    const std::string& raw() const { return raw_; }
    bool Has(std::string_view key) const;
    std::string Text(std::string_view key) const;               // "" when absent or not a string
    std::optional<int64_t> Number(std::string_view key) const;  // absent or not a number: empty
    // The event, and when given (not -1) the message type and block op.
    bool Is(std::string_view event, int type = -1, int op = -1) const;

private:
    std::string raw_;
};

class Apsim {
public:
    Apsim();   // makes the private temporary folder
    ~Apsim();  // stops the simulator and removes the folder
    Apsim(const Apsim&) = delete;
    Apsim& operator=(const Apsim&) = delete;

    // The folder: log, dumps, and any files a test puts there for the simulator.
    const std::string& directory() const { return dir_; }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    std::string LogPath() const { return Path("log.jsonl"); }
    std::string DumpDir() const { return Path("dumps"); }
    // Replaces the folder by a new empty one, so that a restart leaves no log
    // or dump of the run before. Only while stopped.
    bool FreshDirectory(std::string& error);
    [[nodiscard]] bool WriteFile(const std::string& name, std::span<const uint8_t> bytes) const;
    [[nodiscard]] bool WriteFile(const std::string& name, std::string_view text) const;

    // Starts the simulator on the peer interface with --log and --dump-dir in
    // the folder, then options; true once it printed "ready". On failure it is
    // stopped and error says why.
    bool Start(const std::vector<std::string>& options, std::string& error);
    // Start with a state file holding state written first (none when empty).
    bool Start(std::vector<std::string> options, const std::string& state, std::string& error);
    // Runs the simulator with exactly args (no --iface, log or dumps) to its
    // end; its exit status (-1: could not run, or ended by a signal), with its
    // standard error in output.
    static int RunToEnd(const std::vector<std::string>& args, std::string& output);

    // The simulated APs as printed on start (none with --quiet), in index order.
    struct Ap {
        int index = 0;
        apsim::Mac mac{};
        std::string name;
    };
    const std::vector<Ap>& aps() const { return aps_; }

    // Sends one control line and returns the answer line ("ok ..." or
    // "error ..."); "" when it is not running or nothing came in time.
    std::string Command(const std::string& line, int timeoutMs = 5000);
    // The next line it prints ("" on time-out), e.g. the answer to a command
    // that went through its FIFO.
    std::string NextLine(int timeoutMs = 5000);
    // SIGTERM, then waits; its exit status, or -1 when it had to be killed or
    // was not running. The folder stays for the test to read.
    int Stop();

    // The complete lines of the log so far (a line still being written is left out).
    std::vector<LogLine> ReadLog() const;
    // Waits until a log line contains every one of the fragments; empty on time-out.
    std::optional<LogLine> WaitForLog(const std::vector<std::string>& fragments, int timeoutMs = 5000) const;
    // A committed image in the dump folder (the only one when one AP is simulated).
    std::optional<std::vector<uint8_t>> ReadDump() const;

private:
    bool MakeDirectory(std::string& error);
    void RemoveDirectory();

    std::string dir_;
    PeerProcess process_;
    std::vector<Ap> aps_;
};

}  // namespace aputil::test
