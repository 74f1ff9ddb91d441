#pragma once
// Property pages and the frame that shows them: a dialog with a control's pages as tabs, in the
// order the control names them, and OK, Cancel and Apply.

#include <QDialog>
#include <QPushButton>
#include <QTabWidget>
#include <functional>
#include <string>
#include <vector>

#include "platform/automation/errors.h"
#include "platform/automation/typeinfo.h"

namespace vexa32::qt {

// A page: the frame calls Initialize once, SelectionChanged when it hands the page a selection,
// ApplyChanges on OK or Apply while the page is changed, and Terminate when the frame closes.
class PropertyPage : public QWidget {
 public:
  explicit PropertyPage(const QString& caption, QWidget* parent = nullptr);

  virtual void Initialize() {}
  virtual void SelectionChanged() {}
  virtual void ApplyChanges() {}
  virtual void Terminate() {}

  bool Changed() const noexcept { return changed_; }
  void setChanged(bool changed);
  // The selection in order; the pages use element 0.
  const std::vector<Dispatch*>& SelectedControls() const noexcept { return selection_; }
  // Element 0 of the selection; "object not set" (91) when nothing is selected.
  Dispatch& first_selected() const;
  void setSelectedControls(std::vector<Dispatch*> selection) { selection_ = std::move(selection); }
  QString caption() const { return caption_; }

  // Called whenever Changed changes (the frame enables Apply).
  std::function<void()> on_changed;
  // Called by a page that wrote to the control by itself (an import): the frame has the other
  // pages read the control again, so that what they apply later is what the control now holds.
  std::function<void(PropertyPage&)> on_control_written;
  void control_written() {
    if (on_control_written) on_control_written(*this);
  }

 private:
  QString caption_;
  bool changed_ = false;
  std::vector<Dispatch*> selection_;
};

// A failed put of a page, with the property's name, so the frame can say which one.
class PropertyError : public AutomationError {
 public:
  PropertyError(std::string property, const AutomationError& error);
  const std::string& property() const noexcept { return property_; }

 private:
  std::string property_;
};

// An automation error as a script host shows it: "Run-time error 'N':" and its text.
std::string error_text(const AutomationError& error);

// Reads and writes a property of a selected control by name; a failure carries the name.
Variant get_property(Dispatch& control, const std::string& name);
void put_property(Dispatch& control, const std::string& name, const Variant& value);

class PropertyFrame : public QDialog {
 public:
  // The frame owns the pages; it runs Initialize and then SelectionChanged on each.
  PropertyFrame(std::vector<PropertyPage*> pages, std::vector<Dispatch*> selection, QWidget* parent = nullptr);
  ~PropertyFrame() override;

  // Applies every changed page in order; false at the first failure, which is shown in a message
  // box: that page stays changed and no later page is applied.
  bool apply();
  void OK_Click();
  void Cancel_Click();
  void Apply_Click();

  const std::vector<PropertyPage*>& pages() const noexcept { return pages_; }
  QTabWidget* tabs() const noexcept { return tabs_; }
  QPushButton* apply_button() const noexcept { return apply_; }

  void done(int result) override;

 private:
  void update_apply();
  void read_selection(PropertyPage& page);
  void show_failure(const PropertyPage& page, const AutomationError& error, const char* during);

  std::vector<PropertyPage*> pages_;
  QTabWidget* tabs_;
  QPushButton* ok_;
  QPushButton* cancel_;
  QPushButton* apply_;
  bool terminated_ = false;
};

}  // namespace vexa32::qt
