#pragma once
// A peer program run in the other network namespace of a wire test
// (`ip netns exec NS program args...`), with its standard input and output on
// pipes: the test reads its announcements line by line and writes commands.
// Header-only so that the wire benchmarks can use it as well.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace aputil::wire {

class PeerProcess {
public:
    PeerProcess() = default;
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;
    ~PeerProcess() { Stop(); }

    // Starts `program args...` inside namespace ns. False when it cannot be started.
    bool Start(const std::string& ns, const std::vector<std::string>& command) {
        signal(SIGPIPE, SIG_IGN);  // a peer that exits early must not end the test
        int in[2], out[2];
        if (pipe(in) != 0) return false;
        if (pipe(out) != 0) {
            close(in[0]);
            close(in[1]);
            return false;
        }
        std::vector<std::string> args = {"ip", "netns", "exec", ns};
        args.insert(args.end(), command.begin(), command.end());
        pid_ = fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            close(in[0]);
            close(in[1]);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        toPeer_ = in[1];
        fromPeer_ = out[0];
        return true;
    }

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
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0 || fromPeer_ < 0) return false;
            pollfd p{fromPeer_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char chunk[512];
            const ssize_t n = read(fromPeer_, chunk, sizeof chunk);
            if (n <= 0) return false;
            buffered_.append(chunk, static_cast<size_t>(n));
        }
    }

    // Reads lines until one starts with prefix; false on time-out.
    bool WaitFor(const std::string& prefix, std::string& line, int timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0 || !ReadLine(line, static_cast<int>(left))) return false;
            if (line.compare(0, prefix.size(), prefix) == 0) return true;
        }
    }

    bool Send(const std::string& text) {
        if (toPeer_ < 0) return false;
        return write(toPeer_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }

    // Ends the peer (SIGTERM, then SIGKILL if it lingers) and reaps it.
    void Stop() {
        if (toPeer_ >= 0) close(toPeer_);
        if (fromPeer_ >= 0) close(fromPeer_);
        toPeer_ = fromPeer_ = -1;
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 200; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            usleep(10000);
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int toPeer_ = -1;
    int fromPeer_ = -1;
    std::string buffered_;
};

// An environment variable, or empty.
inline std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

}  // namespace aputil::wire
