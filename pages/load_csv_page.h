#pragma once
// Load_CSV: the five import settings of the first selected control, and an import of tag names
// from a CSV file at design time with a message for its outcome.

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <string>

#include "pages/spin_button.h"
#include "platform/container/services.h"
#include "platform/qt/property_frame.h"

namespace vexa32::pages {

class Load_CSV final : public qt::PropertyPage {
 public:
  static constexpr const char* kLoaded = "Load CSV file completely";
  static constexpr const char* kLoadedTitle = "File loaded";
  static constexpr const char* kCannotLoad = "Cannot load file. Please check the CSV file or file path.";
  static constexpr const char* kCannotLoadTitle = "Can not load file";
  // Rows end with carriage return and line feed; a file written with line feeds alone is one row.
  static constexpr const char* kLineFeedsOnly =
      "No tag was loaded: the lines of this file end with line feeds alone. Tag lists are read "
      "with carriage return and line feed at the end of each line; save the file with those line "
      "ends and load it again.";

  explicit Load_CSV(QWidget* parent = nullptr);

  void SelectionChanged() override;
  void ApplyChanges() override;
  void Command1_Click();
  void cmdLd_Click();
  // The whole content of the file, as the control reads it: empty text when it cannot be read.
  std::string ReadTextFileContents(const std::string& filename) const;
  // The settings of the browse dialog.
  static FileDialogOptions file_dialog_options();

  QLabel* lblsrcFile;
  QLineEdit* txtsrcFile;
  QPushButton* Command1;
  QPushButton* cmdLd;
  QLabel* lblstartRow;
  QLineEdit* txtstartRow;
  SpinButton* SpinButton1;
  QLabel* lblcolumnIndex;
  QLineEdit* txtcolumnIndex;
  SpinButton* SpinButton2;
  QLabel* lblrowCount;
  QLineEdit* txtrowCount;
  SpinButton* SpinButton3;
  QLabel* Label1;
  QLineEdit* txtdelimit;

 private:
  void import_file(Dispatch& control);
};

}  // namespace vexa32::pages
