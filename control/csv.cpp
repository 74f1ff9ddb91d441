#include "control/csv.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include "platform/automation/errors.h"
#include "platform/container/text_file.h"

namespace vexa32 {
namespace {

bool is_regular_file(const std::string& path) {
  // stat looks at the name without opening it: nothing here can block on a FIFO.
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
  std::string text;
  read_text_file(filename, text);  // empty whenever it fails
  return text;
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

// Splits text handed over in pieces: a line and even a CR LF pair may straddle two pieces. Every
// row is counted; only the rows in the table's window keep their text.
class RowSplitter {
 public:
  explicit RowSplitter(CsvRows& rows) : rows_(rows) { start_line(); }

  void feed(const char* data, std::size_t size) {
    const char* p = data;
    const char* const end = data + size;
    // The next NUL of the piece, looked for again only once it is passed: most text has none.
    const char* nul = static_cast<const char*>(std::memchr(p, '\0', size));
    if (pending_cr_ && p < end) {
      pending_cr_ = false;
      if (*p == '\n') {
        end_line();
        ++p;
      } else {
        add_text("\r", 1);
      }
    }
    while (p < end) {
      const char* cr = static_cast<const char*>(std::memchr(p, '\r', static_cast<std::size_t>(end - p)));
      const char* stop = cr ? cr : end;
      if (nul && nul < stop) {
        line_has_nul_ = true;
        nul = static_cast<const char*>(std::memchr(stop, '\0', static_cast<std::size_t>(end - stop)));
      }
      add_text(p, static_cast<std::size_t>(stop - p));
      if (!cr) break;
      if (cr + 1 == end) {
        // Whether this carriage return ends a line is up to the next piece.
        pending_cr_ = true;
        break;
      }
      if (cr[1] == '\n') {
        end_line();
        p = cr + 2;
      } else {
        // A lone carriage return is ordinary text.
        add_text(cr, 1);
        p = cr + 1;
      }
    }
  }

  // With the whole table kept, the row list is sized once from what the first piece held, not
  // grown by doubling through a large file.
  void size_from_sample(std::size_t sample_bytes, std::size_t total_bytes) {
    if (rows_.window_.first != 0 || rows_.window_.count != SIZE_MAX || sample_bytes == 0) return;
    const double rows = static_cast<double>(rows_.row_count_ + 1) * static_cast<double>(total_bytes) /
                        static_cast<double>(sample_bytes) * 1.05;
    rows_.kept_.reserve(static_cast<std::size_t>(rows) + 1);
  }

  void finish() {
    if (pending_cr_) add_text("\r", 1);
    pending_cr_ = false;
    end_line();
  }

 private:
  void start_line() {
    line_length_ = 0;
    line_has_nul_ = false;
    keep_ = rows_.window_.contains(rows_.row_count_);
    line_begin_ = rows_.kept_text_.size();
  }

  void add_text(const char* p, std::size_t n) {
    line_length_ += n;
    // A line with a NUL is dropped, so its text stops being kept as soon as one shows.
    if (keep_ && !line_has_nul_) rows_.kept_text_.append(p, n);
  }

  void end_line() {
    // Empty lines and lines holding a NUL are not rows.
    if (line_length_ != 0 && !line_has_nul_) {
      if (keep_) rows_.kept_.push_back({static_cast<std::uint32_t>(line_begin_), static_cast<std::uint32_t>(line_length_)});
      ++rows_.row_count_;
    } else if (keep_) {
      rows_.kept_text_.resize(line_begin_);
    }
    start_line();
  }

  CsvRows& rows_;
  std::size_t line_length_ = 0, line_begin_ = 0;
  bool line_has_nul_ = false, pending_cr_ = false, keep_ = false;
};

std::string_view CsvRows::line(std::size_t row) const {
  if (row >= row_count_ || !window_.contains(row) || row - window_.first >= kept_.size())
    throw std::out_of_range("no such row in the table");
  const Span& span = kept_[row - window_.first];
  return std::string_view(kept_text_).substr(span.begin, span.length);
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

CsvRows CsvRows::split(std::string_view text, std::string_view delimiter, RowWindow keep) {
  CsvRows rows;
  rows.delimiter_ = delimiter;
  rows.window_ = keep;
  // Longer text than any file the readers take has no rows, as such a file has none.
  if (text.size() > kMaxTextFileBytes) return rows;
  if (keep.first == 0 && keep.count == SIZE_MAX) rows.kept_text_.reserve(text.size());
  RowSplitter splitter(rows);
  const std::size_t sample = std::min<std::size_t>(text.size(), 64 * 1024);
  splitter.feed(text.data(), sample);
  splitter.size_from_sample(sample, text.size());
  splitter.feed(text.data() + sample, text.size() - sample);
  splitter.finish();
  return rows;
}

CsvRows CsvRows::split_file(const std::string& filename, std::string_view delimiter, RowWindow keep) {
  CsvRows rows;
  rows.delimiter_ = delimiter;
  rows.window_ = keep;
  TextFile file(filename);
  if (!file.ok()) return rows;
  try {
    if (keep.first == 0 && keep.count == SIZE_MAX) rows.kept_text_.reserve(file.size());
    // Pieces small enough to stay in the cache; the file is never held whole.
    constexpr std::size_t kPiece = 64 * 1024;
    std::unique_ptr<char[]> piece(new char[kPiece]);
    RowSplitter splitter(rows);
    std::size_t done = 0;
    while (done < file.size()) {
      const std::size_t got = file.read(piece.get(), kPiece);
      if (got == 0) break;
      splitter.feed(piece.get(), got);
      if (done == 0) splitter.size_from_sample(got, file.size());
      done += got;
    }
    if (done == file.size()) {
      splitter.finish();
      return rows;
    }
  } catch (const std::bad_alloc&) {
  }
  // Unreadable, as ReadTextFileContents would have found it: empty text, so no rows at all.
  CsvRows none;
  none.delimiter_ = delimiter;
  none.window_ = keep;
  return none;
}

CsvRows SplitCSVRows(const std::string& filename, std::string_view delimiter, RowWindow keep) {
  CsvRows rows = CsvRows::split_file(filename, delimiter, keep);
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

namespace {

// The import's rows in 16-bit arithmetic, as its parameters are: at most one row per slot; false
// when the sum or the subtraction leaves the 16-bit range.
bool import_range(std::int16_t start_row, std::int16_t row_count, std::int32_t& last) {
  const std::int32_t n = row_count > 60 ? 60 : row_count;
  const std::int32_t sum = std::int32_t{start_row} + n;
  if (sum < INT16_MIN || sum > INT16_MAX) return false;
  last = sum - 1;
  return last >= INT16_MIN;
}

}  // namespace

RowWindow import_window(std::int16_t start_row, std::int16_t row_count) {
  std::int32_t last = 0;
  if (!import_range(start_row, row_count, last)) return {0, 0};
  // Negative rows fail before anything is read, so they need no text.
  const std::int32_t first = std::max<std::int32_t>(start_row, 0);
  if (last < first) return {0, 0};
  return {static_cast<std::size_t>(first), static_cast<std::size_t>(last - first + 1)};
}

void import_csv_column(const CsvRows& rows, std::int16_t start_row, std::int16_t column_index, std::int16_t row_count,
                       const std::function<void(std::int16_t, const std::string&)>& set_name) {
  std::int32_t last = 0;
  if (!import_range(start_row, row_count, last)) throw overflow_error();
  const auto last_row = static_cast<std::int64_t>(rows.row_count()) - 1;
  for (std::int32_t i = start_row; i <= last; ++i) {
    if (i > last_row) continue;
    if (i < 0) throw subscript_error();
    auto fields = rows.fields(static_cast<std::size_t>(i));
    if (column_index < 0 || static_cast<std::size_t>(column_index) >= fields.size()) throw subscript_error();
    set_name(static_cast<std::int16_t>(i - start_row), strip_quotes(fields[static_cast<std::size_t>(column_index)]));
  }
}

void import_csv_file(const std::string& filename, std::string_view delimiter, std::int16_t start_row,
                     std::int16_t column_index, std::int16_t row_count,
                     const std::function<void(std::int16_t, const std::string&)>& set_name) {
  const CsvRows rows = SplitCSVRows(filename, delimiter, import_window(start_row, row_count));
  import_csv_column(rows, start_row, column_index, row_count, set_name);
}

}  // namespace vexa32
