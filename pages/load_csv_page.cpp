#include "pages/load_csv_page.h"

#include "control/csv.h"
#include "pages/twips_p.h"
#include "platform/automation/convert.h"

namespace vexa32::pages {

Load_CSV::Load_CSV(QWidget* parent) : PropertyPage("Load_CSV", parent) {
  setFixedSize(px(5790), px(4020));
  lblsrcFile = named(new QLabel("srcFile:", this), "lblsrcFile");
  txtsrcFile = named(new QLineEdit(this), "txtsrcFile");
  Command1 = named(new QPushButton("Browse ..", this), "Command1");
  cmdLd = named(new QPushButton("Start Load", this), "cmdLd");
  lblstartRow = named(new QLabel("startRow:", this), "lblstartRow");
  txtstartRow = named(new QLineEdit(this), "txtstartRow");
  SpinButton1 = named(new SpinButton(this), "SpinButton1");
  lblcolumnIndex = named(new QLabel("columnIndex:", this), "lblcolumnIndex");
  txtcolumnIndex = named(new QLineEdit(this), "txtcolumnIndex");
  SpinButton2 = named(new SpinButton(this), "SpinButton2");
  lblrowCount = named(new QLabel("rowCount:", this), "lblrowCount");
  txtrowCount = named(new QLineEdit(this), "txtrowCount");
  SpinButton3 = named(new SpinButton(this), "SpinButton3");
  Label1 = named(new QLabel("delimit:", this), "Label1");
  txtdelimit = named(new QLineEdit(this), "txtdelimit");

  place(lblsrcFile, 240, 180, 2895, 285);
  place(txtsrcFile, 240, 465, 5295, 345);
  place(Command1, 4080, 945, 1455, 390);
  place(cmdLd, 4080, 1425, 1455, 390);
  struct Row {
    QLabel* label;
    QLineEdit* box;
    SpinButton* spin;
  };
  const Row rows[] = {{lblstartRow, txtstartRow, SpinButton1},
                      {lblcolumnIndex, txtcolumnIndex, SpinButton2},
                      {lblrowCount, txtrowCount, SpinButton3},
                      {Label1, txtdelimit, nullptr}};
  int top = 945;
  for (const Row& row : rows) {
    place(row.label, 240, top, 1695, 285);
    place(row.box, 240, top + 285, 1095, 345);
    if (row.spin) {
      place(row.spin, 1350, top + 285, 255, 345);
      // A step only writes the value into its box.
      QLineEdit* box = row.box;
      row.spin->on_change = [box](int value) { box->setText(QString::number(value)); };
    }
    top += 720;
  }
  for (QLineEdit* box : {txtsrcFile, txtstartRow, txtcolumnIndex, txtrowCount, txtdelimit}) {
    connect(box, &QLineEdit::textChanged, this, [this] { setChanged(true); });
  }
  connect(Command1, &QPushButton::clicked, this, [this] { Command1_Click(); });
  connect(cmdLd, &QPushButton::clicked, this, [this] { cmdLd_Click(); });
}

void Load_CSV::SelectionChanged() {
  Dispatch& control = first_selected();
  const Variant start = qt::get_property(control, "startRow"), column = qt::get_property(control, "columnIndex"),
                count = qt::get_property(control, "rowCount");
  txtstartRow->setText(QString::fromStdString(to_bstr(start)));
  txtcolumnIndex->setText(QString::fromStdString(to_bstr(column)));
  txtrowCount->setText(QString::fromStdString(to_bstr(count)));
  txtsrcFile->setText(QString::fromStdString(to_bstr(qt::get_property(control, "srcFile"))));
  txtdelimit->setText(QString::fromStdString(to_bstr(qt::get_property(control, "delimit"))));
  // A stored value outside the spin range (a negative start row) stays in its box as stored: the
  // spin takes the nearest value it can hold without writing it back.
  SpinButton1->setValueQuietly(to_i4(start));
  SpinButton2->setValueQuietly(to_i4(column));
  SpinButton3->setValueQuietly(to_i4(count));
}

void Load_CSV::ApplyChanges() {
  Dispatch& control = first_selected();
  qt::put_property(control, "startRow", Variant(txtstartRow->text().toStdString()));
  qt::put_property(control, "columnIndex", Variant(txtcolumnIndex->text().toStdString()));
  qt::put_property(control, "rowCount", Variant(txtrowCount->text().toStdString()));
  qt::put_property(control, "srcFile", Variant(txtsrcFile->text().toStdString()));
  qt::put_property(control, "delimit", Variant(txtdelimit->text().toStdString()));
}

FileDialogOptions Load_CSV::file_dialog_options() {
  FileDialogOptions options;
  options.title = "Select the source file ";
  options.filter = "All Files|*.*|Data File|*.csv";
  options.filter_index = 2;
  options.default_ext = "csv";
  options.flags = 0x9004;
  return options;
}

void Load_CSV::Command1_Click() {
  // A cancelled dialog empties the box; the control keeps its srcFile until the page is applied.
  const std::optional<std::string> chosen = file_dialog_service().open_file(file_dialog_options());
  txtsrcFile->setText(QString::fromStdString(chosen.value_or(std::string())));
}

std::string Load_CSV::ReadTextFileContents(const std::string& filename) const {
  return vexa32::ReadTextFileContents(filename);
}

void Load_CSV::cmdLd_Click() {
  Dispatch* control = nullptr;
  try {
    control = &first_selected();
    // The settings used are the ones stored: written first, as Apply writes them.
    ApplyChanges();
  } catch (const AutomationError& e) {
    // A box the control cannot take: nothing is imported, and the developer is told why.
    std::string text = qt::error_text(e);
    if (const auto* p = dynamic_cast<const qt::PropertyError*>(&e)) text += "\n\nin the property \"" + p->property() + "\"";
    message_box_service().show(text, "Load_CSV");
    return;
  }
  import_file(*control);
  // The import wrote the slots (also when it failed halfway) and the settings.
  control_written();
}

void Load_CSV::import_file(Dispatch& control) {
  const std::string path = txtsrcFile->text().toStdString();
  const std::string delimiter = txtdelimit->text().toStdString();
  std::int16_t start = 0, column = 0, count = 0;
  try {
    start = to_i2(Variant(txtstartRow->text().toStdString()));
    column = to_i2(Variant(txtcolumnIndex->text().toStdString()));
    count = to_i2(Variant(txtrowCount->text().toStdString()));
  } catch (const AutomationError&) {
    message_box_service().show(kCannotLoad, kCannotLoadTitle);
    return;
  }
  if (!FileExists(path)) {
    message_box_service().show(kCannotLoad, kCannotLoadTitle);
    return;
  }
  int filled = 0;
  try {
    import_csv_file(path, delimiter, start, column, count, [&](std::int16_t slot, const std::string& name) {
      control.call("SetItmName", {Variant(slot), Variant(name)});
      ++filled;
    });
  } catch (const AutomationError&) {
    // Every failure of the import has the one message; slots already set keep their names.
    message_box_service().show(kCannotLoad, kCannotLoadTitle);
    return;
  }
  if (filled == 0) {
    // An import that filled nothing from a file with line feeds alone is no success to report.
    const std::string text = ReadTextFileContents(path);
    if (text.find('\n') != std::string::npos && text.find("\r\n") == std::string::npos) {
      message_box_service().show(kLineFeedsOnly, kCannotLoadTitle);
      return;
    }
  }
  message_box_service().show(kLoaded, kLoadedTitle);
}

}  // namespace vexa32::pages
