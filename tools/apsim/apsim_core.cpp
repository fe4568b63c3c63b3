#include "tools/apsim/apsim_core.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "protocol/bytes.h"
#include "protocol/frame.h"

namespace apsim {

using aputil::BlockHeader;
using aputil::ByteReader;
using aputil::FrameFields;
using aputil::FrameHeader;

namespace {

constexpr std::array<uint32_t, 256> MakeCrc32Table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}
constexpr auto kCrc32Table = MakeCrc32Table();

uint64_t MacKey(const Mac& mac) {
    uint64_t k = 0;
    for (uint8_t b : mac) k = (k << 8) | b;
    return k;
}

uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

void PutU32le(uint8_t* p, uint32_t v) {
    aputil::ByteWriter w(p, 4);
    w.u32le(v);
}

constexpr size_t kEth = aputil::kEthHeaderSize;
// Payload offsets inside an Ethernet frame.
constexpr size_t kSeqAt = kEth + 5;
constexpr size_t kLengthAt = kEth + 3;

// Recomputes the CRC-16 trailer after a reply was patched.
void Recrc(std::vector<uint8_t>& frame) {
    if (frame.size() < kEth + aputil::kMinPayloadSize) return;
    const size_t length = (size_t{frame[kLengthAt]} << 8) | frame[kLengthAt + 1];
    if (kEth + 5 + length + 2 > frame.size()) return;
    const uint16_t crc = aputil::Crc16(frame.data() + kEth + 5, length, 0);
    frame[kEth + 5 + length] = static_cast<uint8_t>(crc >> 8);
    frame[kEth + 5 + length + 1] = static_cast<uint8_t>(crc);
}

void PutSequence(std::vector<uint8_t>& frame, uint16_t seq) {
    frame[kSeqAt] = static_cast<uint8_t>(seq >> 8);
    frame[kSeqAt + 1] = static_cast<uint8_t>(seq);
}

class JsonLine {
public:
    JsonLine(uint64_t t, std::string_view event) {
        s_ = "{\"t\":" + std::to_string(t) + ",\"event\":\"";
        s_ += event;
        s_ += '"';
    }
    JsonLine& Num(std::string_view key, int64_t v) {
        Key(key);
        s_ += std::to_string(v);
        return *this;
    }
    JsonLine& Str(std::string_view key, std::string_view v) {
        Key(key);
        s_ += '"';
        s_ += JsonEscape(v);
        s_ += '"';
        return *this;
    }
    JsonLine& Bool(std::string_view key, bool v) {
        Key(key);
        s_ += v ? "true" : "false";
        return *this;
    }
    JsonLine& Fault(const std::string& names) {
        if (!names.empty()) Str("fault", names);
        return *this;
    }
    std::string Done() { return s_ + "}"; }

private:
    void Key(std::string_view key) {
        s_ += ",\"";
        s_ += key;
        s_ += "\":";
    }
    std::string s_;
};

void AddName(std::string& list, std::string_view name) {
    if (!list.empty()) list += ',';
    list += name;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

bool ParseUnsigned(std::string_view text, uint64_t max, uint64_t& out) {
    text = Trim(text);
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return false;
    uint64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
    if (ec != std::errc() || end != text.data() + text.size() || v > max) return false;
    out = v;
    return true;
}

bool ParseProbability(std::string_view text, double& out) {
    text = Trim(text);
    if (text.empty()) return false;
    double v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || !(v >= 0 && v <= 1)) return false;
    out = v;
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void PutIpv4(Image& image, size_t offset, const std::array<uint8_t, 4>& ip) {
    std::memcpy(image.data() + offset, ip.data(), 4);
}

}  // namespace

uint32_t Crc32(uint32_t seed, const uint8_t* bytes, size_t count) noexcept {
    uint32_t crc = seed;
    for (size_t i = 0; i < count; ++i) crc = kCrc32Table[(crc ^ bytes[i]) & 0xFFu] ^ (crc >> 8);
    return crc;
}

uint32_t ImageCrc(const Image& image) noexcept { return Crc32(kImageCrcSeed, image.data(), kImageCrcOffset); }

uint32_t StoredImageCrc(const Image& image) noexcept {
    ByteReader r(image.data() + kImageCrcOffset, 4);
    return r.u32le();
}

void StampImageCrc(Image& image) noexcept { PutU32le(image.data() + kImageCrcOffset, ImageCrc(image)); }

std::string MacText(const Mac& mac) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < mac.size(); ++i) {
        if (i) s += ':';
        s += kHex[mac[i] >> 4];
        s += kHex[mac[i] & 15];
    }
    return s;
}

