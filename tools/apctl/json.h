#pragma once
// A small JSON value for apctl's machine output: objects keep their keys in
// the order they were set, so every run prints the same shape in the same
// order. Texts are the image's 8-bit bytes and are written as UTF-8.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace apctl {

class Json {
public:
    enum class Kind { Null, Bool, Number, String, Array, Object };

    Json() = default;
    Json(std::nullptr_t) {}
    Json(bool b) : kind_(Kind::Bool), number_(b ? 1 : 0) {}
    Json(int n) : kind_(Kind::Number), number_(n) {}
    Json(int64_t n) : kind_(Kind::Number), number_(n) {}
    Json(const char* s) : kind_(Kind::String), text_(s) {}
    Json(std::string s) : kind_(Kind::String), text_(std::move(s)) {}
    Json(std::string_view s) : kind_(Kind::String), text_(s) {}

    static Json Array() {
        Json j;
        j.kind_ = Kind::Array;
        return j;
    }
    static Json Object() {
        Json j;
        j.kind_ = Kind::Object;
        return j;
    }

    Kind kind() const { return kind_; }
    bool IsNull() const { return kind_ == Kind::Null; }

    // Arrays.
    Json& Push(Json value) {
        items_.emplace_back(std::string(), std::move(value));
        return items_.back().second;
    }
    // Objects: replaces the value of a key already set, else appends it.
    Json& Set(std::string_view key, Json value) {
        for (auto& [k, v] : items_) {
            if (k == key) return v = std::move(value);
        }
        items_.emplace_back(std::string(key), std::move(value));
        return items_.back().second;
    }
    const Json* Find(std::string_view key) const {
        for (const auto& [k, v] : items_) {
            if (k == key) return &v;
        }
        return nullptr;
    }
    const std::vector<std::pair<std::string, Json>>& Items() const { return items_; }
    size_t Size() const { return items_.size(); }

    // Compact form (one line), or indented by two spaces per level.
    std::string Dump(bool pretty = false) const {
        std::string out;
        Write(out, pretty, 0);
        return out;
    }
    // A readable form for the text output: strings without quotes, as their bytes.
    std::string Text() const {
        if (kind_ == Kind::String) return text_;
        if (kind_ == Kind::Null) return "-";
        if (kind_ == Kind::Array) {
            std::string out;
            for (const auto& [k, v] : items_) out += (out.empty() ? "" : ",") + v.Text();
            return out.empty() ? "(none)" : out;
        }
        return Dump();
    }
    bool operator==(const Json& other) const { return Dump() == other.Dump(); }

    // Latin-1 bytes as UTF-8.
    static std::string Utf8(std::string_view bytes) {
        std::string out;
        for (const char c : bytes) {
            const auto u = static_cast<unsigned char>(c);
            if (u < 0x80) {
                out += c;
            } else {
                out += static_cast<char>(0xC0 | (u >> 6));
                out += static_cast<char>(0x80 | (u & 0x3F));
            }
        }
        return out;
    }

private:
    static void Quote(std::string& out, std::string_view bytes) {
        static constexpr char kHex[] = "0123456789abcdef";
        out += '"';
        for (const char c : Utf8(bytes)) {
            const auto u = static_cast<unsigned char>(c);
            switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (u < 0x20 || u == 0x7f) {
                    out += "\\u00";
                    out += kHex[u >> 4];
                    out += kHex[u & 15];
                } else {
                    out += c;
                }
            }
        }
        out += '"';
    }

    void Write(std::string& out, bool pretty, int depth) const {
        switch (kind_) {
        case Kind::Null:
            out += "null";
            return;
        case Kind::Bool:
            out += number_ ? "true" : "false";
            return;
        case Kind::Number:
            out += std::to_string(number_);
            return;
        case Kind::String:
            Quote(out, text_);
            return;
        case Kind::Array:
        case Kind::Object:
            break;
        }
        const bool object = kind_ == Kind::Object;
        out += object ? '{' : '[';
        // Appended rather than concatenated: GCC 12 at -O3 warns falsely on
        // "\n" + std::string(...).
        std::string indent;
        if (pretty) {
            indent += '\n';
            indent.append(static_cast<size_t>(2 * (depth + 1)), ' ');
        }
        bool first = true;
        for (const auto& [k, v] : items_) {
            if (!first) out += pretty ? "," : ", ";
            first = false;
            out += indent;
            if (object) {
                Quote(out, k);
                out += ": ";
            }
            v.Write(out, pretty, depth + 1);
        }
        if (pretty && !items_.empty()) {
            out += '\n';
            out.append(static_cast<size_t>(2 * depth), ' ');
        }
        out += object ? '}' : ']';
    }

    Kind kind_ = Kind::Null;
    int64_t number_ = 0;
    std::string text_;
    std::vector<std::pair<std::string, Json>> items_;
};

}  // namespace apctl
