#pragma once
// The utility's side of the wire, reduced to raw frames: sends requests and
// collects whatever arrives, without the transaction engine's matching and
// retries, so that a test sees exactly what the simulator put on the wire.
// Used by apsim-probe and by the simulator's own tests. It opens its own
// capture with a ring large enough for a thousand browse replies in one
// burst, which the utility's packet channel is not sized for.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/frame.h"
#include "tools/apsim/apsim_core.h"

struct pcap;

namespace apsim {

// One frame as it arrived.
struct Received {
    std::vector<uint8_t> bytes;  // the whole Ethernet frame
    Mac dst{}, src{};
    bool valid = false;          // passed VerifyFrame
    aputil::FrameHeader header;  // meaningful when valid
    int64_t atUs = 0;            // steady-clock microseconds when it was taken from the channel
    std::span<const uint8_t> Body() const;
};

struct BrowseAnswer {
    Mac mac{};
    uint16_t sequence = 0;
    std::string vendor, product, model, name;
};

struct BlockAnswer {
    bool answered = false;
    uint16_t session = 0;
    uint16_t status = 0;
    uint16_t count = 0;         // counted-data length as announced
    std::vector<uint8_t> data;  // bytes after the 16-byte block header that the frame really holds
};

class Station {
public:
    Station();
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    bool Open(const std::string& iface, std::string& error);
    const Mac& mac() const { return mac_; }
    uint16_t NextSequence() { return sequence_++; }

    // Builds and sends one request from this station; false when it cannot be built or sent.
    bool Send(const Mac& dst, uint16_t sequence, uint16_t type, const aputil::FrameFields& fields);
    bool SendRaw(std::span<const uint8_t> frame);

    // Collects frames for up to ms, ending early once done(frames so far) is true.
    std::vector<Received> Collect(int ms, const std::function<bool(const std::vector<Received>&)>& done = {});
    // Discards whatever is waiting.
    void Flush();

    // Conveniences over Send + Collect, matching replies by sender and sequence.
    std::vector<BrowseAnswer> Browse(const std::string& vendor, const std::string& product, const std::string& model,
                                     int waitMs, int expected = -1);
    // The login reply's status and session; nullopt when nothing answered.
    std::optional<std::pair<uint16_t, uint16_t>> Login(const Mac& ap, const std::string& password, int waitMs = 1000,
                                                       const std::string& user = "user");
    BlockAnswer Block(const Mac& ap, uint16_t session, uint8_t op, uint32_t offset, uint32_t length,
                      std::span<const uint8_t> data = {}, int waitMs = 1000);

private:
    struct pcap* capture_ = nullptr;
    int fd_ = -1;
    Mac mac_{};
    uint16_t sequence_ = 0x100;
};

// Decodes a browse reply frame; false when it is not one.
bool DecodeBrowseReply(const Received& frame, BrowseAnswer& answer);
// Decodes a block reply frame's body without reading past the frame.
bool DecodeBlockReply(const Received& frame, BlockAnswer& answer);

}  // namespace apsim
