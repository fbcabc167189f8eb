#pragma once

// Little-endian fields and bit-packed integer arrays, the building blocks of
// the persistence format. The reader bounds every read by the bytes it has
// left and reports a shortfall as a FormatError before anything is allocated.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "korvane/persistence.hpp"

namespace korvane::detail {

// The unsigned integer of sizeof(Word) bytes stored little-endian at `at`;
// compilers turn the loop into one load on little-endian hosts.
template <class Word>
[[nodiscard]] Word load_le(const std::uint8_t* at) {
  Word word = 0;
  for (std::size_t i = 0; i < sizeof(Word); ++i) word |= static_cast<Word>(at[i]) << (8 * i);
  return word;
}

// Bytes of `count` values of `width` bits, packed without gaps; SIZE_MAX when
// that overflows (no input holds so many bytes).
[[nodiscard]] inline std::size_t packed_bytes(std::uint64_t count, unsigned width) {
  if (width != 0 && count > (SIZE_MAX - 7) / width) return SIZE_MAX;
  return static_cast<std::size_t>((count * width + 7) / 8);
}

// Bits needed for the integers 0 to `largest`.
[[nodiscard]] inline unsigned width_for(std::uint64_t largest) {
  return static_cast<unsigned>(std::bit_width(largest));
}

class ByteWriter {
 public:
  void u8(std::uint8_t value) { bytes_.push_back(value); }
  void u32(std::uint32_t value) { little_endian(value, 4); }
  void u64(std::uint64_t value) { little_endian(value, 8); }
  void f64(double value) { u64(std::bit_cast<std::uint64_t>(value)); }
  void zeros(std::size_t count) { bytes_.resize(bytes_.size() + count, 0); }

  // Integers of `width` bits each, least significant bit first; the last byte
  // is padded with zero bits.
  class Bits {
   public:
    Bits(ByteWriter& out, unsigned width) : out_(out), width_(width) {}
    // `value` must fit in the width.
    void put(std::uint32_t value) {
      pending_ |= static_cast<std::uint64_t>(value) << filled_;
      filled_ += width_;
      for (; filled_ >= 8; filled_ -= 8, pending_ >>= 8)
        out_.u8(static_cast<std::uint8_t>(pending_));
    }
    // Writes the last, partly filled byte.
    void finish() {
      if (filled_ > 0) out_.u8(static_cast<std::uint8_t>(pending_));
      filled_ = 0;
    }

   private:
    ByteWriter& out_;
    unsigned width_;
    std::uint64_t pending_ = 0;
    unsigned filled_ = 0;
  };

  [[nodiscard]] std::size_t size() const { return bytes_.size(); }
  std::vector<std::uint8_t>& bytes() { return bytes_; }

 private:
  void little_endian(std::uint64_t value, unsigned n_bytes) {
    const std::size_t at = bytes_.size();
    bytes_.resize(at + n_bytes);
    for (unsigned i = 0; i < n_bytes; ++i)
      bytes_[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }

  std::vector<std::uint8_t> bytes_;
};

// Reads packed integers written by ByteWriter::Bits from bytes already taken.
class BitReader {
 public:
  BitReader(std::span<const std::uint8_t> bytes, unsigned width) : bytes_(bytes), width_(width) {}

  [[nodiscard]] std::uint32_t next() {
    while (filled_ < width_) {
      pending_ |= static_cast<std::uint64_t>(bytes_[at_++]) << filled_;
      filled_ += 8;
    }
    const auto value = static_cast<std::uint32_t>(pending_ & ((std::uint64_t{1} << width_) - 1));
    pending_ >>= width_;
    filled_ -= width_;
    return value;
  }

  // Once every value is read: the bits up to the byte boundary must be zero,
  // so that each model has exactly one encoding.
  void finish(const std::string& what) const {
    if (pending_ != 0) throw FormatError("the padding bits after " + what + " are not zero");
  }

 private:
  std::span<const std::uint8_t> bytes_;
  unsigned width_;
  std::size_t at_ = 0;
  std::uint64_t pending_ = 0;
  unsigned filled_ = 0;
};

class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> bytes) : rest_(bytes) {}

  [[nodiscard]] std::size_t remaining() const { return rest_.size(); }

  // The next `count` bytes; `what` names the section in the error.
  std::span<const std::uint8_t> take(std::size_t count, const std::string& what) {
    if (count > rest_.size()) {
      throw FormatError("the counts in the header do not match the data: " + what + " needs " +
                        (count == SIZE_MAX ? std::string("more") : std::to_string(count)) +
                        " bytes but only " + std::to_string(rest_.size()) + " remain");
    }
    const std::span<const std::uint8_t> taken = rest_.first(count);
    rest_ = rest_.subspan(count);
    return taken;
  }

  std::uint8_t u8(const std::string& what) { return take(1, what)[0]; }
  std::uint32_t u32(const std::string& what) {
    return load_le<std::uint32_t>(take(4, what).data());
  }
  std::uint64_t u64(const std::string& what) {
    return load_le<std::uint64_t>(take(8, what).data());
  }
  double f64(const std::string& what) { return std::bit_cast<double>(u64(what)); }

  // `count` doubles, allocated only once the bytes are known to be there.
  std::vector<double> f64s(std::uint64_t count, const std::string& what) {
    const std::span<const std::uint8_t> bytes =
        take(count > SIZE_MAX / 8 ? SIZE_MAX : static_cast<std::size_t>(count * 8), what);
    std::vector<double> values(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < values.size(); ++i) {
      values[i] = std::bit_cast<double>(load_le<std::uint64_t>(bytes.data() + 8 * i));
    }
    return values;
  }

  // `count` integers of `width` bits.
  BitReader bits(std::uint64_t count, unsigned width, const std::string& what) {
    return {take(packed_bytes(count, width), what), width};
  }

 private:
  std::span<const std::uint8_t> rest_;
};

}  // namespace korvane::detail
