#pragma once
// Bounds-checked reading and writing of wire and image bytes. Every field of a
// received frame, and every field of the configuration image, goes through these:
// a read past the end is a normal "malformed" outcome (ok() turns false and the
// value read is 0), never an overread.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace aputil {

namespace detail {

// Where a reader or writer stands in its fixed buffer, and whether it failed;
// the bounds rule of both is this one check.
template <typename Byte>
class ByteCursor {
public:
    [[nodiscard]] constexpr bool ok() const noexcept { return ok_; }
    [[nodiscard]] constexpr size_t position() const noexcept { return pos_; }

protected:
    constexpr ByteCursor(Byte* data, size_t size) noexcept : data_(data), size_(size) {}

    // True when n more bytes are within the buffer; false marks the cursor failed.
    constexpr bool fits(size_t n) noexcept {
        if (!ok_ || n > size_ - pos_) {
            ok_ = false;
            return false;
        }
        return true;
    }

    Byte* data_;
    size_t size_;
    size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace detail

class ByteReader : public detail::ByteCursor<const uint8_t> {
public:
    constexpr ByteReader(const uint8_t* data, size_t size) noexcept : ByteCursor(data, size) {}
    constexpr explicit ByteReader(std::span<const uint8_t> bytes) noexcept : ByteCursor(bytes.data(), bytes.size()) {}

    [[nodiscard]] constexpr size_t size() const noexcept { return size_; }
    [[nodiscard]] constexpr size_t remaining() const noexcept { return ok_ ? size_ - pos_ : 0; }
    [[nodiscard]] constexpr const uint8_t* current() const noexcept { return data_ + pos_; }

    // True when n more bytes are available; false marks the reader failed.
    constexpr bool need(size_t n) noexcept { return fits(n); }
    constexpr bool skip(size_t n) noexcept {
        if (!need(n)) return false;
        pos_ += n;
        return true;
    }
    constexpr uint8_t u8() noexcept { return need(1) ? data_[pos_++] : 0; }
    constexpr uint16_t u16be() noexcept {
        if (!need(2)) return 0;
        const uint16_t v = static_cast<uint16_t>((data_[pos_] << 8) | data_[pos_ + 1]);
        pos_ += 2;
        return v;
    }
    constexpr uint32_t u32be() noexcept {
        const uint32_t hi = u16be();
        const uint32_t lo = u16be();
        return ok_ ? (hi << 16) | lo : 0;
    }
    constexpr uint16_t u16le() noexcept {
        if (!need(2)) return 0;
        const uint16_t v = static_cast<uint16_t>(data_[pos_] | (data_[pos_ + 1] << 8));
        pos_ += 2;
        return v;
    }
    constexpr uint32_t u32le() noexcept {
        const uint32_t lo = u16le();
        const uint32_t hi = u16le();
        return ok_ ? (hi << 16) | lo : 0;
    }
    // Copies n bytes out; on a short buffer nothing is copied.
    bool bytes(uint8_t* out, size_t n) noexcept {
        if (!need(n)) return false;
        if (n) std::memcpy(out, data_ + pos_, n);
        pos_ += n;
        return true;
    }
    // A view of the next n bytes (empty and failed when they are not there).
    std::span<const uint8_t> view(size_t n) noexcept {
        if (!need(n)) return {};
        std::span<const uint8_t> v(data_ + pos_, n);
        pos_ += n;
        return v;
    }
};

// Writes into a fixed buffer; a write that does not fit fails the writer and
// writes nothing. `limit` lets the frame builder apply its own size rule.
class ByteWriter : public detail::ByteCursor<uint8_t> {
public:
    constexpr ByteWriter(uint8_t* data, size_t size) noexcept : ByteCursor(data, size) {}
    constexpr explicit ByteWriter(std::span<uint8_t> bytes) noexcept : ByteCursor(bytes.data(), bytes.size()) {}

    constexpr void seek(size_t pos) noexcept {
        if (pos > size_) ok_ = false;
        else pos_ = pos;
    }
    // True when n more bytes fit; false marks the writer failed.
    constexpr bool room(size_t n) noexcept { return fits(n); }
    constexpr bool u8(uint8_t v) noexcept {
        if (!room(1)) return false;
        data_[pos_++] = v;
        return true;
    }
    constexpr bool u16be(uint16_t v) noexcept {
        if (!room(2)) return false;
        data_[pos_++] = static_cast<uint8_t>(v >> 8);
        data_[pos_++] = static_cast<uint8_t>(v);
        return true;
    }
    constexpr bool u32be(uint32_t v) noexcept {
        if (!room(4)) return false;
        u16be(static_cast<uint16_t>(v >> 16));
        return u16be(static_cast<uint16_t>(v));
    }
    constexpr bool u16le(uint16_t v) noexcept {
        if (!room(2)) return false;
        data_[pos_++] = static_cast<uint8_t>(v);
        data_[pos_++] = static_cast<uint8_t>(v >> 8);
        return true;
    }
    constexpr bool u32le(uint32_t v) noexcept {
        if (!room(4)) return false;
        u16le(static_cast<uint16_t>(v));
        return u16le(static_cast<uint16_t>(v >> 16));
    }
    bool bytes(const uint8_t* src, size_t n) noexcept {
        if (!room(n)) return false;
        if (n) std::memcpy(data_ + pos_, src, n);
        pos_ += n;
        return true;
    }
};

// The big-endian 16-bit field at offset `at`, for patching a whole frame in
// place: a read past the end gives 0, a write past it writes nothing.
constexpr uint16_t U16beAt(std::span<const uint8_t> bytes, size_t at) noexcept {
    ByteReader r(bytes);
    r.skip(at);
    return r.u16be();
}
constexpr bool PutU16beAt(std::span<uint8_t> bytes, size_t at, uint16_t v) noexcept {
    ByteWriter w(bytes);
    w.seek(at);
    return w.u16be(v);
}

}  // namespace aputil
