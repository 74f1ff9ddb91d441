// The CSV page: its settings and its import with a message for the outcome.

#include <QTemporaryDir>
#include <fstream>

#include "pages/load_csv_page.h"
#include "pages_fixture.h"
#include "test_names.h"

namespace vexa32::testing {
namespace {

using pages::Load_CSV;

class CsvPage : public PagesTest {
 protected:
  CsvPage() {
    for (std::int16_t n = 0; n < vexa::kSlots; ++n) control.SetItmName(n, "old" + std::to_string(n));
    page.setSelectedControls({&control});
    page.SelectionChanged();
    page.setChanged(false);
    site.changes.clear();
  }
  std::string file(const std::string& name, const std::string& content) {
    const std::string path = dir.filePath(QString::fromStdString(name)).toStdString();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  std::vector<std::string> messages() const {
    std::vector<std::string> out;
    for (const auto& m : box->shown) out.push_back(m.text + " | " + m.title);
    return out;
  }
  QTemporaryDir dir;
  Load_CSV page;
};

TEST_F(CsvPage, ShowsTheControlsSettings) {
  EXPECT_EQ(page.txtstartRow->text(), "1");
  EXPECT_EQ(page.txtcolumnIndex->text(), "0");
  EXPECT_EQ(page.txtrowCount->text(), "60");
  EXPECT_EQ(page.txtdelimit->text(), ",");
  EXPECT_EQ(page.SpinButton3->value(), 60);
  EXPECT_EQ(page.SpinButton3->maximum(), 32767);
}

std::string ten_rows() {
  std::string text = "Tag,Type\r\n";
  for (int i = 0; i < 10; ++i) text += "T" + std::to_string(i) + ",x,y\r\n";
  return text;
}

struct ImportCase {
  const char* label;
  std::string content;  // empty with missing: no file at all
  bool missing;
  const char* column;
  const char* count;
  std::vector<std::pair<int, std::string>> names;  // expected names; other slots keep "oldN"
  bool loaded;
  bool line_feeds = false;  // the failure is the one that names the line ends
};

class CsvImport : public CsvPage, public ::testing::WithParamInterface<ImportCase> {};

TEST_P(CsvImport, ImportsAndTellsTheOutcome) {
  const ImportCase& c = GetParam();
  page.txtsrcFile->setText(QString::fromStdString(c.missing ? dir.filePath("none.csv").toStdString()
                                                            : file("tags.csv", c.content)));
  page.txtcolumnIndex->setText(c.column);
  page.txtrowCount->setText(c.count);
  page.cmdLd->click();
  // The five settings are written first, whatever the file holds.
  EXPECT_EQ(control.get_srcFile(), page.txtsrcFile->text().toStdString());
  EXPECT_EQ(std::vector<std::string>(site.changes.begin(), site.changes.begin() + 5),
            (std::vector<std::string>{"startRow", "columnIndex", "rowCount", "srcFile", "delimit"}));
  for (std::int16_t n = 0; n < vexa::kSlots; ++n) {
    std::string expected = "old" + std::to_string(n);
    for (const auto& [slot, name] : c.names) {
      if (slot == n) expected = name;
    }
    EXPECT_EQ(control.GetItmName(n), expected) << n;
  }
  const std::string failed = c.line_feeds ? std::string(Load_CSV::kLineFeedsOnly) + " | Can not load file"
                                          : "Cannot load file. Please check the CSV file or file path. | Can not load file";
  EXPECT_EQ(messages(), std::vector<std::string>{c.loaded ? "Load CSV file completely | File loaded" : failed});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CsvImport,
    ::testing::Values(
        ImportCase{"header and ten rows", ten_rows(), false, "0", "60",
                   {{0, "T0"}, {1, "T1"}, {2, "T2"}, {3, "T3"}, {4, "T4"}, {5, "T5"}, {6, "T6"}, {7, "T7"}, {8, "T8"},
                    {9, "T9"}},
                   true},
        ImportCase{"missing file", "", true, "0", "60", {}, false},
        ImportCase{"empty file", "", false, "0", "60", {}, false},
        ImportCase{"only line ends", "\r\n\r\n", false, "0", "60", {}, false},
        ImportCase{"column 2 then a short row", "h\r\na,b,c\r\nd,e\r\n", false, "2", "60", {{0, "c"}}, false},
        ImportCase{"row count 0", ten_rows(), false, "0", "0", {}, true},
        ImportCase{"line feeds alone", "Tag\nA\nB\n", false, "0", "60", {}, false, true},
        ImportCase{"line feeds and one pair", "Tag\nA\r\n", false, "0", "60", {}, true}),
    LabelName());

TEST_F(CsvPage, SpinningPast60StillImportsAtMost60) {
  std::string text = "h\r\n";
  for (int i = 0; i < 70; ++i) text += "R" + std::to_string(i) + "\r\n";
  page.txtsrcFile->setText(QString::fromStdString(file("many.csv", text)));
  page.SpinButton3->up->click();
  EXPECT_EQ(page.txtrowCount->text(), "61");
  page.cmdLd_Click();
  EXPECT_EQ(control.get_rowCount(), 61);
  EXPECT_EQ(control.GetItmName(59), "R59");
  EXPECT_EQ(site.changes.size(), 5u + 60u);
}

TEST_F(CsvPage, EachBoxAloneMarksThePageChanged) {
  for (QLineEdit* box : {page.txtsrcFile, page.txtstartRow, page.txtcolumnIndex, page.txtrowCount, page.txtdelimit}) {
    page.setChanged(false);
    box->setText(box->text() + "1");
    EXPECT_TRUE(page.Changed()) << box->objectName().toStdString();
  }
}

TEST_F(CsvPage, LettersInANumberBoxWriteWhatComesBeforeAndImportNothing) {
  page.txtsrcFile->setText(QString::fromStdString(file("t.csv", ten_rows())));
  page.txtstartRow->setText("0");
  page.txtcolumnIndex->setText("x1");
  page.cmdLd_Click();
  EXPECT_EQ(site.changes, std::vector<std::string>{"startRow"});
  EXPECT_EQ(control.GetItmName(0), "old0");
  ASSERT_EQ(box->shown.size(), 1u);
  EXPECT_NE(box->shown[0].text.find("Type mismatch"), std::string::npos) << box->shown[0].text;
  EXPECT_NE(box->shown[0].text.find("columnIndex"), std::string::npos) << box->shown[0].text;
  page.txtcolumnIndex->setText("40000");
  box->shown.clear();
  page.cmdLd_Click();
  EXPECT_NE(box->shown.at(0).text.find("Overflow"), std::string::npos);
}

TEST_F(CsvPage, TheBrowseDialogAsksForAnExistingCsvAndACancelEmptiesTheBox) {
  auto dialog = std::make_shared<ScriptedFileDialog>();
  ScopedServices scripted(box, dialog);
  dialog->answers = {std::optional<std::string>("/data/tags.csv"), std::nullopt};
  page.Command1->click();
  EXPECT_EQ(page.txtsrcFile->text(), "/data/tags.csv");
  ASSERT_EQ(dialog->asked.size(), 1u);
  EXPECT_EQ(dialog->asked[0].title, "Select the source file ");
  EXPECT_EQ(dialog->asked[0].filter, "All Files|*.*|Data File|*.csv");
  EXPECT_EQ(dialog->asked[0].filter_index, 2);
  EXPECT_EQ(dialog->asked[0].default_ext, "csv");
  EXPECT_EQ(dialog->asked[0].flags, 0x9004u);
  EXPECT_EQ(dialog->asked[0].initial_file, "");
  page.Command1_Click();
  EXPECT_EQ(page.txtsrcFile->text(), "");
  EXPECT_EQ(control.get_srcFile(), "");  // nothing stored until the page is applied
}

}  // namespace
}  // namespace vexa32::testing
