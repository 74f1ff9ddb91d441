#pragma once
// OPC_Server: the server, node and update rate of the first selected control.

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "platform/qt/property_frame.h"

namespace vexa32::pages {

class OPC_Server final : public qt::PropertyPage {
 public:
  explicit OPC_Server(QWidget* parent = nullptr);

  void SelectionChanged() override;
  void ApplyChanges() override;
  void cmdBrowse_Click();

  QLabel* lblnodname;
  QLineEdit* txtnodname;
  QLabel* lblsvrname;
  QLineEdit* txtsvrname;
  QPushButton* cmdBrowse;
  QLabel* lblUpdateRate;
  QLineEdit* txtUpdateRate;
};

}  // namespace vexa32::pages
