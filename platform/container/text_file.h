#pragma once
// Reading whole files without surprises: the open never blocks (a FIFO with no writer would
// otherwise hold the apartment's one thread for good), only an ordinary file within a size bound
// is read, and it is read up to the size it had when it was opened. A file that ends early, or
// any read error, is a failure.

#include <cstddef>
#include <cstdint>
#include <string>

namespace vexa32 {

// The largest file read whole: the longest automation string.
inline constexpr std::uint64_t kMaxTextFileBytes = 0x7FFFFFFF;

class TextFile {
 public:
  explicit TextFile(const std::string& path, std::uint64_t max_bytes = kMaxTextFileBytes) noexcept;
  ~TextFile();
  TextFile(const TextFile&) = delete;
  TextFile& operator=(const TextFile&) = delete;

  // Opened, an ordinary file within the bound, and no read has failed.
  bool ok() const noexcept { return ok_; }
  std::size_t size() const noexcept { return size_; }

  // Up to n bytes of what is left; 0 at the end, or after a failure (ok() is then false).
  std::size_t read(char* dst, std::size_t n) noexcept;

 private:
  int fd_ = -1;
  bool ok_ = false;
  std::size_t size_ = 0, done_ = 0;
};

// The whole file into out; false (out empty) when it cannot be opened or read, is no ordinary
// file, is larger than max_bytes, or does not fit in memory.
bool read_text_file(const std::string& path, std::string& out, std::uint64_t max_bytes = kMaxTextFileBytes);

}  // namespace vexa32
