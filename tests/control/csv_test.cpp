// Tag lists from CSV files.

#include "control/csv.h"

#include <filesystem>
#include <fstream>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "control_fixture.h"
#include "test_names.h"

namespace vexa32::testing {
namespace {

namespace fs = std::filesystem;

class Csv : public ControlTest {
 protected:
  Csv() {
    dir = fs::temp_directory_path() / ("vexa32_csv_" + std::to_string(::getpid()) + "_" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
    for (std::int16_t n = 0; n < vexa::kSlots; ++n) control->SetItmName(n, "old" + std::to_string(n));
    site.changes.clear();
  }
  ~Csv() override { fs::remove_all(dir); }

  std::string file(const std::string& name, const std::string& content) {
    std::string path = (dir / name).string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  void load(const std::string& path, std::int16_t start = 1, std::int16_t column = 0, std::int16_t count = 60,
            const std::string& delimiter = ",") {
    control->call("loadCSV", {Variant(start), Variant(column), Variant(count), Variant(delimiter), Variant(path)});
  }

  int error_of(const std::function<void()>& f) {
    try {
      f();
    } catch (const AutomationError& e) {
      return e.number();
    }
    return 0;
  }

  fs::path dir;
};

const std::string kThreeLines = "Name,Type\r\nTag1,Float\r\nTag2,Bool\r\n";

TEST_F(Csv, DefaultsSkipTheHeaderAndFillFromSlotZero) {
  load(file("t.csv", kThreeLines));
  EXPECT_EQ(control->GetItmName(0), "Tag1");
  EXPECT_EQ(control->GetItmName(1), "Tag2");
  EXPECT_EQ(control->GetItmName(2), "old2");
  EXPECT_EQ(site.changes, (std::vector<std::string>{"itm0", "itm1"}));
}

TEST_F(Csv, StartRowZeroTakesTheHeaderToo) {
  load(file("t.csv", kThreeLines), 0);
  EXPECT_EQ(control->GetItmName(0), "Name");
  EXPECT_EQ(control->GetItmName(1), "Tag1");
  EXPECT_EQ(control->GetItmName(2), "Tag2");
}

struct SplitCase {
  const char* label;
  std::string text;
  std::string delimiter;
  std::vector<std::vector<std::string>> rows;
};

class SplitRows : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitRows, RowsAtCrLfFieldsAtTheDelimiter) {
  const SplitCase& c = GetParam();
  CsvRows rows = CsvRows::split(c.text, c.delimiter);
  std::vector<std::vector<std::string>> got;
  for (std::size_t i = 0; i < rows.row_count(); ++i) {
    got.emplace_back();
    for (auto f : rows.fields(i)) got.back().emplace_back(f);
  }
  EXPECT_EQ(got, c.rows);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitRows,
    ::testing::Values(SplitCase{"empty lines anywhere", "\r\n\r\na,b\r\n\r\nc\r\n\r\n\r\n", ",", {{"a", "b"}, {"c"}}},
                      SplitCase{"blank line is a row", "a\r\n   \r\nb", ",", {{"a"}, {"   "}, {"b"}}},
                      SplitCase{"line feed only is one row", "a,b\nc,d\n", ",", {{"a", "b\nc", "d\n"}}},
                      SplitCase{"lone carriage return stays", "a\rb\r\nc", ",", {{"a\rb"}, {"c"}}},
                      SplitCase{"NUL drops the line", std::string("a\r\nb\0c\r\nd", 9), ",", {{"a"}, {"d"}}},
                      SplitCase{"consecutive delimiters", "a,,b,", ",", {{"a", "", "b", ""}}},
                      SplitCase{"several characters", "a::b:c::", "::", {{"a", "b:c", ""}}},
                      SplitCase{"empty delimiter keeps the line", "a,b\r\n\"c\"", "", {{"a,b"}, {"\"c\""}}},
                      SplitCase{"case-sensitive delimiter", "aXbxc", "x", {{"aXb", "c"}}},
                      SplitCase{"quotes do not protect", "\"a,b\",c", ",", {{"\"a", "b\"", "c"}}},
                      SplitCase{"nothing", "", ",", {}}, SplitCase{"only line ends", "\r\n\r\n", ",", {}}),
    LabelName());

TEST_F(Csv, QuotesAreRemovedAfterSelection) {
  load(file("q.csv", "h\r\n\"Quoted.Tag\",x\r\n\"Cut,Here\",y\r\nmid\"dle\r\n"), 1);
  EXPECT_EQ(control->GetItmName(0), "Quoted.Tag");
  EXPECT_EQ(control->GetItmName(1), "Cut");
  EXPECT_EQ(control->GetItmName(2), "middle");
}

TEST_F(Csv, BlanksAndEmptyFieldsAreKept) {
  load(file("b.csv", "h\r\n   ,x\r\n,y\r\n"));
  EXPECT_EQ(control->GetItmName(0), "   ");
  EXPECT_EQ(control->GetItmName(1), "");
}

TEST_F(Csv, LineFeedOnlyFileIsOneRowAndStartRowOneImportsNothing) {
  EXPECT_EQ(error_of([&] { load(file("lf.csv", "h\nTag1\nTag2\n")); }), 0);
  EXPECT_TRUE(site.changes.empty());
}

TEST_F(Csv, AtMostSixtyRows) {
  std::string text = "h\r\n";
  for (int i = 0; i < 100; ++i) text += "T" + std::to_string(i) + "\r\n";
  load(file("many.csv", text), 1, 0, 100);
  EXPECT_EQ(site.changes.size(), 60u);
  EXPECT_EQ(control->GetItmName(59), "T59");
}

TEST_F(Csv, ZeroOrNegativeRowCountImportsNothingAndSucceeds) {
  std::string path = file("t.csv", kThreeLines);
  EXPECT_EQ(error_of([&] { load(path, 1, 0, 0); }), 0);
  EXPECT_EQ(error_of([&] { load(path, 1, 0, -5); }), 0);
  EXPECT_TRUE(site.changes.empty());
}

TEST_F(Csv, SixteenBitOverflowFailsBeforeAnySlotChanges) {
  std::string path = file("t.csv", kThreeLines);
  EXPECT_EQ(error_of([&] { load(path, 32767, 0, 1); }), 6);
  EXPECT_EQ(error_of([&] { load(path, -32768, 0, -1); }), 6);
  EXPECT_EQ(error_of([&] { load(path, 32760, 0, 10); }), 6);
  EXPECT_TRUE(site.changes.empty());
  EXPECT_EQ(error_of([&] { load(path, 32766, 0, 1); }), 0);  // last row 32766: nothing there, no error
}

TEST_F(Csv, AMissingFieldFailsAfterEarlierRowsWereSet) {
  std::string path = file("f.csv", "h\r\na,b,c\r\nd,e,f\r\ng,h\r\ni,j,k\r\n");
  EXPECT_EQ(error_of([&] { load(path, 1, 2); }), 9);
  EXPECT_EQ(control->GetItmName(0), "c");
  EXPECT_EQ(control->GetItmName(1), "f");
  EXPECT_EQ(control->GetItmName(2), "old2");  // no rollback, nothing after the failure
  EXPECT_EQ(control->GetItmName(3), "old3");
  EXPECT_EQ(error_of([&] { load(path, 1, -1); }), 9);
}

TEST_F(Csv, NegativeStartRowFailsWithSubscriptOutOfRange) {
  EXPECT_EQ(error_of([&] { load(file("t.csv", kThreeLines), -1, 0, 3); }), 9);
  EXPECT_TRUE(site.changes.empty());
}

TEST_F(Csv, EmptyDelimiterImportsWholeLinesWithoutQuotes) {
  load(file("w.csv", "h\r\n\"a\",b\r\n"), 1, 0, 60, "");
  EXPECT_EQ(control->GetItmName(0), "a,b");
}

TEST_F(Csv, MultiCharacterDelimiter) {
  load(file("m.csv", "h\r\nA::B\r\nC::D\r\n"), 1, 1, 60, "::");
  EXPECT_EQ(control->GetItmName(0), "B");
  EXPECT_EQ(control->GetItmName(1), "D");
}

TEST_F(Csv, EmptyOrMissingFileFailsAndChangesNoSlot) {
  EXPECT_EQ(error_of([&] { load(file("empty.csv", "")); }), 9);
  EXPECT_EQ(error_of([&] { load(file("ends.csv", "\r\n\r\n\r\n")); }), 9);
  EXPECT_EQ(error_of([&] { load((dir / "missing.csv").string()); }), 9);
  EXPECT_EQ(error_of([&] { load(dir.string()); }), 9);  // a folder reads as nothing
  EXPECT_TRUE(site.changes.empty());
}

TEST_F(Csv, ReadTextFileContentsReadsBytesAndNeverFails) {
  std::string bytes("a\r\nb\0c\xff", 7);
  EXPECT_EQ(control->call("ReadTextFileContents", {Variant(file("raw.bin", bytes))}), Variant(bytes));
  EXPECT_EQ(control->ReadTextFileContents((dir / "none").string()), "");
  EXPECT_EQ(control->ReadTextFileContents(dir.string()), "");
  EXPECT_EQ(control->ReadTextFileContents(""), "");
}

// Files that are not ordinary, or too large to hold, read as unreadable ones: at once, whatever
// they are. A child process keeps a regression from hanging the suite: a blocked open ends there.
TEST_F(Csv, FifosAndOversizedFilesReadAsUnreadableWithoutBlocking) {
  const std::string fifo = (dir / "pipe.csv").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string sparse = (dir / "sparse.csv").string();
  std::filesystem::resize_file(file("sparse.csv", "h\r\nTag\r\n"), kMaxTextFileBytes + 1);
  auto child = [&] {
    ::alarm(20);
    bool ok = true;
    for (const std::string& path : {fifo, sparse}) {
      ok = ok && control->ReadTextFileContents(path).empty() && error_of([&] { load(path); }) == 9;
    }
    ok = ok && !control->FileExists(fifo) && control->FileExists(sparse);
    std::_Exit(ok && site.changes.empty() ? 0 : 1);
  };
  EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
}

// An import holds the rows it uses, not the file: 64 MB of bare line feeds (one row of 64 MB, which
// the default import skips) imports within a few megabytes of address space.
TEST_F(Csv, AnImportNeedsNoMemoryOfTheFilesSize) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "address-space limits and AddressSanitizer's shadow memory do not mix";
#else
  const std::string path = file("lf.csv", "Name\r\n" + std::string(64 << 20, '\n') + "\r\nTag1\r\n");
  auto child = [&] {
    std::ifstream status("/proc/self/status");
    std::string line;
    rlim_t used_kb = 0;
    while (std::getline(status, line)) {
      if (line.rfind("VmSize:", 0) == 0) used_kb = std::stoull(line.substr(7));
    }
    const rlim_t limit = (used_kb + 16 * 1024) * 1024;
    const rlimit r{limit, limit};
    ::setrlimit(RLIMIT_AS, &r);
    load(path, 2);
    std::_Exit(control->GetItmName(0) == "Tag1" ? 0 : 1);
  };
  EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
#endif
}

// The file is read in pieces: a CR LF pair, a NUL line or a lone CR straddling two pieces splits as
// in one piece, and a window keeps only its rows.
TEST_F(Csv, PiecesAndWindowsSplitAsTheWholeText) {
  for (std::size_t pad : {65533u, 65534u, 65535u, 65536u, 131071u}) {
    const std::string text = std::string(pad, 'x') + std::string("\r\na\0b\r\nc\rd,e\r\n\r\nf,\"g\"\r", 22);
    const std::string path = file("p.csv", text);
    const CsvRows whole = CsvRows::split(text, ","), from_file = CsvRows::split_file(path, ",");
    ASSERT_EQ(from_file.row_count(), 3u) << pad;
    for (std::size_t r = 0; r < 3; ++r) EXPECT_EQ(from_file.line(r), whole.line(r)) << pad << " " << r;
    const CsvRows window = CsvRows::split_file(path, ",", {1, 1});
    EXPECT_EQ(window.row_count(), 3u);
    EXPECT_EQ(window.line(1), "c\rd,e");
    EXPECT_THROW(window.line(0), std::out_of_range);
    EXPECT_THROW(window.line(2), std::out_of_range);
  }
  EXPECT_EQ(import_window(1, 60).first, 1u);
  EXPECT_EQ(import_window(-3, 5).count, 2u);  // rows 0 and 1; -3 fails before any is read
  EXPECT_EQ(import_window(32767, 1).count, 0u);
}

TEST_F(Csv, FileExistsFindsOrdinaryFilesAndPatterns) {
  file("tags.csv", "x");
  file("other.txt", "y");
  fs::create_directories(dir / "folder.csv");
  struct {
    std::string path;
    bool expected;
  } const cases[] = {
      {(dir / "tags.csv").string(), true},
      {(dir / "*.csv").string(), true},
      {(dir / "t?gs.csv").string(), true},
      {(dir / "*.xls").string(), false},
      {(dir / "folder.csv").string(), false},
      {(dir / "folder*").string(), false},
      {dir.string(), false},
      {(dir / "missing").string(), false},
      {(dir / "*" / "x").string(), false},
      {"", false},
      {(dir / "TAGS.csv").string(), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(control->call("FileExists", {Variant(c.path)}), Variant(c.expected)) << c.path;
  }
}

TEST_F(Csv, LoadCsvTouchesOnlySlotNames) {
  control->put_startRow(5);
  control->put_delimit("|");
  site.changes.clear();
  load(file("t.csv", kThreeLines));
  EXPECT_EQ(control->get_startRow(), 5);
  EXPECT_EQ(control->get_delimit(), "|");
  EXPECT_EQ(control->IsConnect, VARIANT_FALSE);
}

}  // namespace
}  // namespace vexa32::testing
