#include "transport/adapter.h"

#include <linux/filter.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "protocol/ether.h"
#include "transport/capture_file.h"

namespace aputil {

CAdapter theAdapter;

namespace {

constexpr sock_filter Statement(uint16_t code, uint32_t k) { return sock_filter{code, 0, 0, k}; }
constexpr sock_filter Jump(uint16_t code, uint32_t k, uint8_t jt, uint8_t jf) { return sock_filter{code, jt, jf, k}; }

constexpr uint16_t kLoadHalf = BPF_LD | BPF_H | BPF_ABS;
constexpr uint16_t kLoadWord = BPF_LD | BPF_W | BPF_ABS;
constexpr uint16_t kJumpEqual = BPF_JMP | BPF_JEQ | BPF_K;
constexpr uint16_t kReturn = BPF_RET | BPF_K;

// Dial-up WAN adapters report addresses beginning with these bytes; they carry no Ethernet frames.
constexpr uint8_t kDialUpPrefix[4] = {0x44, 0x45, 0x53, 0x54};

std::string ProgramPath() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "<program>";
    return std::string(path, static_cast<size_t>(n));
}

}  // namespace

size_t BuildFilterProgram(const uint8_t mac[6], sock_filter* program) {
    const uint32_t macHigh = (uint32_t{mac[0]} << 24) | (uint32_t{mac[1]} << 16) | (uint32_t{mac[2]} << 8) | mac[3];
    const uint32_t macLow = (uint32_t{mac[4]} << 8) | mac[5];
    const sock_filter code[kFilterProgramLength] = {
        Statement(kLoadHalf, 12),            // 0: EtherType
        Jump(kJumpEqual, 0xAAAA, 0, 8),      // 1: ours? else drop
        Statement(kLoadWord, 0),             // 2: destination bytes 0-3
        Jump(kJumpEqual, macHigh, 0, 2),     // 3: directed so far? else try broadcast
        Statement(kLoadHalf, 4),             // 4: destination bytes 4-5
        Jump(kJumpEqual, macLow, 3, 4),      // 5: directed: accept, else drop
        Jump(kJumpEqual, 0xFFFFFFFF, 0, 3),  // 6: broadcast so far? else drop
        Statement(kLoadHalf, 4),             // 7
        Jump(kJumpEqual, 0xFFFF, 0, 1),      // 8: broadcast: accept, else drop
        Statement(kReturn, 0xFFFFFFFF),      // 9: accept the whole frame
        Statement(kReturn, 0),               // 10: drop
    };
    std::memcpy(program, code, sizeof code);
    return kFilterProgramLength;
}

