#include "app/gui/instance_guard.h"

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

// A folder (not a link to one) of this user's that nobody else may write to:
// only then can no one else create, replace or hold the lock file in it.
bool IsPrivateFolder(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
           (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::string Variable(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

InstanceGuard::InstanceGuard(std::string path) : path_(path.empty() ? DefaultLockPath() : std::move(path)) {}

InstanceGuard::~InstanceGuard() { Release(); }

std::string InstanceGuard::PrivateFolder(const std::string& base) {
    const std::string folder = base + "/aputil-" + std::to_string(::geteuid());
    // A folder someone else made first under that name is never taken over.
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return {};
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        return {};
    }
    return folder;
}

std::string InstanceGuard::DefaultLockPath() {
    if (std::string chosen = Variable(kInstanceLockVariable); !chosen.empty()) return chosen;
    if (const std::string runtime = Variable("XDG_RUNTIME_DIR"); !runtime.empty() && IsPrivateFolder(runtime)) {
        return runtime + "/" + kLockName;
    }
    std::string base = Variable("TMPDIR");
    if (base.empty()) base = "/tmp";
    const std::string folder = PrivateFolder(base);
    return folder.empty() ? std::string() : folder + "/" + kLockName;
}

InstanceGuard::Result InstanceGuard::Acquire() {
    if (fd_ >= 0) return Result::Acquired;
    if (path_.empty()) return Result::Unavailable;
    // A planted link is not followed, so a run as root never creates or
    // opens a file somewhere else; what was opened must be this user's
    // plain file, or another user could hold the marker for everyone.
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) return Result::Unavailable;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        ::close(fd);
        return Result::Unavailable;
    }
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
