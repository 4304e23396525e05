// Owned byte buffers and little-endian loads.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

namespace velorium::raw {

using ByteSpan = std::span<const std::uint8_t>;

// A byte buffer of fixed size, allocated once. `for_overwrite` leaves the
// contents unset for a producer that writes every byte before it hands the
// buffer out.
class ByteBuffer {
 public:
  ByteBuffer() = default;

  static ByteBuffer zeroed(std::size_t size) {
    ByteBuffer buffer;
    buffer.data_ = std::make_unique<std::uint8_t[]>(size);
    buffer.size_ = size;
    return buffer;
  }
  static ByteBuffer for_overwrite(std::size_t size) {
    ByteBuffer buffer;
    buffer.data_ = std::make_unique_for_overwrite<std::uint8_t[]>(size);
    buffer.size_ = size;
    return buffer;
  }

  std::uint8_t* data() noexcept { return data_.get(); }
  const std::uint8_t* data() const noexcept { return data_.get(); }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::span<std::uint8_t> span() noexcept { return {data_.get(), size_}; }
  ByteSpan span() const noexcept { return {data_.get(), size_}; }
  operator ByteSpan() const noexcept { return span(); }  // NOLINT: a buffer is a view of its bytes

 private:
  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t size_ = 0;
};

// Working memory that one thread reuses from block to block: get(n) hands
// out n bytes of unset contents, allocating only when more than ever before
// is asked for, so that the pages stay mapped between blocks. A buffer that
// grew past `kKeep` bytes is released by trim().
class ScratchBuffer {
 public:
  static constexpr std::size_t kKeep = std::size_t{16} << 20;

  std::span<std::uint8_t> get(std::size_t size) {
    if (size > capacity_) {
      data_.reset();
      data_ = std::make_unique_for_overwrite<std::uint8_t[]>(size);
      capacity_ = size;
    }
    return {data_.get(), size};
  }
  void trim() noexcept {
    if (capacity_ > kKeep) {
      data_.reset();
      capacity_ = 0;
    }
  }
  std::size_t capacity() const noexcept { return capacity_; }

 private:
  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t capacity_ = 0;
};

// Little-endian loads from a position the caller has checked.
template <class T>
inline T load_le(const std::uint8_t* p) noexcept {
  static_assert(std::endian::native == std::endian::little, "big-endian hosts need byte swapping here");
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

template <class T>
inline T load_le(ByteSpan bytes, std::size_t offset) noexcept {
  return load_le<T>(bytes.data() + offset);
}

}  // namespace velorium::raw
