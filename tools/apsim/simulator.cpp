// The simulator: its APs by MAC, the request dispatch by message type, and
// the browse answer. Sessions and block ops have files of their own.

#include <algorithm>

#include "protocol/ether.h"
#include "tools/apsim/apsim_core.h"
#include "tools/apsim/handlers.h"
#include "tools/apsim/text.h"

namespace apsim {

using aputil::FrameFields;
using aputil::FrameHeader;
using aputil::kEthHeaderSize;

namespace {

uint64_t MacKey(const Mac& mac) {
    uint64_t k = 0;
    for (uint8_t b : mac) k = (k << 8) | b;
    return k;
}

}  // namespace

uint64_t Rng::Next() noexcept {
    state_ += 0x9E3779B97F4A7C15ull;
    uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double Rng::Uniform() noexcept { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }

Simulator::Simulator(const Config& config) : faults_(config.faults), rng_(Mix(config.seed ^ 0xFA017ull)) {
    const int count = std::clamp(config.count, 1, kMaxAps);
    aps_.resize(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) GenerateAp(aps_[static_cast<size_t>(i)], i, config);
    RefreshAll();
}

int Simulator::FindAp(const Mac& mac) const {
    auto it = byMac_.find(MacKey(mac));
    return it == byMac_.end() ? -1 : it->second;
}

int Simulator::ResolveAp(std::string_view text) const {
    Mac mac{};
    if (ParseMac(text, mac)) return FindAp(mac);
    uint64_t n = 0;
    if (ParseUnsigned(text, static_cast<uint64_t>(Count() - 1), n)) return static_cast<int>(n);
    return -1;
}

void Simulator::RefreshAll() {
    byMac_.clear();
    for (int i = 0; i < Count(); ++i) Refresh(i);
}

void Simulator::Refresh(int index) {
    SimAp& ap = Ap(index);
    byMac_[MacKey(ap.mac)] = index;
    // The browse reply is the same for every browse but for its destination and
    // sequence, so it is built once: a thousand APs then answer in one pass.
    const aputil::Attribute attrs[5] = {
        aputil::TextAttribute(aputil::ATTR_VENDOR, std::string_view(ap.vendor).substr(0, 255)),
        aputil::TextAttribute(aputil::ATTR_PRODUCT, std::string_view(ap.product).substr(0, 255)),
        aputil::TextAttribute(aputil::ATTR_MODEL, std::string_view(ap.model).substr(0, 255)),
        aputil::TextAttribute(aputil::ATTR_AP_NAME, std::string_view(ap.name).substr(0, 255)),
        aputil::TextAttribute(4, std::string_view(ap.firmwareVersion).substr(0, 255)),
    };
    FrameFields f;
    f.attributes = attrs;
    ap.browseReply.assign(kEthHeaderSize + aputil::kFrameBufferSize, 0);
    aputil::WriteEtherHeader(ap.browseReply, {Mac{}, ap.mac, aputil::kEtherType});
    const size_t n =
        aputil::BuildFrame(std::span<uint8_t>(ap.browseReply).subspan(kEthHeaderSize), 0, aputil::MSG_BROWSE_REPLY, f);
    ap.browseReply.resize(n ? kEthHeaderSize + n : 0);
}

void Simulator::HandleFrame(std::span<const uint8_t> frame, uint64_t nowMs, Output& out) {
    if (frame.size() < kEthHeaderSize + aputil::kMinPayloadSize || frame.size() > aputil::kEthMaxFrame) return;
    const auto eth = aputil::ReadEtherHeader(frame);
    if (!eth || eth->etherType != aputil::kEtherType) return;
    const Mac& dst = eth->destination;
    const Mac& src = eth->source;
    // Our own transmissions come back through the capture; so would a reply "from another MAC".
    Mac own = src;
    if (own[0] == 0x06) own[0] = 0x02;
    if (FindAp(src) >= 0 || FindAp(own) >= 0) return;

    const auto payload = frame.subspan(kEthHeaderSize);
    FrameHeader h;
    if (!aputil::VerifyFrame(payload, h)) return;
    const auto body = aputil::FrameBody(payload, h);

    if (dst == aputil::kBroadcastMac) {
        if (h.type == aputil::MSG_BROWSE) HandleBrowse(src, body, h.sequence, -1, nowMs, out);
        return;
    }
    const int ap = FindAp(dst);
    if (ap < 0) return;

    using Handler = void (Simulator::*)(int, const Mac&, std::span<const uint8_t>, uint16_t, uint64_t, Output&);
    Handler handle = nullptr;
    unsigned scope = 0;
    switch (h.type) {
    case aputil::MSG_BROWSE:
        // Each AP that answers draws its own dropped request there.
        HandleBrowse(src, body, h.sequence, ap, nowMs, out);
        return;
    case aputil::MSG_SESSION:
        handle = &Simulator::HandleSession;
        scope = kScopeLogin;
        break;
    case aputil::MSG_LOGOUT:
        handle = &Simulator::HandleLogout;
        scope = kScopeLogin;
        break;
    case aputil::MSG_BLOCK:
        handle = &Simulator::HandleBlock;
        scope = kScopeBlock;
        break;
    default:
        out.log.push_back(RequestLine(nowMs, Ap(ap), h.type)
                              .Num("seq", h.sequence)
                              .Str("src", MacText(src))
                              .Bool("ignored", true)
                              .Done());
        return;
    }
    if ((faults_.scope & scope) && rng_.Chance(faults_.dropRequests)) {
        out.log.push_back(RequestLine(nowMs, Ap(ap), h.type)
                              .Num("seq", h.sequence)
                              .Str("src", MacText(src))
                              .Fault("drop-request")
                              .Done());
        return;
    }
    (this->*handle)(ap, src, body, h.sequence, nowMs, out);
}

void Simulator::HandleBrowse(const Mac& src, std::span<const uint8_t> body, uint16_t seq, int onlyAp, uint64_t nowMs,
                             Output& out) {
    const auto vendor = aputil::FindAttribute(body, aputil::ATTR_VENDOR);
    const auto product = aputil::FindAttribute(body, aputil::ATTR_PRODUCT);
    const auto model = aputil::FindAttribute(body, aputil::ATTR_MODEL);
    auto text = [](const std::optional<aputil::AttributeRef>& a) {
        return a ? std::string_view(reinterpret_cast<const char*>(a->value.data()), a->value.size())
                 : std::string_view();
    };
    const std::string_view v = text(vendor), p = text(product), m = text(model);
    int answered = 0;
    std::string faultsSeen;
    auto consider = [&](int i) {
        const SimAp& ap = Ap(i);
        if (!vendor || !product || !model) return;
        if (v != ap.vendor || p != ap.product || (!m.empty() && m != ap.model)) return;
        ++answered;
        std::string applied;
        if ((faults_.scope & kScopeBrowse) && rng_.Chance(faults_.dropRequests)) applied = "drop-request";
        else applied = Emit(i, src, seq, aputil::MSG_BROWSE_REPLY, kScopeBrowse, Reply{}, out);
        AddNewNames(faultsSeen, applied);
    };
    if (onlyAp >= 0) consider(onlyAp);
    else
        for (int i = 0; i < Count(); ++i) consider(i);

    JsonLine line(nowMs, "request");
    if (onlyAp >= 0) line.Str("ap", MacText(Ap(onlyAp).mac));
    line.Num("type", aputil::MSG_BROWSE).Num("seq", seq).Str("src", MacText(src));
    if (vendor) line.Str("vendor", v);
    if (product) line.Str("product", p);
    if (model) line.Str("model", m);
    out.log.push_back(line.Num("answered", answered).Fault(faultsSeen).Done());
}

}  // namespace apsim
