// Big-endian fields of every wire format the service writes or reads (RTP, RTCP, TS, PSI,
// PES): byte by byte with shifts, so the bytes are the same on the big-endian appliance and
// a little-endian host. Every helper is bounded by the span it is given: a field that does
// not fit is neither written nor read, and says so (false, or a cursor that is no longer ok).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

using WireBytes = std::span<std::uint8_t>;
using ConstWireBytes = std::span<const std::uint8_t>;

constexpr bool wire_fits(std::size_t size, std::size_t at, std::size_t n) {
    return at <= size && n <= size - at;
}

inline bool put_u8(WireBytes out, std::size_t at, std::uint8_t v) {
    if (!wire_fits(out.size(), at, 1)) return false;
    out[at] = v;
    return true;
}

inline bool put_be16(WireBytes out, std::size_t at, std::uint16_t v) {
    if (!wire_fits(out.size(), at, 2)) return false;
    out[at] = static_cast<std::uint8_t>(v >> 8);
    out[at + 1] = static_cast<std::uint8_t>(v);
    return true;
}

inline bool put_be32(WireBytes out, std::size_t at, std::uint32_t v) {
    if (!wire_fits(out.size(), at, 4)) return false;
    out[at] = static_cast<std::uint8_t>(v >> 24);
    out[at + 1] = static_cast<std::uint8_t>(v >> 16);
    out[at + 2] = static_cast<std::uint8_t>(v >> 8);
    out[at + 3] = static_cast<std::uint8_t>(v);
    return true;
}

// Readers return 0 for a field that lies (even partly) outside the span.
inline std::uint8_t get_u8(ConstWireBytes in, std::size_t at) {
    return wire_fits(in.size(), at, 1) ? in[at] : 0;
}

inline std::uint16_t get_be16(ConstWireBytes in, std::size_t at) {
    if (!wire_fits(in.size(), at, 2)) return 0;
    return static_cast<std::uint16_t>(in[at] << 8 | in[at + 1]);
}

inline std::uint32_t get_be32(ConstWireBytes in, std::size_t at) {
    if (!wire_fits(in.size(), at, 4)) return 0;
    return static_cast<std::uint32_t>(in[at]) << 24 | static_cast<std::uint32_t>(in[at + 1]) << 16 |
           static_cast<std::uint32_t>(in[at + 2]) << 8 | in[at + 3];
}

// A packet writer's cursor: appends fields in order. The first field that does not fit
// stops it: nothing more is written and ok() stays false.
class WireWriter {
  public:
    explicit WireWriter(WireBytes out) : out_(out) {}

    WireWriter& u8(std::uint8_t v) { return advance(put_u8(out_, pos_, v), 1); }
    WireWriter& be16(std::uint16_t v) { return advance(put_be16(out_, pos_, v), 2); }
    WireWriter& be32(std::uint32_t v) { return advance(put_be32(out_, pos_, v), 4); }
    WireWriter& bytes(const void* src, std::size_t n) {
        const bool fits = ok_ && wire_fits(out_.size(), pos_, n);
        if (fits && n > 0) std::memcpy(out_.data() + pos_, src, n);
        return advance(fits, n);
    }
    WireWriter& fill(std::uint8_t v, std::size_t n) {
        const bool fits = ok_ && wire_fits(out_.size(), pos_, n);
        if (fits && n > 0) std::memset(out_.data() + pos_, v, n);
        return advance(fits, n);
    }

    bool ok() const { return ok_; }
    std::size_t pos() const { return pos_; }
    std::size_t room() const { return ok_ ? out_.size() - pos_ : 0; }

  private:
    WireWriter& advance(bool fits, std::size_t n) {
        if (ok_ && fits)
            pos_ += n;
        else
            ok_ = false;
        return *this;
    }

    WireBytes out_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

// A parser's cursor: takes fields in order. Reading past the end yields 0 and leaves ok()
// false, so a parser checks once after a group of fields.
class WireReader {
  public:
    explicit WireReader(ConstWireBytes in) : in_(in) {}

    std::uint8_t u8() { return take(1) ? in_[pos_ - 1] : 0; }
    std::uint16_t be16() { return take(2) ? get_be16(in_, pos_ - 2) : 0; }
    std::uint32_t be32() { return take(4) ? get_be32(in_, pos_ - 4) : 0; }
    bool skip(std::size_t n) { return take(n); }

    bool ok() const { return ok_; }
    std::size_t pos() const { return pos_; }
    std::size_t remaining() const { return in_.size() - pos_; }
    const std::uint8_t* here() const { return in_.data() + pos_; }

  private:
    bool take(std::size_t n) {
        if (!ok_ || !wire_fits(in_.size(), pos_, n)) {
            ok_ = false;
            return false;
        }
        pos_ += n;
        return true;
    }

    ConstWireBytes in_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};
