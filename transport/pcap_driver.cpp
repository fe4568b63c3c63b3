// The libpcap packet driver: the only code that needs CAP_NET_RAW.

#include <linux/filter.h>
#include <net/if.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "protocol/ether.h"
#include "transport/adapter.h"

namespace aputil {
namespace {

// The mmap ring gives each frame a slot of half a page (a 1600-byte snapshot
// plus headers does not fit in less), whatever its real length. One browse is
// answered by every AP at once, back to back, and the handler may not run
// until the whole burst is in: 4 MiB hold 2048 slots, room for a burst of a
// thousand replies with as many other frames beside them.
constexpr int kKernelBufferBytes = 4 << 20;
constexpr int kBurstFrames = 1000;
// Frames handed over per Drain. With -1, pcap_dispatch takes every frame the
// ring holds, and under a flood the ring refills as fast as it is read: the
// call would not return to the caller's deadline and pump checks. The caller
// drains again while frames wait.
constexpr int kDrainBatch = 64;
static_assert(kKernelBufferBytes / 2048 >= 2 * kBurstFrames);
static_assert(kKernelBufferBytes >= 2 * kReadSlotCount * static_cast<int>(kReadSlotSize));
static_assert(kSnapLength >= 1514);

// Same layout as the kernel's sock_filter; libpcap takes its own type.
static_assert(sizeof(bpf_insn) == sizeof(sock_filter));

bool ReadHardwareAddress(const std::string& name, sockaddr& address) {
    if (name.empty() || name.size() >= IFNAMSIZ) return false;
    ifreq request{};
    std::memcpy(request.ifr_name, name.data(), name.size());
    // Any socket reaches the device ioctls; neither family needs a privilege.
    for (int family : {AF_INET, AF_UNIX}) {
        const int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        const int rc = ioctl(fd, SIOCGIFHWADDR, &request);
        close(fd);
        if (rc == 0) {
            address = request.ifr_hwaddr;
            return true;
        }
        if (errno == ENODEV) return false;
    }
    return false;
}

}  // namespace

bool SpinForReadable(int fd, int us) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::microseconds(us > 0 ? us : 0);
    for (;;) {
        pollfd entry{fd, POLLIN, 0};
        const int rc = poll(&entry, 1, 0);
        if (rc > 0) return (entry.revents & POLLIN) != 0;  // an error is the blocking wait's to handle
        if (rc < 0 && errno != EINTR) return false;
        if (Clock::now() >= deadline) return false;
        // On a core of its own this is a short busy wait; sharing one, the
        // sender runs now instead of after a sleep and a wake-up.
        sched_yield();
    }
}

namespace {

class PcapDriver final : public PacketDriver {
public:
    explicit PcapDriver(bool promiscuous) : promiscuous_(promiscuous) {}
    ~PcapDriver() override { Close(); }
    PcapDriver(const PcapDriver&) = delete;
    PcapDriver& operator=(const PcapDriver&) = delete;

    bool ListInterfaces(std::string* names, int capacity, int& count) override {
        count = 0;
        struct if_nameindex* list = if_nameindex();
        if (list == nullptr) return false;
        std::vector<std::pair<unsigned, std::string>> found;
        for (const struct if_nameindex* entry = list; entry->if_index != 0 && entry->if_name != nullptr; ++entry)
            found.emplace_back(entry->if_index, entry->if_name);
        if_freenameindex(list);
        std::sort(found.begin(), found.end());
        count = static_cast<int>(found.size());
        for (int i = 0; i < count && i < capacity; ++i) names[i] = found[static_cast<size_t>(i)].second;
        return true;
    }

    bool LinkType(const std::string& name, int& arpType) override {
        sockaddr address{};
        if (!ReadHardwareAddress(name, address)) return false;
        arpType = address.sa_family;
        return true;
    }

    bool HardwareAddress(const std::string& name, uint8_t* mac) override {
        sockaddr address{};
        if (!ReadHardwareAddress(name, address)) return false;
        CopyMac(mac, reinterpret_cast<const uint8_t*>(address.sa_data));
        return true;
    }

