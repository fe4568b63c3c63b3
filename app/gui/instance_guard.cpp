#include "instance_guard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

namespace aputil {

namespace {

constexpr const char* kLockName = "aputil-UTIL.lock";

bool IsWritableFolder(const char* path) {
    struct stat info {};
    return ::stat(path, &info) == 0 && S_ISDIR(info.st_mode) && ::access(path, W_OK) == 0;
}

}  // namespace

InstanceGuard::InstanceGuard(std::string path) : path_(path.empty() ? DefaultLockPath() : std::move(path)) {}

InstanceGuard::~InstanceGuard() { Release(); }

std::string InstanceGuard::DefaultLockPath() {
    if (const char* chosen = std::getenv(kInstanceLockVariable); chosen != nullptr && *chosen != '\0') {
        return chosen;
    }
    if (IsWritableFolder("/run/lock")) return std::string("/run/lock/") + kLockName;
    const char* tmp = std::getenv("TMPDIR");
    if (tmp == nullptr || *tmp == '\0' || !IsWritableFolder(tmp)) tmp = "/tmp";
    return std::string(tmp) + "/" + kLockName;
}

InstanceGuard::Result InstanceGuard::Acquire() {
    if (fd_ >= 0) return Result::Acquired;
    // Read access is all flock needs, so a file left by another user still
    // works; 0644 keeps it from being replaced by others.
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return Result::Unavailable;
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const bool busy = errno == EWOULDBLOCK;
        ::close(fd);
        return busy ? Result::HeldByOther : Result::Unavailable;
    }
    fd_ = fd;
    return Result::Acquired;
}

void InstanceGuard::Release() {
    if (fd_ < 0) return;
    ::close(fd_);  // closing the only descriptor drops the lock
    fd_ = -1;
}

}  // namespace aputil
