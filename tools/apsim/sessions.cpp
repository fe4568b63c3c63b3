// Sessions: login and logout requests, the eight session slots, and the
// checks and logout notices an AP sends of its own accord.

#include "protocol/ether.h"
#include "tools/apsim/apsim_core.h"
#include "tools/apsim/handlers.h"

namespace apsim {

using aputil::ByteReader;
using aputil::FrameFields;
using aputil::kEthHeaderSize;

uint16_t Simulator::GrantSession(SimAp& ap, const Mac& holder) {
    size_t pick = kSessionCount;
    for (size_t i = 0; i < ap.sessions.size() && pick == kSessionCount; ++i)
        if (!ap.sessions[i].inUse) pick = i;
    if (pick == kSessionCount) {
        // All eight are held: a station that vanished without logging out must
        // not lock everyone out, so the least recently used one is taken over.
        pick = 0;
        for (size_t i = 1; i < ap.sessions.size(); ++i)
            if (ap.sessions[i].lastUse < ap.sessions[pick].lastUse) pick = i;
    }
    ap.sessions[pick] = {true, holder, ++clock_};
    return static_cast<uint16_t>(pick + 1);
}

bool Simulator::Held(SimAp& ap, uint16_t session, const Mac& holder) {
    if (session < 1 || session > kSessionCount) return false;
    Session& s = ap.sessions[session - 1u];
    if (!s.inUse || s.holder != holder) return false;
    s.lastUse = ++clock_;
    return true;
}

void Simulator::HandleSession(int index, const Mac& src, std::span<const uint8_t> body, uint16_t seq, uint64_t nowMs,
                              Output& out) {
    SimAp& ap = Ap(index);
    ByteReader r(body);
    const uint16_t subtype = r.u16be();
    const uint16_t value1 = r.u16be();
    const uint16_t value2 = r.u16be();
    JsonLine line = RequestLine(nowMs, ap, aputil::MSG_SESSION);
    line.Num("seq", seq).Str("src", MacText(src));
    if (!r.ok()) {
        out.log.push_back(line.Bool("malformed", true).Done());
        return;
    }
    line.Num("subtype", subtype);
    if (subtype == aputil::SESSION_CHECK_REPLY) {
        out.log.push_back(JsonLine(nowMs, "check-reply")
                              .Str("ap", MacText(ap.mac))
                              .Num("seq", seq)
                              .Num("session", value2)
                              .Num("status", value1)
                              .Str("src", MacText(src))
                              .Done());
        return;
    }
    if (subtype != aputil::SESSION_LOGIN) {
        out.log.push_back(line.Bool("ignored", true).Done());
        return;
    }
    const auto attrs = body.subspan(6);
    const auto user = aputil::FindAttribute(attrs, aputil::ATTR_USER);
    const auto pass = aputil::FindAttribute(attrs, aputil::ATTR_PASSWORD);
    auto asText = [](const aputil::AttributeRef& a) {
        return std::string_view(reinterpret_cast<const char*>(a.value.data()), a.value.size());
    };
    uint16_t status = 0;
    uint16_t session = 0;
    if (!user || !pass) status = kDevBadRequest;
    else if (asText(*user) != "user" || asText(*pass) != ap.password) status = kDevBadPassword;
    else {
        session = GrantSession(ap, src);
        ap.pending = ap.image;
    }
    if (user) line.Str("user", asText(*user));
    line.Bool("ok", status == 0).Num("status", status).Num("session", session);
    Reply reply;
    reply.fields.subtype = aputil::SESSION_LOGIN_REPLY;
    reply.fields.value1 = status;
    reply.fields.value2 = session;
    out.log.push_back(line.Fault(Emit(index, src, seq, aputil::MSG_SESSION, kScopeLogin, reply, out)).Done());
}

void Simulator::HandleLogout(int index, const Mac& src, std::span<const uint8_t> body, uint16_t seq, uint64_t nowMs,
                             Output& out) {
    SimAp& ap = Ap(index);
    ByteReader r(body);
    const uint16_t session = r.u16be();
    JsonLine line = RequestLine(nowMs, ap, aputil::MSG_LOGOUT);
    line.Num("seq", seq).Str("src", MacText(src));
    if (!r.ok()) {
        out.log.push_back(line.Bool("malformed", true).Done());
        return;
    }
    const bool held = Held(ap, session, src);
    if (held) ap.sessions[session - 1u].inUse = false;
    out.log.push_back(line.Num("session", session).Bool("freed", held).Done());
}
bool Simulator::Notice(int index, uint16_t session, const Mac* dst, uint16_t type, uint64_t nowMs, Output& out,
                       std::string& error, uint16_t& sequence) {
    if (index < 0 || index >= Count()) {
        error = "no such AP";
        return false;
    }
    SimAp& ap = Ap(index);
    Mac to{};
    if (dst) {
        to = *dst;
    } else if (session >= 1 && session <= kSessionCount && ap.sessions[session - 1u].inUse) {
        to = ap.sessions[session - 1u].holder;
    } else {
        error = "session " + std::to_string(session) + " is not held on this AP; give the destination MAC";
        return false;
    }
    sequence = ap.nextSequence++;
    FrameFields f;
    const bool check = type == aputil::MSG_SESSION;
    if (check) {
        f.subtype = aputil::SESSION_CHECK;
        f.value2 = session;
    } else {
        f.session = session;
        if (session >= 1 && session <= kSessionCount) ap.sessions[session - 1u].inUse = false;
    }
    OutFrame frame;
    frame.bytes.assign(kEthHeaderSize + aputil::kFrameBufferSize, 0);
    const size_t n = aputil::BuildFrame(std::span<uint8_t>(frame.bytes).subspan(kEthHeaderSize), sequence, type, f);
    frame.bytes.resize(kEthHeaderSize + n);
    aputil::WriteEtherHeader(frame.bytes, {to, ap.mac, aputil::kEtherType});
    out.frames.push_back(std::move(frame));
    out.log.push_back(JsonLine(nowMs, "sent")
                          .Str("ap", MacText(ap.mac))
                          .Str("what", check ? "check" : "logout")
                          .Num("seq", sequence)
                          .Num("session", session)
                          .Str("dst", MacText(to))
                          .Done());
    return true;
}

bool Simulator::SendSessionCheck(int ap, uint16_t session, const Mac* dst, uint64_t nowMs, Output& out,
                                 std::string& error, uint16_t& sequence) {
    return Notice(ap, session, dst, aputil::MSG_SESSION, nowMs, out, error, sequence);
}

bool Simulator::SendLogoutNotice(int ap, uint16_t session, const Mac* dst, uint64_t nowMs, Output& out,
                                 std::string& error, uint16_t& sequence) {
    return Notice(ap, session, dst, aputil::MSG_LOGOUT, nowMs, out, error, sequence);
}

}  // namespace apsim
