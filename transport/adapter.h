#pragma once
// The packet transport: the one adapter object, the adapter lists, and the raw
// packet channel for EtherType 0xAAAA frames on one open Ethernet interface.
// Everything runs on the GUI thread; nothing is allocated per frame.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct sock_filter;

namespace aputil {

inline constexpr int kMaxAdapters = 100;
// The kernel's receive buffer is sized to hold at least this many frames of
// kReadSlotBufferSize bytes, so a burst of browse replies is not dropped.
inline constexpr int kReadSlotCount = 128;
inline constexpr size_t kReadSlotBufferSize = 1600;
inline constexpr size_t kReadSlotSize = 1656;  // 56-byte header + frame buffer
inline constexpr uint32_t SLOT_IDLE = 128;
inline constexpr int kArpHrdEther = 1;    // ARPHRD_ETHER
inline constexpr int kSnapLength = 1600;  // >= 1514: a whole Ethernet frame without FCS

// Length of the receive filter that BuildFilterProgram writes.
inline constexpr size_t kFilterProgramLength = 11;

// Writes the receive filter for an interface whose address is mac into
// program[0..kFilterProgramLength): EtherType 0xAAAA frames whose destination
// is mac (directed) or ff:ff:ff:ff:ff:ff (broadcast) are accepted whole,
// everything else (other EtherTypes, multicast, other stations) is dropped.
// The program uses plain packet loads only, so libpcap can also run it itself.
// Returns kFilterProgramLength.
size_t BuildFilterProgram(const uint8_t mac[6], sock_filter* program);

// Called for every frame delivered while receiving: the whole Ethernet frame.
using FrameHandler = void (*)(const uint8_t* frame, size_t length);

// Why an open failed, so that a missing privilege can be named to the user.
enum class OpenError { None, NoSuchDevice, NoPrivilege, Other };

// Seam under CAdapter: the handful of libpcap and kernel calls it makes. The
// real one is made by MakePcapDriver; tests put a fake one in its place.
class PacketDriver {
public:
    virtual ~PacketDriver() = default;
    // Names of the system's interfaces, in a stable order (by interface index).
    // count is the number of interfaces present, which may exceed capacity;
    // only the first min(count, capacity) entries of names are written.
    virtual bool ListInterfaces(std::string* names, int capacity, int& count) = 0;
    // Link type (ARPHRD_*) of an interface; false when it cannot be read.
    virtual bool LinkType(const std::string& name, int& arpType) = 0;
    // Hardware address of an interface; false when it cannot be read.
    virtual bool HardwareAddress(const std::string& name, uint8_t* mac) = 0;
    // Opens the capture on an interface (immediate mode, promiscuous only when
    // the driver was made so, inbound frames only, non-blocking). A capture
    // already open is closed first. Until SetFilter, every frame is captured.
    virtual bool Open(const std::string& name, OpenError& error) = 0;
    virtual void Close() = 0;
    // Installs a classic BPF program. Frames queued before the change are run
    // through the new program too, by libpcap itself, so a program should use
    // plain packet loads (no SKF_AD_* ancillary loads, which libpcap's own
    // interpreter drops).
    virtual bool SetFilter(const sock_filter* program, size_t instructions) = 0;
    // Waits up to ms for a frame to be waiting; true when one is. An
    // interrupted wait resumes for the time left; a capture in error waits out
    // the time too, so callers never spin. False at once when closed.
    virtual bool Poll(int ms) = 0;
    // Checks for up to us microseconds, without sleeping, whether a frame is
    // waiting, handing the core to whatever else is ready to run meanwhile:
    // when a reply is due within microseconds, the sender gets on with it and
    // this side pays no sleep and wake-up per frame. True when one is. A
    // driver that cannot check cheaply says false at once (the default).
    virtual bool PollBriefly(int /*us*/) { return false; }
    // Hands the frames waiting now, a bounded batch at most (so a caller under
    // a flood gets back to its deadline), to sink(context, frame, length), in
    // arrival order, without blocking; returns how many were handed over. The
    // frame bytes are valid only during the call. Frames longer than kSnapLength
    // (cut short by the capture) are dropped, never handed over in part.
    virtual int Drain(void (*sink)(void* context, const uint8_t* frame, size_t length), void* context) = 0;
    // Sends one complete frame as given (no padding); true when the kernel took it whole.
    virtual bool Send(const uint8_t* frame, size_t length) = 0;
    // Lets ms pass without reading (a wait while delivery is off or nothing is
    // open). Sleeps on the real clock; a fake driver may keep its own time.
    virtual void Pause(int ms);

