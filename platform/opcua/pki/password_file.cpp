#include "platform/opcua/pki/password_file.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <vector>

namespace vexa32::opcua {
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

}  // namespace

std::string default_password_file() {
  if (const char* file = std::getenv("VEXA32_UAPASSFILE"); file && *file) return file;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config) return std::string(config) + "/vexa32/uapass";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.config/vexa32/uapass";
}

PasswordLookup find_password(const std::string& file, const std::string& host, const std::string& port,
                             const std::string& user) {
  PasswordLookup out;
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return out;
  if (st.st_mode & (S_IRWXG | S_IRWXO)) {
    out.warning = "the password file " + file + " is ignored: its group or others may read it (chmod 600 " + file + ")";
    return out;
  }
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line.front() == '#') continue;
    const auto f = fields_of(line);
    if (f.size() != 4) continue;
    if (matches(f[0], host) && matches(f[1], port) && matches(f[2], user)) {
      out.password = f[3];
      return out;
    }
  }
  return out;
}

}  // namespace vexa32::opcua
