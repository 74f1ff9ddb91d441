#pragma once
// The message-box and open-file services on Qt: what the core asks for, shown as modal windows.

#include <QFileDialog>
#include <QMessageBox>
#include <QStringList>

#include "platform/container/services.h"

namespace vexa32::qt {

// Text and title, one OK button, no icon; modal over the active window.
class QtMessageBox final : public MessageBoxService {
 public:
  void show(const std::string& text, const std::string& title) override;
};

// Widens a message box so that its title shows whole.
void fit_title(QMessageBox& box);

// The open-file dialog of the options: the "Name|pattern|Name|pattern" filter with its preselected
// entry, the default suffix, the title and the initial file, and the flags below.
class QtFileDialog final : public FileDialogService {
 public:
  static constexpr unsigned kHideReadOnly = 0x4;      // no read-only check box (Qt shows none anyway)
  static constexpr unsigned kFileMustExist = 0x1000;  // only an existing file is accepted
  static constexpr unsigned kNoReadOnlyReturn = 0x8000;  // a read-only file or folder is refused

  std::optional<std::string> open_file(const FileDialogOptions& options) override;
};

// "All Files|*.*|Data File|*.csv" as Qt's name filters: "All Files (*)", "Data File (*.csv)". A
// pattern "*.*" matches every name, as it does where the filter strings come from.
QStringList name_filters(const std::string& filter);

// The dialog itself, so tests can drive it: it refuses, with a message, what the flags forbid.
class OpenFileDialog final : public QFileDialog {
 public:
  OpenFileDialog(const FileDialogOptions& options, QWidget* parent);
  void accept() override;
  // Why a path cannot be returned under the flags; empty when it can.
  QString refusal(const QString& path) const;

 private:
  unsigned flags_;
};

// Installs the Qt services for the life of this object.
class QtServices {
 public:
  QtServices();
  ~QtServices();
  QtServices(const QtServices&) = delete;
  QtServices& operator=(const QtServices&) = delete;
};

}  // namespace vexa32::qt
