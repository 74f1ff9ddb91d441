#pragma once
// OPC_Tag: the 60 tag names of the first selected control on three tabs, with a browse button per
// slot that opens the tag browser on the control's server.

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <array>
#include <memory>

#include "pages/tag_dialog.h"
#include "platform/qt/property_frame.h"

namespace vexa32::pages {

class OPC_Tag final : public qt::PropertyPage {
 public:
  static constexpr int kSlots = 60;

  explicit OPC_Tag(QWidget* parent = nullptr);
  ~OPC_Tag() override;

  void Initialize() override;
  void SelectionChanged() override;
  void ApplyChanges() override;
  void Terminate() override;
  void cmdBrws_Click(int index);
  void frmTgDialog_OKclk();

  TagDialog* frmTgDialog() const noexcept { return dialog_.get(); }
  bool prepared() const noexcept { return prepared_; }

  QTabWidget* SSTab1;
  std::array<QLineEdit*, kSlots> txtitm{};
  std::array<QLabel*, kSlots> lblitm{};      // slot N's label: element N / 20 of the array lblitm(N % 20)
  std::array<QPushButton*, kSlots> cmdBrws{};

 private:
  void drop_dialog();

  std::unique_ptr<TagDialog> dialog_;
  Cookie ok_cookie_ = 0;
  bool prepared_ = false;
  std::int16_t browse_slot_ = 0;
};

}  // namespace vexa32::pages
