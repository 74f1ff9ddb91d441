#include "platform/qt/keyed_views.h"

#include <QHeaderView>

#include "platform/automation/errors.h"

namespace vexa32::qt {
namespace {

constexpr int kKeyRole = Qt::UserRole + 1;

AutomationError key_not_unique() {
  return AutomationError(35602, static_cast<HRESULT>(0x800A8B12u), "Key is not unique in collection");
}

AutomationError element_not_found() {
  return AutomationError(35601, static_cast<HRESULT>(0x800A8B11u), "Element not found");
}

}  // namespace

KeyedTree::KeyedTree(QWidget* parent) : QTreeWidget(parent) {
  setHeaderHidden(true);
  setColumnCount(1);
  setSelectionMode(QAbstractItemView::SingleSelection);
  connect(this, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) {
    if (on_expand) on_expand(key_of(item));
  });
  connect(this, &QTreeWidget::itemCollapsed, this, [this](QTreeWidgetItem* item) {
    if (on_collapse) on_collapse(key_of(item));
  });
  connect(this, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem*, int) {
    if (on_click) on_click();
  });
}

QTreeWidgetItem* KeyedTree::add(const QString& parent_key, const QString& key, const QString& text) {
  if (by_key_.contains(key)) throw key_not_unique();
  QTreeWidgetItem* parent = nullptr;
  if (!parent_key.isEmpty()) {
    parent = node(parent_key);
    if (!parent) throw element_not_found();
  }
  auto* item = new QTreeWidgetItem(QStringList{text});
  item->setData(0, kKeyRole, key);
  if (parent) {
    parent->addChild(item);
  } else {
    addTopLevelItem(item);
  }
  by_key_.insert(key, item);
  return item;
}

void KeyedTree::forget(QTreeWidgetItem* item) {
  by_key_.remove(key_of(item));
  for (int i = 0; i < item->childCount(); ++i) forget(item->child(i));
}

void KeyedTree::remove(const QString& key) {
  QTreeWidgetItem* item = node(key);
  if (!item) throw element_not_found();
  forget(item);
  delete item;  // takes its subtree and leaves its parent
}

void KeyedTree::clear_nodes() {
  by_key_.clear();
  clear();
}

QTreeWidgetItem* KeyedTree::node(const QString& key) const { return by_key_.value(key, nullptr); }

QString KeyedTree::key_of(const QTreeWidgetItem* item) const {
  return item ? item->data(0, kKeyRole).toString() : QString();
}

int KeyedTree::children(const QString& key) const {
  const QTreeWidgetItem* item = node(key);
  return item ? item->childCount() : 0;
}

QString KeyedTree::child_key(const QString& key, int index) const {
  const QTreeWidgetItem* item = node(key);
  return item && index >= 0 && index < item->childCount() ? key_of(item->child(index)) : QString();
}

QString KeyedTree::selected_key() const {
  const QList<QTreeWidgetItem*> selected = selectedItems();
  return selected.isEmpty() ? QString() : key_of(selected.front());
}

void KeyedTree::select(const QString& key) {
  if (QTreeWidgetItem* item = node(key)) setCurrentItem(item);
}

KeyedList::KeyedList(QWidget* parent) : QTreeWidget(parent) {
  setRootIsDecorated(false);
  setColumnCount(1);
  setHeaderLabels({QString()});
  setSelectionMode(QAbstractItemView::SingleSelection);
  connect(this, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem*, int) {
    if (on_click) on_click();
  });
}

void KeyedList::set_column(const QString& title, int width) {
  setHeaderLabels({title});
  header()->setStretchLastSection(false);
  setColumnWidth(0, width);
}

void KeyedList::add_row(const QString& text) { addTopLevelItem(new QTreeWidgetItem(QStringList{text})); }

void KeyedList::clear_rows() { clear(); }

QString KeyedList::row(int index) const {
  const QTreeWidgetItem* item = topLevelItem(index);
  return item ? item->text(0) : QString();
}

bool KeyedList::selected_row(QString& text) const {
  const QList<QTreeWidgetItem*> selected = selectedItems();
  if (selected.isEmpty()) return false;
  text = selected.front()->text(0);
  return true;
}

void KeyedList::select_row(int index) {
  if (QTreeWidgetItem* item = topLevelItem(index)) setCurrentItem(item);
}

}  // namespace vexa32::qt
