#pragma once
// Runs the AP simulator in the peer namespace for one test: starts it, waits
// for "ready", talks to it over its control stdin, reads its JSON-lines log and
// its dumps of committed images, and stops it.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

namespace aputil::imagetest {

// One line of the simulator's log; flat JSON, so fields are found by name.
class LogLine {
public:
    explicit LogLine(std::string raw) : raw_(std::move(raw)) {}
    const std::string& raw() const { return raw_; }
    bool Has(std::string_view key) const;
    std::string Text(std::string_view key) const;             // "" when absent
    std::optional<int64_t> Number(std::string_view key) const;  // absent or not a number: empty
    bool Is(std::string_view event, int type = -1, int op = -1) const;

private:
    std::string raw_;
};

class Apsim {
public:
    Apsim() = default;
    ~Apsim();
    Apsim(const Apsim&) = delete;
    Apsim& operator=(const Apsim&) = delete;

    // Makes the temporary directory (log, dumps, and any files a test puts
    // there for the simulator); Start makes it when it does not exist yet.
    bool MakeDirectory(std::string& error);
    // Starts the simulator on the peer interface with its log and dump folder
    // in that directory; false (with a reason) when it does not come up ready
    // within a few seconds.
    bool Start(const std::vector<std::string>& options, std::string& error);
    // Sends one control command and returns its answer line ("ok ..." or "error ...").
    std::string Command(const std::string& line);
    void Stop();

    const std::string& directory() const { return dir_; }
    std::string LogPath() const { return dir_ + "/log.jsonl"; }
    std::string DumpDir() const { return dir_ + "/dumps"; }
    // MAC addresses of the simulated APs, in index order.
    const std::vector<std::array<uint8_t, 6>>& macs() const { return macs_; }

    std::vector<LogLine> ReadLog() const;
    // The single committed image in the dump folder, if there is one.
    std::optional<std::vector<uint8_t>> ReadDump() const;

private:
    bool ReadLine(std::string& line, int timeoutMs);

    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
    std::string pending_;
    std::string dir_;
    std::vector<std::array<uint8_t, 6>> macs_;
};

// Writes bytes to a file; false on any error.
bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
bool WriteFile(const std::string& path, std::string_view text);

}  // namespace aputil::imagetest
