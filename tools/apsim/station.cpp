#include "tools/apsim/station.h"

#include <net/if.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>

#include "protocol/bytes.h"
#include "protocol/ether.h"

namespace apsim {

namespace {

// EtherType 0xAAAA only; the station wants to see every reply, whoever sent it.
bpf_insn kFilter[] = {
    {0x28, 0, 0, 12},      // ldh [12]
    {0x15, 0, 1, 0xAAAA},  // jeq #0xAAAA
    {0x06, 0, 0, 0xFFFF},  // ret #0xFFFF
    {0x06, 0, 0, 0},       // ret #0
};
constexpr int kRingBytes = 16 << 20;

bool ReadMac(const std::string& iface, Mac& mac) {
    if (iface.empty() || iface.size() >= IFNAMSIZ) return false;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq req{};
    std::memcpy(req.ifr_name, iface.data(), iface.size());
    const bool ok = ::ioctl(fd, SIOCGIFHWADDR, &req) == 0;
    ::close(fd);
    if (ok) aputil::CopyMac(mac.data(), reinterpret_cast<const uint8_t*>(req.ifr_hwaddr.sa_data));
    return ok;
}

void OnFrame(u_char* user, const pcap_pkthdr* header, const u_char* bytes);

std::string AttrText(std::span<const uint8_t> body, uint16_t id) {
    const auto a = aputil::FindAttribute(body, id);
    return a ? std::string(a->value.begin(), a->value.end()) : std::string();
}

void OnFrame(u_char* user, const pcap_pkthdr* header, const u_char* frame) {
    if (header->caplen != header->len) return;
    const size_t length = header->caplen;
    auto* out = reinterpret_cast<std::vector<Received>*>(user);
    Received r;
    r.atUs = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
                 .count();
    r.bytes.assign(frame, frame + length);
    if (const auto eth = aputil::ReadEtherHeader(r.bytes)) {
        r.dst = eth->destination;
        r.src = eth->source;
        r.valid = aputil::VerifyFrame(std::span<const uint8_t>(r.bytes).subspan(aputil::kEthHeaderSize), r.header);
    }
    out->push_back(std::move(r));
}

}  // namespace

std::span<const uint8_t> Received::Body() const {
    if (!valid) return {};
    return aputil::FrameBody(std::span<const uint8_t>(bytes).subspan(aputil::kEthHeaderSize), header);
}

bool DecodeBrowseReply(const Received& frame, BrowseAnswer& answer) {
    if (!frame.valid || frame.header.type != aputil::MSG_BROWSE_REPLY) return false;
    const auto body = frame.Body();
    answer.mac = frame.src;
    answer.sequence = frame.header.sequence;
    answer.vendor = AttrText(body, aputil::ATTR_VENDOR);
    answer.product = AttrText(body, aputil::ATTR_PRODUCT);
    answer.model = AttrText(body, aputil::ATTR_MODEL);
    answer.name = AttrText(body, aputil::ATTR_AP_NAME);
    return true;
}

bool DecodeBlockReply(const Received& frame, BlockAnswer& answer) {
    if (!frame.valid || frame.header.type != aputil::MSG_BLOCK_REPLY) return false;
    aputil::ByteReader r(frame.Body());
    answer.session = r.u16be();
    answer.status = r.u16be();
    answer.count = r.u16be();
    if (!r.ok()) return false;
    answer.answered = true;
    // Only what the frame holds, whatever the count claims.
    const size_t present = std::min<size_t>(answer.count, r.remaining());
    const auto counted = r.view(present);
    answer.data.clear();
    if (counted.size() > aputil::kBlockHeaderSize)
        answer.data.assign(counted.begin() + aputil::kBlockHeaderSize, counted.end());
    return true;
}

Station::Station() = default;
Station::~Station() {
    if (capture_) pcap_close(capture_);
}

bool Station::Open(const std::string& iface, std::string& error) {
    if (!ReadMac(iface, mac_)) {
        error = "cannot read the hardware address of " + iface;
        return false;
    }
    char message[PCAP_ERRBUF_SIZE] = {};
    capture_ = pcap_create(iface.c_str(), message);
    if (!capture_) {
        error = std::string("cannot open ") + iface + ": " + message;
        return false;
    }
    if (pcap_set_snaplen(capture_, 1600) != 0 || pcap_set_immediate_mode(capture_, 1) != 0 ||
        pcap_set_buffer_size(capture_, kRingBytes) != 0 || pcap_activate(capture_) < 0 ||
        pcap_setdirection(capture_, PCAP_D_IN) != 0 || pcap_setnonblock(capture_, 1, message) != 0) {
        error = "cannot open " + iface + ": " + pcap_geterr(capture_);
        return false;
    }
    bpf_program program{static_cast<u_int>(std::size(kFilter)), kFilter};
    fd_ = pcap_get_selectable_fd(capture_);
    if (fd_ < 0 || pcap_setfilter(capture_, &program) != 0) {
        error = "cannot install the receive filter on " + iface;
        return false;
    }
    return true;
}

bool Station::Send(const Mac& dst, uint16_t sequence, uint16_t type, const aputil::FrameFields& fields) {
    std::vector<uint8_t> frame(aputil::kEthHeaderSize + aputil::kFrameBufferSize);
    const size_t n =
        aputil::BuildFrame(std::span<uint8_t>(frame).subspan(aputil::kEthHeaderSize), sequence, type, fields);
    if (!n) return false;
    frame.resize(aputil::kEthHeaderSize + n);
    aputil::WriteEtherHeader(frame, {dst, mac_, aputil::kEtherType});
    return SendRaw(frame);
}

bool Station::SendRaw(std::span<const uint8_t> frame) {
    return capture_ && frame.size() <= INT_MAX &&
           pcap_inject(capture_, frame.data(), frame.size()) == static_cast<int>(frame.size());
}

std::vector<Received> Station::Collect(int ms, const std::function<bool(const std::vector<Received>&)>& done) {
    std::vector<Received> frames;
    if (!capture_) return frames;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        pcap_dispatch(capture_, -1, &OnFrame, reinterpret_cast<u_char*>(&frames));
        if (done && done(frames)) break;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        pollfd p{fd_, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(left));
    }
    return frames;
}

