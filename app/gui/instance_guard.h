#pragma once
// The single-instance marker "UTIL": an exclusive lock on a file that the
// system releases when the holding process ends, however it ends. The lock is
// per machine (a file lock crosses network namespaces, unlike an abstract
// socket name), so one copy of the utility runs at a time.

#include <string>

namespace aputil {

// Environment variable naming another lock file (tests run side by side).
inline constexpr const char* kInstanceLockVariable = "APUTIL_INSTANCE_LOCK";

class InstanceGuard {
public:
    // path: the lock file; empty means DefaultLockPath().
    explicit InstanceGuard(std::string path = {});
    ~InstanceGuard();
    InstanceGuard(const InstanceGuard&) = delete;
    InstanceGuard& operator=(const InstanceGuard&) = delete;

    enum class Result {
        Acquired,     // this process now holds "UTIL"
        HeldByOther,  // another copy holds it
        Unavailable,  // no lock file could be opened: nothing to check against
    };
    // Tries once, without waiting. Holding it already counts as Acquired.
    Result Acquire();
    // Lets the marker go before the process ends.
    void Release();
    [[nodiscard]] bool Held() const { return fd_ >= 0; }
    [[nodiscard]] const std::string& Path() const { return path_; }

    // $APUTIL_INSTANCE_LOCK when set, else "aputil-UTIL.lock" in /run/lock, or
    // in the temporary folder when /run/lock is missing.
    static std::string DefaultLockPath();

private:
    std::string path_;
    int fd_ = -1;
};

}  // namespace aputil
