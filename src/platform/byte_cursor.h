#pragma once

// Little-endian fields read in order from a record, or appended in order to one: the one reading
// and writing of the binary records the bootstrap and the release tool exchange (the payload's
// header, file records and chunk records, CNG key blobs). In the seam because the crypto
// providers read key blobs too, and they see nothing above it.

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

namespace veltomarn {

// Reads the fields of a record in order. The caller has checked that the bytes hold every field it
// reads; the cursor itself checks nothing.
class ByteReader {
  public:
    explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    // The next sizeof(T) bytes as an unsigned little-endian number.
    template <typename T>
    T Read() {
        static_assert(std::is_unsigned_v<T>);
        T value = 0;
        for (std::size_t i = sizeof(T); i-- > 0;) {
            value = static_cast<T>((value << 8) | bytes_[offset_ + i]);
        }
        offset_ += sizeof(T);
        return value;
    }

    // The next `count` bytes as they are.
    std::span<const uint8_t> Bytes(std::size_t count) {
        const std::span<const uint8_t> field = bytes_.subspan(offset_, count);
        offset_ += count;
        return field;
    }

    // How many bytes the fields read so far took.
    std::size_t offset() const { return offset_; }

  private:
    std::span<const uint8_t> bytes_;
    std::size_t offset_ = 0;
};

// Appends the fields of a record in order to `out`. The width is always named at the call
// (`Put<uint32_t>(n)`), never taken from the argument's type.
class ByteWriter {
  public:
    explicit ByteWriter(std::vector<uint8_t>& out) : out_(out) {}

    // `value` as sizeof(T) bytes, little-endian; higher bytes of a wider value are dropped.
    template <typename T>
    void Put(std::type_identity_t<T> value) {
        static_assert(std::is_unsigned_v<T>);
        for (std::size_t k = 0; k < sizeof(T); ++k) {
            out_.push_back(static_cast<uint8_t>(value >> (8 * k)));
        }
    }

    void PutBytes(std::span<const uint8_t> bytes) {
        out_.insert(out_.end(), bytes.begin(), bytes.end());
    }

  private:
    std::vector<uint8_t>& out_;
};

}  // namespace veltomarn