    // Several captures open at once, so that one wait can cover every adapter.
    // Channel 0 is the capture of the calls above; a driver that holds only
    // that one answers 1 from MaxChannels, and the defaults map channel 0 onto
    // those calls. Channels are numbered 0..MaxChannels()-1.
    virtual int MaxChannels() const { return 1; }
    virtual bool OpenChannel(int channel, const std::string& name, OpenError& error);
    // As OpenChannel for each i in 0..count-1: names[i] as channels[i] (all
    // different), its outcome in opened[i] and errors[i]. Each open waits on
    // the kernel for tens of milliseconds, so a driver that can makes them
    // side by side; by default they are made one after another.
    virtual void OpenChannels(int count, const int* channels, const std::string* names, bool* opened,
                              OpenError* errors);
    // A check of a capture just opened (its link type, address and filter);
    // false refuses it, and the check closes what it refuses.
    using OpenCheck = bool (*)(void* context, int index);
    // As OpenChannels, with check(context, i) run on names[i] once it opened,
    // on the thread that opened it where the opens are made side by side (the
    // check then must touch channels[i] alone); opened[i] is false when the
    // check refused (errors[i] stays None). By default the checks follow the
    // opens, one after another.
    virtual void OpenCheckedChannels(int count, const int* channels, const std::string* names, bool* opened,
                                     OpenError* errors, OpenCheck check, void* context);
    virtual void CloseChannel(int channel);
    virtual bool SetChannelFilter(int channel, const sock_filter* program, size_t instructions);
    // As Poll, over every open channel.
    virtual bool PollChannels(int ms);
    using ChannelSink = void (*)(void* context, int channel, const uint8_t* frame, size_t length);
    // As Drain, over every open channel, each frame tagged with its channel.
    virtual int DrainChannels(ChannelSink sink, void* context);
    virtual bool SendOn(int channel, const uint8_t* frame, size_t length);
    // A descriptor that polls readable when the channel has frames; -1 when none.
    virtual int ChannelFd(int /*channel*/) const { return -1; }
    // As Drain, for one channel.
    virtual int DrainChannel(int channel, ChannelSink sink, void* context);
    // Whether an interface is administratively up; true when it cannot be told.
    virtual bool LinkUp(const std::string& name);
    // The program that must hold CAP_NET_RAW for this driver's opens to
    // succeed; empty when it is the running program itself.
    virtual std::string PrivilegedProgram() const { return {}; }
    // True when an open (also one the driver made on its own while listing)
    // was refused for want of that privilege.
    virtual bool PrivilegeRefused() const { return false; }
};

// Waits up to us microseconds, never sleeping, for fd to poll readable
// (PacketDriver::PollBriefly for drivers built on a descriptor).
bool SpinForReadable(int fd, int us);

// promiscuous: the simulator answers for MAC addresses that are not its interface's;
// the utility itself never opens promiscuously.
std::unique_ptr<PacketDriver> MakePcapDriver(bool promiscuous = false);

// The adapter object: exactly one exists (theAdapter), for the whole run.
class CAdapter {
public:
    CAdapter();
    ~CAdapter();
    CAdapter(const CAdapter&) = delete;
    CAdapter& operator=(const CAdapter&) = delete;

    // Replaces the driver (tests); the default is the libpcap driver. An open
    // adapter is closed first.
    void SetDriver(std::unique_ptr<PacketDriver> driver);
    PacketDriver& Driver();

    // Adapter lists (at most kMaxAdapters each).
    int32_t adapterCount = 0;
    int32_t usableCount = 0;
    int32_t usableIndex[kMaxAdapters] = {};
    std::string usableName[kMaxAdapters];
    uint8_t usableAddress[kMaxAdapters][6] = {};
    std::string adapterName[kMaxAdapters];
    int32_t handle = -1;  // 1 while an adapter is open, -1 when none is
    uint8_t currentAddress[6] = {};
    uint8_t receiveEnabled = 0;

