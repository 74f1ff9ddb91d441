#include "designer.h"

#include <QCloseEvent>
#include <QDockWidget>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QScrollArea>
#include <algorithm>
#include <climits>

#include "pages/property_pages.h"
#include "pages/twips_p.h"
#include "platform/automation/convert.h"
#include "platform/container/services.h"
#ifdef VEXA32_WITH_OPCUA
#include "pages/ua/certificates_window.h"
#include "platform/opcua/pki/pki.h"
#endif

namespace vexa32::designer {
namespace {

// In design mode a control only shows itself: its buttons do not take clicks, the form does.
void make_inert(QWidget* w) {
  w->setAttribute(Qt::WA_TransparentForMouseEvents, true);
  for (QWidget* child : w->findChildren<QWidget*>()) child->setAttribute(Qt::WA_TransparentForMouseEvents, true);
}

QScrollArea* form_area(QWidget* parent) {
  auto* area = new QScrollArea(parent);
  area->setBackgroundRole(QPalette::Dark);
  area->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  return area;
}

}  // namespace

DesignerWindow::DesignerWindow() {
  setObjectName("DesignerWindow");
  stack_ = new QStackedWidget(this);
  stack_->addWidget(form_area(stack_));  // design
  stack_->addWidget(form_area(stack_));  // run
  setCentralWidget(stack_);

  properties_ = new QTableWidget(0, 2, this);
  properties_->setObjectName("PropertyList");
  properties_->setHorizontalHeaderLabels({"Property", "Value"});
  properties_->verticalHeader()->setVisible(false);
  properties_->horizontalHeader()->setStretchLastSection(true);
  connect(properties_, &QTableWidget::itemChanged, this, [this](QTableWidgetItem* item) {
    if (filling_properties_ || item->column() != 1) return;
    edit_property(properties_->item(item->row(), 0)->text().toStdString(), item->text());
  });
  auto* dock = new QDockWidget("Properties", this);
  dock->setObjectName("PropertiesDock");
  dock->setWidget(properties_);
  addDockWidget(Qt::RightDockWidgetArea, dock);

  auto action = [this](const QString& text, const QKeySequence& keys, auto&& slot) {
    QAction* a = new QAction(text, this);
    a->setShortcut(keys);
    connect(a, &QAction::triggered, this, slot);
    return a;
  };
  action_new = action("&New", QKeySequence::New, [this] { new_form(); });
  action_open = action("&Open...", QKeySequence::Open, [this] { open_dialog(); });
  action_save = action("&Save", QKeySequence::Save, [this] { save(); });
  action_save_as = action("Save &As...", QKeySequence("Ctrl+Shift+S"), [this] { save_as_dialog(); });
  action_add_vexa = action("vexa", {}, [this] { add_control(vexa::kClassName); });
  action_add_button = action("Button", {}, [this] { add_control(pages::kButtonClass); });
  action_add_label = action("Label", {}, [this] { add_control(pages::kLabelClass); });
  action_delete = action("&Delete", QKeySequence::Delete, [this] { delete_selection(); });
  action_properties = action("&Properties...", QKeySequence("F4"), [this] { show_property_pages(); });
  action_run = action("&Run", QKeySequence("F5"), [this] { run(); });
  action_stop = action("S&top", QKeySequence("Shift+F5"), [this] { stop(); });
  action_stop->setEnabled(false);
  // Delete removes controls only where the form has the focus: in the property list the key
  // belongs to the cell being edited.
  action_delete->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  stack_->widget(0)->addAction(action_delete);

  QMenu* file = menuBar()->addMenu("&File");
  file->addActions({action_new, action_open, action_save, action_save_as});
  file->addSeparator();
  file->addAction("E&xit", this, &QWidget::close);
  QMenu* edit = menuBar()->addMenu("&Edit");
  edit->addActions({action_delete, action_properties});
  QMenu* insert = menuBar()->addMenu("&Insert");
  insert->addActions({action_add_vexa, action_add_button, action_add_label});
  QMenu* run_menu = menuBar()->addMenu("&Run");
  run_menu->addActions({action_run, action_stop});
#ifdef VEXA32_WITH_OPCUA
  QMenu* tools_menu = menuBar()->addMenu("&Tools");
  action_certificates = tools_menu->addAction("&Certificates…", this, [this] {
    pages::CertificatesWindow certificates(opcua::Pki::default_folder(), this);
    certificates.exec();
  });
  action_certificates->setObjectName("action_certificates");
#endif
  QToolBar* tools = addToolBar("Toolbox");
  tools->setObjectName("Toolbox");
  tools->addActions({action_add_vexa, action_add_button, action_add_label});
  tools->addSeparator();
  tools->addActions({action_properties, action_run, action_stop});

  resize(900, 560);
  new_form();
}

DesignerWindow::~DesignerWindow() { stop(); }

void DesignerWindow::set_form(const Form& form, const QString& path) {
  stop();
  selection_.clear();
  update_selection_frames();
  auto* area = static_cast<QScrollArea*>(stack_->widget(0));
  delete area->takeWidget();
  design_ = new pages::RunningForm(form, false);
  // The form stands out from the grey around it, as a form in a designer does.
  design_->setBackgroundRole(QPalette::Window);
  design_->setAutoFillBackground(true);
  for (auto& item : design_->items()) make_inert(item->widget);
  design_->setFocusPolicy(Qt::ClickFocus);
  design_->installEventFilter(this);
  design_->on_changed = [this](const std::string&, const std::string&) {
    mark_modified();
    refresh_properties();
  };
  area->setWidget(design_);
  stack_->setCurrentIndex(0);
  path_ = path;
  modified_ = false;
  update_title();
  refresh_properties();
}

void DesignerWindow::new_form() {
  if (!may_discard()) return;
  Form form;
  form.name = "Form1";
  form.caption = "Form1";
  form.width = 4680;
  form.height = 3195;
  set_form(form, {});
}

bool DesignerWindow::open_form(const QString& path) {
  Form form;
  try {
    form = load_form_file(path.toStdString());
  } catch (const AutomationError& e) {
    // A bad or unreadable file changes nothing: the open form stays as it was.
    message_box_service().show("The form file cannot be opened.\n\n" + std::string(e.what()), "vexa-designer");
    return false;
  }
  if (!may_discard()) return false;
  set_form(form, path);
  return true;
}

bool DesignerWindow::save() {
  if (path_.isEmpty()) {
    save_as_dialog();
    return !path_.isEmpty() && !modified_;
  }
  return save_as(path_);
}

bool DesignerWindow::save_as(const QString& path) {
  try {
    save_form_file(path.toStdString(), design_->to_form());
  } catch (const AutomationError& e) {
    message_box_service().show("The form was not saved.\n\n" + std::string(e.what()), "vexa-designer");
    return false;
  }
  path_ = path;
  modified_ = false;
  update_title();
  return true;
}

void DesignerWindow::open_dialog() {
  const QString path = QFileDialog::getOpenFileName(this, "Open form", QFileInfo(path_).absolutePath(),
                                                    "Form files (*.json);;All files (*)");
  if (!path.isEmpty()) open_form(path);
}

void DesignerWindow::save_as_dialog() {
  QFileDialog dialog(this, "Save form as", path_, "Form files (*.json);;All files (*)");
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setDefaultSuffix("json");
  if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) save_as(dialog.selectedFiles().front());
}

