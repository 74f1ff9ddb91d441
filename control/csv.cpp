#include "control/csv.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "platform/automation/errors.h"

namespace vexa32 {
namespace {

bool is_regular_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// "*" any run, "?" one character, matched case-sensitively as the file system names them.
bool match_name(std::string_view name, std::string_view pattern) {
  std::size_t n = 0, p = 0, star = std::string_view::npos, mark = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++n;
      ++p;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace

std::string ReadTextFileContents(const std::string& filename) {
  if (filename.empty() || filename.find('\0') != std::string::npos) return {};
  FILE* f = std::fopen(filename.c_str(), "rb");
  if (!f) return {};
  std::string out;
  struct stat st {};
  if (::fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fclose(f);
    return {};
  }
  out.resize(static_cast<std::size_t>(st.st_size));
  std::size_t got = out.empty() ? 0 : std::fread(out.data(), 1, out.size(), f);
  bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) return {};
  out.resize(got);
  return out;
}

bool FileExists(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return false;
  std::size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  std::string pattern = slash == std::string::npos ? path : path.substr(slash + 1);
  if (pattern.find_first_of("*?") == std::string::npos) return is_regular_file(path);
  if (pattern.empty() || dir.find_first_of("*?") != std::string::npos) return false;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return false;
  bool found = false;
  while (dirent* e = ::readdir(d)) {
    std::string_view name = e->d_name;
    if (name == "." || name == ".." || !match_name(name, pattern)) continue;
    if (is_regular_file(dir + "/" + std::string(name))) {
      found = true;
      break;
    }
  }
  ::closedir(d);
  return found;
}

CsvRows CsvRows::split(std::string text, std::string_view delimiter) {
  CsvRows rows;
  rows.text_ = std::make_unique<std::string>(std::move(text));
  const std::string_view all = *rows.text_;
  rows.row_starts_.push_back(0);
  std::size_t pos = 0;
  while (pos <= all.size()) {
    std::size_t end = all.find("\r\n", pos);
    if (end == std::string_view::npos) end = all.size();
    std::string_view line = all.substr(pos, end - pos);
    pos = end + 2;
    // Empty lines and lines holding a NUL are not rows.
    if (line.empty() || std::memchr(line.data(), '\0', line.size())) continue;
    if (delimiter.empty()) {
      rows.fields_.push_back(line);
    } else {
      std::size_t start = 0;
      for (;;) {
        std::size_t at = line.find(delimiter, start);
        if (at == std::string_view::npos) {
          rows.fields_.push_back(line.substr(start));
          break;
        }
        rows.fields_.push_back(line.substr(start, at - start));
        start = at + delimiter.size();
      }
    }
    rows.row_starts_.push_back(rows.fields_.size());
  }
  return rows;
}

CsvRows SplitCSVRows(const std::string& filename, std::string_view delimiter) {
  CsvRows rows = CsvRows::split(ReadTextFileContents(filename), delimiter);
  if (rows.row_count() == 0) throw subscript_error();
  return rows;
}

std::string strip_quotes(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (char c : field) {
    if (c != '"') out += c;
  }
  return out;
}

void import_csv_column(const CsvRows& rows, std::int16_t start_row, std::int16_t column_index, std::int16_t row_count,
                       const std::function<void(std::int16_t, const std::string&)>& set_name) {
  // One row per slot at the most.
  const std::int32_t n = row_count > 60 ? 60 : row_count;
  // 16-bit arithmetic, as the parameters are: the sum and the subtraction may each overflow.
  const std::int32_t sum = std::int32_t{start_row} + n;
  if (sum < INT16_MIN || sum > INT16_MAX) throw overflow_error();
  const std::int32_t last = sum - 1;
  if (last < INT16_MIN) throw overflow_error();
  const auto last_row = static_cast<std::int32_t>(rows.row_count()) - 1;
  for (std::int32_t i = start_row; i <= last; ++i) {
    if (i > last_row) continue;
    if (i < 0) throw subscript_error();
    auto fields = rows.row(static_cast<std::size_t>(i));
    if (column_index < 0 || static_cast<std::size_t>(column_index) >= fields.size()) throw subscript_error();
    set_name(static_cast<std::int16_t>(i - start_row), strip_quotes(fields[static_cast<std::size_t>(column_index)]));
  }
}

}  // namespace vexa32
