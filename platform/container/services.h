#pragma once
// Services the core calls without linking a user-interface toolkit: the message box (text and
// title, an OK button only, no icon) and the open-file dialog. A UI installs its own; tests
// install recording fakes; the headless default writes messages to standard error.

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vexa32 {

class MessageBoxService {
 public:
  virtual ~MessageBoxService() = default;
  // Modal; returns when the user pressed OK.
  virtual void show(const std::string& text, const std::string& title) = 0;
};

struct FileDialogOptions {
  std::string title;
  std::string filter;    // "All Files|*.*|Data File|*.csv"
  int filter_index = 1;  // 1-based entry of filter preselected
  std::string default_ext;
  std::string initial_file;
  unsigned flags = 0;
};

class FileDialogService {
 public:
  virtual ~FileDialogService() = default;
  // The full path of the chosen file; nullopt when the user cancelled.
  virtual std::optional<std::string> open_file(const FileDialogOptions& options) = 0;
};

class StderrMessageBox final : public MessageBoxService {
 public:
  void show(const std::string& text, const std::string& title) override;
};

// Headless: no one to ask, so the dialog is cancelled.
class CancellingFileDialog final : public FileDialogService {
 public:
  std::optional<std::string> open_file(const FileDialogOptions&) override { return std::nullopt; }
};

class RecordingMessageBox final : public MessageBoxService {
 public:
  struct Shown {
    std::string text, title;
  };
  void show(const std::string& text, const std::string& title) override { shown.push_back({text, title}); }
  std::vector<Shown> shown;
};

class ScriptedFileDialog final : public FileDialogService {
 public:
  std::optional<std::string> open_file(const FileDialogOptions& options) override;
  // Answers in turn; nullopt is a cancel. With no answer left, cancels.
  std::vector<std::optional<std::string>> answers;
  std::vector<FileDialogOptions> asked;
};

// The services in force for this process. Setting nullptr restores the headless default.
MessageBoxService& message_box_service();
FileDialogService& file_dialog_service();
void set_message_box_service(std::shared_ptr<MessageBoxService> service);
void set_file_dialog_service(std::shared_ptr<FileDialogService> service);

// Installs services for a scope and puts the previous ones back, for tests.
class ScopedServices {
 public:
  ScopedServices(std::shared_ptr<MessageBoxService> box, std::shared_ptr<FileDialogService> dialog = nullptr);
  ~ScopedServices();
  ScopedServices(const ScopedServices&) = delete;
  ScopedServices& operator=(const ScopedServices&) = delete;

 private:
  std::shared_ptr<MessageBoxService> previous_box_;
  std::shared_ptr<FileDialogService> previous_dialog_;
};

}  // namespace vexa32
