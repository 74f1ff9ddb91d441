// Tag lists from CSV files.

#include "control/csv.h"

#include <filesystem>
#include <fstream>

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
