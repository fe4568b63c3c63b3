// The fault knobs: set by name, and applied to each reply on its way out.

#include "tools/apsim/faults.h"

#include "protocol/bytes.h"
#include "protocol/ether.h"
#include "tools/apsim/apsim_core.h"
#include "tools/apsim/handlers.h"
#include "tools/apsim/text.h"

namespace apsim {

using aputil::FrameFields;
using aputil::kEthHeaderSize;

namespace {

template <double Faults::*Field>
bool SetProbability(Faults& faults, std::string_view name, std::string_view value, std::string& error) {
    double p = 0;
    if (!ParseProbability(value, p)) {
        error = std::string(name) + ": expected a probability 0..1, got '" + std::string(value) + "'";
        return false;
    }
    faults.*Field = p;
    return true;
}

bool SetDelayMs(Faults& faults, std::string_view, std::string_view value, std::string& error) {
    uint64_t n = 0;
    if (!ParseUnsigned(value, 600000, n)) {
        error = "delay-ms: expected milliseconds 0..600000";
        return false;
    }
    faults.delayMs = static_cast<uint32_t>(n);
    return true;
}

bool SetJunk(Faults& faults, std::string_view, std::string_view value, std::string& error) {
    uint64_t n = 0;
    if (!ParseUnsigned(value, kMaxJunk, n)) {
        error = "junk: expected a number of frames 0.." + std::to_string(kMaxJunk);
        return false;
    }
    faults.junk = static_cast<uint32_t>(n);
    return true;
}

// An image chunk by number, or -1/off for none.
template <int Faults::*Field>
bool SetChunk(Faults& faults, std::string_view name, std::string_view value, std::string& error) {
    int& chunk = faults.*Field;
    if (Trim(value) == "-1" || Trim(value) == "off") {
        chunk = -1;
        return true;
    }
    uint64_t n = 0;
    if (!ParseUnsigned(value, kImageSize / kChunkMax - 1, n)) {
        error = std::string(name) + ": expected a chunk number 0..7 (or off)";
        return false;
    }
    chunk = static_cast<int>(n);
    return true;
}

bool SetRefuseCommit(Faults& faults, std::string_view, std::string_view value, std::string& error) {
    const auto v = Trim(value);
    if (v == "1" || v == "on" || v == "true" || v.empty()) faults.refuseCommit = true;
    else if (v == "0" || v == "off" || v == "false") faults.refuseCommit = false;
    else {
        error = "refuse-commit: expected on or off";
        return false;
    }
    return true;
}

bool SetScope(Faults& faults, std::string_view, std::string_view value, std::string& error) {
    unsigned scope = 0;
    std::string_view rest = Trim(value);
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        const auto item = Trim(rest.substr(0, comma));
        if (item == "browse") scope |= kScopeBrowse;
        else if (item == "login") scope |= kScopeLogin;
        else if (item == "block") scope |= kScopeBlock;
        else if (item == "all") scope |= kScopeAll;
        else {
            error = "fault-on: unknown reply kind '" + std::string(item) + "' (browse, login, block, all)";
            return false;
        }
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    if (!scope) {
        error = "fault-on: empty list";
        return false;
    }
    faults.scope = scope;
    return true;
}

struct FaultKnob {
    std::string_view name;
    bool (*set)(Faults& faults, std::string_view name, std::string_view value, std::string& error);
};
constexpr FaultKnob kKnobs[] = {
    {"drop-requests", SetProbability<&Faults::dropRequests>},
    {"drop-replies", SetProbability<&Faults::dropReplies>},
    {"dup-replies", SetProbability<&Faults::dupReplies>},
    {"delay-ms", SetDelayMs},
    {"delay-prob", SetProbability<&Faults::delayProb>},
    {"corrupt-checksum", SetProbability<&Faults::corruptChecksum>},
    {"wrong-sequence", SetProbability<&Faults::wrongSequence>},
    {"foreign-mac", SetProbability<&Faults::foreignMac>},
    {"oversized-block", SetProbability<&Faults::oversizedBlock>},
    {"truncated-block", SetProbability<&Faults::truncatedBlock>},
    {"lying-count", SetProbability<&Faults::lyingCount>},
    {"refuse-write-chunk", SetChunk<&Faults::refuseWriteChunk>},
    {"forge-chunk", SetChunk<&Faults::forgeChunk>},
    {"refuse-commit", SetRefuseCommit},
    {"junk", SetJunk},
    {"fault-on", SetScope},
};

const FaultKnob* FindKnob(std::string_view name) {
    for (const auto& k : kKnobs)
        if (k.name == name) return &k;
    return nullptr;
}

}  // namespace

bool IsFaultName(std::string_view name) { return FindKnob(name) != nullptr; }

bool SetFault(Faults& faults, std::string_view name, std::string_view value, std::string& error) {
    if (const FaultKnob* knob = FindKnob(name)) return knob->set(faults, name, value, error);
    error = "unknown fault '" + std::string(name) + "'";
    return false;
}

void Recrc(std::vector<uint8_t>& frame) {
    if (frame.size() < kEthHeaderSize + aputil::kMinPayloadSize) return;
    const size_t at = ChecksumAt(frame);
    if (!at) return;
    aputil::PutU16beAt(frame, at, aputil::Crc16(frame.data() + kSeqAt, at - kSeqAt, 0));
}

std::vector<uint8_t> MakeJunk(const std::vector<uint8_t>& reply, JunkKind kind) {
    std::vector<uint8_t> j = reply;
    if (j.size() < kEthHeaderSize + aputil::kMinPayloadSize) return j;
    switch (kind) {
    case kJunkTruncated:
        // Cut inside the payload: the header's length runs past the frame.
        j.resize(kEthHeaderSize + (j.size() - kEthHeaderSize) / 2);
        break;
    case kJunkBadCrc:
        j.back() ^= 0xFF;
        break;
    case kJunkForeignMac: {
        // As if from another host: the source that foreign-mac sends from. j holds a header (checked above).
        aputil::EtherHeader eth = *aputil::ReadEtherHeader(j);
        eth.source[0] = 0x06;
        aputil::WriteEtherHeader(j, eth);
        break;
    }
    default: {
        // Half the counter away from the request's sequence: one the
        // requester neither waits for nor used lately. The request before's
        // would make this copy a conflicting second reply to that exchange,
        // which a requester rightly fails a transfer for.
        aputil::PutU16beAt(j, kSeqAt, static_cast<uint16_t>(aputil::U16beAt(j, kSeqAt) ^ 0x8000));
        Recrc(j);
        break;
    }
    }
    return j;
}

std::string Simulator::Emit(int index, const Mac& dst, uint16_t seq, uint16_t type, unsigned scope, const Reply& reply,
                            Output& out) {
    SimAp& ap = Ap(index);
    const Faults& fl = faults_;
    const bool on = (fl.scope & scope) != 0;
    std::string applied;
    if (on && rng_.Chance(fl.dropReplies)) {
        AddName(applied, "drop-reply");
        return applied;
    }
    uint16_t outSeq = seq;
    if (on && rng_.Chance(fl.wrongSequence)) {
        outSeq = static_cast<uint16_t>(seq + 1);
        AddName(applied, "wrong-sequence");
    }
    Mac from = ap.mac;
    if (on && rng_.Chance(fl.foreignMac)) {
        from[0] = 0x06;
        AddName(applied, "foreign-mac");
    }

    OutFrame frame;
    std::vector<uint8_t>& b = frame.bytes;
    bool lying = false;
    if (type == aputil::MSG_BROWSE_REPLY) {
        if (ap.browseReply.empty()) return applied;
        b = ap.browseReply;
        aputil::PutU16beAt(b, kSeqAt, outSeq);
    } else {
        std::vector<uint8_t> counted = reply.counted;
        if (on && reply.shapeable && counted.size() >= aputil::kBlockHeaderSize) {
            const size_t dataLen = counted.size() - aputil::kBlockHeaderSize;
            size_t newLen = dataLen;
            if (rng_.Chance(fl.oversizedBlock)) {
                newLen = 1024;
                counted.resize(aputil::kBlockHeaderSize + newLen, 0xEE);
                AddName(applied, "oversized-block");
            } else if (rng_.Chance(fl.truncatedBlock)) {
                newLen = dataLen / 2;
                counted.resize(aputil::kBlockHeaderSize + newLen);
                AddName(applied, "truncated-block");
            } else if (rng_.Chance(fl.lyingCount)) {
                lying = true;
                AddName(applied, "lying-count");
            }
            PutU32le(counted.data() + 8, static_cast<uint32_t>(newLen));
        }
        FrameFields f = reply.fields;
        f.data = counted;
        b.assign(kEthHeaderSize + aputil::kFrameBufferSize, 0);
        const size_t n = aputil::BuildFrame(std::span<uint8_t>(b).subspan(kEthHeaderSize), outSeq, type, f);
        if (!n) return applied;
        b.resize(kEthHeaderSize + n);
    }
    aputil::WriteEtherHeader(b, {dst, from, aputil::kEtherType});
    if (lying) {
        // Block reply body: session, status, count. Claim 200 bytes the frame does not hold.
        const size_t at = kEthHeaderSize + aputil::kFrameHeaderSize + 4;
        aputil::PutU16beAt(b, at, static_cast<uint16_t>(aputil::U16beAt(b, at) + 200));
    }
    Recrc(b);
    if (on && rng_.Chance(fl.corruptChecksum)) {
        b.back() ^= 0xFF;
        AddName(applied, "corrupt-checksum");
    }
    if (fl.delayMs > 0 && on && rng_.Chance(fl.delayProb < 0 ? 1.0 : fl.delayProb)) {
        frame.delayMs = fl.delayMs;
        AddName(applied, "delay");
    }
    // Junk around the reply: half of it before, the rest after, sent with the
    // reply's delay so that the order on the wire stays as drawn.
    std::vector<OutFrame> junkAfter;
    if (on && fl.junk > 0) {
        for (uint32_t i = 0; i < fl.junk; ++i) {
            const auto kind = static_cast<JunkKind>(rng_.Next() % kJunkKinds);
            OutFrame j{MakeJunk(frame.bytes, kind), frame.delayMs};
            if (i < fl.junk / 2) out.frames.push_back(std::move(j));
            else junkAfter.push_back(std::move(j));
        }
        AddName(applied, "junk");
    }
    const bool dup = on && rng_.Chance(fl.dupReplies);
    if (dup) {
        out.frames.push_back(frame);
        AddName(applied, "dup-reply");
    }
    out.frames.push_back(std::move(frame));
    for (OutFrame& j : junkAfter) out.frames.push_back(std::move(j));
    return applied;
}

}  // namespace apsim
