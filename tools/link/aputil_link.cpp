// aputil-link: the packet helper, the one program of the project that holds
// CAP_NET_RAW. Its client starts it as a child with its end of a
// SOCK_SEQPACKET socket on descriptor 3 and an empty environment; it answers
// the fixed set of requests of transport/link_wire.h and relays frames both
// ways. Whatever it is asked, it sends only EtherType 0xAAAA frames of
// 15..1514 bytes from the interface's own address, hands on no frame from a
// group address, never lets the queue toward its client grow without bound,
// and exits when the client goes away.

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include "transport/adapter.h"
#include "transport/link_wire.h"

namespace {

using namespace aputil;
using namespace aputil::link;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "aputil-link: %s\n", what);
    std::_Exit(2);
}

// Keeps CAP_NET_RAW (when it was given) and nothing else, in every set; the
// bounding set can only be narrowed by a caller that holds CAP_SETPCAP (root).
void KeepOnlyNetRaw() {
    for (int cap = 0; cap <= 63; ++cap) {
        if (cap == CAP_NET_RAW) continue;
        if (prctl(PR_CAPBSET_READ, cap, 0, 0, 0) != 1) continue;
        prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);  // EPERM without CAP_SETPCAP: the other sets are emptied below
    }
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0) Fail("cannot read its capabilities");
    const uint32_t raw = 1u << CAP_NET_RAW;
    const bool permitted = (data[0].permitted & raw) != 0;
    std::memset(data, 0, sizeof data);
    if (permitted) data[0].permitted = data[0].effective = raw;
    if (syscall(SYS_capset, &header, data) != 0) Fail("cannot drop its capabilities");
}

void Harden() {
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) Fail("cannot set no_new_privs");
    // No core dump or ptrace by the unprivileged user of what it read off the wire.
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    KeepOnlyNetRaw();
    // The parent-death signal does not survive an exec with file capabilities: set it here.
    prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    if (getppid() == 1) std::_Exit(0);
    clearenv();
    int type = 0;
    socklen_t length = sizeof type;
    if (getsockopt(kSocketFd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_SEQPACKET)
        Fail("descriptor 3 is not its client's socket (it is started by aputil, not by hand)");
    // Nothing else of whoever started it stays open.
    for (int fd = kSocketFd + 1; fd < 1024; ++fd) close(fd);
    const int devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (devnull >= 0) {
        dup2(devnull, 0);
        dup2(devnull, 1);  // the adapter's trace lines go nowhere
        if (devnull > 2) close(devnull);
    }
    fcntl(kSocketFd, F_SETFD, FD_CLOEXEC);
    signal(SIGPIPE, SIG_IGN);
    // A modest socket buffer: the bounded queue below, not the kernel, is
    // where a lagging client's frames wait (and the oldest are dropped, counted).
    const int buffer = 256 << 10;
    setsockopt(kSocketFd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
}

// Frames waiting for the client, oldest first; when full the oldest goes.
class Queue {
public:
    static constexpr size_t kFrames = 2048;

    void Push(uint8_t slot, std::span<const uint8_t> frame) {
        if (count_ == kFrames) {
            head_ = (head_ + 1) % kFrames;
            --count_;
            ++dropped;
        }
        Entry& e = entries_[(head_ + count_) % kFrames];
        e.bytes[0] = FRAME;
        e.bytes[1] = slot;
        std::memcpy(e.bytes + 2, frame.data(), frame.size());
        e.length = static_cast<uint16_t>(2 + frame.size());
        ++count_;
    }

    // Sends what the socket takes now; false when the client is gone.
    bool Flush(int fd) {
        while (count_ > 0) {
            Entry& e = entries_[head_];
            if (e.bytes[1] != kPurged) {
                const ssize_t sent = send(fd, e.bytes, e.length, MSG_DONTWAIT | MSG_NOSIGNAL);
                if (sent < 0) {
                    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ENOBUFS) return true;
                    return false;
                }
            }
            head_ = (head_ + 1) % kFrames;
            --count_;
        }
        return true;
    }

    // A closed channel's frames must not reach a later open of the same slot.
    void Purge(uint8_t slot) {
        for (size_t i = 0; i < count_; ++i) {
            Entry& e = entries_[(head_ + i) % kFrames];
            if (e.bytes[1] == slot) e.bytes[1] = kPurged;
        }
    }

    bool Empty() const { return count_ == 0; }
    uint32_t dropped = 0;

private:
    static constexpr uint8_t kPurged = 0xFF;
    static_assert(kPurged >= kMaxChannels);
    struct Entry {
        uint16_t length;
        uint8_t bytes[2 + kMaxFrame];
    };
    std::array<Entry, kFrames> entries_{};
    size_t head_ = 0;
    size_t count_ = 0;
};

