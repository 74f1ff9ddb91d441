#include "platform/container/services.h"

#include <cstdio>

namespace vexa32 {
namespace {

std::shared_ptr<MessageBoxService>& box_slot() {
  static std::shared_ptr<MessageBoxService> slot = std::make_shared<StderrMessageBox>();
  return slot;
}

std::shared_ptr<FileDialogService>& dialog_slot() {
  static std::shared_ptr<FileDialogService> slot = std::make_shared<CancellingFileDialog>();
  return slot;
}

}  // namespace

void StderrMessageBox::show(const std::string& text, const std::string& title) {
  std::fprintf(stderr, "[%s] %s\n", title.c_str(), text.c_str());
}

std::optional<std::string> ScriptedFileDialog::open_file(const FileDialogOptions& options) {
  asked.push_back(options);
  if (answers.empty()) return std::nullopt;
  auto answer = answers.front();
  answers.erase(answers.begin());
  return answer;
}

MessageBoxService& message_box_service() { return *box_slot(); }
FileDialogService& file_dialog_service() { return *dialog_slot(); }

void set_message_box_service(std::shared_ptr<MessageBoxService> service) {
  box_slot() = service ? std::move(service) : std::make_shared<StderrMessageBox>();
}

void set_file_dialog_service(std::shared_ptr<FileDialogService> service) {
  dialog_slot() = service ? std::move(service) : std::make_shared<CancellingFileDialog>();
}

ScopedServices::ScopedServices(std::shared_ptr<MessageBoxService> box, std::shared_ptr<FileDialogService> dialog)
    : previous_box_(box_slot()), previous_dialog_(dialog_slot()) {
  if (box) box_slot() = std::move(box);
  if (dialog) dialog_slot() = std::move(dialog);
}

ScopedServices::~ScopedServices() {
  box_slot() = previous_box_;
  dialog_slot() = previous_dialog_;
}

}  // namespace vexa32
