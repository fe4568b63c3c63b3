// The state file: one KEY VALUE for one AP or all of them a line, each key
// applied by its entry in a table.

#include "tools/apsim/state_file.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "protocol/hex.h"
#include "tools/apsim/apsim_core.h"
#include "tools/apsim/text.h"

namespace apsim {

namespace {

// What a key's entry gets: the AP, the value, the loader for files it names,
// and where to say why the value is refused.
struct KeyInput {
    SimAp& ap;
    std::string_view value;
    const FileLoader& load;
    std::string& why;
};

bool Number(const KeyInput& in, uint64_t max, uint64_t& n) {
    if (ParseUnsigned(in.value, max, n)) return true;
    in.why = "expected a number 0.." + std::to_string(max);
    return false;
}

bool Text(const KeyInput& in, std::string& field, size_t limit) {
    if (in.value.size() > limit) {
        in.why = "text longer than " + std::to_string(limit);
        return false;
    }
    field = std::string(in.value);
    return true;
}

bool ApName(const KeyInput& in) {
    if (!Text(in, in.ap.name, layout::apNameWidth - 1)) return false;
    WriteText(in.ap.image, layout::apName, layout::apNameWidth, in.ap.name);
    return true;
}

bool Password(const KeyInput& in) {
    if (!Text(in, in.ap.password, 40)) return false;
    WriteText(in.ap.image, layout::password, layout::passwordWidth, in.ap.password);
    return true;
}

// Vendor, product and model: only the browse reply carries them.
template <std::string SimAp::*Field>
bool Identity(const KeyInput& in) {
    return Text(in, in.ap.*Field, 255);
}

template <std::string SimAp::*Field, size_t At>
bool FirmwareText(const KeyInput& in) {
    if (!Text(in, in.ap.*Field, layout::firmwareTextWidth - 1)) return false;
    std::memset(in.ap.firmware.data() + At, 0, layout::firmwareTextWidth);
    std::memcpy(in.ap.firmware.data() + At, in.value.data(), in.value.size());
    return true;
}

// A whole image file, taken as it is, checksum included.
bool WholeImage(const KeyInput& in) {
    std::vector<uint8_t> bytes;
    if (!in.load || !in.load(std::string(in.value), bytes)) {
        in.why = "cannot read '" + std::string(in.value) + "'";
        return false;
    }
    if (bytes.size() != kImageSize) {
        // Built in a string of its own: GCC 12 at -O3 warns falsely (-Wrestrict)
        // on "'" + std::string here, and on rewriting in.why in place.
        std::string why(1, '\'');
        why.append(in.value).append("' has ").append(std::to_string(bytes.size())).append(" bytes, not 4096");
        in.why.swap(why);
        return false;
    }
    std::copy(bytes.begin(), bytes.end(), in.ap.image.begin());
    in.ap.pending = in.ap.image;
    return true;
}

bool Ssid(const KeyInput& in) {
    std::string s;
    if (!Text(in, s, 32)) return false;
    WriteText(in.ap.image, layout::ssid, layout::ssidWidth, s);
    return true;
}

template <size_t At, uint64_t Max>
bool Byte(const KeyInput& in) {
    uint64_t n = 0;
    if (!Number(in, Max, n)) return false;
    in.ap.image[At] = static_cast<uint8_t>(n);
    return true;
}

bool ChannelMask(const KeyInput& in) {
    uint64_t n = 0;
    if (!Number(in, 0xFFFF, n)) return false;
    in.ap.image[layout::channelMask] = static_cast<uint8_t>(n);
    in.ap.image[layout::channelMask + 1] = static_cast<uint8_t>(n >> 8);
    return true;
}

// The image holds the addresses twice.
template <size_t At, size_t CopyAt>
bool Address(const KeyInput& in) {
    std::array<uint8_t, 4> v{};
    if (!ParseIpv4(in.value, v)) {
        in.why = "expected a dotted quad";
        return false;
    }
    PutIpv4(in.ap.image, At, v);
    PutIpv4(in.ap.image, CopyAt, v);
    return true;
}

bool Wep(const KeyInput& in) {
    static constexpr std::pair<std::string_view, std::array<uint8_t, 2>> kStates[] = {
        {"off", {0, 0}}, {"64", {1, 1}}, {"128", {2, 1}}};
    const auto* state =
        std::find_if(std::begin(kStates), std::end(kStates), [&](const auto& st) { return st.first == in.value; });
    if (state == std::end(kStates)) {
        in.why = "expected off, 64 or 128";
        return false;
    }
    in.ap.image[layout::wepMode] = state->second[0];
    in.ap.image[layout::wepEnabled] = state->second[1];
    return true;
}

bool WepKey(const KeyInput& in) {
    const size_t space = in.value.find(' ');
    uint64_t n = 0;
    std::optional<std::vector<uint8_t>> key;
    if (space != std::string_view::npos) key = aputil::ParseHexBytes(Trim(in.value.substr(space + 1)));
    // 10 or 26 digits: the 5 or 13 bytes of a 64- or a 128-bit key.
    if (!key || (key->size() != 5 && key->size() != 13) || !ParseUnsigned(in.value.substr(0, space), 3, n)) {
        in.why = "expected: key K HEX (K 0..3, 10 or 26 hex digits)";
        return false;
    }
    uint8_t* slot = in.ap.image.data() + layout::wepKeySlot + n * layout::wepKeySlotSize;
    std::memset(slot, 0, 3);
    std::memcpy(slot + 3, key->data(), key->size());
    return true;
}

bool MacAccess(const KeyInput& in) {
    if (in.value == "on") in.ap.image[layout::macAccessEnabled] = 1;
    else if (in.value == "off") in.ap.image[layout::macAccessEnabled] = 0;
    else {
        in.why = "expected on or off";
        return false;
    }
    return true;
}

bool MacEntries(const KeyInput& in) {
    std::vector<Mac> entries;
    std::string_view rest = in.value;
    while (!(rest = Trim(rest)).empty()) {
        const size_t space = rest.find(' ');
        Mac m{};
        if (!ParseMac(rest.substr(0, space), m)) {
            in.why = "bad MAC address '" + std::string(rest.substr(0, space)) + "'";
            return false;
        }
        entries.push_back(m);
        rest = space == std::string_view::npos ? std::string_view() : rest.substr(space);
    }
    if (entries.size() > 255 || entries.size() > layout::macTableMax) {
        in.why = "too many entries";
        return false;
    }
    in.ap.image[layout::macEntryCount] = static_cast<uint8_t>(entries.size());
    for (size_t i = 0; i < entries.size(); ++i)
        std::memcpy(in.ap.image.data() + layout::macTable + 6 * i, entries[i].data(), 6);
    return true;
}

struct StateKey {
    std::string_view key;
    bool (*apply)(const KeyInput& in);  // false with a reason; changes nothing then
    bool editsImage;                    // restamp the checksum and reset the pending image
};
constexpr StateKey kKeys[] = {
    {"name", ApName, true},
    {"password", Password, true},
    {"vendor", Identity<&SimAp::vendor>, false},
    {"product", Identity<&SimAp::product>, false},
    {"model", Identity<&SimAp::model>, false},
    {"firmware-version", FirmwareText<&SimAp::firmwareVersion, layout::firmwareVersion>, false},
    {"firmware-date", FirmwareText<&SimAp::firmwareDate, layout::firmwareDate>, false},
    {"image", WholeImage, false},
    {"ssid", Ssid, true},
    {"channel", Byte<layout::channel, 255>, true},
    {"channel-mask", ChannelMask, true},
    {"domain", Byte<layout::regulatoryDomain, 255>, true},
    {"ip", Address<layout::ipAddress, layout::addressCopy>, true},
    {"mask", Address<layout::subnetMask, layout::addressCopy + 4>, true},
    {"gateway", Address<layout::gateway, layout::addressCopy + 8>, true},
    {"wep", Wep, true},
    {"default-key", Byte<layout::defaultKeyIndex, 3>, true},
    {"key", WepKey, true},
    {"mac-access", MacAccess, true},
    {"mac-entries", MacEntries, true},
};

// Applies one KEY VALUE to one AP; false with a reason.
bool ApplyKey(SimAp& ap, std::string_view key, std::string_view value, const FileLoader& load, std::string& why) {
    const auto* entry =
        std::find_if(std::begin(kKeys), std::end(kKeys), [&](const StateKey& k) { return k.key == key; });
    if (entry == std::end(kKeys)) {
        why = "unknown key '" + std::string(key) + "'";
        return false;
    }
    if (!entry->apply(KeyInput{ap, value, load, why})) return false;
    if (entry->editsImage) {
        StampImageCrc(ap.image);
        ap.pending = ap.image;
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
