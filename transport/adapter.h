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
inline constexpr int kReadSlotCount = 128;
inline constexpr size_t kReadSlotBufferSize = 1600;
inline constexpr size_t kReadSlotSize = 1656;  // 56-byte header + frame buffer
inline constexpr uint32_t SLOT_IDLE = 128;
inline constexpr int kArpHrdEther = 1;  // ARPHRD_ETHER

// Called for every frame delivered while receiving: the whole Ethernet frame.
using FrameHandler = void (*)(const uint8_t* frame, size_t length);

// Why an open failed, so that a missing privilege can be named to the user.
enum class OpenError { None, NoSuchDevice, NoPrivilege, Other };

// Seam under CAdapter: the handful of libpcap and kernel calls it makes. The
// real one is PcapDriver; tests put a fake one in its place.
class PacketDriver {
public:
    virtual ~PacketDriver() = default;
    // Names of the system's interfaces, in a stable order (by interface index).
    virtual bool ListInterfaces(std::string* names, int capacity, int& count) = 0;
    // Link type (ARPHRD_*) of an interface; false when it cannot be read.
    virtual bool LinkType(const std::string& name, int& arpType) = 0;
    // Hardware address of an interface; false when it cannot be read.
    virtual bool HardwareAddress(const std::string& name, uint8_t* mac) = 0;
    // Opens the capture on an interface (immediate mode, not promiscuous).
    virtual bool Open(const std::string& name, OpenError& error) = 0;
    virtual void Close() = 0;
    // Installs a classic BPF program in the kernel.
    virtual bool SetFilter(const sock_filter* program, size_t instructions) = 0;
    // Waits up to ms for a frame to be waiting; true when one is.
    virtual bool Poll(int ms) = 0;
    // Hands every frame waiting now to sink(context, frame, length), in arrival
    // order, without blocking; returns how many were handed over.
    virtual int Drain(void (*sink)(void* context, const uint8_t* frame, size_t length), void* context) = 0;
    // Sends one complete frame as given.
    virtual bool Send(const uint8_t* frame, size_t length) = 0;
};

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

    // Replaces the driver (tests); the default is the libpcap driver.
    void SetDriver(std::unique_ptr<PacketDriver> driver);
    PacketDriver& Driver();

    // Adapter lists (at most kMaxAdapters each).
    int32_t adapterCount = 0;
    int32_t usableCount = 0;
    int32_t usableIndex[kMaxAdapters] = {};
    uint8_t quiet = 1;
    std::string usableName[kMaxAdapters];
    uint8_t usableAddress[kMaxAdapters][6] = {};
    std::string adapterName[kMaxAdapters];
    std::string classKeyPath;
    int32_t handle = -1;  // -1 when no adapter is open
    uint8_t currentAddress[6] = {};
    uint8_t receiveEnabled = 0;

    void SelectClassKey();
    bool EnumerateAdapters();
    bool ProbeAdapters();
    bool OpenAdapter(int position);
    void CloseAdapter();
    bool IsAdapterOpen() const { return handle != -1; }
    bool QueryCurrentAddress();
    bool InstallFilterProgram();
    void StartReceive(FrameHandler handler);
    bool WaitForFrames(int ms);
    void StopReceive();
    bool TransmitFrame(const uint8_t* frame, size_t length);

private:
    std::unique_ptr<PacketDriver> driver_;
};

extern CAdapter theAdapter;

// Stops and removes the packet driver's services; the kernel needs no such
// reset here, so it does nothing.
void ResetDriverServices();

// Brings the transport and the transaction engine into their working state;
// defined with the engine, whose parameters it sets.
void InitPacketDriver();

}  // namespace aputil
