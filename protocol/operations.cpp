#include "protocol/operations.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <string_view>

#include "protocol/bytes.h"
#include "protocol/engine.h"
#include "transport/adapter.h"

namespace aputil {

SessionSlot sessionTable[kMaxSessions + 1];

namespace {

// What a reply to a session request must match, and what it brought.
struct PendingReply {
    int32_t status = STATUS_NO_REPLY;
    PeerAddress peer;
    uint16_t sequence = 0;
    uint16_t session = 0;
    // Set by the handler that took a reply: ends the attempts even when the
    // device's own status happens to equal STATUS_NO_REPLY, and makes the
    // first answer win over a late duplicate.
    bool matched = false;
};

struct PendingBrowse {
    int32_t count = 0;
    BrowseRecord* records = nullptr;
    int32_t capacity = 0;
    // A browse over several channels: one count, and capacity records, per channel.
    int* counts = nullptr;
    int32_t channels = 0;
};

struct PendingLogin : PendingReply {
    uint16_t granted = 0;
};

struct PendingBlock : PendingReply {
    uint8_t data[kBlockReplyDataSize] = {};
    int32_t dataLength = 0;
};

struct PendingGet : PendingReply {
    uint8_t* buffer = nullptr;
    size_t capacity = 0;
    size_t length = 0;
};

struct PendingHandleOpen : PendingReply {
    uint16_t handle = 0;
    uint32_t value = 0;
};

struct PendingHandleIo : PendingReply {
    uint16_t handle = 0;
    uint16_t length = 0;  // write: the length sent
    uint32_t position = 0;
    uint8_t* buffer = nullptr;  // read: where the data goes
    size_t capacity = 0;
    size_t copied = 0;
};

// One flag per operation kind; the repeated browse shares the browse flag.
int loginBusy = 0;
int browseBusy = 0;
int getBusy = 0;
int setBusy = 0;
int handleOpenBusy = 0;
int handleCloseBusy = 0;
int handleWriteBusy = 0;
int handleReadBusy = 0;
int blockBusy = 0;

// The block replies taken lately, as they were taken, so that a second reply
// to one of those exchanges can be told apart: an identical one is the AP
// answering a repeated request, a different one means somebody else answered
// too, and nobody can tell which of the two was the AP. A transfer is at most
// ten exchanges; sixteen cover it with the finish requests after it. Kept in
// static storage: nothing is allocated per exchange.
struct AnsweredBlock {
    bool used = false;
    PeerAddress peer;
    uint16_t sequence = 0;
    uint16_t session = 0;
    uint16_t length = 0;  // of the compared part of the body: status, count, data
    uint8_t body[4 + kBlockReplyDataSize] = {};
};
constexpr size_t kAnsweredBlocks = 16;
AnsweredBlock answeredBlocks[kAnsweredBlocks];
size_t answeredNext = 0;
bool blockConflict = false;

// What of a block reply's body was taken: status, data count and the data
// it counts (all of it that the frame holds, when it announces more).
std::span<const uint8_t> TakenPart(std::span<const uint8_t> body) {
    if (body.size() < 6) return {};
    const size_t count = size_t{U16beAt(body, 4)};
    const size_t data = count < kBlockReplyDataSize ? count : 0;
    return body.subspan(2, 4 + std::min(data, body.size() - 6));
}

void RememberBlockReply(const PeerAddress& sender, uint16_t sequence, uint16_t session,
                        std::span<const uint8_t> taken) {
    AnsweredBlock& a = answeredBlocks[answeredNext];
    answeredNext = (answeredNext + 1) % kAnsweredBlocks;
    a.used = true;
    a.peer = sender;
    a.sequence = sequence;
    a.session = session;
    a.length = static_cast<uint16_t>(taken.size());
    std::memcpy(a.body, taken.data(), taken.size());
}

// A fresh request may reuse a sequence number after the counter wrapped:
// what was taken under it before says nothing about the new exchange.
void ForgetBlockSequence(uint16_t sequence) {
    for (AnsweredBlock& a : answeredBlocks)
        if (a.sequence == sequence) a.used = false;
}

// True when the reply belongs to an exchange already answered; marks a
// conflict when it differs from the reply taken.
bool IsAnsweredBlockReply(const PeerAddress& sender, const FrameHeader& header, std::span<const uint8_t> body) {
    if (body.size() < 6) return false;
    const uint16_t session = U16beAt(body, 0);
    for (const AnsweredBlock& a : answeredBlocks) {
        if (!a.used || a.sequence != header.sequence || a.session != session || !(a.peer == sender)) continue;
        const std::span<const uint8_t> taken = TakenPart(body);
        if (taken.size() != a.length || std::memcmp(taken.data(), a.body, a.length) != 0) blockConflict = true;
        return true;
    }
    return false;
}

PendingBrowse browsePending;
PendingLogin loginPending;
PendingBlock blockPending;
PendingGet getPending;
PendingReply setPending;
PendingHandleOpen handleOpenPending;
PendingHandleIo handleClosePending;
PendingHandleIo handleWritePending;
PendingHandleIo handleReadPending;

// Longest id list that can fit in one frame; a list without its terminator
// within that many entries cannot be sent anyway.
constexpr size_t kMaxIdListEntries = kFrameBufferSize / 2;

size_t Build(std::span<uint8_t> out, uint16_t sequence, uint16_t type, const FrameFields& fields) {
    const int max = protocolParameters.maxFrameSize;
    return BuildFrame(out, sequence, type, fields, max > 0 ? static_cast<size_t>(max) : 0);
}

bool ValidSession(uint16_t s) { return s >= 1 && s <= kMaxSessions; }

// The AP of session s, or nullptr when s names no slot or the slot was never
// granted: its peer would be the broadcast address, and a request for a
// session number sent to every AP on the segment is never what was meant.
const PeerAddress* SessionPeer(uint16_t s) {
    if (!ValidSession(s) || sessionTable[s].peer.length == 0) return nullptr;
    return &sessionTable[s].peer;
}

std::string_view Text(const char* s) { return s ? std::string_view(s) : std::string_view(); }

// The send/wait pattern of every operation with a reply: the frame is built,
// the pending record names the peer, sequence and session.
int RunExchange(int& busy, PendingReply& pending, const uint8_t* frame, size_t length) {
    pending.status = STATUS_NO_REPLY;
    pending.matched = false;
    busy = 1;
    for (int attempt = 0; attempt <= protocolParameters.retryCount; ++attempt) {
        SendPayload(pending.peer, frame, length);
        WaitForReply(GetTimeout());
        if (pending.matched) break;
    }
    busy = 0;
    return pending.status;
}

// What a request on a session came to, and whether it was sent at all: when it
// was not, its pending record belongs to another request or to an earlier one,
// and the caller takes nothing from it.
struct SessionOutcome {
    int status = STATUS_FAILED;
    bool sent = false;
};

// The steps every request on a session shares. Refused, sending nothing, with
// STATUS_BUSY while a request of its kind waits and STATUS_BAD_SESSION for a
// session that no AP granted. fill(fields) then sets the kind's own fields and
// says whether its arguments are usable; when they are not, or the frame does
// not build, STATUS_FAILED. Otherwise the request takes the next sequence
// number and the session, prepare(sequence) sets the kind's own pending
// fields, the pending record names the session's AP, the sequence and the
// session, and the exchange runs.
template <typename Fill, typename Prepare>
SessionOutcome RequestOnSession(int& busy, PendingReply& pending, uint16_t session, uint16_t type, Fill fill,
                                Prepare prepare) {
    if (busy) return {STATUS_BUSY, false};
    const PeerAddress* peer = SessionPeer(session);
    if (!peer) return {STATUS_BAD_SESSION, false};
    FrameFields fields;
    if (!fill(fields)) return {STATUS_FAILED, false};
    const uint16_t sequence = NextSequence();
    fields.session = session;
    uint8_t frame[kFrameBufferSize];
    const size_t length = Build(frame, sequence, type, fields);
    if (length == 0) return {STATUS_FAILED, false};

    prepare(sequence);
    pending.peer = *peer;
    pending.sequence = sequence;
    pending.session = session;
    return {RunExchange(busy, pending, frame, length), true};
}

// Reads the session field of a reply body and checks the common match rules.
bool MatchesSessionReply(int busy, const PendingReply& pending, const PeerAddress& sender, const FrameHeader& header,
                         ByteReader& body) {
    if (!busy || pending.matched) return false;
    const uint16_t session = body.u16be();
    return body.ok() && sender == pending.peer && header.sequence == pending.sequence && session == pending.session;
}

void Complete(PendingReply& pending, int status) {
    pending.status = status;
    pending.matched = true;
    SignalReply();
}

void CopyText(std::span<const uint8_t> attributes, uint16_t id, char* field) {
    const auto found = FindAttribute(attributes, id);
    if (!found || found->value.size() >= kBrowseTextSize) return;
    std::memcpy(field, found->value.data(), found->value.size());
    field[found->value.size()] = '\0';
}

}  // namespace

void BrowseReplyHandler(const PeerAddress& sender, const FrameHeader&, std::span<const uint8_t> body) {
    // Every browse reply during the wait counts; sequence and filters are not
    // compared, so the repeated browse collects all of its passes.
    if (!browseBusy || browsePending.records == nullptr) return;
    BrowseRecord* records = browsePending.records;
    int32_t* count = &browsePending.count;
    if (browsePending.counts != nullptr) {
        const int channel = theAdapter.deliveringChannel;
        if (channel < 0 || channel >= browsePending.channels) return;
        records += static_cast<ptrdiff_t>(channel) * browsePending.capacity;
        count = &browsePending.counts[channel];
    }
    if (*count >= browsePending.capacity) return;
    for (int32_t i = 0; i < *count; ++i)
        if (records[i].peer == sender) return;
    BrowseRecord& record = records[*count];
    record = BrowseRecord{};
    record.peer = sender;
    CopyText(body, ATTR_VENDOR, record.vendor);
    CopyText(body, ATTR_PRODUCT, record.product);
    CopyText(body, ATTR_MODEL, record.model);
    CopyText(body, ATTR_AP_NAME, record.apName);
    ++*count;
}

void SessionMessageHandler(const PeerAddress& sender, const FrameHeader& header, std::span<const uint8_t> body) {
    ByteReader r(body);
    const uint16_t subtype = r.u16be();
    const uint16_t first = r.u16be();
    const uint16_t second = r.u16be();
    if (!r.ok()) return;
    if (subtype == SESSION_LOGIN_REPLY) {
        if (!loginBusy || loginPending.matched || !(sender == loginPending.peer) ||
            header.sequence != loginPending.sequence)
            return;
        loginPending.granted = second;
        Complete(loginPending, first);
    } else if (subtype == SESSION_CHECK) {
        AnswerSessionCheck(sender, header.sequence, second);
    }
}

void LogoutNoticeHandler(const PeerAddress&, const FrameHeader&, std::span<const uint8_t> body) {
    ByteReader r(body);
    const uint16_t s = r.u16be();
    if (r.ok() && ValidSession(s)) sessionTable[s].inUse = 0;
}

void BlockReplyHandler(const PeerAddress& sender, const FrameHeader& header, std::span<const uint8_t> body) {
    if (IsAnsweredBlockReply(sender, header, body)) return;
    ByteReader r(body);
    if (!MatchesSessionReply(blockBusy, blockPending, sender, header, r)) return;
    const uint16_t status = r.u16be();
    const uint16_t length = r.u16be();
    if (!r.ok()) return;
    RememberBlockReply(sender, header.sequence, blockPending.session, TakenPart(body));
    // Data announced beyond what the frame holds, or beyond the reply buffer,
    // is never copied: the exchange fails rather than hand back stale bytes.
    if (length >= kBlockReplyDataSize || length > r.remaining()) {
        blockPending.dataLength = 0;
        Complete(blockPending, STATUS_FAILED);
        return;
    }
    r.bytes(blockPending.data, length);
    blockPending.dataLength = length;
    Complete(blockPending, status);
}

void GetReplyHandler(const PeerAddress& sender, const FrameHeader& header, std::span<const uint8_t> body) {
    ByteReader r(body);
    if (!MatchesSessionReply(getBusy, getPending, sender, header, r)) return;
    const uint16_t status = r.u16be();
    if (!r.ok()) return;
    getPending.length = 0;
    // Status 7 delivers its attribute list as 0 does.
    if (status != 0 && status != 7) {
        Complete(getPending, status);
        return;
    }
    const std::span<const uint8_t> list = body.subspan(r.position());
    if (!FindAttribute(list, ATTR_END)) {
        Complete(getPending, STATUS_FAILED);
        return;
    }
    if (list.size() > getPending.capacity) {
        Complete(getPending, STATUS_NO_ROOM);
        return;
    }
    std::memcpy(getPending.buffer, list.data(), list.size());
    getPending.length = list.size();
    Complete(getPending, status);
}

void SetReplyHandler(const PeerAddress& sender, const FrameHeader& header, std::span<const uint8_t> body) {
    ByteReader r(body);
    if (!MatchesSessionReply(setBusy, setPending, sender, header, r)) return;
    const uint16_t status = r.u16be();
    if (r.ok()) Complete(setPending, status);
}

void HandleOpenReplyHandler(const PeerAddress& sender, const FrameHeader& header, std::span<const uint8_t> body) {
    ByteReader r(body);
    if (!MatchesSessionReply(handleOpenBusy, handleOpenPending, sender, header, r)) return;
    const uint16_t status = r.u16be();
    if (!r.ok()) return;
    // A refusal need not carry the handle and value; a success must.
    if (status != 0) {
        Complete(handleOpenPending, status);
        return;
    }
    const uint16_t handle = r.u16be();
    const uint32_t value = r.u32be();
    if (!r.ok()) return;
    handleOpenPending.handle = handle;
    handleOpenPending.value = value;
    Complete(handleOpenPending, status);
}

void HandleCloseReplyHandler(const PeerAddress& sender, const FrameHeader& header, std::span<const uint8_t> body) {
    ByteReader r(body);
    if (!MatchesSessionReply(handleCloseBusy, handleClosePending, sender, header, r)) return;
    const uint16_t handle = r.u16be();
    const uint16_t status = r.u16be();
    if (r.ok() && handle == handleClosePending.handle) Complete(handleClosePending, status);
}

void HandleWriteReplyHandler(const PeerAddress& sender, const FrameHeader& header, std::span<const uint8_t> body) {
    ByteReader r(body);
    if (!MatchesSessionReply(handleWriteBusy, handleWritePending, sender, header, r)) return;
    const uint16_t handle = r.u16be();
    const uint16_t status = r.u16be();
    const uint16_t length = r.u16be();
    const uint32_t position = r.u32be();
    if (!r.ok() || handle != handleWritePending.handle || length != handleWritePending.length ||
        position != handleWritePending.position)
        return;
    Complete(handleWritePending, status);
}

void HandleReadReplyHandler(const PeerAddress& sender, const FrameHeader& header, std::span<const uint8_t> body) {
    ByteReader r(body);
    if (!MatchesSessionReply(handleReadBusy, handleReadPending, sender, header, r)) return;
    const uint16_t handle = r.u16be();
    const uint16_t status = r.u16be();
    const uint16_t length = r.u16be();
    const uint32_t position = r.u32be();
    if (!r.ok() || handle != handleReadPending.handle || position != handleReadPending.position) return;
    handleReadPending.copied = 0;
    if (status != 0) {
        Complete(handleReadPending, status);
        return;
    }
    if (length > handleReadPending.capacity) {
        Complete(handleReadPending, STATUS_NO_ROOM);
        return;
    }
    // Data the reply announces but does not carry: the body is too short for
    // what the handler reads, so the reply is not taken.
    if (length > r.remaining()) return;
    if (length) r.bytes(handleReadPending.buffer, length);
    handleReadPending.copied = length;
    Complete(handleReadPending, status);
}

namespace {

struct ReplyRoute {
    uint16_t type;
    ReplyHandler handler;
};

constexpr ReplyRoute kReplyRoutes[] = {
    {MSG_BROWSE_REPLY, BrowseReplyHandler},
    {MSG_GET_REPLY, GetReplyHandler},
    {MSG_SESSION, SessionMessageHandler},
    {MSG_LOGOUT, LogoutNoticeHandler},
    {MSG_SET_REPLY, SetReplyHandler},
    {MSG_HANDLE_OPEN_REPLY, HandleOpenReplyHandler},
    {MSG_HANDLE_CLOSE_REPLY, HandleCloseReplyHandler},
    {MSG_HANDLE_READ_REPLY, HandleReadReplyHandler},
    {MSG_HANDLE_WRITE_REPLY, HandleWriteReplyHandler},
    {MSG_BLOCK_REPLY, BlockReplyHandler},
};

}  // namespace

void DispatchFrame(const PeerAddress& sender, const FrameHeader& header, std::span<const uint8_t> body) {
    for (const ReplyRoute& route : kReplyRoutes) {
        if (route.type == header.type) {
            route.handler(sender, header, body);
            return;
        }
    }
}

int Browse(const Attribute& vendor, const Attribute& product, const Attribute& model, BrowseRecord* records,
           int& count) {
    if (browseBusy) return STATUS_BUSY;
    const Attribute filters[3] = {vendor, product, model};
    FrameFields fields;
    fields.attributes = filters;
    uint8_t frame[kFrameBufferSize];
    const size_t length = Build(frame, NextSequence(), MSG_BROWSE, fields);
    if (length == 0) return STATUS_FAILED;

    browsePending.records = records;
    browsePending.capacity = records ? (count > 0 ? count : 0) : 0;
    browsePending.count = 0;
    browseBusy = 1;
    SendPayload(PeerAddress::Broadcast(), frame, length);
    // Browse replies never signal: the whole wait collects every AP's answer.
    WaitForReply(GetTimeout());
    browseBusy = 0;
    count = browsePending.count;
    return STATUS_OK;
}

int BrowseChannels(const Attribute& vendor, const Attribute& product, const Attribute& model, BrowseRecord* records,
                   int capacity, int* counts, int channels) {
    if (browseBusy) return STATUS_BUSY;
    if (records == nullptr || counts == nullptr || capacity <= 0 || channels <= 0 || channels > theAdapter.channelCount)
        return STATUS_FAILED;
    const Attribute filters[3] = {vendor, product, model};
    FrameFields fields;
    fields.attributes = filters;
    uint8_t frame[kFrameBufferSize];
    const size_t length = Build(frame, NextSequence(), MSG_BROWSE, fields);
    if (length == 0) return STATUS_FAILED;

    for (int c = 0; c < channels; ++c) counts[c] = 0;
    browsePending.records = records;
    browsePending.capacity = capacity;
    browsePending.counts = counts;
    browsePending.channels = channels;
    browsePending.count = 0;
    browseBusy = 1;
    SendPayload(PeerAddress::Broadcast(), frame, length);  // on every channel
    WaitForReply(GetTimeout());
    browseBusy = 0;
    browsePending.counts = nullptr;
    browsePending.channels = 0;
    return STATUS_OK;
}

int BrowseRepeated(int n, const Attribute* vendors, const Attribute* products, const Attribute* models,
                   BrowseRecord* records, int& count) {
    if (browseBusy) return STATUS_BUSY;
    if (n <= 0 || !vendors || !products || !models) return STATUS_FAILED;
    uint8_t frame[kFrameBufferSize];
    auto buildSet = [&](int j, uint16_t sequence) {
        const Attribute filters[3] = {vendors[j], products[j], models[j]};
        FrameFields fields;
        fields.attributes = filters;
        return Build(frame, sequence, MSG_BROWSE, fields);
    };
    // Every filter set must build before anything is sent.
    for (int j = 0; j < n; ++j)
        if (buildSet(j, sequenceCounter) == 0) return STATUS_FAILED;

    browsePending.records = records;
    browsePending.capacity = records ? (count > 0 ? count : 0) : 0;
    browsePending.count = 0;
    browseBusy = 1;
    // A first pass and retryCount repeats, as for every other request.
    for (int pass = 0; pass <= protocolParameters.retryCount; ++pass) {
        const uint16_t sequence = sequenceCounter;
        for (int j = 0; j < n; ++j) {
            const size_t length = buildSet(j, sequence);
            if (length) SendPayload(PeerAddress::Broadcast(), frame, length);
        }
        WaitForReply(GetTimeout());
        NextSequence();
    }
    browseBusy = 0;
    count = browsePending.count;
    return STATUS_OK;
}

int Login(const PeerAddress& peer, const char* user, const char* password, uint16_t& sessionId) {
    if (loginBusy) return STATUS_BUSY;
    loginPending.peer = peer;
    loginPending.sequence = NextSequence();
    loginPending.session = 0;
    FrameFields fields;
    fields.subtype = SESSION_LOGIN;
    fields.user = Text(user);
    fields.password = Text(password);
    uint8_t frame[kFrameBufferSize];
    const size_t length = Build(frame, loginPending.sequence, MSG_SESSION, fields);
    if (length == 0) return STATUS_FAILED;

    loginPending.granted = 0;
    const int status = RunExchange(loginBusy, loginPending, frame, length);
    if (status != STATUS_OK) return status;
    const uint16_t s = loginPending.granted;
    // An accepted login whose id has no slot cannot be used for anything.
    if (!ValidSession(s)) return STATUS_FAILED;
    SessionSlot& slot = sessionTable[s];
    slot.inUse = 1;
    slot.peer = peer;
    slot.alive = 1;
    sessionId = s;
    return STATUS_OK;
}

int Logout(uint16_t session) {
    if (!ValidSession(session)) return STATUS_BAD_SESSION;
    SessionSlot& slot = sessionTable[session];
    slot.inUse = 0;
    // A slot never granted has nobody to tell.
    if (slot.peer.length == 0) return STATUS_OK;
    FrameFields fields;
    fields.session = session;
    uint8_t frame[kFrameBufferSize];
    const size_t length = Build(frame, NextSequence(), MSG_LOGOUT, fields);
    if (length) SendPayload(slot.peer, frame, length);
    return STATUS_OK;
}

int BlockRequest(uint16_t session, const uint8_t* data, size_t length, const uint8_t*& replyData, size_t& replyLength) {
    const auto fill = [&](FrameFields& fields) {
        if (data == nullptr && length != 0) return false;
        fields.data = std::span<const uint8_t>(data, length);
        return true;
    };
    const auto prepare = [](uint16_t sequence) {
        ForgetBlockSequence(sequence);
        blockPending.dataLength = 0;  // nothing from an earlier reply is handed back
    };
    const SessionOutcome outcome = RequestOnSession(blockBusy, blockPending, session, MSG_BLOCK, fill, prepare);
    if (outcome.sent) {
        replyData = blockPending.data;
        replyLength = static_cast<size_t>(blockPending.dataLength);
    }
    return outcome.status;
}

int GetAttributes(uint16_t session, const uint16_t* ids, uint8_t* buffer, size_t capacity, size_t& length) {
    length = 0;
    const auto fill = [&](FrameFields& fields) {
        if (ids == nullptr) return false;
        size_t idCount = 0;
        while (idCount < kMaxIdListEntries && ids[idCount] != ATTR_END) ++idCount;
        if (idCount == kMaxIdListEntries) return false;
        fields.ids = std::span<const uint16_t>(ids, idCount + 1);
        return true;
    };
    const auto prepare = [&](uint16_t) {
        getPending.buffer = buffer;
        getPending.capacity = buffer ? capacity : 0;
        getPending.length = 0;
    };
    const SessionOutcome outcome = RequestOnSession(getBusy, getPending, session, MSG_GET, fill, prepare);
    if (outcome.sent) length = getPending.length;
    return outcome.status;
}

int SetAttributes(uint16_t session, const uint8_t* list, size_t listLength) {
    const auto fill = [&](FrameFields& fields) {
        fields.attributeList = std::span<const uint8_t>(list, list ? listLength : 0);
        return FindAttribute(fields.attributeList, ATTR_END).has_value();
    };
    return RequestOnSession(setBusy, setPending, session, MSG_SET, fill, [](uint16_t) {}).status;
}

int HandleOpen(uint16_t session, const char* name, uint8_t mode, uint16_t& handle, uint32_t& value) {
    const auto fill = [&](FrameFields& fields) {
        fields.mode = mode;
        fields.name = Text(name);
        return true;
    };
    const int status =
        RequestOnSession(handleOpenBusy, handleOpenPending, session, MSG_HANDLE_OPEN, fill, [](uint16_t) {}).status;
    if (status == STATUS_OK) {
        handle = handleOpenPending.handle;
        value = handleOpenPending.value;
    }
    return status;
}

int HandleClose(uint16_t session, uint16_t handle) {
    const auto fill = [&](FrameFields& fields) {
        fields.handle = handle;
        return true;
    };
    const auto prepare = [&](uint16_t) { handleClosePending.handle = handle; };
    return RequestOnSession(handleCloseBusy, handleClosePending, session, MSG_HANDLE_CLOSE, fill, prepare).status;
}

int HandleRead(uint16_t session, uint16_t handle, uint32_t position, uint8_t* buffer, size_t capacity, size_t& length) {
    length = 0;
    if (buffer == nullptr) capacity = 0;
    const auto fill = [&](FrameFields& fields) {
        fields.handle = handle;
        fields.length = static_cast<uint16_t>(capacity > 0xFFFF ? 0xFFFF : capacity);
        fields.position = position;
        return true;
    };
    const auto prepare = [&](uint16_t) {
        handleReadPending.handle = handle;
        handleReadPending.position = position;
        handleReadPending.buffer = buffer;
        handleReadPending.capacity = capacity;
        handleReadPending.copied = 0;
    };
    const int status =
        RequestOnSession(handleReadBusy, handleReadPending, session, MSG_HANDLE_READ, fill, prepare).status;
    if (status == STATUS_OK) length = handleReadPending.copied;
    return status;
}

int HandleWrite(uint16_t session, uint16_t handle, uint32_t position, const uint8_t* data, size_t length) {
    const auto fill = [&](FrameFields& fields) {
        if ((data == nullptr && length != 0) || length > 0xFFFF) return false;
        fields.handle = handle;
        fields.position = position;
        fields.data = std::span<const uint8_t>(data, length);
        return true;
    };
    const auto prepare = [&](uint16_t) {
        handleWritePending.handle = handle;
        handleWritePending.length = static_cast<uint16_t>(length);
        handleWritePending.position = position;
    };
    return RequestOnSession(handleWriteBusy, handleWritePending, session, MSG_HANDLE_WRITE, fill, prepare).status;
}

void BeginBlockTransfer() {
    for (AnsweredBlock& a : answeredBlocks) a.used = false;
    blockConflict = false;
}

bool BlockReplyConflict() { return blockConflict; }

void AnswerSessionCheck(const PeerAddress& sender, uint16_t sequence, uint16_t session) {
    const bool held = ValidSession(session) && sessionTable[session].inUse && sessionTable[session].peer == sender &&
                      sessionTable[session].alive != 0;
    FrameFields fields;
    fields.subtype = SESSION_CHECK_REPLY;
    fields.value1 = held ? STATUS_OK : STATUS_NO_SESSION;
    fields.value2 = session;
    uint8_t frame[kFrameBufferSize];
    const size_t length = Build(frame, sequence, MSG_SESSION, fields);
    if (length) SendPayload(sender, frame, length);
}

}  // namespace aputil
