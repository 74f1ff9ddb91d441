#pragma once
// A tree of keyed nodes and a one-column report list, for the tag browser: nodes are found by
// key, a node shows an expand button exactly when it has children, and expand, collapse and click
// reach plain callbacks that tests can also call.

#include <QHash>
#include <QTreeWidget>
#include <functional>

namespace vexa32::qt {

class KeyedTree final : public QTreeWidget {
 public:
  explicit KeyedTree(QWidget* parent = nullptr);

  // A node under parent_key (top level when empty); a key already in the tree or a missing parent
  // is an error (35602 "Key is not unique in collection", 35601 "Element not found").
  QTreeWidgetItem* add(const QString& parent_key, const QString& key, const QString& text);
  // The node with its whole subtree.
  void remove(const QString& key);
  void clear_nodes();

  QTreeWidgetItem* node(const QString& key) const;
  QString key_of(const QTreeWidgetItem* item) const;
  int children(const QString& key) const;
  QString child_key(const QString& key, int index) const;
  QString selected_key() const;
  void select(const QString& key);
  int node_count() const noexcept { return static_cast<int>(by_key_.size()); }

  std::function<void(const QString& key)> on_expand, on_collapse;
  std::function<void()> on_click;

 private:
  void forget(QTreeWidgetItem* item);
  QHash<QString, QTreeWidgetItem*> by_key_;
};

class KeyedList final : public QTreeWidget {
 public:
  explicit KeyedList(QWidget* parent = nullptr);

  // The one column's header and width.
  void set_column(const QString& title, int width);
  void add_row(const QString& text);
  void clear_rows();
  int row_count() const { return topLevelItemCount(); }
  QString row(int index) const;
  // The selected row's text; false when none is selected.
  bool selected_row(QString& text) const;
  void select_row(int index);

  std::function<void()> on_click;
};

}  // namespace vexa32::qt
