// apsim-probe: a few requests from the utility's side, for the demo and for
// looking at a running apsim by hand. Run it inside a network namespace.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/bytes.h"
#include "protocol/ether.h"
#include "tools/apsim/station.h"

namespace {

constexpr const char* kUsage =
    "usage: apsim-probe --iface IF [--wait-ms MS] [--all-models] [--vendor T] [--product T] [--model T] browse\n"
    "       apsim-probe --iface IF login MAC PASSWORD\n";

std::string Ip(const apsim::Image& im, size_t at) {
    return std::to_string(im[at]) + "." + std::to_string(im[at + 1]) + "." + std::to_string(im[at + 2]) + "." +
           std::to_string(im[at + 3]);
}

int Browse(apsim::Station& st, const std::string& vendor, const std::string& product, const std::string& model,
           int waitMs) {
    const int64_t sent =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    const uint16_t seq = st.NextSequence();
    const aputil::Attribute attrs[3] = {aputil::TextAttribute(aputil::ATTR_VENDOR, vendor),
                                        aputil::TextAttribute(aputil::ATTR_PRODUCT, product),
                                        aputil::TextAttribute(aputil::ATTR_MODEL, model)};
    aputil::FrameFields f;
    f.attributes = attrs;
    if (!st.Send(aputil::kBroadcastMac, seq, aputil::MSG_BROWSE, f)) {
        std::fprintf(stderr, "apsim-probe: cannot send the browse\n");
        return 1;
    }
    const auto frames = st.Collect(waitMs);
    int count = 0;
    int64_t last = sent;
    for (const auto& r : frames) {
        apsim::BrowseAnswer a;
        if (!apsim::DecodeBrowseReply(r, a) || a.sequence != seq) continue;
        ++count;
        last = r.atUs;
        std::printf("  %s  %-20s %s / %s / %s\n", apsim::MacText(a.mac).c_str(), a.name.c_str(), a.vendor.c_str(),
                    a.product.c_str(), a.model.c_str());
    }
    std::printf("%d AP(s) answered the browse; the last reply arrived %.1f ms after the request\n", count,
                static_cast<double>(last - sent) / 1000.0);
    return count > 0 ? 0 : 3;
}

int Login(apsim::Station& st, const std::string& macText, const std::string& password) {
    apsim::Mac ap{};
    if (!apsim::ParseMac(macText, ap)) {
        std::fprintf(stderr, "apsim-probe: bad MAC %s\n", macText.c_str());
        return 2;
    }
    const auto login = st.Login(ap, password);
    if (!login) {
        std::printf("no answer to the login\n");
        return 3;
    }
    if (login->first != 0) {
        std::printf("login refused, status %u\n", login->first);
        return 3;
    }
    const uint16_t session = login->second;
    std::printf("logged in, session %u\n", session);
    const auto info = st.Block(ap, session, aputil::BLOCK_OP_INFO, 0, 0);
    if (!info.answered || info.status != 0 || info.data.size() < apsim::kDeviceInfoSize) {
        std::printf("no device information\n");
        return 3;
    }
    aputil::ByteReader r(info.data);
    const uint32_t fwAddress = r.u32le();
    r.skip(16);
    const uint32_t imageAddress = r.u32le();
    std::vector<uint8_t> fw;
    apsim::Image image{};
    auto read = [&](uint32_t address, size_t count, uint8_t* to) {
        for (size_t done = 0; done < count;) {
            const size_t chunk = std::min(count - done, apsim::kChunkMax);
            const auto b = st.Block(ap, session, aputil::BLOCK_OP_READ, static_cast<uint32_t>(address + done),
                                    static_cast<uint32_t>(chunk));
            if (!b.answered || b.status != 0 || b.data.size() < chunk) return false;
            std::memcpy(to + done, b.data.data(), chunk);
            done += chunk;
        }
        return true;
    };
    fw.resize(apsim::kFirmwareSize);
    if (!read(fwAddress, fw.size(), fw.data()) || !read(imageAddress, image.size(), image.data())) {
        std::printf("reading the blocks failed\n");
        return 3;
    }
    const char* wep[] = {"disabled", "64-bit", "128-bit"};
    const int wepState = image[apsim::layout::wepEnabled] == 0 || image[apsim::layout::wepMode] == 0 ? 0
                         : image[apsim::layout::wepMode] == 1                                        ? 1
                                                                                                     : 2;
    std::printf("  firmware     %s (%s)\n", apsim::ReadText(fw, apsim::layout::firmwareVersion, 32).c_str(),
                apsim::ReadText(fw, apsim::layout::firmwareDate, 32).c_str());
    std::printf("  name         %s\n", apsim::ReadText(image, apsim::layout::apName, 80).c_str());
    std::printf("  SSID         %s, channel %u\n", apsim::ReadText(image, apsim::layout::ssid, 36).c_str(),
                image[apsim::layout::channel]);
    std::printf("  IP           %s mask %s gateway %s\n", Ip(image, apsim::layout::ipAddress).c_str(),
                Ip(image, apsim::layout::subnetMask).c_str(), Ip(image, apsim::layout::gateway).c_str());
    std::printf("  WEP          %s, MAC access %s (%u entries)\n", wep[wepState],
                image[apsim::layout::macAccessEnabled] == 1 ? "on" : "off", image[apsim::layout::macEntryCount]);
    std::printf("  image CRC-32 %s\n", apsim::ImageCrc(image) == apsim::StoredImageCrc(image) ? "valid" : "WRONG");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string iface, vendor = "M-Rax", product = "Lumivance/QR-4710 Access Point", model = "QR-4710A Smart AP";
    int waitMs = 1000;
    std::vector<std::string> rest;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : std::string(); };
        if (a == "--iface") iface = value();
        else if (a == "--wait-ms") waitMs = std::atoi(value().c_str());
        else if (a == "--all-models") model.clear();
        else if (a == "--vendor") vendor = value();
        else if (a == "--product") product = value();
        else if (a == "--model") model = value();
        else rest.push_back(a);
    }
    if (iface.empty() || rest.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    apsim::Station st;
    std::string error;
    if (!st.Open(iface, error)) {
        std::fprintf(stderr, "apsim-probe: %s\n", error.c_str());
        return 1;
    }
    if (rest[0] == "browse" && rest.size() == 1) return Browse(st, vendor, product, model, waitMs);
    if (rest[0] == "login" && rest.size() == 3) return Login(st, rest[1], rest[2]);
    std::fputs(kUsage, stderr);
    return 2;
}
