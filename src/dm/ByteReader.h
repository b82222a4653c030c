// The one bounds-checked reader for outside bytes: little-endian integers and byte runs over
// a span. Every read past the end fails (returns false / nullopt) and reads nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

namespace kvx::dm {

class ByteReader {
public:
    explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    size_t position() const { return pos_; }
    size_t remaining() const { return bytes_.size() - pos_; }
    bool atEnd() const { return pos_ >= bytes_.size(); }

    bool skip(size_t n) {
        if (n > remaining()) return false;
        pos_ += n;
        return true;
    }
    bool seek(size_t pos) {
        if (pos > bytes_.size()) return false;
        pos_ = pos;
        return true;
    }
    std::optional<uint8_t> u8() {
        if (remaining() < 1) return std::nullopt;
        return bytes_[pos_++];
    }
    std::optional<uint16_t> u16() {
        if (remaining() < 2) return std::nullopt;
        uint16_t v = static_cast<uint16_t>(bytes_[pos_] | (bytes_[pos_ + 1] << 8));
        pos_ += 2;
        return v;
    }
    std::optional<uint32_t> u32() {
        if (remaining() < 4) return std::nullopt;
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = (v << 8) | bytes_[pos_ + static_cast<size_t>(i)];
        pos_ += 4;
        return v;
    }
    std::optional<uint64_t> u64() {
        if (remaining() < 8) return std::nullopt;
        uint64_t v = 0;
        for (int i = 7; i >= 0; --i) v = (v << 8) | bytes_[pos_ + static_cast<size_t>(i)];
        pos_ += 8;
        return v;
    }
    // The next `n` bytes, or nullopt when fewer remain.
    std::optional<std::span<const uint8_t>> bytes(size_t n) {
        if (n > remaining()) return std::nullopt;
        auto s = bytes_.subspan(pos_, n);
        pos_ += n;
        return s;
    }
    std::span<const uint8_t> rest() const { return bytes_.subspan(pos_); }

private:
    std::span<const uint8_t> bytes_;
    size_t pos_ = 0;
};

// Little-endian reads at a fixed offset; nullopt when the field does not fit.
inline std::optional<uint16_t> le16At(std::span<const uint8_t> b, size_t off) {
    if (off > b.size() || b.size() - off < 2) return std::nullopt;
    return static_cast<uint16_t>(b[off] | (b[off + 1] << 8));
}
inline std::optional<uint32_t> le32At(std::span<const uint8_t> b, size_t off) {
    if (off > b.size() || b.size() - off < 4) return std::nullopt;
    return static_cast<uint32_t>(b[off]) | (static_cast<uint32_t>(b[off + 1]) << 8) |
           (static_cast<uint32_t>(b[off + 2]) << 16) | (static_cast<uint32_t>(b[off + 3]) << 24);
}

}  // namespace kvx::dm