class Server {
public:
    Server() : driver_(MakePcapDriver()), queue_(std::make_unique<Queue>()) {}

    int Run() {
        for (;;) {
            pollfd fds[1 + kMaxChannels];
            int slots[1 + kMaxChannels];
            nfds_t n = 0;
            fds[n++] = pollfd{kSocketFd, static_cast<short>(POLLIN | (queue_->Empty() ? 0 : POLLOUT)), 0};
            for (int slot = 0; slot < kMaxChannels; ++slot) {
                if (!channels_[slot].open || channels_[slot].broken) continue;
                const int fd = driver_->ChannelFd(slot);
                if (fd < 0) continue;
                slots[n] = slot;
                fds[n++] = pollfd{fd, POLLIN, 0};
            }
            // Right after a frame went out or came in, the other half of the
            // exchange is microseconds away: look for it without sleeping for
            // a moment, so that it costs no wake-up. Idle, the helper only sleeps.
            int rc = busy_ ? SpinPoll(fds, n) : 0;
            busy_ = false;
            if (rc == 0) rc = poll(fds, n, -1);
            if (rc < 0) {
                if (errno == EINTR) continue;
                return 1;
            }
            for (nfds_t i = 1; i < n; ++i) {
                const int slot = slots[i];
                if ((fds[i].revents & POLLIN) != 0) {
                    driver_->DrainChannel(slot, &Server::OnFrame, this);
                } else if ((fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                    // The interface went away: stop polling what will never be readable again.
                    channels_[slot].broken = true;
                }
            }
            if (!queue_->Flush(kSocketFd)) return 0;
            if ((fds[0].revents & POLLIN) != 0) {
                // A few requests per round, so that frames keep moving under a stream of sends.
                for (int k = 0; k < 16; ++k) {
                    const ssize_t got = recv(kSocketFd, in_, sizeof in_, MSG_DONTWAIT | MSG_TRUNC);
                    if (got == 0) return 0;  // the client closed its end
                    if (got < 0) {
                        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
                        return 0;
                    }
                    // MSG_TRUNC gives the whole length: an oversized request is refused, not cut.
                    const auto length = static_cast<size_t>(got);
                    if (!Handle(std::span<const uint8_t>(in_, length < sizeof in_ ? length : sizeof in_),
                                length >= sizeof in_))
                        return 0;
                }
            } else if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
                return 0;
            }
        }
    }

private:
    static constexpr int kSpinUs = 200;