    // Without a counterpart on Linux, kept so that callers and start-up keep
    // their one shape: the kernel's interface list needs no key to be found
    // (classKeyPath only names its source), the capture library has no
    // diagnostics to silence (quiet is set and never read), and there is no
    // driver service to stop and remove (ResetDriverServices does nothing).
    uint8_t quiet = 1;
    std::string classKeyPath;
    void SelectClassKey();
    static void ResetDriverServices();

    // Fills adapterName/adapterCount from the interface list; always true.
    bool EnumerateAdapters();
    // Fills the usable lists with the adapters OpenAdapter accepts, in
    // enumeration order; true when at least one is usable.
    bool ProbeAdapters();
    // Opens the adapter at that position of the enumeration and sets it up:
    // Ethernet link type, readable address not beginning with "DEST", filter.
    // A failed link-type or "DEST" check leaves the capture open (handle 1);
    // the next OpenAdapter or CloseAdapter closes it.
    bool OpenAdapter(int position);
    void CloseAdapter();
    bool IsAdapterOpen() const { return handle != -1; }
    // Reads the open adapter's hardware address into currentAddress.
    bool QueryCurrentAddress();
    // Installs BuildFilterProgram(currentAddress); false when the kernel refused it.
    bool InstallFilterProgram();
    void StartReceive(FrameHandler handler);
    // Waits up to ms; while delivery is on, hands every waiting frame to the
    // handler and returns true once at least one was delivered. With delivery
    // off (or no adapter open) it only lets the time pass: frames stay queued
    // in the kernel for the next wait with delivery on. If the handler itself
    // turns delivery off, the rest of the batch being handed over is dropped.
    bool WaitForFrames(int ms);
    // As WaitForFrames, first checking for up to spinUs microseconds without
    // sleeping (PacketDriver::PollBriefly) when a reply is expected that soon.
    // Only a single open adapter is checked so; browse channels just wait.
    bool WaitForFrames(int ms, int spinUs);
    void StopReceive();
    // Sends one complete Ethernet frame as given; false when no adapter is
    // open or the kernel did not take the frame.
    bool TransmitFrame(const uint8_t* frame, size_t length);

    // A browse of every usable adapter in one wait. OpenBrowseChannels closes
    // the open adapter, then opens every usable adapter that is up as a
    // channel of its own, with the same checks and filter as OpenAdapter (and
    // one more try when an open fails); returns how many are open, 0 when the
    // driver holds a single capture. While they are open the adapter counts as
    // open: TransmitFrame sends the frame on each channel with that adapter's
    // own address as the source, and WaitForFrames hands over every channel's
    // frames with currentAddress and deliveringChannel set to the channel that
    // received it, so the handler drops each adapter's own frames by its own
    // address. CloseAdapter (or CloseBrowseChannels) closes them all.
    int OpenBrowseChannels();
    void CloseBrowseChannels();
    int32_t channelCount = 0;
    int32_t channelPosition[kMaxAdapters] = {};  // usable-list position of each channel
    uint8_t channelAddress[kMaxAdapters][6] = {};
    int32_t deliveringChannel = -1;  // channel of the frame being handed over, -1 outside
    // True when no adapter is usable and an open was refused for want of
    // CAP_NET_RAW; PrivilegedProgram names the program that needs it.
    bool NeedsPrivilege() const;
    std::string PrivilegedProgram() const;

private:
    static void DeliverFrame(void* context, const uint8_t* frame, size_t length);
    static void DeliverChannelFrame(void* context, int channel, const uint8_t* frame, size_t length);
    bool OpenChannelFor(int channel, const std::string& name, uint8_t mac[6]);
    bool ReadyChannel(int channel, const std::string& name, uint8_t mac[6]);

    std::unique_ptr<PacketDriver> driver_;
    std::string openName_;  // interface of the open capture
    FrameHandler handler_ = nullptr;
    bool privilegeReported_ = false;
    uint8_t channelFrame_[1514] = {};  // a frame being sent on every channel
};

extern CAdapter theAdapter;

}  // namespace aputil