void DesignerWindow::mark_modified() {
  modified_ = true;
  update_title();
}

void DesignerWindow::update_title() {
  const QString name = path_.isEmpty() ? QString("Untitled") : QFileInfo(path_).fileName();
  setWindowTitle(name + (modified_ ? " *" : "") + (running_ ? " [run]" : "") + " - vexa-designer");
}

bool DesignerWindow::may_discard() {
  if (!modified_) return true;
  QMessageBox box(QMessageBox::NoIcon, "vexa-designer", "The form has changed. Save the changes?",
                  QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, this);
  box.setObjectName("SaveChanges");
  switch (box.exec()) {
    case QMessageBox::Save: return save();
    case QMessageBox::Discard: return true;
    default: return false;
  }
}

void DesignerWindow::closeEvent(QCloseEvent* event) {
  // Asked first: a Cancel keeps the window and whatever runs in it.
  if (may_discard()) {
    stop();
    event->accept();
  } else {
    event->ignore();
  }
}

// ---------------------------------------------------------------- design

pages::FormItem* DesignerWindow::item_at(const QPoint& p) {
  auto& items = design_->items();
  for (auto it = items.rbegin(); it != items.rend(); ++it) {
    if ((*it)->widget->geometry().contains(p)) return it->get();
  }
  return nullptr;
}

void DesignerWindow::select(const std::vector<std::string>& names) {
  selection_.clear();
  for (const std::string& n : names) {
    if (design_->item(n)) selection_.push_back(n);
  }
  update_selection_frames();
  refresh_properties();
}

void DesignerWindow::update_selection_frames() {
  for (QWidget* f : selection_frames_) delete f;
  selection_frames_.clear();
  if (!design_) return;
  for (const std::string& n : selection_) {
    pages::FormItem* item = design_->item(n);
    if (!item) continue;
    auto* frame = new QFrame(design_);
    frame->setFrameStyle(QFrame::Box);
    frame->setStyleSheet(selection_frames_.empty() ? "border: 2px solid #1060d0;" : "border: 2px dashed #1060d0;");
    frame->setAttribute(Qt::WA_TransparentForMouseEvents, true);
    frame->setGeometry(item->widget->geometry().adjusted(-3, -3, 3, 3));
    frame->show();
    frame->raise();
    selection_frames_.push_back(frame);
  }
}