    bool Open(const std::string& name, OpenError& error) override {
        Close();
        error = OpenError::Other;
        if (name.empty() || name.size() >= IFNAMSIZ) {
            error = OpenError::NoSuchDevice;
            return false;
        }
        char message[PCAP_ERRBUF_SIZE] = {};
        pcap_t* capture = pcap_create(name.c_str(), message);
        if (capture == nullptr) return false;
        if (pcap_set_snaplen(capture, kSnapLength) != 0 || pcap_set_promisc(capture, promiscuous_ ? 1 : 0) != 0 ||
            pcap_set_immediate_mode(capture, 1) != 0 || pcap_set_buffer_size(capture, kKernelBufferBytes) != 0) {
            pcap_close(capture);
            return false;
        }
        const int status = pcap_activate(capture);
        if (status < 0) {
            if (status == PCAP_ERROR_PERM_DENIED) error = OpenError::NoPrivilege;
            else if (status == PCAP_ERROR_NO_SUCH_DEVICE) error = OpenError::NoSuchDevice;
            pcap_close(capture);
            return false;
        }
        // Our own transmissions must not come back to the handler as if an AP had sent them.
        const int fd = pcap_get_selectable_fd(capture);
        if (pcap_setdirection(capture, PCAP_D_IN) != 0 || pcap_setnonblock(capture, 1, message) != 0 || fd < 0) {
            pcap_close(capture);
            return false;
        }
        capture_ = capture;
        fd_ = fd;
        error = OpenError::None;
        return true;
    }

    void Close() override {
        if (capture_ != nullptr) {
            if (promiscuous_) {
                // libpcap keeps a process-wide list of promiscuous captures to
                // undo at exit: close those on this thread.
                pcap_close(capture_);
            } else {
                // Releasing a packet socket and its ring waits for the kernel's
                // RCU grace periods (about 20 ms), which would stretch every
                // adapter's browse window; nothing uses the capture any more,
                // so let another thread wait for it.
                std::thread([capture = capture_] { pcap_close(capture); }).detach();
            }
        }
        capture_ = nullptr;
        fd_ = -1;
    }

    bool SetFilter(const sock_filter* program, size_t instructions) override {
        if (capture_ == nullptr || program == nullptr || instructions == 0 || instructions > BPF_MAXINSNS) return false;
        std::vector<bpf_insn> code(instructions);
        for (size_t i = 0; i < instructions; ++i)
            code[i] = bpf_insn{program[i].code, program[i].jt, program[i].jf, program[i].k};
        bpf_program compiled{static_cast<u_int>(instructions), code.data()};
        // libpcap validates the program, attaches it to the socket and runs it
        // itself over frames that were queued under the previous filter.
        return pcap_setfilter(capture_, &compiled) == 0;
    }

