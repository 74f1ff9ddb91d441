#include "platform/container/password_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace vexa32 {
namespace {

// The fields of a line, split at colons that no backslash escapes.
std::vector<std::string> fields_of(const std::string& line) {
  std::vector<std::string> out(1);
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\\' && i + 1 < line.size() && (line[i + 1] == ':' || line[i + 1] == '\\')) {
      out.back().push_back(line[++i]);
    } else if (c == ':' && out.size() < 4) {
      out.emplace_back();
    } else {
      out.back().push_back(c);
    }
  }
  return out;
}

bool matches(const std::string& pattern, const std::string& value) { return pattern == "*" || pattern == value; }

std::string escaped(const std::string& field) {
  if (field.find_first_of("\r\n") != std::string::npos)
    throw std::runtime_error("a user name or password with a line break cannot be remembered");
  std::string out;
  for (char c : field) {
    if (c == ':' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

std::runtime_error write_failure(const std::string& what, const std::string& file) {
  return std::runtime_error("the password file " + file + " cannot be written: " + what + ": " + std::strerror(errno));
}

}  // namespace

std::string default_password_file() {
  if (const char* file = std::getenv("VEXA32_UAPASSFILE"); file && *file) return file;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config)
    return std::string(config) + "/vexa32/uapass";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.config/vexa32/uapass";
}

PasswordLookup find_password(const std::string& file, const std::string& host, const std::string& port,
                             const std::optional<std::string>& user) {
  PasswordLookup out;
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return out;
  if (st.st_mode & (S_IRWXG | S_IRWXO)) {
    out.warning = "the password file " + file + " is ignored: its group or others may read it (chmod 600 " + file + ")";
    return out;
  }
  std::ifstream in(file);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line.front() == '#') continue;
    const auto f = fields_of(line);
    if (f.size() != 4) continue;
    const bool user_matches = user ? matches(f[2], *user) : !f[2].empty() && f[2] != "*";
    if (matches(f[0], host) && matches(f[1], port) && user_matches) {
      out.password = f[3];
      out.line = number;
      out.user = user ? *user : f[2];
      return out;
    }
  }
  return out;
}

void remember_password(const std::string& file, const std::string& host, const std::string& port,
                       const std::string& user, const std::string& password) {
  std::string content = escaped(host) + ":" + escaped(port) + ":" + escaped(user) + ":" + escaped(password) + "\n";
  {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
      std::string bare = line;
      if (!bare.empty() && bare.back() == '\r') bare.pop_back();
      const auto f = fields_of(bare);
      const bool same =
          !bare.empty() && bare.front() != '#' && f.size() == 4 && f[0] == host && f[1] == port && f[2] == user;
      if (!same) content += line + "\n";
    }
  }
  const std::filesystem::path path(file);
  if (path.has_parent_path() && !std::filesystem::exists(path.parent_path())) {
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    if (ec) throw std::runtime_error("the folder of the password file " + file + " cannot be made: " + ec.message());
    std::filesystem::permissions(path.parent_path(), std::filesystem::perms::owner_all, ec);
  }
  // Written beside it and renamed over it, so a failure leaves the old file whole.
  const std::string temporary = file + ".new";
  ::unlink(temporary.c_str());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) throw write_failure("open", file);
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const auto failure = write_failure("write", file);
      ::close(fd);
      ::unlink(temporary.c_str());
      throw failure;
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    const auto failure = write_failure("sync", file);
    ::unlink(temporary.c_str());
    throw failure;
  }
  if (::rename(temporary.c_str(), file.c_str()) != 0) {
    const auto failure = write_failure("rename", file);
    ::unlink(temporary.c_str());
    throw failure;
  }
}

}  // namespace vexa32