    // poll(fds, n, 0) over kSpinUs, yielding the core in between; 0 when nothing came.
    static int SpinPoll(pollfd* fds, nfds_t n) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(kSpinUs);
        for (;;) {
            const int rc = poll(fds, n, 0);
            if (rc != 0) return rc;
            if (std::chrono::steady_clock::now() >= deadline) return 0;
            sched_yield();
        }
    }

    struct Channel {
        bool open = false;
        bool broken = false;
        uint8_t mac[6] = {};
    };

    static void OnFrame(void* context, int slot, const uint8_t* frame, size_t length) {
        auto* self = static_cast<Server*>(context);
        const std::span<const uint8_t> bytes(frame, length);
        if (slot < 0 || slot >= kMaxChannels || !FrameDeliverable(bytes)) return;
        self->queue_->Push(static_cast<uint8_t>(slot), bytes);
        self->busy_ = true;
    }

    // False when the client is gone.
    bool Reply(const uint8_t* bytes, size_t length) {
        if (!queue_->Flush(kSocketFd)) return false;
        for (;;) {
            if (send(kSocketFd, bytes, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length)) return true;
            if (errno != EINTR && errno != ENOBUFS) return false;
        }
    }

    bool Handle(std::span<const uint8_t> message, bool oversized) {
        Request request;
        if (oversized || !ParseRequest(message, request)) {
            ++malformed_;
            const uint8_t refused[2] = {REFUSED, message.empty() ? uint8_t{0} : message[0]};
            return Reply(refused, sizeof refused);
        }
        switch (request.kind) {
        case LIST:
            return List();
        case OPEN:
            return Open(request.slot, request.name);
        case OPENS:
            return OpenMany(request);
        case CLOSE: {
            Close(request.slot);
            const uint8_t reply[2] = {CLOSE_REPLY, request.slot};
            return Reply(reply, sizeof reply);
        }
        case SEND: {
            const Channel& channel = channels_[request.slot];
            if (!channel.open || !FrameAllowed(request.frame, channel.mac) ||
                !driver_->SendOn(request.slot, request.frame.data(), request.frame.size()))
                ++refused_;
            else busy_ = true;
            return true;
        }
        case LINK: {
            const std::string name(request.name);
            const uint8_t state = if_nametoindex(name.c_str()) == 0 ? LINK_UNKNOWN
                                  : driver_->LinkUp(name)           ? LINK_UP
                                                                    : LINK_DOWN;
            const uint8_t reply[2] = {LINK_REPLY, state};
            return Reply(reply, sizeof reply);
        }
        case STATUS: {
            uint8_t reply[16];
            const size_t length = WriteStatusReply(reply, queue_->dropped, refused_, malformed_);
            return Reply(reply, length);
        }
        default:
            return true;
        }
    }

    bool List() {
        // The very probing rules of the adapter object, on its own driver.
        theAdapter.ProbeAdapters();
        const uint8_t flags = theAdapter.NeedsPrivilege() ? LIST_NO_PRIVILEGE : 0;
        const size_t length =
            WriteListReply(out_, flags, theAdapter.usableName, theAdapter.usableAddress, theAdapter.usableCount);
        if (length == 0) {
            const uint8_t empty[3] = {LIST_REPLY, flags, 0};
            return Reply(empty, sizeof empty);
        }
        return Reply(out_, length);
    }

    bool Open(uint8_t slot, std::string_view nameView) {
        Close(slot);
        const std::string name(nameView);
        uint8_t reply[9] = {OPEN_REPLY, slot, OPEN_NO_DEVICE};
        // Only the interfaces the kernel lists, never a capture pseudo-device.
        if (if_nametoindex(name.c_str()) != 0) reply[2] = OpenChecked(slot, name);
        if (reply[2] == OPEN_OK) std::memcpy(reply + 3, channels_[slot].mac, 6);
        return Reply(reply, sizeof reply);
    }

    // Each open as Open makes it, the captures opened side by side; one
    // OPEN_REPLY per entry, in order.
    bool OpenMany(const Request& request) {
        uint8_t slots[kMaxChannels];
        std::string names[kMaxChannels];
        const int count = OpenEntries(request, slots, names, kMaxChannels);
        int channels[kMaxChannels];
        std::string known[kMaxChannels];
        int index[kMaxChannels];
        int n = 0;
        uint8_t results[kMaxChannels];
        for (int i = 0; i < count; ++i) {
            Close(slots[i]);
            results[i] = OPEN_NO_DEVICE;
            // Only the interfaces the kernel lists, never a capture pseudo-device.
            if (if_nametoindex(names[i].c_str()) == 0) continue;
            channels[n] = slots[i];
            known[n] = names[i];
            index[n] = i;
            ++n;
        }
        bool opened[kMaxChannels] = {};
        OpenError errors[kMaxChannels] = {};
        uint8_t macs[kMaxChannels][6] = {};
        bool refused[kMaxChannels] = {};
        struct Check {
            Server* self;
            const int* channels;
            const std::string* names;
            uint8_t (*macs)[6];
            bool* refused;
        } check{this, channels, known, macs, refused};
        // Each capture's checks and filter on the thread that opened it.
        driver_->OpenCheckedChannels(
            n, channels, known, opened, errors,
            [](void* context, int k) {
                auto* c = static_cast<Check*>(context);
                c->refused[k] = !c->self->Ready(static_cast<uint8_t>(c->channels[k]), c->names[k], c->macs[k]);
                return !c->refused[k];
            },
            &check);
        for (int k = 0; k < n; ++k) {
            const uint8_t slot = slots[index[k]];
            if (opened[k]) Use(slot, macs[k]);
            if (opened[k]) results[index[k]] = OPEN_OK;
            else if (refused[k]) results[index[k]] = OPEN_NOT_ETHERNET;
            else results[index[k]] = Checked(slot, known[k], false, errors[k]);
        }
        for (int i = 0; i < count; ++i) {
            uint8_t reply[9] = {OPEN_REPLY, slots[i], results[i]};
            if (results[i] == OPEN_OK) std::memcpy(reply + 3, channels_[slots[i]].mac, 6);
            if (!Reply(reply, sizeof reply)) return false;
        }
        return true;
    }

    uint8_t OpenChecked(uint8_t slot, const std::string& name) {
        OpenError error = OpenError::None;
        const bool opened = driver_->OpenChannel(slot, name, error);
        return Checked(slot, name, opened, error);
    }

    // The adapter object's checks and filter on a capture just opened (or not).
    uint8_t Checked(uint8_t slot, const std::string& name, bool opened, OpenError error) {
        if (!opened) {
            return error == OpenError::NoPrivilege    ? OPEN_NO_PRIVILEGE
                   : error == OpenError::NoSuchDevice ? OPEN_NO_DEVICE
                                                      : OPEN_FAILED;
        }
        uint8_t mac[6];
        if (!Ready(slot, name, mac)) return OPEN_NOT_ETHERNET;
        Use(slot, mac);
        return OPEN_OK;
    }

    // The checks and filter on one open capture; one that fails them is closed.
    // Touches that capture alone, so opens side by side may run it at once.
    bool Ready(uint8_t slot, const std::string& name, uint8_t mac[6]) {
        int arpType = 0;
        sock_filter program[kFilterProgramLength];
        static constexpr uint8_t kDialUp[4] = {0x44, 0x45, 0x53, 0x54};
        if (!driver_->LinkType(name, arpType) || arpType != kArpHrdEther || !driver_->HardwareAddress(name, mac) ||
            std::memcmp(mac, kDialUp, sizeof kDialUp) == 0 ||
            !driver_->SetChannelFilter(slot, program, BuildFilterProgram(mac, program))) {
            driver_->CloseChannel(slot);
            return false;
        }
        return true;
    }

    void Use(uint8_t slot, const uint8_t mac[6]) {
        Channel& channel = channels_[slot];
        channel.open = true;
        channel.broken = false;
        std::memcpy(channel.mac, mac, sizeof channel.mac);
    }

    void Close(uint8_t slot) {
        Channel& channel = channels_[slot];
        if (channel.open) driver_->CloseChannel(slot);
        channel = Channel{};
        queue_->Purge(slot);
    }

    std::unique_ptr<PacketDriver> driver_;
    std::unique_ptr<Queue> queue_;
    Channel channels_[kMaxChannels];
    uint32_t refused_ = 0;
    uint32_t malformed_ = 0;
    bool busy_ = false;  // a frame went out or came in this round
    uint8_t in_[kMaxMessage + 1] = {};
    uint8_t out_[kMaxMessage] = {};
};

}  // namespace

int main() {
    Harden();
    // Large buffers live on the heap, once.
    auto server = std::make_unique<Server>();
    return server->Run();
}
