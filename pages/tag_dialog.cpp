#include "pages/tag_dialog.h"

#include <QCloseEvent>

#include "pages/twips_p.h"
#include "platform/automation/convert.h"

namespace vexa32::pages {
namespace {

std::int16_t g_server_counter = 0;

// The tag browser skips a failing step and goes on with the next, as its handlers are meant to.
template <class F>
void step(F&& f) {
  try {
    f();
  } catch (const AutomationError&) {
  }
}

QString text_of(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

std::int16_t TagDialog::server_counter() { return g_server_counter; }
void TagDialog::reset_server_counter_for_tests(std::int16_t value) { g_server_counter = value; }

TagDialog::TagDialog(QWidget* parent) : QDialog(parent) {
  setObjectName("TagDialog");
  setWindowTitle("OPC Tag");
  qt::use_design_font(*this);
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  setFixedSize(px(8520), px(4185));

  Frame1 = named(new QGroupBox("OPC Tag", this), "Frame1");
  place(Frame1, 0, 0, 6855, 615);
  Label1 = named(new QLabel("Tag :", Frame1), "Label1");
  place(Label1, 240, 240, 615, 255);
  ItemID = named(new QLineEdit(Frame1), "ItemID");
  ItemID->setToolTip(
      "Enter a valid Item ID String for the server you are using, this default item is for KEPServerEX");
  place(ItemID, 720, 240, 6015, 285);

  Browsing = named(new QGroupBox("Browsing", this), "Browsing");
  place(Browsing, 0, 720, 8415, 2895);
  tvBranchView = named(new qt::KeyedTree(Browsing), "tvBranchView");
  tvBranchView->setToolTip("Expand the branches of the browser tree to access individual item names");
  place(tvBranchView, 120, 240, 3735, 2535);
  lvItemView = named(new qt::KeyedList(Browsing), "lvItemView");
  lvItemView->setToolTip("Select an item from this list by double clicking on the item");
  place(lvItemView, 3960, 240, 4335, 2535);

  // The filters lie below the frame's visible height: every listing uses their first values.
  lblItemNameFilter = named(new QLabel("Leaf Filter", Browsing), "lblItemNameFilter");
  place(lblItemNameFilter, 120, 5520, 1335, 255);
  ItemNameFilter = named(new QLineEdit("*", Browsing), "ItemNameFilter");
  place(ItemNameFilter, 120, 5760, 1335, 285);
  lblDataTypeFilter = named(new QLabel("Datatype Filter", Browsing), "lblDataTypeFilter");
  place(lblDataTypeFilter, 1560, 5520, 1695, 255);
  DataTypeFilter = named(new QComboBox(Browsing), "DataTypeFilter");
  place(DataTypeFilter, 1560, 5760, 1695, 315);
  for (const auto& [name, value] : std::initializer_list<std::pair<const char*, int>>{
           {"Native", 0}, {"Boolean", 11}, {"Byte", 17}, {"ByteArray", 8209}, {"Short", 2}, {"ShortArray", 8194},
           {"Long", 3}, {"LongArray", 8195}, {"Float", 4}, {"FloatArray", 8196}, {"String", 8}}) {
    DataTypeFilter->addItem(name, value);
  }
  lblAccessFilter = named(new QLabel("Access Filter", Browsing), "lblAccessFilter");
  place(lblAccessFilter, 3360, 5520, 1695, 255);
  AccessFilter = named(new QComboBox(Browsing), "AccessFilter");
  place(AccessFilter, 3360, 5760, 1695, 315);
  for (const auto& [name, value] : std::initializer_list<std::pair<const char*, int>>{
           {"Any", 0}, {"Read Only", 1}, {"Write Only", 2}, {"Read/Write", 3}}) {
    AccessFilter->addItem(name, value);
  }
  // Out of sight and never changed: Tab passes them by.
  for (QWidget* filter : std::initializer_list<QWidget*>{ItemNameFilter, DataTypeFilter, AccessFilter}) {
    filter->setFocusPolicy(Qt::NoFocus);
  }

  OKButton = named(new QPushButton("OK", this), "OKButton");
  place(OKButton, 5880, 3720, 1215, 375);
  CancelButton = named(new QPushButton("Cancel", this), "CancelButton");
  place(CancelButton, 7200, 3720, 1215, 375);
  OKButton->setAutoDefault(false);
  CancelButton->setAutoDefault(false);

  tvBranchView->on_expand = [this](const QString& key) { tvBranchView_Expand(key); };
  tvBranchView->on_collapse = [this](const QString& key) { tvBranchView_Collapse(key); };
  tvBranchView->on_click = [this] { tvBranchView_Click(); };
  lvItemView->on_click = [this] { lvItemView_Click(); };
  connect(OKButton, &QPushButton::clicked, this, [this] { OKButton_Click(); });
  connect(CancelButton, &QPushButton::clicked, this, [this] { CancelButton_Click(); });
}

TagDialog::~TagDialog() {
  tvBranchView->on_expand = nullptr;
  tvBranchView->on_collapse = nullptr;
  tvBranchView->on_click = nullptr;
  lvItemView->on_click = nullptr;
}

void TagDialog::StrtAddItm() {
  server_ = std::make_unique<OPCServerClass>();
  svrname_copy_ = m_svrname;
  nodname_copy_ = m_nodname;
  const std::int16_t index = g_server_counter;
  server_->ConnectOPCServer(svrname_copy_, "Server " + std::to_string(index), index, nodname_copy_);
  // Used up whatever the result; a 16-bit counter that cannot go on overflows.
  if (g_server_counter == INT16_MAX) throw overflow_error();
  ++g_server_counter;
}

void TagDialog::Form_Load() {
  ItemID->setText(text_of(tagTmp));
  tagfrmLoad = true;
}

void TagDialog::Form_Unload() {
  tagfrmLoad = false;
  disconnectOPC();
}

QString TagDialog::placeholder_key() const {
  return QString(kPlaceholder) + " " + QString::number(placeholder_counter_);
}

void TagDialog::Prepare() {
  if (!server_) throw object_not_set_error();
  // Touching the window's tree and list loads it.
  if (!tagfrmLoad) Form_Load();
  browser_.reset();
  server_->GetServerBrowseObject(browser_);
  server_->GetServerName(server_name_);
  root_key_ = text_of(to_bstr(server_->GetOPCServerKey()));
  placeholder_counter_ = 1;
  lvItemView->set_column("ItemID", lvItemView->width());
  if (!browser_) return;
  tvBranchView->add({}, root_key_, text_of(server_name_));
  std::int32_t organization = 0;
  browser_->GetBrowserOrganization(organization);
  if (organization == 2) {
    // Flat: every leaf at once, and the root has nothing to expand.
    browser_->ShowLeafs(Variant(false));
    const std::int32_t count = to_i4(browser_->GetItemCount());
    for (std::int32_t i = 1; i <= count; ++i) {
      std::string name;
      browser_->GetItemName(name, Variant(i));
      lvItemView->add_row(text_of(name));
    }
  } else {
    tvBranchView->add(root_key_, placeholder_key(), {});
  }
  ++placeholder_counter_;
}

void TagDialog::MoveToBranch(const QString& key) {
  browser_->MoveToRoot();
  if (key.size() <= root_key_.size()) return;
  // The branch names after the root key and its separator, one MoveDown each.
  const QStringList names = key.mid(root_key_.size() + 1).split(QChar(kSeparator));
  for (const QString& name : names) browser_->MoveDown(name.toStdString());
}

void TagDialog::tvBranchView_Expand(const QString& key) {
  if (!browser_) return;
  step([&] {
    if (tvBranchView->children(key) > 0 && tvBranchView->child_key(key, 0).contains(kPlaceholder))
      tvBranchView->remove(tvBranchView->child_key(key, 0));
  });
  step([&] { MoveToBranch(key); });
  step([&] { browser_->SetFilter(""); });
  step([&] { browser_->ShowBranches(); });
  std::int32_t count = 0;
  step([&] { count = to_i4(browser_->GetItemCount()); });
  // Browsed afresh every time: nothing is kept between expansions.
  for (std::int32_t i = 1; i <= count; ++i) {
    ++placeholder_counter_;
    std::string name;
    step([&] { browser_->GetItemName(name, Variant(i)); });
    const QString child = key + QChar(kSeparator) + text_of(name);
    step([&] { tvBranchView->add(key, child, text_of(name)); });
    step([&] { tvBranchView->add(child, placeholder_key(), {}); });
  }
}

void TagDialog::tvBranchView_Collapse(const QString& key) {
  if (tvBranchView->children(key) > 0) RemoveChildren(key, true);
  ++placeholder_counter_;
  tvBranchView->add(key, placeholder_key(), {});
}

void TagDialog::RemoveChildren(const QString& key, bool keep) {
  const int n = tvBranchView->children(key);
  for (int i = 0; i < n; ++i) RemoveChildren(tvBranchView->child_key(key, 0), false);
  if (!keep) tvBranchView->remove(key);
}

void TagDialog::tvBranchView_Click() {
  const QString key = tvBranchView->selected_key();
  if (key.isEmpty() || !browser_) return;
  MoveToBranch(key);
  lvItemView->clear_rows();
  browser_->SetFilter(ItemNameFilter->text().toStdString());
  browser_->SetDataTypeFilter(static_cast<std::int16_t>(DataTypeFilter->currentData().toInt()));
  browser_->SetAccessFilter(AccessFilter->currentData().toInt());
  browser_->ShowLeafs();
  const std::int32_t count = to_i4(browser_->GetItemCount());
  for (std::int32_t i = 1; i <= count; ++i) {
    std::string name;
    browser_->GetItemName(name, Variant(i));
    lvItemView->add_row(text_of(name));
  }
}

void TagDialog::lvItemView_Click() {
  QString leaf;
  if (!lvItemView->selected_row(leaf) || !browser_) return;
  // The browser stands where the last tree click or expansion left it.
  ItemID->setText(text_of(to_bstr(browser_->GetItemID(leaf.toStdString()))));
}

void TagDialog::Show() {
  if (!tagfrmLoad) Form_Load();
  ItemID->setText(text_of(tagTmp));
  exec();
}

void TagDialog::OKButton_Click() {
  tagTmp = ItemID->text().toStdString();
  // Hidden, not unloaded: the tree, the list and the connection wait for the next showing.
  accept();
  OKclk.raise();
}

void TagDialog::CancelButton_Click() { reject(); }

void TagDialog::disconnectOPC() {
  if (server_) server_->DisconnectOPCServer();
}

void TagDialog::unld() {
  if (tagfrmLoad) Form_Unload();
  // An unloaded window comes back empty.
  tvBranchView->clear_nodes();
  lvItemView->clear_rows();
  browser_.reset();
  if (isVisible()) reject();
}

void TagDialog::closeEvent(QCloseEvent* event) {
  // The window's close box unloads the window, closing the connection.
  unld();
  event->accept();
}

}  // namespace vexa32::pages
