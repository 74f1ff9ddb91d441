#include "pages/running_form.h"

#include "pages/about_box.h"
#include "pages/twips_p.h"
#include "pages/vexa_surface.h"
#include "platform/automation/convert.h"
#include "platform/container/services.h"
#include "platform/qt/property_frame.h"

namespace vexa32::pages {
namespace {

int twips_of(const MemoryPropertyBag& bag, const char* key, int fallback) {
  const Variant* v = bag.find(key);
  if (!v) return fallback;
  try {
    return to_i4(*v);
  } catch (const AutomationError&) {
    return fallback;
  }
}

std::string text_of(const MemoryPropertyBag& bag, const char* key, const std::string& fallback) {
  const Variant* v = bag.find(key);
  if (!v) return fallback;
  try {
    return to_bstr(*v);
  } catch (const AutomationError&) {
    return fallback;
  }
}

}  // namespace

void FormSite::ShowAboutBox() { abt::show_shared(); }

RunningForm::RunningForm(const Form& form, bool user_mode, QWidget* parent)
    : QWidget(parent),
      name_(form.name),
      caption_(form.caption),
      code_(form.code),
      twips_(form.width > 0 ? form.width : 4680, form.height > 0 ? form.height : 3195),
      user_mode_(user_mode) {
  setObjectName(QString::fromStdString(form.name));
  setWindowTitle(QString::fromStdString(form.caption));
  qt::use_design_font(*this);
  resize(px(twips_.width()), px(twips_.height()));
  for (const FormControl& c : form.controls) {
    MemoryPropertyBag stored = c.properties;
    build(c.class_name, c.name, &stored);
  }
}

RunningForm::~RunningForm() {
  // Controls go before their widgets: a connected one disconnects first.
  for (auto& item : items_) item->control.reset();
}

FormItem& RunningForm::build(const std::string& class_name, const std::string& name, MemoryPropertyBag* stored) {
  auto item = std::make_unique<FormItem>();
  item->class_name = class_name;
  item->name = name;
  const bool is_vexa = class_name == vexa::kClassName;
  const QSize size = default_size(class_name);
  MemoryPropertyBag empty;
  const MemoryPropertyBag& bag = stored ? *stored : empty;
  item->twips = QRect(twips_of(bag, "left", 120), twips_of(bag, "top", 120), twips_of(bag, "width", size.width()),
                      twips_of(bag, "height", size.height()));
  if (is_vexa) {
    item->site = std::make_unique<FormSite>(user_mode_);
    item->control = std::make_unique<vexa>();
    item->control->SetClientSite(item->site.get());
    if (stored) {
      item->control->ReadProperties(*stored);
    } else {
      item->control->InitProperties();
    }
    FormItem* raw = item.get();
    item->site->on_changed = [this, raw](const std::string& property) {
      if (on_changed) on_changed(raw->name, property);
    };
    item->widget = new VexaSurface(*item->control, this);
  } else if (class_name == kButtonClass) {
    item->widget = new QPushButton(QString::fromStdString(text_of(bag, "caption", name)), this);
  } else {
    // Labels, and any class this container does not know, show their caption.
    auto* label = new QLabel(QString::fromStdString(text_of(bag, "caption", name)), this);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setWordWrap(true);
    item->widget = label;
  }
  item->widget->setObjectName(QString::fromStdString(name));
  item->widget->setGeometry(px(item->twips.x()), px(item->twips.y()), px(item->twips.width()),
                            px(item->twips.height()));
  item->widget->show();
  items_.push_back(std::move(item));
  return *items_.back();
}

QSize RunningForm::default_size(const std::string& class_name) {
  return class_name == vexa::kClassName ? QSize(VexaSurface::kWidth, VexaSurface::kHeight) : QSize(1335, 495);
}

QSize RunningForm::to_form_size() const {
  // Pixels hold fewer places than twips: a size that was not changed is written as it was read.
  return {width() == px(twips_.width()) ? twips_.width() : twips_of_px(width()),
          height() == px(twips_.height()) ? twips_.height() : twips_of_px(height())};
}

FormItem* RunningForm::item(const std::string& name) {
  for (auto& i : items_) {
    if (i->name == name) return i.get();
  }
  return nullptr;
}

vexa* RunningForm::control(const std::string& name) {
  FormItem* i = item(name);
  return i ? i->control.get() : nullptr;
}

QPushButton* RunningForm::button(const std::string& name) {
  FormItem* i = item(name);
  return i ? qobject_cast<QPushButton*>(i->widget) : nullptr;
}

QLabel* RunningForm::label(const std::string& name) {
  FormItem* i = item(name);
  return i ? qobject_cast<QLabel*>(i->widget) : nullptr;
}

FormItem& RunningForm::add(const std::string& class_name, const QRect& twips, std::string name) {
  if (name.empty()) {
    const std::string stem = class_name == vexa::kClassName ? "vexa" : class_name == kButtonClass ? "Command" : "Label";
    for (int n = 1;; ++n) {
      name = stem + std::to_string(n);
      if (!item(name)) break;
    }
  }
  MemoryPropertyBag bag;
  bag.set("left", Variant(twips.x()));
  bag.set("top", Variant(twips.y()));
  if (twips.width() > 0) bag.set("width", Variant(twips.width()));
  if (twips.height() > 0) bag.set("height", Variant(twips.height()));
  if (class_name != vexa::kClassName) bag.set("caption", Variant(name));
  // A newly placed control starts from its defaults.
  FormItem& made = build(class_name, name, class_name == vexa::kClassName ? nullptr : &bag);
  if (class_name == vexa::kClassName) {
    made.twips.moveTo(twips.topLeft());
    made.widget->move(px(twips.x()), px(twips.y()));
  }
  return made;
}

void RunningForm::remove(const std::string& name) {
  for (auto it = items_.begin(); it != items_.end(); ++it) {
    if ((*it)->name == name) {
      (*it)->control.reset();
      delete (*it)->widget;
      items_.erase(it);
      return;
    }
  }
}

void RunningForm::move_item(FormItem& item, const QPoint& top_left_twips) {
  item.twips.moveTo(top_left_twips);
  item.widget->move(px(top_left_twips.x()), px(top_left_twips.y()));
}

Form RunningForm::to_form() const {
  Form form;
  form.name = name_;
  form.caption = caption_;
  form.code = code_;
  const QSize size = to_form_size();
  form.width = size.width();
  form.height = size.height();
  for (const auto& item : items_) {
    FormControl& c = form.add(item->class_name, item->name);
    if (item->control) {
      item->control->WriteProperties(c.properties);
    } else if (auto* b = qobject_cast<QPushButton*>(item->widget)) {
      c.properties.set("caption", Variant(b->text().toStdString()));
    } else if (auto* l = qobject_cast<QLabel*>(item->widget)) {
      c.properties.set("caption", Variant(l->text().toStdString()));
    }
    // Where the control stands; a vexa keeps its own size, so only its place joins its settings.
    c.properties.set("left", Variant(item->twips.x()));
    c.properties.set("top", Variant(item->twips.y()));
    if (!item->control) {
      c.properties.set("width", Variant(item->twips.width()));
      c.properties.set("height", Variant(item->twips.height()));
    }
  }
  return form;
}

void attach_form_code(RunningForm& form) {
  if (form.code() != "example") return;
  vexa* vexa1 = form.control("vexa1");
  QPushButton* command1 = form.button("Command1");
  QPushButton* command2 = form.button("Command2");
  QLabel* label1 = form.label("Label1");
  if (!vexa1 || !command1 || !command2 || !label1) return;
  // The example form's handlers reach vexa1 by name, as a script would, and ignore the results
  // of cnnec and discnn; an error raised by either is shown rather than lost.
  auto report = [](const AutomationError& e) {
    message_box_service().show(qt::error_text(e), "Form1");
  };
  QObject::connect(command1, &QPushButton::clicked, &form, [vexa1, report] {
    try {
      vexa1->put("itm0", Variant("SimulatePLC.Sine"));
      vexa1->call("cnnec");
    } catch (const AutomationError& e) {
      report(e);
    }
  });
  QObject::connect(command2, &QPushButton::clicked, &form, [vexa1, report] {
    try {
      vexa1->call("discnn");
    } catch (const AutomationError& e) {
      report(e);
    }
  });
  vexa1->events().advise([vexa1, label1](DISPID, const std::vector<Variant>&) {
    try {
      label1->setText(QString::fromStdString(to_bstr(vexa1->get("vl0"))));
    } catch (const AutomationError&) {
      // A value with no text form (an array) leaves the caption as it was.
    }
  });
}

Form form1_settings() {
  Form form;
  form.name = "Form1";
  form.caption = "Form1";
  form.width = 4680;
  form.height = 3195;
  form.code = "example";
  FormControl& vexa1 = form.add(vexa::kClassName, "vexa1");
  vexa1.properties.set("svrname", Variant("KEPware.KEPServerEx.V4"));
  vexa1.properties.set("updaterate", Variant(std::int16_t{100}));
  vexa1.properties.set("itm0", Variant("test1.cpu.SignalTags.Signal_0001B"));
  struct Place {
    const char* cls;
    const char* name;
    int left, top, width, height;
  };
  for (const Place& p : {Place{kButtonClass, "Command1", 3000, 240, 1335, 495},
                         Place{kButtonClass, "Command2", 3000, 840, 1335, 375},
                         Place{kLabelClass, "Label1", 120, 1680, 4215, 735}}) {
    FormControl& c = form.add(p.cls, p.name);
    c.properties.set("caption", Variant(p.name));
    c.properties.set("left", Variant(p.left));
    c.properties.set("top", Variant(p.top));
    c.properties.set("width", Variant(p.width));
    c.properties.set("height", Variant(p.height));
  }
  return form;
}

}  // namespace vexa32::pages
