#pragma once
// TagDialog: the tag browser. Connects a server wrapper of its own, shows the server's branches as
// a tree filled one level per expansion, lists the leaves of the clicked branch and puts the
// ItemID of a clicked leaf into its ItemID box; OK hands that text to the page through OKclk.

#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <cstdint>
#include <memory>
#include <string>

#include "opc/server_class.h"
#include "platform/automation/event.h"
#include "platform/qt/keyed_views.h"

namespace vexa32::pages {

class TagDialog final : public QDialog {
 public:
  // Key marker of a node that stands for a branch not browsed yet, and the separator of the
  // branch names in a node's key.
  static constexpr const char* kPlaceholder = "KEPwareDummyNode";
  static constexpr char kSeparator = '\x02';

  explicit TagDialog(QWidget* parent = nullptr);
  ~TagDialog() override;

  std::string m_svrname;
  Variant m_nodname;
  std::string tagTmp;
  bool tagfrmLoad = false;
  Event<> OKclk;

  void StrtAddItm();
  void Prepare();
  void RemoveChildren(const QString& key, bool keep);
  void disconnectOPC();
  void unld();
  // One modal showing: the ItemID box first shows tagTmp.
  void Show();

  void Form_Load();
  void Form_Unload();
  void MoveToBranch(const QString& key);
  void tvBranchView_Expand(const QString& key);
  void tvBranchView_Collapse(const QString& key);
  void tvBranchView_Click();
  void lvItemView_Click();
  void OKButton_Click();
  void CancelButton_Click();

  // The process-wide counter that numbers the server keys; the next key uses its value.
  static std::int16_t server_counter();
  static void reset_server_counter_for_tests(std::int16_t value);

  QGroupBox* Frame1;
  QLabel* Label1;
  QLineEdit* ItemID;
  QGroupBox* Browsing;
  qt::KeyedTree* tvBranchView;
  qt::KeyedList* lvItemView;
  QLabel* lblItemNameFilter;
  QLineEdit* ItemNameFilter;
  QLabel* lblDataTypeFilter;
  QComboBox* DataTypeFilter;
  QLabel* lblAccessFilter;
  QComboBox* AccessFilter;
  QPushButton* OKButton;
  QPushButton* CancelButton;

  OPCBrowserClass* browser() const noexcept { return browser_.get(); }
  OPCServerClass* server() const noexcept { return server_.get(); }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  QString placeholder_key() const;

  std::unique_ptr<OPCServerClass> server_;
  std::string svrname_copy_;
  Variant nodname_copy_;
  std::shared_ptr<OPCBrowserClass> browser_;
  QString root_key_;
  std::string server_name_;
  std::int16_t placeholder_counter_ = 1;
};

}  // namespace vexa32::pages
