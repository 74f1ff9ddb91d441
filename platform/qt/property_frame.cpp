#include "platform/qt/property_frame.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "platform/container/services.h"
#include "platform/qt/design_metrics.h"

namespace vexa32::qt {

PropertyPage::PropertyPage(const QString& caption, QWidget* parent) : QWidget(parent), caption_(caption) {
  setObjectName(caption);
  use_design_font(*this);
}

void PropertyPage::setChanged(bool changed) {
  changed_ = changed;
  if (on_changed) on_changed();
}

Dispatch& PropertyPage::first_selected() const {
  if (selection_.empty() || !selection_.front()) throw object_not_set_error();
  return *selection_.front();
}

PropertyError::PropertyError(std::string property, const AutomationError& error)
    : AutomationError(error.number(), error.hresult(), error.what()), property_(std::move(property)) {}

std::string error_text(const AutomationError& error) {
  return "Run-time error '" + std::to_string(error.number()) + "':\n\n" + error.what();
}

Variant get_property(Dispatch& control, const std::string& name) {
  try {
    return control.get(name);
  } catch (const AutomationError& e) {
    throw PropertyError(name, e);
  }
}

void put_property(Dispatch& control, const std::string& name, const Variant& value) {
  try {
    control.put(name, value);
  } catch (const AutomationError& e) {
    throw PropertyError(name, e);
  }
}

PropertyFrame::PropertyFrame(std::vector<PropertyPage*> pages, std::vector<Dispatch*> selection, QWidget* parent)
    : QDialog(parent), pages_(std::move(pages)) {
  setObjectName("PropertyFrame");
  setWindowTitle("Property Pages");
  use_design_font(*this);
  tabs_ = new QTabWidget(this);
  tabs_->setObjectName("Pages");
  ok_ = new QPushButton("OK", this);
  cancel_ = new QPushButton("Cancel", this);
  apply_ = new QPushButton("&Apply", this);
  ok_->setObjectName("OK");
  cancel_->setObjectName("Cancel");
  apply_->setObjectName("Apply");
  ok_->setDefault(true);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok_);
  buttons->addWidget(cancel_);
  buttons->addWidget(apply_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs_);
  layout->addLayout(buttons);
  connect(ok_, &QPushButton::clicked, this, [this] { OK_Click(); });
  connect(cancel_, &QPushButton::clicked, this, [this] { Cancel_Click(); });
  connect(apply_, &QPushButton::clicked, this, [this] { Apply_Click(); });

  for (PropertyPage* page : pages_) {
    tabs_->addTab(page, page->caption());
    page->on_changed = [this] { update_apply(); };
    page->on_control_written = [this](PropertyPage& writer) {
      for (PropertyPage* other : pages_) {
        if (other != &writer) read_selection(*other);
      }
    };
    page->Initialize();
  }
  for (PropertyPage* page : pages_) {
    page->setSelectedControls(selection);
    read_selection(*page);
  }
  update_apply();
}

void PropertyFrame::read_selection(PropertyPage& page) {
  try {
    page.SelectionChanged();
  } catch (const AutomationError& e) {
    show_failure(page, e, "reading");
  }
}

PropertyFrame::~PropertyFrame() {
  // A frame destroyed without being closed still lets its pages clean up.
  if (!terminated_) {
    terminated_ = true;
    for (PropertyPage* page : pages_) page->Terminate();
  }
  for (PropertyPage* page : pages_) {
    page->on_changed = nullptr;
    page->on_control_written = nullptr;
  }
}

void PropertyFrame::update_apply() {
  bool any = false;
  for (PropertyPage* page : pages_) any = any || page->Changed();
  apply_->setEnabled(any);
}

void PropertyFrame::show_failure(const PropertyPage& page, const AutomationError& error, const char* during) {
  std::string text = error_text(error);
  if (const auto* p = dynamic_cast<const PropertyError*>(&error)) {
    text += "\n\nwhile " + std::string(during) + " the property \"" + p->property() + "\"";
  }
  message_box_service().show(text, page.caption().toStdString());
}

bool PropertyFrame::apply() {
  for (PropertyPage* page : pages_) {
    if (!page->Changed()) continue;
    try {
      page->ApplyChanges();
    } catch (const AutomationError& e) {
      tabs_->setCurrentWidget(page);
      show_failure(*page, e, "writing");
      return false;
    }
    page->setChanged(false);
  }
  return true;
}

void PropertyFrame::OK_Click() {
  if (apply()) accept();
}

void PropertyFrame::Cancel_Click() { reject(); }

void PropertyFrame::Apply_Click() { apply(); }

void PropertyFrame::done(int result) {
  if (!terminated_) {
    terminated_ = true;
    for (PropertyPage* page : pages_) page->Terminate();
  }
  QDialog::done(result);
}

}  // namespace vexa32::qt
