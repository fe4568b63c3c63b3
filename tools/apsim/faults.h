#pragma once
// The fault knobs: what a misbehaving AP or network does to the replies, set
// by name from the command line and the control commands.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace apsim {

// Which replies the probabilistic faults touch.
enum FaultScope : unsigned { kScopeBrowse = 1, kScopeLogin = 2, kScopeBlock = 4, kScopeAll = 7 };

struct Faults {
    double dropRequests = 0;
    double dropReplies = 0;
    double dupReplies = 0;
    uint32_t delayMs = 0;
    double delayProb = -1;  // below 0: 1 when delayMs is set
    double corruptChecksum = 0;
    double wrongSequence = 0;
    double foreignMac = 0;
    double oversizedBlock = 0;
    double truncatedBlock = 0;
    double lyingCount = 0;
    int refuseWriteChunk = -1;
    int forgeChunk = -1;  // image chunk whose reply a forged one precedes
    bool refuseCommit = false;
    uint32_t junk = 0;  // junk frames around each reply, at most kMaxJunk
    unsigned scope = kScopeAll;
};
inline constexpr uint32_t kMaxJunk = 64;
// The kinds of junk frame, in the order the generator's draw picks them.
enum JunkKind : unsigned { kJunkTruncated, kJunkBadCrc, kJunkForeignMac, kJunkStaleSequence, kJunkKinds };
// A damaged copy of a finished reply frame (Ethernet header included).
std::vector<uint8_t> MakeJunk(const std::vector<uint8_t>& reply, JunkKind kind);
// Sets one knob by its option name without "--" ("drop-replies", "refuse-commit", ...).
bool SetFault(Faults& faults, std::string_view name, std::string_view value, std::string& error);
bool IsFaultName(std::string_view name);

}  // namespace apsim
