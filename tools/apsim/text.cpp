#include "tools/apsim/text.h"

#include <charconv>
#include <span>

#include "protocol/hex.h"
#include "tools/apsim/apsim_core.h"

namespace apsim {

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
    for (size_t i = 0; i < m.size(); ++i) {
        if (!aputil::ParseHex(text.substr(3 * i, 2), std::span(m).subspan(i, 1))) return false;
        if (i < 5 && text[3 * i + 2] != ':' && text[3 * i + 2] != '-') return false;
    }
    mac = m;
    return true;
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

}  // namespace apsim
