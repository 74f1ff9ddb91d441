// Arbitrary text split into rows and imported: the first bytes choose the delimiter and the import
// settings. Rows never hold an empty line, a line with a NUL or a CR LF pair; the import either
// finishes or fails with an AutomationError, and names only slots 0..59.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "control/csv.h"
#include "platform/automation/errors.h"

using namespace vexa32;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 7) return 0;
  const std::size_t delimiter_length = data[0] % 4;
  auto i16 = [&](std::size_t at) { return static_cast<std::int16_t>(data[at] | (data[at + 1] << 8)); };
  const std::int16_t start = i16(1), column = static_cast<std::int16_t>(i16(3) % 8), count = i16(5);
  std::string rest(reinterpret_cast<const char*>(data) + 7, size - 7);
  std::string delimiter = rest.substr(0, std::min(delimiter_length, rest.size()));
  std::string text = rest.substr(delimiter.size());

  CsvRows rows = CsvRows::split(text, delimiter);
  for (std::size_t r = 0; r < rows.row_count(); ++r) {
    std::string_view line = rows.line(r);
    if (line.empty() || line.find('\0') != std::string_view::npos || line.find("\r\n") != std::string_view::npos)
      std::abort();
    std::size_t total = 0;
    auto fields = rows.fields(r);
    for (auto f : fields) total += f.size();
    if (total + (fields.size() - 1) * delimiter.size() != line.size()) std::abort();
  }
  // The whole table and the one that keeps only the import's rows import the same names and fail
  // with the same error.
  auto import = [&](const CsvRows& table, std::vector<std::pair<int, std::string>>& names) {
    try {
      import_csv_column(table, start, column, count, [&](std::int16_t slot, const std::string& name) {
        if (slot < 0 || slot > 59 || name.find('"') != std::string::npos) std::abort();
        names.emplace_back(slot, name);
      });
    } catch (const AutomationError& e) {
      if (e.number() != 6 && e.number() != 9) std::abort();
      return e.number();
    }
    return 0;
  };
  std::vector<std::pair<int, std::string>> whole, windowed;
  const CsvRows window = CsvRows::split(text, delimiter, import_window(start, count));
  if (window.row_count() != rows.row_count()) std::abort();
  if (import(rows, whole) != import(window, windowed) || whole != windowed) std::abort();
  return 0;
}