void PacketDriver::Pause(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool PacketDriver::OpenChannel(int channel, const std::string& name, OpenError& error) {
    if (channel != 0) {
        error = OpenError::Other;
        return false;
    }
    return Open(name, error);
}

void PacketDriver::OpenChannels(int count, const int* channels, const std::string* names, bool* opened,
                                OpenError* errors) {
    for (int i = 0; i < count; ++i) {
        errors[i] = OpenError::None;
        opened[i] = OpenChannel(channels[i], names[i], errors[i]);
    }
}

void PacketDriver::OpenCheckedChannels(int count, const int* channels, const std::string* names, bool* opened,
                                       OpenError* errors, OpenCheck check, void* context) {
    OpenChannels(count, channels, names, opened, errors);
    for (int i = 0; i < count && check != nullptr; ++i)
        if (opened[i]) opened[i] = check(context, i);
}

void PacketDriver::CloseChannel(int channel) {
    if (channel == 0) Close();
}

bool PacketDriver::SetChannelFilter(int channel, const sock_filter* program, size_t instructions) {
    return channel == 0 && SetFilter(program, instructions);
}

bool PacketDriver::PollChannels(int ms) { return Poll(ms); }

int PacketDriver::DrainChannels(ChannelSink sink, void* context) { return DrainChannel(0, sink, context); }

int PacketDriver::DrainChannel(int channel, ChannelSink sink, void* context) {
    if (channel != 0) return 0;
    struct Tag {
        ChannelSink sink;
        void* context;
    } tag{sink, context};
    return Drain(
        [](void* c, const uint8_t* frame, size_t length) {
            auto* t = static_cast<Tag*>(c);
            t->sink(t->context, 0, frame, length);
        },
        &tag);
}

bool PacketDriver::SendOn(int channel, const uint8_t* frame, size_t length) {
    return channel == 0 && Send(frame, length);
}

bool PacketDriver::LinkUp(const std::string&) { return true; }

CAdapter::CAdapter() : driver_(MakePcapDriver()) {}

CAdapter::~CAdapter() { CloseAdapter(); }

void CAdapter::SetDriver(std::unique_ptr<PacketDriver> driver) {
    CloseAdapter();
    driver_ = driver ? std::move(driver) : MakePcapDriver();
}

PacketDriver& CAdapter::Driver() { return *driver_; }

void CAdapter::SelectClassKey() {
    // The kernel's interface list of the current network namespace, ordered by interface index.
    classKeyPath = "if_nameindex";
}

bool CAdapter::EnumerateAdapters() {
    adapterCount = 0;
    SelectClassKey();
    int present = 0;
    if (!driver_->ListInterfaces(adapterName, kMaxAdapters, present) || present < 0) present = 0;
    adapterCount = present < kMaxAdapters ? present : kMaxAdapters;
    for (int i = adapterCount; i < kMaxAdapters; ++i) adapterName[i].clear();
    for (int i = kMaxAdapters; i < present; ++i) std::printf("over range 100 !! ");
    return true;
}

bool CAdapter::ProbeAdapters() {
    usableCount = 0;
    EnumerateAdapters();
    for (int i = 0; i < adapterCount; ++i) {
        if (!OpenAdapter(i)) continue;
        CloseAdapter();
        usableIndex[usableCount] = i;
        usableName[usableCount] = adapterName[i];
        CopyMac(usableAddress[usableCount], currentAddress);
        ++usableCount;
    }
    return usableCount != 0;
}

bool CAdapter::OpenAdapter(int position) {
    if (IsAdapterOpen()) CloseAdapter();
    SelectClassKey();
    if (position < 0 || position >= kMaxAdapters) return false;

    // Open the interface the position named when the list was taken: positions
    // in the live list shift when an interface goes away, and the caller means
    // the adapter it probed, not whichever now stands there.
    std::string name;
    if (position < adapterCount) {
        name = adapterName[position];
    } else {
        std::string names[kMaxAdapters];
        int present = 0;
        if (!driver_->ListInterfaces(names, kMaxAdapters, present) || position >= present) return false;
        name = names[position];
    }
    std::printf("Adapter Names : %s\n", name.c_str());

    OpenError error = OpenError::None;
    if (!driver_->Open(name, error)) {
        handle = -1;
        if (error == OpenError::NoPrivilege && !privilegeReported_) {
            privilegeReported_ = true;
            std::fprintf(stderr,
                         "aputil: no permission to capture on %s: run as root or give the program CAP_NET_RAW, "
                         "e.g. sudo setcap cap_net_raw+ep %s\n",
                         name.c_str(), PrivilegedProgram().c_str());
        }
        return false;
    }
    handle = 1;
    openName_ = name;

    int arpType = 0;
    if (!driver_->LinkType(name, arpType) || arpType != kArpHrdEther) return false;  // stays open
    if (!QueryCurrentAddress()) {
        CloseAdapter();
        return false;
    }
    if (std::memcmp(currentAddress, kDialUpPrefix, sizeof kDialUpPrefix) == 0) return false;  // stays open
    // Without the filter the handler would see every frame on the link, multicast included.
    if (!InstallFilterProgram()) {
        CloseAdapter();
        return false;
    }
    return true;
}

void CAdapter::CloseAdapter() {
    if (handle == -1) return;
    if (channelCount > 0) {
        for (int ch = 0; ch < channelCount; ++ch) driver_->CloseChannel(ch);
        channelCount = 0;
    } else {
        driver_->Close();
    }
    handle = -1;
    openName_.clear();
}

void CAdapter::CloseBrowseChannels() {
    if (channelCount > 0) CloseAdapter();
}

bool CAdapter::OpenChannelFor(int channel, const std::string& name, uint8_t mac[6]) {
    OpenError error = OpenError::None;
    if (!driver_->OpenChannel(channel, name, error)) {
        if (error == OpenError::NoPrivilege) privilegeReported_ = true;
        return false;
    }
    return ReadyChannel(channel, name, mac);
}

// The checks and filter of OpenAdapter on an open channel; a channel that fails them is closed.
bool CAdapter::ReadyChannel(int channel, const std::string& name, uint8_t mac[6]) {
    int arpType = 0;
    sock_filter program[kFilterProgramLength];
    const bool ready = driver_->LinkType(name, arpType) && arpType == kArpHrdEther &&
                       driver_->HardwareAddress(name, mac) &&
                       std::memcmp(mac, kDialUpPrefix, sizeof kDialUpPrefix) != 0 &&
                       driver_->SetChannelFilter(channel, program, BuildFilterProgram(mac, program));
    if (!ready) driver_->CloseChannel(channel);
    return ready;
}

int CAdapter::OpenBrowseChannels() {
    CloseAdapter();
    const int capacity = driver_->MaxChannels();
    if (capacity < 2) return 0;
    // The adapters to browse, in list order; candidate i is first opened as channel i.
    int list[kMaxAdapters];
    int slots[kMaxAdapters];
    std::string names[kMaxAdapters];
    int count = 0;
    for (int k = 0; k < usableCount && k < kMaxAdapters && count < capacity; ++k) {
        const int position = usableIndex[k];
        if (position < 0 || position >= adapterCount) continue;
        const std::string& name = adapterName[position];
        // A link that is down receives nothing; the sequential browse finds nothing there either.
        if (!driver_->LinkUp(name)) continue;
        list[count] = k;
        slots[count] = count;
        names[count] = name;
        ++count;
    }
    bool openedAt[kMaxAdapters] = {};
    OpenError errors[kMaxAdapters] = {};
    uint8_t macs[kMaxAdapters][6] = {};
    struct Check {
        CAdapter* self;
        const std::string* names;
        uint8_t (*macs)[6];
    } check{this, names, macs};
    // One after another, the opens would cost tens of milliseconds each before
    // the browse window starts; each check and filter goes with its open.
    driver_->OpenCheckedChannels(
        count, slots, names, openedAt, errors,
        [](void* context, int i) {
            auto* c = static_cast<Check*>(context);
            return c->self->ReadyChannel(i, c->names[i], c->macs[i]);
        },
        &check);
    int opened = 0;
    for (int i = 0; i < count; ++i) {
        if (!openedAt[i] && errors[i] == OpenError::NoPrivilege) privilegeReported_ = true;
        uint8_t mac[6];
        bool ready = false;
        int tries = 1;  // one more try after a failed open or check
        if (i == opened) {
            ready = openedAt[i];
            if (ready) std::memcpy(mac, macs[i], sizeof mac);
        } else if (openedAt[i]) {
            // An earlier adapter failed: this one moves down, so that the channels stay 0..count-1.
            driver_->CloseChannel(i);
            tries = 2;
        }
        while (!ready && tries-- > 0) ready = OpenChannelFor(opened, names[i], mac);
        if (!ready) continue;
        channelPosition[opened] = list[i];
        CopyMac(channelAddress[opened], mac);
        ++opened;
        // Counted as it goes, so that a close midway closes what is open.
        channelCount = opened;
        handle = 1;
    }
    if (opened > 0) CopyMac(currentAddress, channelAddress[0]);
    return opened;
}

bool CAdapter::NeedsPrivilege() const {
    return usableCount == 0 && (privilegeReported_ || driver_->PrivilegeRefused());
}

std::string CAdapter::PrivilegedProgram() const {
    std::string program = driver_->PrivilegedProgram();
    return program.empty() ? ProgramPath() : program;
}

bool CAdapter::QueryCurrentAddress() {
    if (!IsAdapterOpen()) return false;
    uint8_t mac[6];
    if (!driver_->HardwareAddress(openName_, mac)) return false;
    CopyMac(currentAddress, mac);
    return true;
}

bool CAdapter::InstallFilterProgram() {
    if (!IsAdapterOpen()) return false;
    sock_filter program[kFilterProgramLength];
    const size_t length = BuildFilterProgram(currentAddress, program);
    return driver_->SetFilter(program, length);
}

void CAdapter::StartReceive(FrameHandler handler) {
    handler_ = handler;
    receiveEnabled = 1;
}

void CAdapter::StopReceive() { receiveEnabled = 0; }

void CAdapter::DeliverFrame(void* context, const uint8_t* frame, size_t length) {
    auto* self = static_cast<CAdapter*>(context);
    // A handler that turns delivery off stops the rest of the batch reaching it.
    if (self->receiveEnabled && self->handler_ != nullptr) {
        CaptureFrame(frame, length);
        self->handler_(frame, length);
    }
}

void CAdapter::DeliverChannelFrame(void* context, int channel, const uint8_t* frame, size_t length) {
    auto* self = static_cast<CAdapter*>(context);
    if (channel < 0 || channel >= self->channelCount) return;
    // The handler drops frames from the address of the adapter that received them.
    CopyMac(self->currentAddress, self->channelAddress[channel]);
    self->deliveringChannel = channel;
    if (self->receiveEnabled && self->handler_ != nullptr) {
        CaptureFrame(frame, length);
        self->handler_(frame, length);
    }
    self->deliveringChannel = -1;
}

bool CAdapter::WaitForFrames(int ms, int spinUs) {
    if (spinUs > 0 && channelCount == 0 && IsAdapterOpen() && receiveEnabled && handler_ != nullptr &&
        driver_->PollBriefly(spinUs) && driver_->Drain(&CAdapter::DeliverFrame, this) > 0)
        return true;
    return WaitForFrames(ms);
}

bool CAdapter::WaitForFrames(int ms) {
    if (ms < 0) ms = 0;
    if (!IsAdapterOpen() || !receiveEnabled || handler_ == nullptr) {
        // Leave waiting frames queued; only the time passes.
        driver_->Pause(ms);
        return false;
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const int wait = left > 0 ? static_cast<int>(left) : 0;
        if (channelCount > 0) {
            if (!driver_->PollChannels(wait)) return false;
            if (driver_->DrainChannels(&CAdapter::DeliverChannelFrame, this) > 0) return true;
            if (Clock::now() >= deadline) return false;
            continue;
        }
        if (!driver_->Poll(wait)) return false;
        // Frames libpcap drops itself (outbound, cut short) wake the poll but deliver nothing.
        if (driver_->Drain(&CAdapter::DeliverFrame, this) > 0) return true;
        if (Clock::now() >= deadline) return false;
    }
}

bool CAdapter::TransmitFrame(const uint8_t* frame, size_t length) {
    if (!IsAdapterOpen() || frame == nullptr || length == 0) return false;
    if (channelCount == 0) {
        if (!driver_->Send(frame, length)) return false;
        CaptureFrame(frame, length);
        return true;
    }
    // On every channel, each from its own adapter's address.
    const std::optional<EtherHeader> given = ReadEtherHeader({frame, length});
    if (!given || length > sizeof channelFrame_) return false;
    bool all = true;
    std::memcpy(channelFrame_, frame, length);
    for (int ch = 0; ch < channelCount; ++ch) {
        EtherHeader header = *given;
        header.source = MacAt(channelAddress[ch]);
        WriteEtherHeader(channelFrame_, header);
        if (driver_->SendOn(ch, channelFrame_, length)) {
            CaptureFrame(channelFrame_, length);
        } else {
            all = false;
        }
    }
    return all;
}

void CAdapter::ResetDriverServices() {}

}  // namespace aputil
