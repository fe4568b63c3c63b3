// Block requests: one handler per op (info, read, write, commit), and the
// reply with the faults that touch block replies only.

#include <cstring>

#include "tools/apsim/apsim_core.h"
#include "tools/apsim/handlers.h"

namespace apsim {

using aputil::BlockHeader;
using aputil::ByteReader;

namespace {

// One block request of a station that holds its session, as an op's handler sees it.
struct OpRequest {
    int index;
    SimAp& ap;
    const BlockHeader& header;
    std::span<const uint8_t> payload;  // what follows the block header
    const Faults& faults;
    uint64_t nowMs;
    Output& out;
};

struct OpResult {
    uint16_t status = 0;
    std::span<const uint8_t> data;  // into the AP's blocks
    bool shapeable = false;         // the block faults may reshape the data
    std::string_view refused;       // the fault that refused the request, for the log
};

bool Inside(const BlockHeader& header, uint32_t base, size_t size) {
    const uint64_t off = header.offset, len = header.length;
    return off >= base && off + len <= uint64_t{base} + size;
}

// The chunk of the image that a fault knob names, by its number.
bool IsChunk(const BlockHeader& header, int chunk) {
    return chunk >= 0 && header.offset == kImageAddress + kChunkMax * static_cast<uint32_t>(chunk);
}

OpResult Info(const OpRequest& rq) { return {0, rq.ap.deviceInfo, true, {}}; }

OpResult Read(const OpRequest& rq) {
    const BlockHeader& h = rq.header;
    OpResult a;
    if (h.length < 1 || h.length > kChunkMax) a.status = kDevBadRequest;
    else if (Inside(h, kFirmwareAddress, kFirmwareSize))
        a.data = std::span<const uint8_t>(rq.ap.firmware).subspan(h.offset - kFirmwareAddress, h.length);
    else if (Inside(h, kImageAddress, kImageSize))
        a.data = std::span<const uint8_t>(rq.ap.image).subspan(h.offset - kImageAddress, h.length);
    else a.status = kDevBadRequest;
    a.shapeable = a.status == 0;
    return a;
}

// Writes go to the pending image until a good commit.
OpResult Write(const OpRequest& rq) {
    const BlockHeader& h = rq.header;
    if (h.length < 1 || h.length > kChunkMax || rq.payload.size() < h.length || !Inside(h, kImageAddress, kImageSize))
        return {kDevBadRequest, {}, false, {}};
    if (IsChunk(h, rq.faults.refuseWriteChunk)) return {kDevRefused, {}, false, "refuse-write"};
    std::memcpy(rq.ap.pending.data() + (h.offset - kImageAddress), rq.payload.data(), h.length);
    return {};
}

// The pending image becomes the live one if its checksum holds; a bad one is dropped.
OpResult Commit(const OpRequest& rq) {
    if (rq.faults.refuseCommit) return {kDevRefused, {}, false, "refuse-commit"};
    SimAp& ap = rq.ap;
    const bool good = ImageCrc(ap.pending) == StoredImageCrc(ap.pending);
    JsonLine commit(rq.nowMs, "commit");
    commit.Str("ap", MacText(ap.mac)).Bool("ok", good).Num("crc", StoredImageCrc(ap.pending));
    OpResult a;
    if (good) {
        ap.image = ap.pending;
        ++ap.commits;
        rq.out.committed.push_back(rq.index);
    } else {
        commit.Num("expected", ImageCrc(ap.pending));
        ap.pending = ap.image;
        a.status = kDevBadChecksum;
    }
    rq.out.log.push_back(commit.Done());
    return a;
}

struct BlockOp {
    uint8_t op;
    OpResult (*handle)(const OpRequest& rq);
};
constexpr BlockOp kBlockOps[] = {
    {aputil::BLOCK_OP_INFO, Info},
    {aputil::BLOCK_OP_READ, Read},
    {aputil::BLOCK_OP_WRITE, Write},
    {aputil::BLOCK_OP_COMMIT, Commit},
};

OpResult RunOp(const OpRequest& rq) {
    for (const BlockOp& op : kBlockOps)
        if (op.op == rq.header.op) return op.handle(rq);
    return {kDevBadRequest, {}, false, {}};
}

// Another host answering first as this AP: a copy of the reply at frames[at]
// with the same source, sequence and session, the last byte of the counted
// data inverted. False when the reply holds no counted data.
bool InsertForgedCopy(std::vector<OutFrame>& frames, size_t at) {
    OutFrame forged = frames[at];
    std::vector<uint8_t>& f = forged.bytes;
    const size_t crcAt = ChecksumAt(f);
    if (crcAt <= kSeqAt) return false;  // past the frame, or no bytes under the checksum
    f[crcAt - 1] ^= 0xFF;
    Recrc(f);
    forged.delayMs = 0;
    frames.insert(frames.begin() + static_cast<std::ptrdiff_t>(at), std::move(forged));
    return true;
}

}  // namespace

void Simulator::HandleBlock(int index, const Mac& src, std::span<const uint8_t> body, uint16_t seq, uint64_t nowMs,
                            Output& out) {
    SimAp& ap = Ap(index);
    ByteReader r(body);
    const uint16_t session = r.u16be();
    const uint16_t count = r.u16be();
    const auto data = r.view(count);
    JsonLine line = RequestLine(nowMs, ap, aputil::MSG_BLOCK);
    const auto header = r.ok() ? BlockHeader::Read(data) : std::nullopt;
    if (!header) {
        out.log.push_back(line.Num("seq", seq).Str("src", MacText(src)).Bool("malformed", true).Done());
        return;
    }
    line.Num("op", header->op).Num("seq", seq).Str("src", MacText(src)).Num("session", session);
    line.Num("offset", header->offset).Num("length", header->length);

    if (header->op == aputil::BLOCK_OP_FINISH) {
        // The firmware restarts its management task here and answers nothing.
        Held(ap, session, src);
        out.log.push_back(line.Done());
        return;
    }

    OpResult result{kDevNoSession, {}, false, {}};
    if (Held(ap, session, src))
        result = RunOp({index, ap, *header, data.subspan(aputil::kBlockHeaderSize), faults_, nowMs, out});
    Reply reply;
    reply.shapeable = result.shapeable;
    BlockHeader device{header->op, header->offset, static_cast<uint32_t>(result.data.size())};
    reply.counted.resize(aputil::kBlockHeaderSize);
    device.Write(reply.counted.data());
    reply.counted.insert(reply.counted.end(), result.data.begin(), result.data.end());
    reply.fields.session = session;
    reply.fields.status = result.status;
    const size_t framesBefore = out.frames.size();
    std::string applied = Emit(index, src, seq, aputil::MSG_BLOCK_REPLY, kScopeBlock, reply, out);
    const bool forge = (header->op == aputil::BLOCK_OP_READ || header->op == aputil::BLOCK_OP_WRITE) &&
                       IsChunk(*header, faults_.forgeChunk);
    if (forge && out.frames.size() > framesBefore && InsertForgedCopy(out.frames, framesBefore))
        AddName(applied, "forge");
    if (!result.refused.empty()) {
        std::string names(result.refused);
        if (!applied.empty()) names += ',';
        applied = names + applied;
    }
    out.log.push_back(line.Num("status", result.status).Fault(applied).Done());
}

}  // namespace apsim
