#include "control/csv.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "platform/automation/errors.h"

namespace vexa32 {
namespace {

bool read_whole_file(const std::string& filename, std::unique_ptr<char[]>& buffer, std::size_t& size);

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
  std::unique_ptr<char[]> buffer;
  std::size_t size = 0;
  if (!read_whole_file(filename, buffer, size)) return {};
  return std::string(buffer.get(), size);
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

namespace {

// The whole file into an uninitialised buffer: a large file is not zeroed first. False when the
// file cannot be opened or read, or is no ordinary file.
bool read_whole_file(const std::string& filename, std::unique_ptr<char[]>& buffer, std::size_t& size) {
  if (filename.empty() || filename.find('\0') != std::string::npos) return false;
  FILE* f = std::fopen(filename.c_str(), "rb");
  if (!f) return false;
  struct stat st {};
  bool ok = ::fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
  if (ok) {
    size = static_cast<std::size_t>(st.st_size);
    buffer.reset(new char[size + 1]);
    size = size ? std::fread(buffer.get(), 1, size, f) : 0;
    ok = std::ferror(f) == 0;
  }
  std::fclose(f);
  return ok;
}

}  // namespace

void CsvRows::split_lines(std::string_view all) {
  // Reserve from a sample of the text so a large file's table is not copied as it grows.
  std::string_view sample = all.substr(0, 65536);
  std::size_t sample_lines = 1;
  for (std::size_t p = 0; (p = sample.find('\n', p)) != std::string_view::npos; ++p) ++sample_lines;
  const double scale = sample.empty() ? 1.0 : static_cast<double>(all.size()) / static_cast<double>(sample.size());
  lines_.reserve(static_cast<std::size_t>(static_cast<double>(sample_lines) * scale * 1.05) + 1);

  const char* const data = all.data();
  const std::size_t size = all.size();
  std::size_t pos = 0;
  while (pos < size) {
    // The next carriage return that a line feed follows; a lone one is ordinary text.
    std::size_t end = pos;
    for (;;) {
      const void* cr = end < size ? std::memchr(data + end, '\r', size - end) : nullptr;
      if (!cr) {
        end = size;
        break;
      }
      end = static_cast<std::size_t>(static_cast<const char*>(cr) - data);
      if (end + 1 < size && data[end + 1] == '\n') break;
      ++end;
    }
    std::string_view line(data + pos, end - pos);
    pos = end + 2;
    // Empty lines and lines holding a NUL are not rows.
    if (line.empty() || std::memchr(line.data(), '\0', line.size())) continue;
    lines_.push_back(line);
  }
}

std::vector<std::string_view> CsvRows::fields(std::size_t row) const {
  std::string_view line = lines_.at(row);
  std::vector<std::string_view> out;
  if (delimiter_.empty()) {
    out.push_back(line);
    return out;
  }
  std::size_t start = 0;
  for (;;) {
    std::size_t at = line.find(delimiter_, start);
    if (at == std::string_view::npos) {
      out.push_back(line.substr(start));
      return out;
    }
    out.push_back(line.substr(start, at - start));
    start = at + delimiter_.size();
  }
}

CsvRows CsvRows::split(std::string_view text, std::string_view delimiter) {
  CsvRows rows;
  rows.delimiter_ = delimiter;
  rows.text_.reset(new char[text.size() + 1]);
  if (!text.empty()) std::memcpy(rows.text_.get(), text.data(), text.size());
  rows.split_lines(std::string_view(rows.text_.get(), text.size()));
  return rows;
}

CsvRows CsvRows::split_file(const std::string& filename, std::string_view delimiter) {
  CsvRows rows;
  rows.delimiter_ = delimiter;
  std::size_t size = 0;
  if (!read_whole_file(filename, rows.text_, size)) return rows;
  rows.split_lines(std::string_view(rows.text_.get(), size));
  return rows;
}

CsvRows SplitCSVRows(const std::string& filename, std::string_view delimiter) {
  CsvRows rows = CsvRows::split_file(filename, delimiter);
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
    auto fields = rows.fields(static_cast<std::size_t>(i));
    if (column_index < 0 || static_cast<std::size_t>(column_index) >= fields.size()) throw subscript_error();
    set_name(static_cast<std::int16_t>(i - start_row), strip_quotes(fields[static_cast<std::size_t>(column_index)]));
  }
}

}  // namespace vexa32
