#pragma once
// Raw memory for large tables that are filled at once: above a megabyte it is mapped with its
// pages populated in one go, so filling it takes no page fault per 4 KiB.

#include <sys/mman.h>

#include <cstddef>
#include <cstring>
#include <new>
#include <utility>

namespace vexa32::detail {

class RawBuffer {
 public:
  RawBuffer() = default;
  explicit RawBuffer(std::size_t bytes) : size_(bytes) {
    if (bytes >= kMapThreshold) {
      void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
      if (p == MAP_FAILED) throw std::bad_alloc();
      data_ = static_cast<char*>(p);
      mapped_ = true;
    } else {
      data_ = new char[bytes ? bytes : 1];
    }
  }
  RawBuffer(RawBuffer&& other) noexcept { swap(other); }
  RawBuffer& operator=(RawBuffer&& other) noexcept {
    RawBuffer(std::move(other)).swap(*this);
    return *this;
  }
  RawBuffer(const RawBuffer&) = delete;
  RawBuffer& operator=(const RawBuffer&) = delete;
  ~RawBuffer() {
    if (mapped_) {
      ::munmap(data_, size_);
    } else {
      delete[] data_;
    }
  }

  char* data() noexcept { return data_; }
  const char* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }

  void swap(RawBuffer& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(mapped_, other.mapped_);
  }

 private:
  static constexpr std::size_t kMapThreshold = 1 << 20;
  char* data_ = nullptr;
  std::size_t size_ = 0;
  bool mapped_ = false;
};

}  // namespace vexa32::detail
