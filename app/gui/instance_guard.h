#pragma once
// The single-instance marker "UTIL": an exclusive lock on a file that the
// system releases when the holding process ends, however it ends. The marker
// is per user, as the named event it stands for is per session: the file lies
// in a folder only that user can write to, so nobody else can hold it or
// plant a link in its place.

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
        Unavailable,  // no lock file of this user's could be opened (none
                      // there, a link, another owner, not a plain file):
                      // nothing to check against
    };
    // Tries once, without waiting. Holding it already counts as Acquired.
    Result Acquire();
    // Lets the marker go before the process ends.
    void Release();
    [[nodiscard]] bool Held() const { return fd_ >= 0; }
    [[nodiscard]] const std::string& Path() const { return path_; }

    // $APUTIL_INSTANCE_LOCK when set; else "aputil-UTIL.lock" in
    // $XDG_RUNTIME_DIR when that is a folder of this user's that nobody else
    // can write to; else in "aputil-<uid>" under $TMPDIR (or /tmp), created
    // with mode 0700. Empty when that folder exists but is not such a folder.
    static std::string DefaultLockPath();
    // The folder of the last choice alone, made when missing and checked:
    // empty when it is a link, not a folder, another user's, or open to others.
    static std::string PrivateFolder(const std::string& base);

private:
    std::string path_;
    int fd_ = -1;
};

}  // namespace aputil
