#pragma once
// A peer program run in the other network namespace of a wire test
// (`ip netns exec NS program args...`), with its standard input and output on
// pipes: the test reads its announcements line by line and writes commands.
// Header-only so that the wire benchmarks, which link no test library, can use
// it as well.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/netns_env.h"

namespace aputil::test {

// Starts `ip netns exec ns command...` with the given descriptors as its
// standard input, output and error (-1: inherited). The child's pid, or -1.
inline pid_t SpawnInNamespace(const std::string& ns, const std::vector<std::string>& command, int in, int out,
                              int err) {
    std::vector<std::string> args = {"ip", "netns", "exec", ns};
    args.insert(args.end(), command.begin(), command.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid != 0) return pid;
    // Pipe ends the parent keeps are close-on-exec, so only these three reach the peer.
    if (in >= 0) dup2(in, STDIN_FILENO);
    if (out >= 0) dup2(out, STDOUT_FILENO);
    if (err >= 0) dup2(err, STDERR_FILENO);
    execvp(argv[0], argv.data());
    _exit(127);
}

// Waits for pid to end, sending SIGTERM first when terminate is set and
// SIGKILL once graceMs have passed. Its exit status; -1 when it ended by a
// signal or had to be killed.
inline int AwaitExit(pid_t pid, bool terminate, int graceMs) {
    if (pid <= 0) return -1;
    if (terminate) kill(pid, SIGTERM);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
    pid_t done;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(5000);
    }
    if (done < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class PeerProcess {
public:
    PeerProcess() = default;
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;
    ~PeerProcess() { Stop(); }

    // Starts `program args...` inside namespace ns. False when it cannot be started.
    bool Start(const std::string& ns, const std::vector<std::string>& command) {
        Stop();
        signal(SIGPIPE, SIG_IGN);  // a peer that died must fail the test, not kill it
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0) return false;
        if (pipe2(out, O_CLOEXEC) != 0) {
            close(in[0]);
            close(in[1]);
            return false;
        }
        pid_ = SpawnInNamespace(ns, command, in[0], out[1], -1);
        close(in[0]);
        close(out[1]);
        toPeer_ = in[1];
        fromPeer_ = out[0];
        if (pid_ < 0) {
            Stop();
            return false;
        }
        return true;
    }

    bool Running() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }

    // The next line of output (without its newline); false when none came within timeoutMs.
    bool ReadLine(std::string& line, int timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const size_t end = buffered_.find('\n');
            if (end != std::string::npos) {
                line = buffered_.substr(0, end);
                buffered_.erase(0, end + 1);
                return true;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                    .count();
            if (left <= 0 || fromPeer_ < 0) return false;
            pollfd p{fromPeer_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char chunk[4096];
            const ssize_t n = read(fromPeer_, chunk, sizeof chunk);
            if (n <= 0) {
                // The peer closed its output: nothing more will come.
                close(fromPeer_);
                fromPeer_ = -1;
                continue;
            }
            buffered_.append(chunk, static_cast<size_t>(n));
        }
    }

    // Reads lines until one starts with prefix; false on time-out.
    bool WaitFor(const std::string& prefix, std::string& line, int timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                    .count();
            if (left <= 0 || !ReadLine(line, static_cast<int>(left))) return false;
            if (line.compare(0, prefix.size(), prefix) == 0) return true;
        }
    }

    bool Send(const std::string& text) {
        if (toPeer_ < 0) return false;
        return write(toPeer_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }

    // Ends the peer (SIGTERM, then SIGKILL when it lingers past graceMs) and
    // reaps it. Its exit status; -1 when it was not running, ended by a
    // signal or had to be killed.
    int Stop(int graceMs = 10000) {
        // Its input ends first, for a peer that stops at the end of its input;
        // its output stays open until it is gone, so that its last words do
        // not meet a closed pipe.
        if (toPeer_ >= 0) close(toPeer_);
        toPeer_ = -1;
        const int status = AwaitExit(pid_, true, graceMs);
        pid_ = -1;
        if (fromPeer_ >= 0) close(fromPeer_);
        fromPeer_ = -1;
        buffered_.clear();
        return status;
    }

private:
    pid_t pid_ = -1;
    int toPeer_ = -1;
    int fromPeer_ = -1;
    std::string buffered_;
};

}  // namespace aputil::test
