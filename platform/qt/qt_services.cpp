#include "platform/qt/qt_services.h"

#include <QApplication>
#include <QFileInfo>
#include <QGridLayout>
#include <QMessageBox>

namespace vexa32::qt {

void fit_title(QMessageBox& box) {
  // A message box is as wide as its text; a short text under a long title would have the window
  // manager cut the title. Room for the title and the title bar's buttons keeps it whole.
  auto* grid = qobject_cast<QGridLayout*>(box.layout());
  if (!grid) return;
  const int wanted = box.fontMetrics().horizontalAdvance(box.windowTitle()) + 160;
  grid->addItem(new QSpacerItem(wanted, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0, 1,
                grid->columnCount());
}

void QtMessageBox::show(const std::string& text, const std::string& title) {
  QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(title), QString::fromStdString(text), QMessageBox::Ok,
                  QApplication::activeWindow());
  box.setObjectName("MessageBox");
  fit_title(box);
  box.exec();
}

QStringList name_filters(const std::string& filter) {
  const QStringList parts = QString::fromStdString(filter).split('|');
  QStringList out;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QStringList patterns = parts[i + 1].split(';', Qt::SkipEmptyParts);
    for (QString& p : patterns) {
      p = p.trimmed();
      if (p == "*.*") p = "*";
    }
    out << parts[i] + " (" + patterns.join(' ') + ")";
  }
  return out;
}

OpenFileDialog::OpenFileDialog(const FileDialogOptions& options, QWidget* parent)
    : QFileDialog(parent, QString::fromStdString(options.title)), flags_(options.flags) {
  setObjectName("OpenFileDialog");
  setOption(QFileDialog::DontUseNativeDialog);
  setAcceptMode(QFileDialog::AcceptOpen);
  setFileMode(flags_ & QtFileDialog::kFileMustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
  const QStringList filters = name_filters(options.filter);
  if (!filters.isEmpty()) {
    setNameFilters(filters);
    const int index = options.filter_index >= 1 && options.filter_index <= filters.size() ? options.filter_index : 1;
    selectNameFilter(filters[index - 1]);
  }
  if (!options.default_ext.empty()) setDefaultSuffix(QString::fromStdString(options.default_ext));
  if (!options.initial_file.empty()) {
    const QFileInfo initial(QString::fromStdString(options.initial_file));
    if (initial.dir().exists()) setDirectory(initial.dir());
    selectFile(initial.fileName());
  }
}

QString OpenFileDialog::refusal(const QString& path) const {
  const QFileInfo info(path);
  if ((flags_ & QtFileDialog::kFileMustExist) && !info.isFile())
    return path + "\nFile not found.\nCheck the file name and try again.";
  if (flags_ & QtFileDialog::kNoReadOnlyReturn) {
    // Read-only as the file's own attributes say, whoever asks: the owner's write bit.
    const QFileInfo folder(info.absolutePath());
    const bool file_read_only = info.exists() && !(info.permissions() & QFileDevice::WriteOwner);
    const bool folder_read_only = !(folder.permissions() & QFileDevice::WriteOwner);
    if (file_read_only || folder_read_only)
      return path + "\nThe file or its folder is write-protected.\nTry again with a different file.";
  }
  return {};
}

void OpenFileDialog::accept() {
  const QStringList chosen = selectedFiles();
  if (!chosen.isEmpty()) {
    const QString why = refusal(chosen.front());
    if (!why.isEmpty()) {
      // Refused: the dialog stays open for another choice.
      QMessageBox box(QMessageBox::NoIcon, windowTitle(), why, QMessageBox::Ok, this);
      box.exec();
      return;
    }
  }
  QFileDialog::accept();
}

std::optional<std::string> QtFileDialog::open_file(const FileDialogOptions& options) {
  OpenFileDialog dialog(options, QApplication::activeWindow());
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().front().toStdString();
}

QtServices::QtServices() {
  set_message_box_service(std::make_shared<QtMessageBox>());
  set_file_dialog_service(std::make_shared<QtFileDialog>());
}

QtServices::~QtServices() {
  set_message_box_service(nullptr);
  set_file_dialog_service(nullptr);
}

}  // namespace vexa32::qt