void DesignerWindow::add_control(const std::string& class_name) {
  if (running_) return;
  pages::FormItem& item = design_->add(class_name, QRect(free_place(class_name), QSize(0, 0)));
  make_inert(item.widget);
  const QRect& placed = item.twips;
  if (placed.bottom() + 1 > design_->to_form_size().height()) {
    design_->resize(design_->width(), pages::px(placed.bottom() + 1 + 120));
  }
  for (QWidget* f : selection_frames_) f->raise();
  select({item.name});
  mark_modified();
}

void DesignerWindow::delete_selection() {
  if (running_ || selection_.empty()) return;
  for (const std::string& n : selection_) design_->remove(n);
  select({});
  mark_modified();
}

QPoint DesignerWindow::free_place(const std::string& class_name) const {
  const QSize size = pages::RunningForm::default_size(class_name);
  const QSize form = design_->to_form_size();
  auto is_free = [&](const QRect& r) {
    for (const auto& item : design_->items()) {
      if (item->twips.intersects(r)) return false;
    }
    return true;
  };
  // The first place, row by row, where the new control covers no other and fits on the form.
  constexpr int kStep = 120;
  for (int top = kStep; top + size.height() <= form.height(); top += kStep) {
    for (int left = kStep; left + size.width() <= form.width(); left += kStep) {
      if (is_free(QRect(QPoint(left, top), size))) return {left, top};
    }
  }
  // A full form: below everything, and the form grows to show it (add_control).
  int bottom = 0;
  for (const auto& item : design_->items()) bottom = std::max(bottom, item->twips.bottom() + 1);
  return {kStep, bottom + kStep};
}

QPoint DesignerWindow::move_selection(const QPoint& wanted) {
  // The selection moves as one and stays on the form: the step is cut where a control would leave it.
  const QSize form = design_->to_form_size();
  int min_x = INT_MIN, max_x = INT_MAX, min_y = INT_MIN, max_y = INT_MAX;
  for (const std::string& n : selection_) {
    if (const pages::FormItem* item = design_->item(n)) {
      min_x = std::max(min_x, -item->twips.left());
      min_y = std::max(min_y, -item->twips.top());
      max_x = std::min(max_x, std::max(0, form.width() - item->twips.left() - item->twips.width()));
      max_y = std::min(max_y, std::max(0, form.height() - item->twips.top() - item->twips.height()));
    }
  }
  const QPoint by(std::clamp(wanted.x(), std::min(min_x, 0), std::max(max_x, 0)),
                  std::clamp(wanted.y(), std::min(min_y, 0), std::max(max_y, 0)));
  for (const std::string& n : selection_) {
    if (pages::FormItem* item = design_->item(n)) design_->move_item(*item, item->twips.topLeft() + by);
  }
  update_selection_frames();
  return by;
}

bool DesignerWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched != design_ || running_) return QMainWindow::eventFilter(watched, event);
  switch (event->type()) {
    case QEvent::MouseButtonPress: {
      auto* e = static_cast<QMouseEvent*>(event);
      design_->setFocus(Qt::MouseFocusReason);
      pages::FormItem* item = item_at(e->position().toPoint());
      if (!item) {
        select({});
        return true;
      }
      std::vector<std::string> names = selection_;
      const auto found = std::find(names.begin(), names.end(), item->name);
      if (e->modifiers() & Qt::ControlModifier) {
        if (found == names.end()) {
          names.push_back(item->name);
        } else {
          names.erase(found);
        }
      } else if (found == names.end()) {
        names = {item->name};
      }
      select(names);
      dragging_ = true;
      drag_start_ = e->position().toPoint();
      dragged_twips_ = {};
      return true;
    }
    case QEvent::MouseMove: {
      if (!dragging_) return true;
      auto* e = static_cast<QMouseEvent*>(event);
      // Whole pixels of 15 twips, so the stored places stay what the screen shows.
      const QPoint moved = e->position().toPoint() - drag_start_;
      const QPoint total(pages::twips_of_px(moved.x()), pages::twips_of_px(moved.y()));
      dragged_twips_ += move_selection(total - dragged_twips_);
      return true;
    }
    case QEvent::MouseButtonRelease:
      if (dragging_ && !dragged_twips_.isNull()) mark_modified();
      dragging_ = false;
      return true;
    case QEvent::MouseButtonDblClick:
      show_property_pages();
      return true;
    default: return QMainWindow::eventFilter(watched, event);
  }
}

