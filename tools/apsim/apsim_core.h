#pragma once
// The simulated access points: their state, and a pure function from one
// received Ethernet frame to the reply frames and log lines it causes. No I/O
// here; tools/apsim/main.cpp puts it on the wire. The fault knobs, the log
// lines and the state file have headers of their own, included here.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "protocol/ether.h"
#include "tools/apsim/faults.h"
#include "tools/apsim/log.h"
#include "tools/apsim/state_file.h"

namespace apsim {

inline constexpr size_t kImageSize = 4096;
inline constexpr size_t kFirmwareSize = 424;
inline constexpr size_t kDeviceInfoSize = 32;
inline constexpr size_t kChunkMax = 512;
inline constexpr size_t kImageCrcOffset = 4084;  // the checksum covers bytes 0..4083
inline constexpr uint32_t kImageCrcSeed = 0x5A5A5A5A;
inline constexpr uint32_t kFirmwareAddress = 0x0001F000;
inline constexpr uint32_t kImageAddress = 0x00030000;
inline constexpr int kMaxAps = 1000;
inline constexpr int kSessionCount = 8;

// Status values this firmware answers with (0 is success).
inline constexpr uint16_t kDevBadRequest = 1;
inline constexpr uint16_t kDevBadPassword = 5;
inline constexpr uint16_t kDevNoSession = 6;
inline constexpr uint16_t kDevBadChecksum = 9;
inline constexpr uint16_t kDevRefused = 10;

// Where the fields lie in the configuration image and the firmware block.
namespace layout {
inline constexpr size_t channelMask = 6;
inline constexpr size_t addressCopy = 8;  // IP, mask, gateway again at 8, 12, 16
inline constexpr size_t regulatoryDomain = 20;
inline constexpr size_t networkFlag = 21;
inline constexpr size_t apName = 472;
inline constexpr size_t apNameWidth = 80;
inline constexpr size_t password = 552;
inline constexpr size_t passwordWidth = 1032 - 552;
inline constexpr size_t ssid = 1032;
inline constexpr size_t ssidWidth = 36;
inline constexpr size_t channel = 1068;
inline constexpr size_t wepMode = 1069;
inline constexpr size_t wepEnabled = 1070;
inline constexpr size_t defaultKeyIndex = 1071;
inline constexpr size_t wepKeySlot = 1072;
inline constexpr size_t wepKeySlotSize = 20;
inline constexpr size_t ipAddress = 1156;
inline constexpr size_t subnetMask = 1160;
inline constexpr size_t gateway = 1164;
inline constexpr size_t macAccessEnabled = 1168;
inline constexpr size_t macEntryCount = 1169;
inline constexpr size_t macTable = 1172;
inline constexpr size_t macTableMax = (kImageCrcOffset - macTable) / 6;
inline constexpr size_t firmwareDate = 8;
inline constexpr size_t firmwareVersion = 40;
inline constexpr size_t firmwareTextWidth = 32;
}  // namespace layout

using Mac = aputil::MacAddress;
using Image = std::array<uint8_t, kImageSize>;

// Reflected table-driven CRC-32 (polynomial 0xEDB88320), no final XOR.
uint32_t Crc32(uint32_t seed, const uint8_t* bytes, size_t count) noexcept;
uint32_t ImageCrc(const Image& image) noexcept;        // over bytes 0..4083
uint32_t StoredImageCrc(const Image& image) noexcept;  // the u32 LE at 4084
void StampImageCrc(Image& image) noexcept;

std::string MacText(const Mac& mac);             // "02:5e:..", lower case
bool ParseMac(std::string_view text, Mac& mac);  // ':' or '-' separated

// splitmix64: small, fast and the same everywhere, so a seed repeats a run.
class Rng {
public:
    explicit Rng(uint64_t seed = 1) : state_(seed) {}
    uint64_t Next() noexcept;
    double Uniform() noexcept;  // [0, 1)
    bool Chance(double p) noexcept { return p > 0 && Uniform() < p; }

private:
    uint64_t state_;
};
// One splitmix64 step: the seeds of the APs' and the faults' draws, from the run's seed.
inline uint64_t Mix(uint64_t x) noexcept { return Rng(x).Next(); }

struct Session {
    bool inUse = false;
    Mac holder{};
    uint64_t lastUse = 0;
};

struct SimAp {
    Mac mac{};
    std::string vendor, product, model, name, password, firmwareVersion, firmwareDate;
    std::array<uint8_t, kDeviceInfoSize> deviceInfo{};
    std::array<uint8_t, kFirmwareSize> firmware{};
    Image image{};    // live: what reads return
    Image pending{};  // where writes go until a good commit
    std::array<Session, kSessionCount> sessions{};
    uint16_t nextSequence = 1;
    int commits = 0;
    std::vector<uint8_t> browseReply;  // Ethernet frame; destination and sequence patched per browse
};

struct Config {
    int count = 1;
    uint64_t seed = 1;
    std::string password = "admin";
    std::string namePrefix = "SimAP-";
    std::string vendor = "M-Rax";
    std::string product = "Lumivance/QR-4710 Access Point";
    std::string model = "QR-4710A Smart AP";
    std::string firmwareVersion = "V2.11.4";
    std::string firmwareDate = "2003/05/21";
    Faults faults;
};

struct OutFrame {
    std::vector<uint8_t> bytes;  // a whole Ethernet frame
    uint32_t delayMs = 0;
};

struct Output {
    std::vector<OutFrame> frames;
    std::vector<std::string> log;  // JSON lines, without newline
    std::vector<int> committed;    // APs whose live image a commit replaced
    void Clear() {
        frames.clear();
        log.clear();
        committed.clear();
    }
};

class Simulator {
public:
    explicit Simulator(const Config& config);

