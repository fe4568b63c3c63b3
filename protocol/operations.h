#pragma once
// Device operations on top of the transaction engine: browse, login, logout,
// block requests, attribute and handle operations, the session table, and the
// exchanges that an AP starts itself (session check, logout notice).

#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/frame.h"

namespace aputil {

inline constexpr int kMaxSessions = 8;
inline constexpr int kBrowseCapacity = 100;
inline constexpr size_t kBrowseTextSize = 80;
inline constexpr size_t kBlockReplyDataSize = 1024;

struct BrowseRecord {
    PeerAddress peer;
    char vendor[kBrowseTextSize] = {};
    char product[kBrowseTextSize] = {};
    char model[kBrowseTextSize] = {};
    char apName[kBrowseTextSize] = {};
    char fifth[kBrowseTextSize] = {};
};

struct SessionSlot {
    uint8_t inUse = 0;
    PeerAddress peer;
    int32_t alive = 0;
    uint8_t spare = 0;
};
// Entries 1..8 are the sessions; entry 0 is never used.
extern SessionSlot sessionTable[kMaxSessions + 1];

// Every operation returns STATUS_BUSY while one of its kind waits (the
// repeated browse shares the browse's kind) and STATUS_FAILED when its frame
// cannot be built; it then sends nothing. The operations on a session (block,
// attribute and handle requests) return STATUS_BAD_SESSION, sending nothing,
// for a session outside 1..8 or one that no AP ever granted.

// count: in, the capacity of records; out, the records filled. Waits the whole
// reply wait once and returns STATUS_OK also when nobody answered.
int Browse(const Attribute& vendor, const Attribute& product, const Attribute& model, BrowseRecord* records,
           int& count);
// One browse over every open browse channel of theAdapter in one reply wait
// (CAdapter::OpenBrowseChannels): the request goes out on each channel and
// each channel's replies are kept apart, as a Browse on that adapter alone
// would keep them: channel c's in records[c * capacity ...], their number in
// counts[c], one entry per device, at most capacity each.
int BrowseChannels(const Attribute& vendor, const Attribute& product, const Attribute& model, BrowseRecord* records,
                   int capacity, int* counts, int channels);
// n filter sets, sent together in each of retryCount + 1 passes, one sequence
// number per pass; STATUS_FAILED for n below 1.
int BrowseRepeated(int n, const Attribute* vendors, const Attribute* products, const Attribute* models,
                   BrowseRecord* records, int& count);
// sessionId is written only with STATUS_OK. An acceptance that grants no id in
// 1..8 is STATUS_FAILED, and the session table is left alone.
int Login(const PeerAddress& peer, const char* user, const char* password, uint16_t& sessionId);
// Frees the slot and tells its AP (once, no reply awaited); STATUS_BAD_SESSION
// for an id outside 1..8. A slot that no AP ever granted is freed silently.
int Logout(uint16_t session);
// replyData points at the engine's reply buffer (device block header + data),
// valid until the next block request; replyLength is 0 unless a reply carried
// data. A reply announcing 1024 data bytes or more, or more than its frame
// holds, is STATUS_FAILED with nothing copied.
int BlockRequest(uint16_t session, const uint8_t* data, size_t length, const uint8_t*& replyData, size_t& replyLength);
// A block reply that matches an exchange already answered (sender, sequence
// and session) but differs from the reply taken in its status, count or data
// is a conflict: somebody besides the AP answered, and the reply taken cannot
// be trusted. BeginBlockTransfer forgets the exchanges answered so far and
// clears the conflict; BlockReplyConflict says whether one was seen since.
// Identical second replies (the AP answering a repeated request) are ignored.
void BeginBlockTransfer();
bool BlockReplyConflict();
// length: out, bytes copied into buffer.
int GetAttributes(uint16_t session, const uint16_t* ids, uint8_t* buffer, size_t capacity, size_t& length);
int SetAttributes(uint16_t session, const uint8_t* list, size_t listLength);
int HandleOpen(uint16_t session, const char* name, uint8_t mode, uint16_t& handle, uint32_t& value);
int HandleClose(uint16_t session, uint16_t handle);
int HandleRead(uint16_t session, uint16_t handle, uint32_t position, uint8_t* buffer, size_t capacity, size_t& length);
int HandleWrite(uint16_t session, uint16_t handle, uint32_t position, const uint8_t* data, size_t length);

// Answers an AP's SESSION_CHECK for session s, with the check's own sequence.
void AnswerSessionCheck(const PeerAddress& sender, uint16_t sequence, uint16_t session);

// The receive side: the engine hands every verified frame to DispatchFrame,
// which passes it to the handler of its type and ignores other types. A reply
// handler takes a reply only while a request of its kind waits for it, and
// only when sender, sequence and session match that request; the AP's own
// requests (session check, logout notice) are taken at any time.
using ReplyHandler = void (*)(const PeerAddress& sender, const FrameHeader& header, std::span<const uint8_t> body);
void BrowseReplyHandler(const PeerAddress& sender, const FrameHeader& header, std::span<const uint8_t> body);
void GetReplyHandler(const PeerAddress& sender, const FrameHeader& header, std::span<const uint8_t> body);
// SESSION_LOGIN_REPLY, and the AP's SESSION_CHECK, which is answered at once.
void SessionMessageHandler(const PeerAddress& sender, const FrameHeader& header, std::span<const uint8_t> body);
// An AP ending a session: its slot is no longer in use.
void LogoutNoticeHandler(const PeerAddress& sender, const FrameHeader& header, std::span<const uint8_t> body);
void SetReplyHandler(const PeerAddress& sender, const FrameHeader& header, std::span<const uint8_t> body);
void HandleOpenReplyHandler(const PeerAddress& sender, const FrameHeader& header, std::span<const uint8_t> body);
void HandleCloseReplyHandler(const PeerAddress& sender, const FrameHeader& header, std::span<const uint8_t> body);
void HandleReadReplyHandler(const PeerAddress& sender, const FrameHeader& header, std::span<const uint8_t> body);
void HandleWriteReplyHandler(const PeerAddress& sender, const FrameHeader& header, std::span<const uint8_t> body);
void BlockReplyHandler(const PeerAddress& sender, const FrameHeader& header, std::span<const uint8_t> body);
void DispatchFrame(const PeerAddress& sender, const FrameHeader& header, std::span<const uint8_t> body);

}  // namespace aputil