void Station::Flush() {
    if (capture_) Collect(0);
}

std::vector<BrowseAnswer> Station::Browse(const std::string& vendor, const std::string& product,
                                          const std::string& model, int waitMs, int expected) {
    const uint16_t seq = NextSequence();
    const aputil::Attribute attrs[3] = {aputil::TextAttribute(aputil::ATTR_VENDOR, vendor),
                                        aputil::TextAttribute(aputil::ATTR_PRODUCT, product),
                                        aputil::TextAttribute(aputil::ATTR_MODEL, model)};
    aputil::FrameFields f;
    f.attributes = attrs;
    std::vector<BrowseAnswer> answers;
    if (!Send(aputil::kBroadcastMac, seq, aputil::MSG_BROWSE, f)) return answers;
    size_t seen = 0;
    Collect(waitMs, [&](const std::vector<Received>& frames) {
        for (; seen < frames.size(); ++seen) {
            BrowseAnswer a;
            if (DecodeBrowseReply(frames[seen], a) && a.sequence == seq) answers.push_back(std::move(a));
        }
        return expected >= 0 && answers.size() >= static_cast<size_t>(expected);
    });
    return answers;
}

std::optional<std::pair<uint16_t, uint16_t>> Station::Login(const Mac& ap, const std::string& password, int waitMs,
                                                            const std::string& user) {
    const uint16_t seq = NextSequence();
    aputil::FrameFields f;
    f.subtype = aputil::SESSION_LOGIN;
    f.user = user;
    f.password = password;
    if (!Send(ap, seq, aputil::MSG_SESSION, f)) return std::nullopt;
    std::optional<std::pair<uint16_t, uint16_t>> result;
    Collect(waitMs, [&](const std::vector<Received>& frames) {
        for (const auto& r : frames) {
            if (!r.valid || r.src != ap || r.header.type != aputil::MSG_SESSION || r.header.sequence != seq) continue;
            aputil::ByteReader br(r.Body());
            const uint16_t subtype = br.u16be(), status = br.u16be(), session = br.u16be();
            if (br.ok() && subtype == aputil::SESSION_LOGIN_REPLY) {
                result = {status, session};
                return true;
            }
        }
        return false;
    });
    return result;
}

BlockAnswer Station::Block(const Mac& ap, uint16_t session, uint8_t op, uint32_t offset, uint32_t length,
                           std::span<const uint8_t> data, int waitMs) {
    const uint16_t seq = NextSequence();
    std::vector<uint8_t> counted(aputil::kBlockHeaderSize);
    aputil::BlockHeader{op, offset, length}.Write(counted.data());
    counted.insert(counted.end(), data.begin(), data.end());
    aputil::FrameFields f;
    f.session = session;
    f.data = counted;
    BlockAnswer answer;
    if (!Send(ap, seq, aputil::MSG_BLOCK, f)) return answer;
    Collect(waitMs, [&](const std::vector<Received>& frames) {
        for (const auto& r : frames)
            if (r.src == ap && r.valid && r.header.sequence == seq && DecodeBlockReply(r, answer)) return true;
        return false;
    });
    return answer;
}

}  // namespace apsim
