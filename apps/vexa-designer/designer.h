#pragma once
// vexa-designer: a form container. Opens and saves form files, shows the form's controls at their
// places to select, add, delete and move, lists the selection's properties for editing, opens the
// property pages, and runs the form (the vexa controls connected, the example form's code live).

#include <QAction>
#include <QMainWindow>
#include <QStackedWidget>
#include <QTableWidget>
#include <QToolBar>
#include <memory>
#include <string>
#include <vector>

#include "pages/running_form.h"
#include "platform/qt/property_frame.h"

namespace vexa32::designer {

class DesignerWindow final : public QMainWindow {
 public:
  static constexpr const char* kNoVexaSelected =
      "Select a vexa control on the form to open its property pages: buttons and labels have none.";

  DesignerWindow();
  ~DesignerWindow() override;

  // ---- files
  void new_form();
  // False, with a message and the open form kept, when the file cannot be read or is no form.
  bool open_form(const QString& path);
  bool save();
  bool save_as(const QString& path);
  void open_dialog();
  void save_as_dialog();
  const QString& path() const noexcept { return path_; }
  bool modified() const noexcept { return modified_; }

  // ---- design
  pages::RunningForm* design_form() const noexcept { return design_; }
  void select(const std::vector<std::string>& names);
  const std::vector<std::string>& selection() const noexcept { return selection_; }
  void add_control(const std::string& class_name);
  void delete_selection();
  // Moves the selection, as far as the form lets it; returns the step taken, in twips.
  QPoint move_selection(const QPoint& by_twips);
  // The frame on the selected vexa controls, in selection order; nullptr when none is selected.
  std::unique_ptr<qt::PropertyFrame> make_property_frame();
  void show_property_pages();
  QTableWidget* property_list() const noexcept { return properties_; }
  // Puts a value typed into the property list; a refused value shows the error and keeps the old.
  void edit_property(const std::string& name, const QString& text);

  // ---- run
  void run();
  void stop();
  bool running() const noexcept { return running_ != nullptr; }
  pages::RunningForm* running_form() const noexcept { return running_; }

  QAction *action_new, *action_open, *action_save, *action_save_as, *action_add_vexa, *action_add_button,
      *action_add_label, *action_delete, *action_properties, *action_run, *action_stop;
  // Tools > Certificates…, where the UA client is built.
  QAction* action_certificates = nullptr;

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void set_form(const Form& form, const QString& path);
  void mark_modified();
  void update_title();
  void refresh_properties();
  void update_selection_frames();
  // Save, discard or stay: false when the developer keeps the form open.
  bool may_discard();
  pages::FormItem* item_at(const QPoint& form_pixel);
  // Where a new control of that class covers no other, in twips.
  QPoint free_place(const std::string& class_name) const;

  QString path_;
  bool modified_ = false;
  QStackedWidget* stack_;
  pages::RunningForm* design_ = nullptr;
  pages::RunningForm* running_ = nullptr;
  std::vector<std::string> selection_;
  std::vector<QWidget*> selection_frames_;
  QTableWidget* properties_;
  bool filling_properties_ = false;
  // Dragging the selection.
  bool dragging_ = false;
  QPoint drag_start_;
  QPoint dragged_twips_;
};

}  // namespace vexa32::designer
