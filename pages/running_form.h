#pragma once
// A form as its controls: vexa controls on their sites, buttons and labels at their places. The
// designer shows one in design mode and runs a copy in run mode; the example form is one.

#include <QLabel>
#include <QPushButton>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "control/vexa.h"
#include "platform/container/form_file.h"
#include "platform/container/site.h"

namespace vexa32::pages {

inline constexpr const char* kButtonClass = "CommandButton";
inline constexpr const char* kLabelClass = "Label";

// The site of a control on a form: run or design mode, changes and about-box requests passed on.
class FormSite final : public ControlSite {
 public:
  explicit FormSite(bool user_mode) : user_mode_(user_mode) {}
  void OnChanged(std::string_view property_name) override {
    if (on_changed) on_changed(std::string(property_name));
  }
  bool UserMode() const override { return user_mode_; }
  void ShowAboutBox() override;

  std::function<void(const std::string&)> on_changed;

 private:
  bool user_mode_;
};

// One control of a form and the widget that shows it.
struct FormItem {
  std::string class_name;
  std::string name;
  std::unique_ptr<vexa> control;  // the vexa controls only
  std::unique_ptr<FormSite> site;
  QWidget* widget = nullptr;
  QRect twips;                    // left, top, width, height
};

class RunningForm : public QWidget {
 public:
  // Builds the form's controls; vexa controls read their stored settings. user_mode: run mode.
  RunningForm(const Form& form, bool user_mode, QWidget* parent = nullptr);
  ~RunningForm() override;

  const std::string& form_name() const noexcept { return name_; }
  const std::string& code() const noexcept { return code_; }
  // The size a new control of that class takes, in twips.
  static QSize default_size(const std::string& class_name);
  // The form's client area in twips, as it will be saved.
  QSize to_form_size() const;
  std::vector<std::unique_ptr<FormItem>>& items() noexcept { return items_; }
  FormItem* item(const std::string& name);
  vexa* control(const std::string& name);
  QPushButton* button(const std::string& name);
  QLabel* label(const std::string& name);

  // A new control of that class at a place (twips), named after its class and a free number.
  FormItem& add(const std::string& class_name, const QRect& twips, std::string name = {});
  void remove(const std::string& name);
  void move_item(FormItem& item, const QPoint& top_left_twips);
  // The form as it stands, for saving.
  Form to_form() const;

  std::function<void(const std::string& control, const std::string& property)> on_changed;

 private:
  FormItem& build(const std::string& class_name, const std::string& name, MemoryPropertyBag* stored);

  std::string name_, caption_, code_;
  // The size as read, in twips: written back as read unless the form was resized since.
  QSize twips_;
  bool user_mode_;
  std::vector<std::unique_ptr<FormItem>> items_;
};

// The code behind a form, as its file names it: the example form's handlers for the code "example".
// Nothing for a form without code, whatever its name and the names of its controls.
void attach_form_code(RunningForm& form);

// Form1, the example form: its stored settings, the same as examples/Form1.json.
Form form1_settings();

}  // namespace vexa32::pages