    bool Poll(int ms) override {
        if (fd_ < 0) return false;
        using Clock = std::chrono::steady_clock;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms > 0 ? ms : 0);
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollfd entry{fd_, POLLIN, 0};
            const int rc = poll(&entry, 1, left > 0 ? static_cast<int>(left) : 0);
            if (rc > 0 && (entry.revents & POLLIN) != 0) return true;
            if (rc == 0) return false;
            if (rc < 0 && errno == EINTR) continue;
            // The capture is in error (interface gone or down): nothing will
            // arrive, and returning at once would make the caller spin.
            Pause(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count()));
            return false;
        }
    }

    bool PollBriefly(int us) override { return fd_ >= 0 && SpinForReadable(fd_, us); }

    int Drain(void (*sink)(void* context, const uint8_t* frame, size_t length), void* context) override {
        if (capture_ == nullptr || sink == nullptr) return 0;
        Batch batch{sink, context, 0};
        pcap_dispatch(capture_, kDrainBatch, &PcapDriver::OnFrame, reinterpret_cast<u_char*>(&batch));
        return batch.count;
    }

    int MaxChannels() const override { return kMaxAdapters; }

    bool OpenChannel(int channel, const std::string& name, OpenError& error) override {
        PcapDriver* capture = Channel(channel, true);
        if (capture == nullptr) {
            error = OpenError::Other;
            return false;
        }
        return capture->Open(name, error);
    }

    void OpenChannels(int count, const int* channels, const std::string* names, bool* opened,
                      OpenError* errors) override {
        OpenCheckedChannels(count, channels, names, opened, errors, nullptr, nullptr);
    }

    void OpenCheckedChannels(int count, const int* channels, const std::string* names, bool* opened, OpenError* errors,
                             OpenCheck check, void* context) override {
        // libpcap's list of promiscuous captures to undo at exit is not safe across threads.
        if (promiscuous_ || count < 2) {
            PacketDriver::OpenChannels(count, channels, names, opened, errors);
            for (int i = 0; i < count && check != nullptr; ++i)
                if (opened[i]) opened[i] = check(context, i);
            return;
        }
        // pcap_activate waits out the kernel's grace periods (ring, bind,
        // filter); on threads of their own the captures wait them out together.
        std::vector<std::thread> threads;
        threads.reserve(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            opened[i] = false;
            errors[i] = OpenError::Other;
            PcapDriver* capture = Channel(channels[i], true);
            if (capture == nullptr) continue;
            // The checks and filter go with the open: none waits for the opens after it.
            auto open = [capture, name = &names[i], ok = &opened[i], error = &errors[i], check, context, i] {
                *ok = capture->Open(*name, *error) && (check == nullptr || check(context, i));
            };
            try {
                threads.emplace_back(open);
            } catch (const std::system_error&) {
                open();  // no thread to be had: this one the slow way
            }
        }
        for (std::thread& thread : threads) thread.join();
    }

    void CloseChannel(int channel) override {
        if (PcapDriver* capture = Channel(channel, false)) capture->Close();
    }

    bool SetChannelFilter(int channel, const sock_filter* program, size_t instructions) override {
        PcapDriver* capture = Channel(channel, false);
        return capture != nullptr && capture->SetFilter(program, instructions);
    }

    bool PollChannels(int ms) override {
        pollfd entries[kMaxAdapters];
        nfds_t count = 0;
        for (int ch = 0; ch < kMaxAdapters; ++ch) {
            const int fd = ChannelFd(ch);
            if (fd >= 0) entries[count++] = pollfd{fd, POLLIN, 0};
        }
        if (count == 0) return false;
        using Clock = std::chrono::steady_clock;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms > 0 ? ms : 0);
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            const int rc = poll(entries, count, left > 0 ? static_cast<int>(left) : 0);
            if (rc < 0 && errno == EINTR) continue;
            if (rc <= 0) return false;
            for (nfds_t i = 0; i < count; ++i)
                if ((entries[i].revents & POLLIN) != 0) return true;
            // Only errors (a link gone): wait out the time, as Poll does, rather than spin.
            Pause(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count()));
            return false;
        }
    }

    int DrainChannels(ChannelSink sink, void* context) override {
        int count = 0;
        for (int ch = 0; ch < kMaxAdapters; ++ch)
            if (ChannelFd(ch) >= 0) count += DrainChannel(ch, sink, context);
        return count;
    }

    int DrainChannel(int channel, ChannelSink sink, void* context) override {
        PcapDriver* capture = Channel(channel, false);
        if (capture == nullptr || sink == nullptr) return 0;
        struct Tag {
            ChannelSink sink;
            void* context;
            int channel;
        } tag{sink, context, channel};
        return capture->Drain(
            [](void* c, const uint8_t* frame, size_t length) {
                auto* t = static_cast<Tag*>(c);
                t->sink(t->context, t->channel, frame, length);
            },
            &tag);
    }

    bool SendOn(int channel, const uint8_t* frame, size_t length) override {
        PcapDriver* capture = Channel(channel, false);
        return capture != nullptr && capture->Send(frame, length);
    }

    int ChannelFd(int channel) const override {
        if (channel == 0) return fd_;
        if (channel < 0 || channel >= kMaxAdapters || !more_[channel]) return -1;
        return more_[channel]->fd_;
    }

    bool LinkUp(const std::string& name) override {
        if (name.empty() || name.size() >= IFNAMSIZ) return false;
        ifreq request{};
        std::memcpy(request.ifr_name, name.data(), name.size());
        const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return true;
        const int rc = ioctl(fd, SIOCGIFFLAGS, &request);
        close(fd);
        return rc != 0 || (request.ifr_flags & IFF_UP) != 0;
    }

    bool Send(const uint8_t* frame, size_t length) override {
        if (capture_ == nullptr || frame == nullptr || length == 0 || length > INT_MAX) return false;
        return pcap_inject(capture_, frame, length) == static_cast<int>(length);
    }

private:
    struct Batch {
        void (*sink)(void*, const uint8_t*, size_t);
        void* context;
        int count;
    };

    static void OnFrame(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
        auto* batch = reinterpret_cast<Batch*>(user);
        // A frame longer than the snapshot is not one of ours; never hand over part of one.
        if (header->caplen != header->len) return;
        batch->sink(batch->context, bytes, header->caplen);
        ++batch->count;
    }

    // Channel 0 is this driver's own capture; the others are drivers of their own, made on first use.
    PcapDriver* Channel(int channel, bool make) {
        if (channel == 0) return this;
        if (channel < 0 || channel >= kMaxAdapters) return nullptr;
        if (!more_[channel] && make) more_[channel] = std::make_unique<PcapDriver>(promiscuous_);
        return more_[channel].get();
    }

    bool promiscuous_;
    pcap_t* capture_ = nullptr;
    int fd_ = -1;
    std::unique_ptr<PcapDriver> more_[kMaxAdapters];
};

}  // namespace

std::unique_ptr<PacketDriver> MakePcapDriver(bool promiscuous) { return std::make_unique<PcapDriver>(promiscuous); }

}  // namespace aputil
