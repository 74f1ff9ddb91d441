#include "control/csv.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "platform/automation/errors.h"

namespace vexa32 {
namespace {

bool read_whole_file(const std::string& filename, detail::RawBuffer& buffer, std::size_t& size);

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
  // Straight into the text handed back: no buffer in between to copy from.
  if (filename.empty() || filename.find('\0') != std::string::npos) return {};
  FILE* f = std::fopen(filename.c_str(), "rb");
  if (!f) return {};
  std::string out;
  struct stat st {};
  bool ok = ::fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
  if (ok) {
    out.resize(static_cast<std::size_t>(st.st_size));
    out.resize(out.empty() ? 0 : std::fread(out.data(), 1, out.size(), f));
    ok = std::ferror(f) == 0;
  }
  std::fclose(f);
  return ok ? out : std::string();
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

// The whole file into a buffer; false when the file cannot be opened or read, is no ordinary
// file, or is too large for a row table (4 GiB and more).
bool read_whole_file(const std::string& filename, detail::RawBuffer& buffer, std::size_t& size) {
  if (filename.empty() || filename.find('\0') != std::string::npos) return false;
  FILE* f = std::fopen(filename.c_str(), "rb");
  if (!f) return false;
  struct stat st {};
  bool ok =
      ::fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) < 0xFFFFFFFFull;
  if (ok) {
    buffer = detail::RawBuffer(static_cast<std::size_t>(st.st_size));
    size = buffer.size() ? std::fread(buffer.data(), 1, buffer.size(), f) : 0;
    ok = std::ferror(f) == 0;
  }
  std::fclose(f);
  return ok;
}

}  // namespace

void CsvRows::split_lines(std::size_t size) {
  const char* const data = text_.data();
  // Size the table from a sample of the text; it grows by doubling if the sample misled.
  std::string_view sample(data, std::min<std::size_t>(size, 65536));
  std::size_t sample_lines = 1;
  for (std::size_t p = 0; (p = sample.find('\n', p)) != std::string_view::npos; ++p) ++sample_lines;
  const double scale = sample.empty() ? 1.0 : static_cast<double>(size) / static_cast<double>(sample.size());
  std::size_t capacity = static_cast<std::size_t>(static_cast<double>(sample_lines) * scale * 1.05) + 1;
  lines_ = detail::RawBuffer(capacity * sizeof(Span));
  line_count_ = 0;

  std::size_t line_start = 0;
  bool line_has_nul = false;
  auto end_line = [&](std::size_t end) {
    const std::size_t length = end - line_start;
    // Empty lines and lines holding a NUL are not rows.
    if (length == 0 || line_has_nul) return;
    if (line_count_ == capacity) {
      detail::RawBuffer bigger(capacity * 2 * sizeof(Span));
      std::memcpy(bigger.data(), lines_.data(), capacity * sizeof(Span));
      lines_ = std::move(bigger);
      capacity *= 2;
    }
    const Span span{static_cast<std::uint32_t>(line_start), static_cast<std::uint32_t>(length)};
    std::memcpy(lines_.data() + line_count_ * sizeof(Span), &span, sizeof span);
    ++line_count_;
  };
  // One pass over the text looking at carriage returns and NULs only, 16 bytes at a time: a
  // carriage return that a line feed follows ends a line; a lone one is ordinary text.
  for (std::size_t block = 0; block < size; block += 16) {
    std::uint32_t mask = 0;
#if defined(__SSE2__)
    if (block + 16 <= size) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + block));
      const __m128i hits = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_setzero_si128()));
      mask = static_cast<std::uint32_t>(_mm_movemask_epi8(hits));
    } else
#endif
    {
      const std::size_t n = std::min<std::size_t>(16, size - block);
      for (std::size_t k = 0; k < n; ++k) {
        if (data[block + k] == '\r' || data[block + k] == '\0') mask |= 1u << k;
      }
    }
    while (mask) {
      const std::size_t i = block + static_cast<std::size_t>(__builtin_ctz(mask));
      mask &= mask - 1;
      if (data[i] == '\0') {
        line_has_nul = true;
      } else if (i + 1 < size && data[i + 1] == '\n') {
        end_line(i);
        line_start = i + 2;
        line_has_nul = false;
      }
    }
  }
  if (line_start < size) end_line(size);
}

std::string_view CsvRows::line(std::size_t row) const {
  if (row >= line_count_) throw std::out_of_range("no such row");
  Span span;
  std::memcpy(&span, lines_.data() + row * sizeof(Span), sizeof span);
  return {text_.data() + span.begin, span.length};
}

std::vector<std::string_view> CsvRows::fields(std::size_t row) const {
  std::string_view line = this->line(row);
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
  rows.text_ = detail::RawBuffer(text.size());
  if (!text.empty()) std::memcpy(rows.text_.data(), text.data(), text.size());
  rows.split_lines(text.size());
  return rows;
}

CsvRows CsvRows::split_file(const std::string& filename, std::string_view delimiter) {
  CsvRows rows;
  rows.delimiter_ = delimiter;
  std::size_t size = 0;
  if (read_whole_file(filename, rows.text_, size)) rows.split_lines(size);
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