std::unique_ptr<qt::PropertyFrame> DesignerWindow::make_property_frame() {
  std::vector<Dispatch*> controls;
  for (const std::string& n : selection_) {
    if (vexa* c = design_->control(n)) controls.push_back(c);
  }
  if (controls.empty()) return nullptr;
  std::vector<qt::PropertyPage*> pages;
  for (const char* name : vexa::kPropertyPages) {
    if (qt::PropertyPage* page = pages::create_property_page(name)) pages.push_back(page);
  }
  auto frame = std::make_unique<qt::PropertyFrame>(pages, controls, this);
  frame->setWindowTitle(QString::fromStdString(selection_.front()) + " Properties");
  return frame;
}

void DesignerWindow::show_property_pages() {
  if (running_) return;
  auto frame = make_property_frame();
  if (!frame) {
    message_box_service().show(kNoVexaSelected, "vexa-designer");
    return;
  }
  frame->exec();
  refresh_properties();
}

void DesignerWindow::refresh_properties() {
  filling_properties_ = true;
  properties_->setRowCount(0);
  pages::FormItem* item = selection_.empty() || !design_ ? nullptr : design_->item(selection_.front());
  auto add_row = [this](const QString& name, const QString& value, bool editable) {
    const int row = properties_->rowCount();
    properties_->insertRow(row);
    auto* key = new QTableWidgetItem(name);
    key->setFlags(Qt::ItemIsEnabled);
    auto* cell = new QTableWidgetItem(value);
    if (!editable) cell->setFlags(Qt::ItemIsEnabled);
    properties_->setItem(row, 0, key);
    properties_->setItem(row, 1, cell);
  };
  if (item && item->control) {
    // The browsable properties, in interface order, each through Invoke as a browser reads them.
    const TypeInfo& info = item->control->type_info();
    for (const std::string& name : info.browsable_properties()) {
      QString value;
      try {
        value = QString::fromStdString(to_bstr(item->control->get(name)));
      } catch (const AutomationError&) {
        value = "(no text)";
      }
      add_row(QString::fromStdString(name), value,
              info.find(info.dispid_of(name), InvokeKind::PropertyPut) != nullptr);
    }
  } else if (item) {
    const auto* button = qobject_cast<QPushButton*>(item->widget);
    const auto* label = qobject_cast<QLabel*>(item->widget);
    add_row("Caption", button ? button->text() : label ? label->text() : QString(), true);
  }
  filling_properties_ = false;
}

void DesignerWindow::edit_property(const std::string& name, const QString& text) {
  pages::FormItem* item = selection_.empty() ? nullptr : design_->item(selection_.front());
  if (!item) return;
  if (item->control) {
    try {
      // The control's own conversion decides; its notification marks the form changed.
      item->control->put(name, Variant(text.toStdString()));
    } catch (const AutomationError& e) {
      message_box_service().show(qt::error_text(e), name);
    }
  } else if (name == "Caption") {
    if (auto* b = qobject_cast<QPushButton*>(item->widget)) b->setText(text);
    if (auto* l = qobject_cast<QLabel*>(item->widget)) l->setText(text);
    mark_modified();
  }
  // Shows what the control holds now: the old value after a refusal.
  QMetaObject::invokeMethod(this, [this] { refresh_properties(); }, Qt::QueuedConnection);
}

// ---------------------------------------------------------------- run

void DesignerWindow::run() {
  if (running_) return;
  // The run works on copies made from what the design holds; the design is untouched by it.
  running_ = new pages::RunningForm(design_->to_form(), true);
  pages::attach_form_code(*running_);
  running_->setBackgroundRole(QPalette::Window);
  running_->setAutoFillBackground(true);
  static_cast<QScrollArea*>(stack_->widget(1))->setWidget(running_);
  stack_->setCurrentIndex(1);
  // The list shows the design's settings, which a run does not change.
  properties_->setEnabled(false);
  for (QAction* a : {action_new, action_open, action_add_vexa, action_add_button, action_add_label, action_delete,
                     action_properties, action_run}) {
    a->setEnabled(false);
  }
  action_stop->setEnabled(true);
  update_title();
}

void DesignerWindow::stop() {
  if (!running_) return;
  // Destroying the run's controls disconnects those that are connected.
  delete static_cast<QScrollArea*>(stack_->widget(1))->takeWidget();
  running_ = nullptr;
  stack_->setCurrentIndex(0);
  properties_->setEnabled(true);
  for (QAction* a : {action_new, action_open, action_add_vexa, action_add_button, action_add_label, action_delete,
                     action_properties, action_run}) {
    a->setEnabled(true);
  }
  action_stop->setEnabled(false);
  update_title();
}

}  // namespace vexa32::designer
