#pragma once
// Runs the apsim program in the peer namespace for a test in namespace A, talks
// to it over its stdin/stdout and reads its JSON-lines log.

#include <sys/types.h>

#include <string>
#include <vector>

#include "tools/apsim/apsim_core.h"

namespace apsim_test {

// The namespace test environment (tests/netns/with-netns); empty why when present.
struct WireEnv {
    std::string nsB, apsim, iface, peerIface;
    std::string why;  // set when something is missing
    static WireEnv FromEnvironment();
};

class ApsimProcess {
public:
    ApsimProcess();  // makes a private temporary folder
    ~ApsimProcess();
    ApsimProcess(const ApsimProcess&) = delete;
    ApsimProcess& operator=(const ApsimProcess&) = delete;

    const std::string& dir() const { return dir_; }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    void WriteFile(const std::string& name, const std::string& bytes) const;

    // Starts apsim with --iface and --log in this folder plus args; true once it
    // printed "ready". On failure, error holds what it printed.
    bool Start(const WireEnv& env, const std::vector<std::string>& args, std::string& error);
    // Runs apsim with args and returns its exit status, with its stderr in output.
    static int RunToEnd(const WireEnv& env, const std::vector<std::string>& args, std::string& output);

    // The simulated APs as printed on start.
    struct Ap {
        int index = 0;
        apsim::Mac mac{};
        std::string name;
    };
    const std::vector<Ap>& aps() const { return aps_; }

    // Sends one control line and returns the answer line ("" on time-out).
    std::string Command(const std::string& line, int timeoutMs = 5000);
    // The next line apsim prints ("" on time-out), e.g. the answer to a command sent through its FIFO.
    std::string NextLine(int timeoutMs = 5000) { return ReadLine(timeoutMs); }
    // SIGTERM, then waits; the exit status, or -1 when it had to be killed.
    int Stop();

    std::vector<std::string> Log() const;
    // Waits until a log line contains every one of the fragments; returns it ("" on time-out).
    std::string WaitForLog(const std::vector<std::string>& fragments, int timeoutMs = 5000) const;

private:
    std::string ReadLine(int timeoutMs);

    std::string dir_;
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    std::string buffer_;
    std::vector<Ap> aps_;
};

// The raw value of "key" in one JSON log line (strings without quotes, unescaped
// only for \" and \\); "" when absent.
std::string JsonField(const std::string& line, const std::string& key);

}  // namespace apsim_test
