#include "transport/link_driver.h"

#include <fcntl.h>
#include <linux/filter.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "protocol/ether.h"

namespace aputil {

using namespace link;

namespace {

// How long a request waits for its answer; the helper answers at once, so
// this only bounds a hung one.
constexpr int kReplyWaitMs = 5000;
// Frames that arrived while a request waited, kept for the next Drain.
constexpr size_t kPendingFrames = 256;
// Messages read per Drain, so that a flood cannot hold the caller.
constexpr int kDrainBatch = 64;

std::string ProgramFolder() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    std::string program(path, static_cast<size_t>(n));
    const size_t slash = program.rfind('/');
    return slash == std::string::npos ? std::string{} : program.substr(0, slash);
}

bool Executable(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

std::string FindLinkHelper() {
    const std::string folder = ProgramFolder();
    if (folder.empty()) return {};
    for (const char* relative : {"/../libexec/aputil/aputil-link", "/aputil-link", "/../../tools/link/aputil-link",
                                 "/../../libexec/aputil/aputil-link"}) {
        const std::string candidate = folder + relative;
        if (Executable(candidate)) return candidate;
    }
    return {};
}

struct LinkDriver::Pending {
    struct Entry {
        uint8_t slot;
        uint16_t length;
        uint8_t bytes[kMaxFrame];
    };
    Entry entries[kPendingFrames];
    size_t head = 0;
    size_t count = 0;
};

LinkDriver::LinkDriver(const std::string& helperPath) : path_(helperPath), pending_(std::make_unique<Pending>()) {
    int pair[2];
    if (helperPath.empty() || socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return;
    const int devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
    // Everything the child needs is made before the fork: after it, only
    // async-signal-safe calls.
    char* const argv[] = {const_cast<char*>("aputil-link"), nullptr};
    char* const envp[] = {nullptr};
    const char* path = path_.c_str();
    const pid_t child = fork();
    if (child == 0) {
        int socketFd = pair[1];
        if (socketFd != kSocketFd) {
            if (dup2(socketFd, kSocketFd) != kSocketFd) _exit(127);
        } else {
            fcntl(kSocketFd, F_SETFD, 0);
        }
        if (devnull >= 0) {
            dup2(devnull, 0);
            dup2(devnull, 1);
        }
        // Nothing of this process but the socket and the standard descriptors goes with it.
        if (syscall(SYS_close_range, kSocketFd + 1, ~0U, 0) != 0) {
            for (int fd = kSocketFd + 1; fd < 65536; ++fd) close(fd);
        }
        execve(path, argv, envp);
        _exit(127);
    }
    close(pair[1]);
    if (devnull >= 0) close(devnull);
    if (child < 0) {
        close(pair[0]);
        return;
    }
    child_ = child;
    fd_ = pair[0];
}

LinkDriver::~LinkDriver() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    if (child_ <= 0) return;
    // The helper exits when its socket closes; one that hangs is ended.
    for (int i = 0; i < 1000; ++i) {
        if (waitpid(child_, nullptr, WNOHANG) == child_) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(child_, SIGKILL);
    waitpid(child_, nullptr, 0);
}

void LinkDriver::Lost() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    for (Channel& channel : channels_) channel.open = false;
    pending_->count = 0;
}

int LinkDriver::ReadOne(size_t& length) {
    if (fd_ < 0) return -1;
    for (;;) {
        const ssize_t got = recv(fd_, in_, sizeof in_, MSG_DONTWAIT | MSG_TRUNC);
        if (got > 0) {
            // A message longer than any the helper writes is not one of them.
            length = static_cast<size_t>(got) < sizeof in_ ? static_cast<size_t>(got) : 0;
            return 1;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
        Lost();
        return -1;
    }
}

void LinkDriver::Keep(const Message& frame) {
    if (!channels_[frame.slot].open) return;
    Pending& p = *pending_;
    if (p.count == kPendingFrames) {
        p.head = (p.head + 1) % kPendingFrames;
        --p.count;
    }
    Pending::Entry& e = p.entries[(p.head + p.count) % kPendingFrames];
    e.slot = frame.slot;
    e.length = static_cast<uint16_t>(frame.frame.size());
    std::memcpy(e.bytes, frame.frame.data(), frame.frame.size());
    ++p.count;
}

bool LinkDriver::Exchange(const uint8_t* request, size_t length, Kind expected, Message& reply) {
    return SendRequest(request, length) && Await(request[0], expected, reply);
}

bool LinkDriver::SendRequest(const uint8_t* request, size_t length) {
    if (fd_ < 0) return false;
    if (send(fd_, request, length, MSG_NOSIGNAL) != static_cast<ssize_t>(length)) {
        Lost();
        return false;
    }
    return true;
}

bool LinkDriver::Await(uint8_t asked, Kind expected, Message& reply) {
    if (fd_ < 0) return false;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kReplyWaitMs);
    for (;;) {
        size_t got = 0;
        const int rc = ReadOne(got);
        if (rc < 0) return false;
        if (rc == 0) {
            const int left = MillisecondsLeft(deadline);
            if (left == 0) {
                // A helper that stops answering is of no more use.
                Lost();
                return false;
            }
            pollfd entry{fd_, POLLIN, 0};
            if (poll(&entry, 1, left) < 0 && errno != EINTR) {
                Lost();
                return false;
            }
            continue;
        }
        Message message;
        if (got == 0 || !ParseMessage(std::span<const uint8_t>(in_, got), message)) continue;
        if (message.kind == FRAME) {
            Keep(message);
            continue;
        }
        // A refusal names the kind it refused; one of an earlier raw request is not this one's.
        if (message.kind == REFUSED && message.result == asked) return false;
        if (message.kind == expected) {
            reply = message;
            return true;
        }
    }
}

bool LinkDriver::ListInterfaces(std::string* names, int capacity, int& count) {
    count = 0;
    const uint8_t request[1] = {LIST};
    Message reply;
    if (!Exchange(request, sizeof request, LIST_REPLY, reply)) return false;
    privilegeRefused_ = (reply.result & LIST_NO_PRIVILEGE) != 0;
    listCount_ = ListEntries(reply, listNames_, listMacs_, kMaxChannels);
    count = listCount_;
    for (int i = 0; i < listCount_ && i < capacity; ++i) names[i] = listNames_[i];
    return true;
}

bool LinkDriver::LinkType(const std::string& name, int& arpType) {
    uint8_t mac[6];
    if (!HardwareAddress(name, mac)) return false;
    arpType = kArpHrdEther;
    return true;
}

bool LinkDriver::HardwareAddress(const std::string& name, uint8_t* mac) {
    for (const Channel& channel : channels_) {
        if (channel.open && channel.name == name) {
            CopyMac(mac, channel.mac);
            return true;
        }
    }
    for (int i = 0; i < listCount_; ++i) {
        if (listNames_[i] == name) {
            CopyMac(mac, listMacs_[i]);
            return true;
        }
    }
    return false;
}

bool LinkDriver::OpenChannel(int channel, const std::string& name, OpenError& error) {
    error = OpenError::Other;
    if (channel < 0 || channel >= kMaxChannels) return false;
    // Frames of an earlier open of this slot that are still on their way are dropped from here on.
    channels_[channel].open = false;
    uint8_t request[3 + kMaxNameLength];
    const size_t length = WriteOpen(request, static_cast<uint8_t>(channel), name);
    if (length == 0) {
        error = OpenError::NoSuchDevice;
        return false;
    }
    Message reply;
    return Exchange(request, length, OPEN_REPLY, reply) && Opened(channel, name, reply, error);
}

void LinkDriver::OpenChannels(int count, const int* channels, const std::string* names, bool* opened,
                              OpenError* errors) {
    uint8_t slots[kMaxChannels];
    std::string asked[kMaxChannels];
    int index[kMaxChannels];
    int n = 0;
    for (int i = 0; i < count; ++i) {
        opened[i] = false;
        errors[i] = OpenError::Other;
        const int channel = channels[i];
        if (channel < 0 || channel >= kMaxChannels || n == kMaxChannels) continue;
        // Frames of an earlier open of this slot that are still on their way are dropped from here on.
        channels_[channel].open = false;
        if (!ValidName(names[i])) {
            errors[i] = OpenError::NoSuchDevice;
            continue;
        }
        slots[n] = static_cast<uint8_t>(channel);
        asked[n] = names[i];
        index[n] = i;
        ++n;
    }
    if (n == 0) return;
    uint8_t request[kMaxMessage];
    const size_t length = WriteOpens(request, slots, asked, n);
    // A slot given twice: the writer refuses the batch, and one at a time is still right.
    if (length == 0) {
        for (int k = 0; k < n; ++k) opened[index[k]] = OpenChannel(slots[k], asked[k], errors[index[k]]);
        return;
    }
    if (!SendRequest(request, length)) return;
    for (int k = 0; k < n; ++k) {
        Message reply;
        if (!Await(OPENS, OPEN_REPLY, reply)) return;
        opened[index[k]] = Opened(slots[k], asked[k], reply, errors[index[k]]);
    }
}

bool LinkDriver::Opened(int channel, const std::string& name, const Message& reply, OpenError& error) {
    error = OpenError::Other;
    if (reply.slot != channel) return false;
    switch (reply.result) {
    case OPEN_OK:
        break;
    case OPEN_NO_PRIVILEGE:
        privilegeRefused_ = true;
        error = OpenError::NoPrivilege;
        return false;
    case OPEN_NO_DEVICE:
        error = OpenError::NoSuchDevice;
        return false;
    default:
        return false;
    }
    Channel& c = channels_[channel];
    c.open = true;
    c.name = name;
    CopyMac(c.mac, reply.mac);
    error = OpenError::None;
    return true;
}

void LinkDriver::CloseChannel(int channel) {
    if (channel < 0 || channel >= kMaxChannels || !channels_[channel].open) return;
    channels_[channel].open = false;
    // Waiting for the answer means no frame of this open is still on its way.
    const uint8_t request[2] = {CLOSE, static_cast<uint8_t>(channel)};
    Message reply;
    Exchange(request, sizeof request, CLOSE_REPLY, reply);
}

bool LinkDriver::SetChannelFilter(int channel, const sock_filter* program, size_t instructions) {
    return channel >= 0 && channel < kMaxChannels && channels_[channel].open && program != nullptr && instructions > 0;
}

bool LinkDriver::PollBriefly(int us) {
    if (pending_->count > 0) return true;
    return fd_ >= 0 && SpinForReadable(fd_, us);
}

bool LinkDriver::Poll(int ms) {
    if (pending_->count > 0) return true;
    if (fd_ < 0) return false;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms > 0 ? ms : 0);
    for (;;) {
        pollfd entry{fd_, POLLIN, 0};
        const int rc = poll(&entry, 1, MillisecondsLeft(deadline));
        if (rc < 0 && errno == EINTR) continue;
        if (rc > 0 && (entry.revents & POLLIN) != 0) return true;
        if (rc == 0) return false;
        // The helper is gone: nothing will arrive, and callers must not spin.
        Lost();
        Pause(MillisecondsLeft(deadline));
        return false;
    }
}

int LinkDriver::Drain(void (*sink)(void* context, const uint8_t* frame, size_t length), void* context) {
    if (sink == nullptr) return 0;
    struct Tag {
        void (*sink)(void*, const uint8_t*, size_t);
        void* context;
    } tag{sink, context};
    return DrainTagged(
        0,
        [](void* c, int, const uint8_t* frame, size_t length) {
            auto* t = static_cast<Tag*>(c);
            t->sink(t->context, frame, length);
        },
        &tag);
}

int LinkDriver::DrainTagged(int only, ChannelSink sink, void* context) {
    if (sink == nullptr) return 0;
    int delivered = 0;
    auto wanted = [&](int slot) { return channels_[slot].open && (only < 0 || slot == only); };
    Pending& p = *pending_;
    while (p.count > 0) {
        const Pending::Entry& e = p.entries[p.head];
        p.head = (p.head + 1) % kPendingFrames;
        --p.count;
        if (!wanted(e.slot)) continue;
        sink(context, e.slot, e.bytes, e.length);
        ++delivered;
    }
    for (int i = 0; i < kDrainBatch; ++i) {
        size_t got = 0;
        if (ReadOne(got) <= 0) break;
        Message message;
        if (got == 0 || !ParseMessage(std::span<const uint8_t>(in_, got), message) || message.kind != FRAME) continue;
        if (!wanted(message.slot)) continue;
        sink(context, message.slot, message.frame.data(), message.frame.size());
        ++delivered;
    }
    return delivered;
}

bool LinkDriver::SendOn(int channel, const uint8_t* frame, size_t length) {
    if (fd_ < 0 || channel < 0 || channel >= kMaxChannels || !channels_[channel].open || frame == nullptr ||
        length < kMinFrame || length > kMaxFrame)
        return false;
    uint8_t header[2] = {SEND, static_cast<uint8_t>(channel)};
    iovec parts[2] = {{header, sizeof header}, {const_cast<uint8_t*>(frame), length}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    for (;;) {
        const ssize_t sent = sendmsg(fd_, &message, MSG_NOSIGNAL);
        if (sent == static_cast<ssize_t>(sizeof header + length)) return true;
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && errno != ENOBUFS) Lost();
        return false;
    }
}

bool LinkDriver::LinkUp(const std::string& name) {
    uint8_t request[2 + kMaxNameLength];
    const size_t length = WriteLink(request, name);
    Message reply;
    if (length == 0 || !Exchange(request, length, LINK_REPLY, reply)) return true;
    return reply.result != LINK_DOWN;
}

bool LinkDriver::Status(uint32_t& dropped, uint32_t& refused, uint32_t& malformed) {
    const uint8_t request[1] = {STATUS};
    Message reply;
    if (!Exchange(request, sizeof request, STATUS_REPLY, reply)) return false;
    dropped = reply.counters[0];
    refused = reply.counters[1];
    malformed = reply.counters[2];
    return true;
}

bool LinkDriver::SendRaw(const uint8_t* bytes, size_t length) {
    return fd_ >= 0 && send(fd_, bytes, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length);
}

std::unique_ptr<PacketDriver> MakeLinkDriver(const std::string& helperPath) {
    auto driver = std::make_unique<LinkDriver>(helperPath);
    uint32_t dropped = 0, refused = 0, malformed = 0;
    // A helper that cannot run (not executable by this user, wrong file) answers nothing.
    if (!driver->Started() || !driver->Status(dropped, refused, malformed)) return nullptr;
    return driver;
}

}  // namespace aputil
