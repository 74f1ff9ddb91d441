#pragma once
// Tag lists from delimited text files: the file read whole, split into rows at carriage return +
// line feed only (empty lines and lines holding a NUL dropped), each row split at the delimiter
// text into fields. No quoting: double quotes are removed from a field after it is selected.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "control/raw_buffer_p.h"

namespace vexa32 {

// The whole content of a file; empty text when it cannot be opened or read (never an error).
std::string ReadTextFileContents(const std::string& filename);

// True when a search for the path finds an ordinary file; the last component may hold the
// wildcards "*" and "?". A directory, a missing path or a failing search are false; never an error.
bool FileExists(const std::string& path);

// The row table of a file. Rows are kept as lines and split into fields when asked: an import
// reads at most 60 rows of what may be a large file.
class CsvRows {
 public:
  CsvRows() = default;
  CsvRows(const CsvRows&) = delete;
  CsvRows& operator=(const CsvRows&) = delete;
  CsvRows(CsvRows&&) = default;
  CsvRows& operator=(CsvRows&&) = default;

  std::size_t row_count() const noexcept { return line_count_; }
  // The row's text; std::out_of_range past the last row.
  std::string_view line(std::size_t row) const;
  // The row split at every occurrence of the delimiter; an empty delimiter leaves it whole.
  std::vector<std::string_view> fields(std::size_t row) const;

  // Splits text into rows at CR LF; fields at delimiter.
  static CsvRows split(std::string_view text, std::string_view delimiter);
  // The same for a file read whole (an unreadable file gives no rows).
  static CsvRows split_file(const std::string& filename, std::string_view delimiter);

 private:
  struct Span {
    std::uint32_t begin, length;
  };
  void split_lines(std::size_t size);

  detail::RawBuffer text_;
  std::string delimiter_;
  detail::RawBuffer lines_;  // line_count_ Spans into text_
  std::size_t line_count_ = 0;
};

// SplitCSVRows: the file's row table; subscript out of range (run-time error 9) when the file
// has no row at all (missing, unreadable, empty, or only line ends).
CsvRows SplitCSVRows(const std::string& filename, std::string_view delimiter);

// The import of one column into slots 0, 1, ... in turn, with the 16-bit arithmetic of its
// parameters: at most 60 rows; overflow (6) before any slot changes when start_row + row_count - 1
// leaves the 16-bit range; subscript out of range (9) for a negative row or a missing field,
// after the slots of earlier rows were set. set_name receives (slot, name without quotes).
void import_csv_column(const CsvRows& rows, std::int16_t start_row, std::int16_t column_index, std::int16_t row_count,
                       const std::function<void(std::int16_t slot, const std::string& name)>& set_name);

// A field with every double quote removed.
std::string strip_quotes(std::string_view field);

}  // namespace vexa32
