#include "tools/apsim/log.h"

#include <algorithm>

namespace apsim {

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

JsonLine::JsonLine(uint64_t t, std::string_view event) {
    s_ = "{\"t\":" + std::to_string(t) + ",\"event\":\"";
    s_ += event;
    s_ += '"';
}

JsonLine& JsonLine::Num(std::string_view key, int64_t v) {
    Key(key);
    s_ += std::to_string(v);
    return *this;
}

JsonLine& JsonLine::Str(std::string_view key, std::string_view v) {
    Key(key);
    s_ += '"';
    s_ += JsonEscape(v);
    s_ += '"';
    return *this;
}

JsonLine& JsonLine::Bool(std::string_view key, bool v) {
    Key(key);
    s_ += v ? "true" : "false";
    return *this;
}

JsonLine& JsonLine::Fault(const std::string& names) {
    if (!names.empty()) Str("fault", names);
    return *this;
}

void JsonLine::Key(std::string_view key) {
    s_ += ",\"";
    s_ += key;
    s_ += "\":";
}

void AddName(std::string& list, std::string_view name) {
    if (!list.empty()) list += ',';
    list += name;
}

namespace {

// Whether one of the comma-separated items of list (an empty list is one empty
// item) is name. Compared item by item: GCC 12 at -O3 takes a "," + list + ","
// temporary for an overlapping copy and fails the -Werror build.
bool ListHas(std::string_view list, std::string_view name) {
    for (size_t pos = 0;;) {
        const size_t comma = std::min(list.find(',', pos), list.size());
        if (list.substr(pos, comma - pos) == name) return true;
        if (comma == list.size()) return false;
        pos = comma + 1;
    }
}

}  // namespace

void AddNewNames(std::string& list, std::string_view names) {
    for (size_t pos = 0; pos < names.size();) {
        const size_t comma = std::min(names.find(',', pos), names.size());
        const auto name = names.substr(pos, comma - pos);
        if (!ListHas(list, name)) AddName(list, name);
        pos = comma + 1;
    }
}

}  // namespace apsim
