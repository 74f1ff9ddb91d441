#include "platform/container/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

namespace vexa32 {

TextFile::TextFile(const std::string& path, std::uint64_t max_bytes) noexcept {
  if (path.empty() || path.find('\0') != std::string::npos) return;
  fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd_ < 0) return;
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
      static_cast<std::uint64_t>(st.st_size) > max_bytes) {
    return;
  }
  size_ = static_cast<std::size_t>(st.st_size);
  ok_ = true;
}

TextFile::~TextFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::size_t TextFile::read(char* dst, std::size_t n) noexcept {
  n = std::min(n, size_ - done_);
  if (!ok_ || n == 0) return 0;
  for (;;) {
    const ssize_t got = ::read(fd_, dst, n);
    if (got > 0) {
      done_ += static_cast<std::size_t>(got);
      return static_cast<std::size_t>(got);
    }
    if (got < 0 && errno == EINTR) continue;
    ok_ = false;  // an error, or the file shrank under us
    return 0;
  }
}

bool read_text_file(const std::string& path, std::string& out, std::uint64_t max_bytes) {
  out.clear();
  TextFile file(path, max_bytes);
  if (!file.ok()) return false;
  try {
    out.resize(file.size());
    std::size_t done = 0;
    while (done < out.size()) {
      const std::size_t got = file.read(out.data() + done, out.size() - done);
      if (got == 0) {
        out.clear();
        return false;
      }
      done += got;
    }
    return true;
  } catch (const std::bad_alloc&) {
    // Too large for this process at this moment: as unreadable as a missing file.
    out.clear();
    return false;
  }
}

}  // namespace vexa32