bool ParseMac(std::string_view text, Mac& mac) {
    text = Trim(text);
    if (text.size() != 17) return false;
    Mac m{};
    for (size_t i = 0; i < 6; ++i) {
        const int hi = HexDigit(text[3 * i]);
        const int lo = HexDigit(text[3 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        if (i < 5 && text[3 * i + 2] != ':' && text[3 * i + 2] != '-') return false;
        m[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    mac = m;
    return true;
}

std::string JsonEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u >= 0x7F) {
            // Texts from the wire are bytes, not UTF-8: escape everything outside ASCII.
            static constexpr char kHex[] = "0123456789abcdef";
            out += "\\u00";
            out += kHex[u >> 4];
            out += kHex[u & 15];
        } else {
            out += c;
        }
    }
    return out;
}

uint64_t Rng::Next() noexcept {
    state_ += 0x9E3779B97F4A7C15ull;
    uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double Rng::Uniform() noexcept { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }

namespace {
struct FaultKnob {
    std::string_view name;
    double Faults::*probability;
};
constexpr FaultKnob kProbabilityKnobs[] = {
    {"drop-requests", &Faults::dropRequests},       {"drop-replies", &Faults::dropReplies},
    {"dup-replies", &Faults::dupReplies},           {"delay-prob", &Faults::delayProb},
    {"corrupt-checksum", &Faults::corruptChecksum}, {"wrong-sequence", &Faults::wrongSequence},
    {"foreign-mac", &Faults::foreignMac},           {"oversized-block", &Faults::oversizedBlock},
    {"truncated-block", &Faults::truncatedBlock},   {"lying-count", &Faults::lyingCount},
};
}  // namespace

bool IsFaultName(std::string_view name) {
    for (const auto& k : kProbabilityKnobs)
        if (k.name == name) return true;
    return name == "delay-ms" || name == "junk" || name == "refuse-write-chunk" || name == "forge-chunk" ||
           name == "refuse-commit" || name == "fault-on";
}

bool SetFault(Faults& faults, std::string_view name, std::string_view value, std::string& error) {
    for (const auto& k : kProbabilityKnobs) {
        if (k.name != name) continue;
        double p = 0;
        if (!ParseProbability(value, p)) {
            error = std::string(name) + ": expected a probability 0..1, got '" + std::string(value) + "'";
            return false;
        }
        faults.*k.probability = p;
        return true;
    }
    uint64_t n = 0;
    if (name == "delay-ms") {
        if (!ParseUnsigned(value, 600000, n)) {
            error = "delay-ms: expected milliseconds 0..600000";
            return false;
        }
        faults.delayMs = static_cast<uint32_t>(n);
        return true;
    }
    if (name == "junk") {
        if (!ParseUnsigned(value, kMaxJunk, n)) {
            error = "junk: expected a number of frames 0.." + std::to_string(kMaxJunk);
            return false;
        }
        faults.junk = static_cast<uint32_t>(n);
        return true;
    }
    if (name == "refuse-write-chunk" || name == "forge-chunk") {
        int& chunk = name == "forge-chunk" ? faults.forgeChunk : faults.refuseWriteChunk;
        if (Trim(value) == "-1" || Trim(value) == "off") {
            chunk = -1;
            return true;
        }
        if (!ParseUnsigned(value, kImageSize / kChunkMax - 1, n)) {
            error = std::string(name) + ": expected a chunk number 0..7 (or off)";
            return false;
        }
        chunk = static_cast<int>(n);
        return true;
    }
    if (name == "refuse-commit") {
        const auto v = Trim(value);
        if (v == "1" || v == "on" || v == "true" || v.empty()) faults.refuseCommit = true;
        else if (v == "0" || v == "off" || v == "false") faults.refuseCommit = false;
        else {
            error = "refuse-commit: expected on or off";
            return false;
        }
        return true;
    }
    if (name == "fault-on") {
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
    error = "unknown fault '" + std::string(name) + "'";
    return false;
}

Mac DeriveMac(uint64_t seed, int index) {
    const uint64_t h = Mix(seed ^ 0x61707369ull);
    return {0x02, static_cast<uint8_t>(h >> 40), static_cast<uint8_t>(h >> 32), static_cast<uint8_t>(h >> 24),
            static_cast<uint8_t>(index >> 8), static_cast<uint8_t>(index)};
}

void WriteText(Image& image, size_t offset, size_t width, std::string_view text) {
    if (width == 0 || offset + width > image.size()) return;
    const size_t n = std::min(text.size(), width - 1);
    std::memcpy(image.data() + offset, text.data(), n);
    image[offset + n] = 0;
}

std::string ReadText(std::span<const uint8_t> bytes, size_t offset, size_t width) {
    std::string s;
    for (size_t i = offset; i < offset + width && i < bytes.size() && bytes[i]; ++i)
        s += static_cast<char>(bytes[i]);
    return s;
}

bool ParseIpv4(std::string_view text, std::array<uint8_t, 4>& out) {
    text = Trim(text);
    std::array<uint8_t, 4> ip{};
    for (size_t i = 0; i < 4; ++i) {
        const size_t dot = text.find('.');
        if ((i < 3) == (dot == std::string_view::npos)) return false;
        uint64_t v = 0;
        const auto part = i < 3 ? text.substr(0, dot) : text;
        if (part.empty() || part.size() > 3 || !ParseUnsigned(part, 255, v)) return false;
        ip[i] = static_cast<uint8_t>(v);
        if (i < 3) text.remove_prefix(dot + 1);
    }
    out = ip;
    return true;
}

void GenerateAp(SimAp& ap, int index, const Config& config) {
    Rng rng(Mix(config.seed) ^ static_cast<uint64_t>(index) * 0x100000001B3ull);
    const auto n = static_cast<size_t>(index);
    ap.mac = DeriveMac(config.seed, index);
    ap.vendor = config.vendor;
    ap.product = config.product;
    ap.model = config.model;
    ap.name = config.namePrefix + std::to_string(index + 1);
    ap.password = config.password;
    ap.firmwareVersion = config.firmwareVersion;
    ap.firmwareDate = config.firmwareDate;

    ap.deviceInfo.fill(0);
    PutU32le(ap.deviceInfo.data() + 0, kFirmwareAddress);
    PutU32le(ap.deviceInfo.data() + 4, kFirmwareSize);
    PutU32le(ap.deviceInfo.data() + 8, 0x00010000);  // flash base, unused by the utility
    PutU32le(ap.deviceInfo.data() + 20, kImageAddress);
    PutU32le(ap.deviceInfo.data() + 24, kImageSize);

    for (auto& b : ap.firmware) b = static_cast<uint8_t>(rng.Next());
    std::memcpy(ap.firmware.data(), "FWHD", 4);
    PutU32le(ap.firmware.data() + 4, kFirmwareSize);
    std::memset(ap.firmware.data() + layout::firmwareDate, 0, layout::firmwareVersion - layout::firmwareDate);
    std::memset(ap.firmware.data() + layout::firmwareVersion, 0, layout::firmwareTextWidth);
    std::memcpy(ap.firmware.data() + layout::firmwareDate, ap.firmwareDate.data(),
                std::min(ap.firmwareDate.size(), layout::firmwareVersion - layout::firmwareDate - 1));
    std::memcpy(ap.firmware.data() + layout::firmwareVersion, ap.firmwareVersion.data(),
                std::min(ap.firmwareVersion.size(), layout::firmwareTextWidth - 1));

    // Unnamed bytes carry data too, so that a utility which disturbs them is caught.
    Image& im = ap.image;
    im.fill(0);
    for (size_t i = 22; i < layout::apName; ++i) im[i] = static_cast<uint8_t>(rng.Next());
    for (size_t i = kImageCrcOffset + 4; i < kImageSize; ++i) im[i] = static_cast<uint8_t>(rng.Next());
    im[0] = 'C';
    im[1] = 'F';
    im[2] = 1;
    im[3] = 0;
    const bool etsi = index % 4 == 3;
    const uint16_t mask = etsi ? 0x1FFF : 0x07FF;  // channels 1-13 or 1-11
    im[layout::channelMask] = static_cast<uint8_t>(mask);
    im[layout::channelMask + 1] = static_cast<uint8_t>(mask >> 8);
    im[layout::regulatoryDomain] = etsi ? 0x30 : 0x10;
    im[layout::networkFlag] = 1;
    WriteText(im, layout::apName, layout::apNameWidth, ap.name);
    WriteText(im, layout::password, layout::passwordWidth, ap.password);
    WriteText(im, layout::ssid, layout::ssidWidth, "SimNet-" + std::to_string(index + 1));
    static constexpr uint8_t kChannels[] = {1, 6, 11};
    im[layout::channel] = kChannels[n % 3];
    const std::array<uint8_t, 4> ip{192, 168, static_cast<uint8_t>(1 + n / 200), static_cast<uint8_t>(10 + n % 200)};
    const std::array<uint8_t, 4> netmask{255, 255, 255, 0};
    const std::array<uint8_t, 4> gw{192, 168, static_cast<uint8_t>(1 + n / 200), 1};
    PutIpv4(im, layout::ipAddress, ip);
    PutIpv4(im, layout::subnetMask, netmask);
    PutIpv4(im, layout::gateway, gw);
    PutIpv4(im, layout::addressCopy, ip);
    PutIpv4(im, layout::addressCopy + 4, netmask);
    PutIpv4(im, layout::addressCopy + 8, gw);
    static constexpr uint8_t kWep[3][2] = {{0, 0}, {1, 1}, {2, 1}};
    im[layout::wepMode] = kWep[n % 3][0];
    im[layout::wepEnabled] = kWep[n % 3][1];
    im[layout::defaultKeyIndex] = static_cast<uint8_t>(n % 4);
    for (size_t k = 0; k < 4; ++k) {
        uint8_t* slot = im.data() + layout::wepKeySlot + k * layout::wepKeySlotSize;
        for (size_t i = 3; i < layout::wepKeySlotSize; ++i) slot[i] = static_cast<uint8_t>(rng.Next());
    }
    im[layout::macAccessEnabled] = index % 2 ? 1 : 0;
    im[layout::macEntryCount] = 3;
    for (size_t e = 0; e < 3; ++e) {
        uint8_t* entry = im.data() + layout::macTable + 6 * e;
        entry[0] = 0x00;
        entry[1] = 0x40;
        entry[2] = 0x96;
        for (size_t i = 3; i < 6; ++i) entry[i] = static_cast<uint8_t>(rng.Next());
    }
    StampImageCrc(im);
    ap.pending = im;
    ap.sessions = {};
    ap.nextSequence = static_cast<uint16_t>(rng.Next() | 1);
    ap.commits = 0;
}

// ---------------------------------------------------------------------------

struct Simulator::Reply {
    FrameFields fields;
    std::vector<uint8_t> counted;  // block replies: device block header + data
    bool shapeable = false;        // a block reply that carries data (info, read)
};

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
    ap.browseReply.assign(kEth + aputil::kFrameBufferSize, 0);
    std::memcpy(ap.browseReply.data() + 6, ap.mac.data(), 6);
    ap.browseReply[12] = 0xAA;
    ap.browseReply[13] = 0xAA;
    const size_t n = aputil::BuildFrame(std::span<uint8_t>(ap.browseReply).subspan(kEth), 0,
                                        aputil::MSG_BROWSE_REPLY, f);
    ap.browseReply.resize(n ? kEth + n : 0);
}

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

std::vector<uint8_t> MakeJunk(const std::vector<uint8_t>& reply, JunkKind kind) {
    std::vector<uint8_t> j = reply;
    if (j.size() < kEth + aputil::kMinPayloadSize) return j;
    switch (kind) {
        case kJunkTruncated:
            // Cut inside the payload: the header's length runs past the frame.
            j.resize(kEth + (j.size() - kEth) / 2);
            break;
        case kJunkBadCrc:
            j.back() ^= 0xFF;
            break;
        case kJunkForeignMac:
            j[6] = 0x06;
            break;
        default: {
            // Half the counter away from the request's sequence: one the
            // requester neither waits for nor used lately. The request before's
            // would make this copy a conflicting second reply to that exchange,
            // which a requester rightly fails a transfer for.
            const uint16_t seq = static_cast<uint16_t>((j[kSeqAt] << 8 | j[kSeqAt + 1]) ^ 0x8000);
            PutSequence(j, seq);
            Recrc(j);
            break;
        }
    }
    return j;
}

std::string Simulator::Emit(int index, const Mac& dst, uint16_t seq, uint16_t type, unsigned scope,
                            const Reply& reply, Output& out) {
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
        PutSequence(b, outSeq);
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
        b.assign(kEth + aputil::kFrameBufferSize, 0);
        const size_t n = aputil::BuildFrame(std::span<uint8_t>(b).subspan(kEth), outSeq, type, f);
        if (!n) return applied;
        b.resize(kEth + n);
    }
    std::memcpy(b.data(), dst.data(), 6);
    std::memcpy(b.data() + 6, from.data(), 6);
    b[12] = 0xAA;
    b[13] = 0xAA;
    if (lying) {
        // Block reply body: session, status, count. Claim 200 bytes the frame does not hold.
        const size_t at = kEth + aputil::kFrameHeaderSize + 4;
        const uint16_t count = static_cast<uint16_t>(((b[at] << 8) | b[at + 1]) + 200);
        b[at] = static_cast<uint8_t>(count >> 8);
        b[at + 1] = static_cast<uint8_t>(count);
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

void Simulator::HandleFrame(std::span<const uint8_t> frame, uint64_t nowMs, Output& out) {
    if (frame.size() < kEth + aputil::kMinPayloadSize || frame.size() > aputil::kEthMaxFrame) return;
    if (frame[12] != 0xAA || frame[13] != 0xAA) return;
    Mac dst{}, src{};
    std::memcpy(dst.data(), frame.data(), 6);
    std::memcpy(src.data(), frame.data() + 6, 6);
    // Our own transmissions come back through the capture; so would a reply "from another MAC".
    Mac own = src;
    if (own[0] == 0x06) own[0] = 0x02;
    if (FindAp(src) >= 0 || FindAp(own) >= 0) return;

    const auto payload = frame.subspan(kEth);
    FrameHeader h;
    if (!aputil::VerifyFrame(payload, h)) return;
    const auto body = aputil::FrameBody(payload, h);

    const bool broadcast = std::all_of(dst.begin(), dst.end(), [](uint8_t v) { return v == 0xFF; });
    if (broadcast) {
        if (h.type == aputil::MSG_BROWSE) HandleBrowse(src, body, h.sequence, -1, nowMs, out);
        return;
    }
    const int ap = FindAp(dst);
    if (ap < 0) return;

    unsigned scope = 0;
    switch (h.type) {
    case aputil::MSG_BROWSE: scope = kScopeBrowse; break;
    case aputil::MSG_SESSION:
    case aputil::MSG_LOGOUT: scope = kScopeLogin; break;
    case aputil::MSG_BLOCK: scope = kScopeBlock; break;
    default:
        out.log.push_back(JsonLine(nowMs, "request")
                              .Str("ap", MacText(Ap(ap).mac))
                              .Num("type", h.type)
                              .Num("seq", h.sequence)
                              .Str("src", MacText(src))
                              .Bool("ignored", true)
                              .Done());
        return;
    }
    if (scope == kScopeBrowse) {
        HandleBrowse(src, body, h.sequence, ap, nowMs, out);
        return;
    }
    if ((faults_.scope & scope) && rng_.Chance(faults_.dropRequests)) {
        out.log.push_back(JsonLine(nowMs, "request")
                              .Str("ap", MacText(Ap(ap).mac))
                              .Num("type", h.type)
                              .Num("seq", h.sequence)
                              .Str("src", MacText(src))
                              .Fault("drop-request")
                              .Done());
        return;
    }
    if (h.type == aputil::MSG_SESSION) HandleSession(ap, src, body, h.sequence, nowMs, out);
    else if (h.type == aputil::MSG_LOGOUT) HandleLogout(ap, src, body, h.sequence, nowMs, out);
    else HandleBlock(ap, src, body, h.sequence, nowMs, out);
}

void Simulator::HandleBrowse(const Mac& src, std::span<const uint8_t> body, uint16_t seq, int onlyAp,
                             uint64_t nowMs, Output& out) {
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
        for (size_t pos = 0; pos < applied.size();) {
            const size_t comma = std::min(applied.find(',', pos), applied.size());
            const auto name = std::string_view(applied).substr(pos, comma - pos);
            if (("," + faultsSeen + ",").find("," + std::string(name) + ",") == std::string::npos)
                AddName(faultsSeen, name);
            pos = comma + 1;
        }
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

void Simulator::HandleSession(int index, const Mac& src, std::span<const uint8_t> body, uint16_t seq,
                              uint64_t nowMs, Output& out) {
    SimAp& ap = Ap(index);
    ByteReader r(body);
    const uint16_t subtype = r.u16be();
    const uint16_t value1 = r.u16be();
    const uint16_t value2 = r.u16be();
    JsonLine line(nowMs, "request");
    line.Str("ap", MacText(ap.mac)).Num("type", aputil::MSG_SESSION).Num("seq", seq).Str("src", MacText(src));
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

void Simulator::HandleLogout(int index, const Mac& src, std::span<const uint8_t> body, uint16_t seq,
                             uint64_t nowMs, Output& out) {
    SimAp& ap = Ap(index);
    ByteReader r(body);
    const uint16_t session = r.u16be();
    JsonLine line(nowMs, "request");
    line.Str("ap", MacText(ap.mac)).Num("type", aputil::MSG_LOGOUT).Num("seq", seq).Str("src", MacText(src));
    if (!r.ok()) {
        out.log.push_back(line.Bool("malformed", true).Done());
        return;
    }
    const bool held = Held(ap, session, src);
    if (held) ap.sessions[session - 1u].inUse = false;
    out.log.push_back(line.Num("session", session).Bool("freed", held).Done());
}

void Simulator::HandleBlock(int index, const Mac& src, std::span<const uint8_t> body, uint16_t seq,
                            uint64_t nowMs, Output& out) {
    SimAp& ap = Ap(index);
    ByteReader r(body);
    const uint16_t session = r.u16be();
    const uint16_t count = r.u16be();
    const auto data = r.view(count);
    JsonLine line(nowMs, "request");
    line.Str("ap", MacText(ap.mac)).Num("type", aputil::MSG_BLOCK);
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

    Reply reply;
    uint16_t status = 0;
    std::span<const uint8_t> result;
    std::string refused;
    const auto payload = data.subspan(aputil::kBlockHeaderSize);
    auto inside = [&](uint32_t base, size_t size) {
        const uint64_t off = header->offset, len = header->length;
        return off >= base && off + len <= uint64_t{base} + size;
    };
    if (!Held(ap, session, src)) {
        status = kDevNoSession;
    } else {
        switch (header->op) {
        case aputil::BLOCK_OP_INFO:
            result = ap.deviceInfo;
            reply.shapeable = true;
            break;
        case aputil::BLOCK_OP_READ:
            if (header->length < 1 || header->length > kChunkMax) status = kDevBadRequest;
            else if (inside(kFirmwareAddress, kFirmwareSize))
                result = std::span<const uint8_t>(ap.firmware).subspan(header->offset - kFirmwareAddress,
                                                                       header->length);
            else if (inside(kImageAddress, kImageSize))
                result = std::span<const uint8_t>(ap.image).subspan(header->offset - kImageAddress, header->length);
            else status = kDevBadRequest;
            reply.shapeable = status == 0;
            break;
        case aputil::BLOCK_OP_WRITE:
            if (header->length < 1 || header->length > kChunkMax || payload.size() < header->length ||
                !inside(kImageAddress, kImageSize)) {
                status = kDevBadRequest;
            } else if (faults_.refuseWriteChunk >= 0 &&
                       header->offset == kImageAddress + kChunkMax * static_cast<uint32_t>(faults_.refuseWriteChunk)) {
                status = kDevRefused;
                refused = "refuse-write";
            } else {
                std::memcpy(ap.pending.data() + (header->offset - kImageAddress), payload.data(), header->length);
            }
            break;
        case aputil::BLOCK_OP_COMMIT:
            if (faults_.refuseCommit) {
                status = kDevRefused;
                refused = "refuse-commit";
                break;
            }
            {
                const bool good = ImageCrc(ap.pending) == StoredImageCrc(ap.pending);
                JsonLine commit(nowMs, "commit");
                commit.Str("ap", MacText(ap.mac)).Bool("ok", good).Num("crc", StoredImageCrc(ap.pending));
                if (good) {
                    ap.image = ap.pending;
                    ++ap.commits;
                    out.committed.push_back(index);
                } else {
                    commit.Num("expected", ImageCrc(ap.pending));
                    ap.pending = ap.image;
                    status = kDevBadChecksum;
                }
                out.log.push_back(commit.Done());
            }
            break;
        default:
            status = kDevBadRequest;
            break;
        }
    }
    BlockHeader device{header->op, header->offset, static_cast<uint32_t>(result.size())};
    reply.counted.resize(aputil::kBlockHeaderSize);
    device.Write(reply.counted.data());
    reply.counted.insert(reply.counted.end(), result.begin(), result.end());
    reply.fields.session = session;
    reply.fields.status = status;
    const size_t framesBefore = out.frames.size();
    std::string applied = Emit(index, src, seq, aputil::MSG_BLOCK_REPLY, kScopeBlock, reply, out);
    const bool forge = faults_.forgeChunk >= 0 &&
                       (header->op == aputil::BLOCK_OP_READ || header->op == aputil::BLOCK_OP_WRITE) &&
                       header->offset == kImageAddress + kChunkMax * static_cast<uint32_t>(faults_.forgeChunk);
    if (forge && out.frames.size() > framesBefore) {
        // Another host answering first as this AP: same source, sequence and
        // session, the last byte of the counted data inverted.
        OutFrame forged = out.frames[framesBefore];
        std::vector<uint8_t>& f = forged.bytes;
        const size_t length = (size_t{f[kLengthAt]} << 8) | f[kLengthAt + 1];
        if (length > 0 && kEth + 5 + length + 2 <= f.size()) {
            f[kEth + 5 + length - 1] ^= 0xFF;
            Recrc(f);
            forged.delayMs = 0;
            out.frames.insert(out.frames.begin() + static_cast<std::ptrdiff_t>(framesBefore), std::move(forged));
            AddName(applied, "forge");
        }
    }
    if (!refused.empty()) {
        if (!applied.empty()) refused += ',';
        applied = refused + applied;
    }
    out.log.push_back(line.Num("status", status).Fault(applied).Done());
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
    frame.bytes.assign(kEth + aputil::kFrameBufferSize, 0);
    const size_t n = aputil::BuildFrame(std::span<uint8_t>(frame.bytes).subspan(kEth), sequence, type, f);
    frame.bytes.resize(kEth + n);
    std::memcpy(frame.bytes.data(), to.data(), 6);
    std::memcpy(frame.bytes.data() + 6, ap.mac.data(), 6);
    frame.bytes[12] = 0xAA;
    frame.bytes[13] = 0xAA;
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

// ---------------------------------------------------------------------------
// State file

namespace {

bool ParseKeyHex(std::string_view hex, std::vector<uint8_t>& out) {
    hex = Trim(hex);
    if (hex.size() != 10 && hex.size() != 26) return false;
    out.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return true;
}

// Applies one KEY VALUE to one AP; false with a reason.
bool ApplyKey(SimAp& ap, std::string_view key, std::string_view value, const FileLoader& load, std::string& why) {
    Image& im = ap.image;
    auto number = [&](uint64_t max, uint64_t& v) {
        if (ParseUnsigned(value, max, v)) return true;
        why = "expected a number 0.." + std::to_string(max);
        return false;
    };
    auto text = [&](std::string& field, size_t limit) {
        if (value.size() > limit) {
            why = "text longer than " + std::to_string(limit);
            return false;
        }
        field = std::string(value);
        return true;
    };
    auto ip = [&](size_t at, size_t copyAt) {
        std::array<uint8_t, 4> v{};
        if (!ParseIpv4(value, v)) {
            why = "expected a dotted quad";
            return false;
        }
        PutIpv4(im, at, v);
        PutIpv4(im, copyAt, v);
        return true;
    };
    uint64_t n = 0;
    bool imageField = true;
    if (key == "name") {
        if (!text(ap.name, layout::apNameWidth - 1)) return false;
        WriteText(im, layout::apName, layout::apNameWidth, ap.name);
    } else if (key == "password") {
        if (!text(ap.password, 40)) return false;
        WriteText(im, layout::password, layout::passwordWidth, ap.password);
    } else if (key == "vendor" || key == "product" || key == "model") {
        std::string& f = key == "vendor" ? ap.vendor : key == "product" ? ap.product : ap.model;
        if (!text(f, 255)) return false;
        imageField = false;
    } else if (key == "firmware-version" || key == "firmware-date") {
        const bool version = key == "firmware-version";
        if (!text(version ? ap.firmwareVersion : ap.firmwareDate, layout::firmwareTextWidth - 1)) return false;
        const size_t at = version ? layout::firmwareVersion : layout::firmwareDate;
        std::memset(ap.firmware.data() + at, 0, layout::firmwareTextWidth);
        std::memcpy(ap.firmware.data() + at, value.data(), value.size());
        imageField = false;
    } else if (key == "image") {
        std::vector<uint8_t> bytes;
        if (!load || !load(std::string(value), bytes)) {
            why = "cannot read '" + std::string(value) + "'";
            return false;
        }
        if (bytes.size() != kImageSize) {
            why = "'" + std::string(value) + "' has " + std::to_string(bytes.size()) + " bytes, not 4096";
            return false;
        }
        std::copy(bytes.begin(), bytes.end(), im.begin());
        ap.pending = im;
        return true;  // taken as it is, checksum included
    } else if (key == "ssid") {
        std::string s;
        if (!text(s, 32)) return false;
        WriteText(im, layout::ssid, layout::ssidWidth, s);
    } else if (key == "channel") {
        if (!number(255, n)) return false;
        im[layout::channel] = static_cast<uint8_t>(n);
    } else if (key == "channel-mask") {
        if (!number(0xFFFF, n)) return false;
        im[layout::channelMask] = static_cast<uint8_t>(n);
        im[layout::channelMask + 1] = static_cast<uint8_t>(n >> 8);
    } else if (key == "domain") {
        if (!number(255, n)) return false;
        im[layout::regulatoryDomain] = static_cast<uint8_t>(n);
    } else if (key == "ip") {
        if (!ip(layout::ipAddress, layout::addressCopy)) return false;
    } else if (key == "mask") {
        if (!ip(layout::subnetMask, layout::addressCopy + 4)) return false;
    } else if (key == "gateway") {
        if (!ip(layout::gateway, layout::addressCopy + 8)) return false;
    } else if (key == "wep") {
        static constexpr std::pair<std::string_view, std::array<uint8_t, 2>> kStates[] = {
            {"off", {0, 0}}, {"64", {1, 1}}, {"128", {2, 1}}};
        const auto* state = std::find_if(std::begin(kStates), std::end(kStates),
                                         [&](const auto& st) { return st.first == value; });
        if (state == std::end(kStates)) {
            why = "expected off, 64 or 128";
            return false;
        }
        im[layout::wepMode] = state->second[0];
        im[layout::wepEnabled] = state->second[1];
    } else if (key == "default-key") {
        if (!number(3, n)) return false;
        im[layout::defaultKeyIndex] = static_cast<uint8_t>(n);
    } else if (key == "key") {
        const size_t space = value.find(' ');
        std::vector<uint8_t> bytes;
        if (space == std::string_view::npos || !ParseUnsigned(value.substr(0, space), 3, n) ||
            !ParseKeyHex(value.substr(space + 1), bytes)) {
            why = "expected: key K HEX (K 0..3, 10 or 26 hex digits)";
            return false;
        }
        uint8_t* slot = im.data() + layout::wepKeySlot + n * layout::wepKeySlotSize;
        std::memset(slot, 0, 3);
        std::memcpy(slot + 3, bytes.data(), bytes.size());
    } else if (key == "mac-access") {
        if (value == "on") im[layout::macAccessEnabled] = 1;
        else if (value == "off") im[layout::macAccessEnabled] = 0;
        else {
            why = "expected on or off";
            return false;
        }
    } else if (key == "mac-entries") {
        std::vector<Mac> entries;
        std::string_view rest = value;
        while (!(rest = Trim(rest)).empty()) {
            const size_t space = rest.find(' ');
            Mac m{};
            if (!ParseMac(rest.substr(0, space), m)) {
                why = "bad MAC address '" + std::string(rest.substr(0, space)) + "'";
                return false;
            }
            entries.push_back(m);
            rest = space == std::string_view::npos ? std::string_view() : rest.substr(space);
        }
        if (entries.size() > 255 || entries.size() > layout::macTableMax) {
            why = "too many entries";
            return false;
        }
        im[layout::macEntryCount] = static_cast<uint8_t>(entries.size());
        for (size_t i = 0; i < entries.size(); ++i)
            std::memcpy(im.data() + layout::macTable + 6 * i, entries[i].data(), 6);
    } else {
        why = "unknown key '" + std::string(key) + "'";
        return false;
    }
    if (imageField) {
        StampImageCrc(im);
        ap.pending = im;
    }
    return true;
}

}  // namespace

bool ApplyState(Simulator& sim, std::string_view text, const FileLoader& load, std::string& error) {
    size_t lineNo = 0;
    while (!text.empty()) {
        ++lineNo;
        const size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        line = Trim(line);
        if (line.empty() || line.front() == '#') continue;
        const size_t s1 = line.find_first_of(" \t");
        const std::string_view who = line.substr(0, s1);
        std::string_view rest = s1 == std::string_view::npos ? std::string_view() : Trim(line.substr(s1));
        const size_t s2 = rest.find_first_of(" \t");
        const std::string_view key = rest.substr(0, s2);
        const std::string_view value = s2 == std::string_view::npos ? std::string_view() : Trim(rest.substr(s2));
        const std::string where = "line " + std::to_string(lineNo) + ": ";
        if (key.empty()) {
            error = where + "expected: WHO KEY VALUE";
            return false;
        }
        int first = 0, last = sim.Count() - 1;
        if (who != "*") {
            uint64_t n = 0;
            if (!ParseUnsigned(who, static_cast<uint64_t>(sim.Count() - 1), n)) {
                error = where + "no AP '" + std::string(who) + "' (0.." + std::to_string(sim.Count() - 1) + " or *)";
                return false;
            }
            first = last = static_cast<int>(n);
        }
        for (int i = first; i <= last; ++i) {
            std::string why;
            if (!ApplyKey(sim.Ap(i), key, value, load, why)) {
                error = where + why;
                return false;
            }
        }
    }
    sim.RefreshAll();
    return true;
}

}  // namespace apsim
