#pragma once
// Tag lists from delimited text files: the file read whole, split into rows at carriage return +
// line feed only (empty lines and lines holding a NUL dropped), each row split at the delimiter
// text into fields. No quoting: double quotes are removed from a field after it is selected.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/container/text_file.h"

namespace vexa32 {

// The whole content of a file; empty text when it cannot be opened or read, is no ordinary file
// (a FIFO, a device, a directory) or is larger than kMaxTextFileBytes. Never blocks on what the
// path names and never an error.
std::string ReadTextFileContents(const std::string& filename);

// True when a search for the path finds an ordinary file; the last component may hold the
// wildcards "*" and "?". A directory, a missing path or a failing search are false; never an error.
bool FileExists(const std::string& path);

// The rows a table keeps the text of: every row is found and counted, only these are stored, so
// an import of a few rows from a large file holds those rows and not the file.
struct RowWindow {
  std::size_t first = 0;
  std::size_t count = SIZE_MAX;

  bool contains(std::size_t row) const noexcept { return row >= first && row - first < count; }
};

// The row table of a text: how many rows it has, and the text of the rows in its window.
class CsvRows {
 public:
  CsvRows() = default;

  std::size_t row_count() const noexcept { return row_count_; }
  const RowWindow& window() const noexcept { return window_; }
  // The row's text; std::out_of_range for a row that does not exist or lies outside the window.
  std::string_view line(std::size_t row) const;
  // The row split at every occurrence of the delimiter; an empty delimiter leaves it whole.
  std::vector<std::string_view> fields(std::size_t row) const;

  // Splits text into rows at CR LF; fields at delimiter. Text longer than kMaxTextFileBytes has no
  // rows, as a file of that size has none.
  static CsvRows split(std::string_view text, std::string_view delimiter, RowWindow keep = {});
  // The same for a file, read as ReadTextFileContents reads it (an unreadable file gives no rows),
  // in pieces: the file is never held whole.
  static CsvRows split_file(const std::string& filename, std::string_view delimiter, RowWindow keep = {});

 private:
  friend class RowSplitter;
  // Offsets fit 32 bits: no text longer than kMaxTextFileBytes is split.
  struct Span {
    std::uint32_t begin, length;
  };

  std::string delimiter_;
  RowWindow window_;
  std::size_t row_count_ = 0;
  std::string kept_text_;    // the window's rows, one after the other
  std::vector<Span> kept_;   // row window_.first + k is kept_[k]
};

// SplitCSVRows: the file's row table; subscript out of range (run-time error 9) when the file
// has no row at all (missing, unreadable, empty, or only line ends).
CsvRows SplitCSVRows(const std::string& filename, std::string_view delimiter, RowWindow keep = {});

// The rows import_csv_column reads for these settings (nothing when they overflow).
RowWindow import_window(std::int16_t start_row, std::int16_t row_count);

// The import of one column into slots 0, 1, ... in turn, with the 16-bit arithmetic of its
// parameters: at most 60 rows; overflow (6) before any slot changes when start_row + row_count - 1
// leaves the 16-bit range; subscript out of range (9) for a negative row or a missing field,
// after the slots of earlier rows were set. set_name receives (slot, name without quotes). The
// table must keep at least import_window(start_row, row_count).
void import_csv_column(const CsvRows& rows, std::int16_t start_row, std::int16_t column_index, std::int16_t row_count,
                       const std::function<void(std::int16_t slot, const std::string& name)>& set_name);

// SplitCSVRows and import_csv_column together, holding only the rows the import reads: loadCSV.
void import_csv_file(const std::string& filename, std::string_view delimiter, std::int16_t start_row,
                     std::int16_t column_index, std::int16_t row_count,
                     const std::function<void(std::int16_t slot, const std::string& name)>& set_name);

// A field with every double quote removed.
std::string strip_quotes(std::string_view field);

}  // namespace vexa32
