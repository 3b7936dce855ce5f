#pragma once
// A buffer for data remade at every step of a stream (a chunk's decoder rows, its decoded frames): its storage is
// kept between uses and replaced only when a use needs more than any before, so a steady stream allocates
// nothing after its first steps.
#include <cstddef>
#include <memory>
#include <span>

namespace velmora {

template <class T>
class ReusableBuffer {
 public:
  // Makes the buffer `n` elements long and returns them. Their contents are unspecified (what the last use left,
  // or uninitialised storage after growth): the caller writes every element it reads.
  std::span<T> resize(std::size_t n) {
    if (n > capacity_) {
      data_.reset();  // release first, so the peak is one buffer, not two
      data_ = std::make_unique_for_overwrite<T[]>(n);
      capacity_ = n;
    }
    size_ = n;
    return {data_.get(), n};
  }

  std::span<T> span() { return {data_.get(), size_}; }
  std::span<const T> span() const { return {data_.get(), size_}; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }

 private:
  std::unique_ptr<T[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace velmora