    int Count() const { return static_cast<int>(aps_.size()); }
    SimAp& Ap(int index) { return aps_[static_cast<size_t>(index)]; }
    const SimAp& Ap(int index) const { return aps_[static_cast<size_t>(index)]; }
    int FindAp(const Mac& mac) const;  // -1 when not one of ours
    // An AP by index ("3") or by MAC text; -1 when none.
    int ResolveAp(std::string_view text) const;
    Faults& faults() { return faults_; }

    // Call after changing an AP's texts or MAC (the state file does).
    void Refresh(int index);
    void RefreshAll();

    // One received Ethernet frame; everything it causes is appended to out.
    void HandleFrame(std::span<const uint8_t> frame, uint64_t nowMs, Output& out);

    // AP-initiated sends. dst null: the station holding the session.
    bool SendSessionCheck(int ap, uint16_t session, const Mac* dst, uint64_t nowMs, Output& out, std::string& error,
                          uint16_t& sequence);
    bool SendLogoutNotice(int ap, uint16_t session, const Mac* dst, uint64_t nowMs, Output& out, std::string& error,
                          uint16_t& sequence);

private:
    // The handlers live beside what they answer: simulator.cpp (browse),
    // sessions.cpp (login, logout, notices), block_ops.cpp; Emit in faults.cpp.
    struct Reply;
    void HandleBrowse(const Mac& src, std::span<const uint8_t> body, uint16_t seq, int onlyAp, uint64_t nowMs,
                      Output& out);
    void HandleSession(int ap, const Mac& src, std::span<const uint8_t> body, uint16_t seq, uint64_t nowMs,
                       Output& out);
    void HandleLogout(int ap, const Mac& src, std::span<const uint8_t> body, uint16_t seq, uint64_t nowMs, Output& out);
    void HandleBlock(int ap, const Mac& src, std::span<const uint8_t> body, uint16_t seq, uint64_t nowMs, Output& out);
    // Builds one reply and passes it through the fault knobs; returns the names of the faults applied.
    std::string Emit(int ap, const Mac& dst, uint16_t seq, uint16_t type, unsigned scope, const Reply& reply,
                     Output& out);
    bool Notice(int ap, uint16_t session, const Mac* dst, uint16_t type, uint64_t nowMs, Output& out,
                std::string& error, uint16_t& sequence);
    uint16_t GrantSession(SimAp& ap, const Mac& holder);
    bool Held(SimAp& ap, uint16_t session, const Mac& holder);

    std::vector<SimAp> aps_;
    std::unordered_map<uint64_t, int> byMac_;
    Faults faults_;
    Rng rng_;
    uint64_t clock_ = 0;  // orders session use for the least-recently-used takeover
};

// Fills an AP's identity, blocks and a realistic image for AP number index.
void GenerateAp(SimAp& ap, int index, const Config& config);
Mac DeriveMac(uint64_t seed, int index);

// Image field helpers shared with the state file and the probe.
void WriteText(Image& image, size_t offset, size_t width, std::string_view text);
std::string ReadText(std::span<const uint8_t> bytes, size_t offset, size_t width);
bool ParseIpv4(std::string_view text, std::array<uint8_t, 4>& out);
void PutIpv4(Image& image, size_t offset, const std::array<uint8_t, 4>& ip);

}  // namespace apsim
