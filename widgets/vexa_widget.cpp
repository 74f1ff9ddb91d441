#include "widgets/vexa_widget.h"

#include <QCoreApplication>
#include <QPointer>
#include <QResizeEvent>
#include <QVBoxLayout>

#include "control/vexa.h"
#include "pages/about_box.h"
#include "pages/property_pages.h"
#include "pages/vexa_surface.h"
#include "platform/apartment/apartment.h"
#include "platform/container/property_bag.h"
#include "platform/container/services.h"
#include "platform/qt/design_metrics.h"
#include "platform/qt/property_frame.h"
#include "platform/qt/qt_apartment.h"
#include "platform/qt/qt_services.h"
#include "widgets/qt_values.h"
#ifdef VEXA32_WITH_OPCUA
#include "pages/ua/ua_dialogs.h"
#include "platform/opcua/da/ua_server.h"
#endif
#ifdef VEXA32_WITH_DCOM
#include "platform/dcom/da/dcom_server.h"
#include "platform/opcda/registry.h"
#endif

namespace vexa32::widgets {
namespace {

// What the control needs of its process, made once, on the thread of the first widget: an
// apartment run by the Qt loop unless the application runs one of its own, the Qt message box and
// file dialog unless others are installed, and opc.tcp:// servers. It goes with the application
// object, after the widgets.
class Host final : public QObject {
 public:
  explicit Host(QObject* parent) : QObject(parent) {
    if (!Apartment::current()) {
      apartment_ = std::make_unique<Apartment>();
      loop_ = std::make_unique<qt::QtApartment>(*apartment_);
    }
    if (dynamic_cast<StderrMessageBox*>(&message_box_service()))
      set_message_box_service(std::make_shared<qt::QtMessageBox>());
    if (dynamic_cast<CancellingFileDialog*>(&file_dialog_service()))
      set_file_dialog_service(std::make_shared<qt::QtFileDialog>());
#ifdef VEXA32_WITH_OPCUA
    // An application that set up the UA client itself keeps its own ways of asking.
    auto& registry = opcda::ServerRegistry::instance();
    if (!registry.handles_scheme("opc.tcp")) {
      opcua::install_opcua(registry);
      decisions_ = std::make_unique<pages::QtDecisions>();
    }
#endif
#ifdef VEXA32_WITH_DCOM
    if (!opcda::ServerRegistry::instance().handles_nodes()) dcom::da::install_dcom(opcda::ServerRegistry::instance());
#endif
  }
  ~Host() override {
#ifdef VEXA32_WITH_OPCUA
    decisions_.reset();
#endif
    loop_.reset();
    apartment_.reset();
  }

 private:
  std::unique_ptr<Apartment> apartment_;
  std::unique_ptr<qt::QtApartment> loop_;
#ifdef VEXA32_WITH_OPCUA
  std::unique_ptr<pages::QtDecisions> decisions_;
#endif
};

void ensure_host() {
  static QPointer<Host> host;
  if (host || !QCoreApplication::instance()) return;
  host = new Host(QCoreApplication::instance());
}

// The site of the widget's control: run mode unless the widget is in a designer; changes become
// the widget's signal.
class WidgetSite final : public ControlSite {
 public:
  explicit WidgetSite(VexaWidget& widget) : widget_(widget) {}
  void OnChanged(std::string_view name) override {
    emit widget_.settingChanged(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
  }
  bool UserMode() const override { return !widget_.designMode(); }
  void ShowAboutBox() override { pages::abt::show_shared(); }

 private:
  VexaWidget& widget_;
};

// Records the keys a control writes, in its order.
class KeyBag final : public PropertyBag {
 public:
  Variant ReadProperty(std::string_view, const Variant& def) override { return def; }
  void WriteProperty(std::string_view key, const Variant&, const Variant&) override {
    keys.push_back(QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size())));
  }
  QStringList keys;
};

}  // namespace

struct VexaWidget::Impl {
  explicit Impl(VexaWidget& w) : site(w) {}
  vexa control;
  WidgetSite site;
  pages::VexaSurface* surface = nullptr;
  Cookie cookie = 0;
};

VexaWidget::VexaWidget(QWidget* parent) : QWidget(parent) {
  ensure_host();
  impl_ = std::make_unique<Impl>(*this);
  impl_->control.SetClientSite(&impl_->site);
  impl_->control.InitProperties();
  setObjectName("vexa");
  qt::use_design_font(*this);
  impl_->surface = new pages::VexaSurface(impl_->control, this);
  resize(impl_->surface->size());
  impl_->cookie = impl_->control.events().advise([this](DISPID, const std::vector<Variant>&) { emit datChange(); });
}

VexaWidget::~VexaWidget() {
  impl_->control.events().unadvise(impl_->cookie);
  // Disconnects while the site and the apartment are still there.
  try {
    if (impl_->control.IsConnect) impl_->control.discnn();
  } catch (const AutomationError&) {
    // Nobody is left to tell; the control drops its connection on destruction anyway.
  }
}

vexa& VexaWidget::control() const noexcept { return impl_->control; }

void VexaWidget::setDesignMode(bool on) {
  design_mode_ = on;
  // In a designer the buttons and the logo only show themselves: clicks go to the designer.
  for (QWidget* w : {static_cast<QWidget*>(impl_->surface->Command1), static_cast<QWidget*>(impl_->surface->Command2),
                     static_cast<QWidget*>(impl_->surface->Image1), static_cast<QWidget*>(impl_->surface)})
    w->setAttribute(Qt::WA_TransparentForMouseEvents, on);
}

bool VexaWidget::putSetting(const QString& name, const QVariant& value) {
  try {
    qt::put_property(impl_->control, name.toStdString(), from_qvariant(value));
    return true;
  } catch (const AutomationError& e) {
    const QString message = QString::fromStdString(qt::error_text(e));
    qWarning("VexaWidget: %s refused: %s", qPrintable(name), qPrintable(message));
    emit propertyRefused(name, message);
    return false;
  }
}

QVariant VexaWidget::setting(const QString& name) const {
  try {
    return to_qvariant(qt::get_property(impl_->control, name.toStdString()));
  } catch (const AutomationError& e) {
    qWarning("VexaWidget: %s cannot be read: %s", qPrintable(name), e.what());
    return QVariant();
  }
}

bool VexaWidget::IsConnect() const { return impl_->control.IsConnect != VARIANT_FALSE; }

QString VexaWidget::itm(int slot) const { return setting(QStringLiteral("itm%1").arg(slot)).toString(); }
void VexaWidget::setItm(int slot, const QString& name) { putSetting(QStringLiteral("itm%1").arg(slot), name); }

QStringList VexaWidget::settingNames() {
  KeyBag bag;
  vexa control;
  control.WriteProperties(bag);
  return bag.keys;
}

namespace {

// A slot number as the control takes it; one that 16 bits cannot hold is out of range, not
// another slot.
std::int16_t slot_number(int slot) {
  return slot >= INT16_MIN && slot <= INT16_MAX ? static_cast<std::int16_t>(slot) : std::int16_t{-1};
}

// Runs a call of the control; a failure becomes callFailed and the fallback.
template <typename R, typename F>
R call_or(VexaWidget& w, const char* call, R fallback, F&& f) {
  try {
    return f();
  } catch (const AutomationError& e) {
    emit w.callFailed(QString::fromLatin1(call), QString::fromStdString(qt::error_text(e)));
    return fallback;
  }
}

}  // namespace

bool VexaWidget::cnnec() {
  if (design_mode_) return false;
  const bool was = IsConnect();
  const bool ok = call_or(*this, "cnnec", false, [&] { return impl_->control.cnnec() != VARIANT_FALSE; });
  if (IsConnect() != was) emit connectedChanged(IsConnect());
  return ok;
}

bool VexaWidget::discnn() {
  const bool was = IsConnect();
  const bool ok = call_or(*this, "discnn", false, [&] { return impl_->control.discnn() != VARIANT_FALSE; });
  if (IsConnect() != was) emit connectedChanged(IsConnect());
  return ok;
}

bool VexaWidget::opcWrt(int slot, const QVariant& value) {
  return call_or(*this, "opcWrt", false,
                 [&] { return impl_->control.opcWrt(slot_number(slot), from_qvariant(value)) != VARIANT_FALSE; });
}

QVariant VexaWidget::vl(int slot) const {
  auto& self = const_cast<VexaWidget&>(*this);
  return call_or(self, "vl", QVariant(), [&] { return to_qvariant(impl_->control.GetVl(slot_number(slot))); });
}

QVariant VexaWidget::quality(int slot) const {
  auto& self = const_cast<VexaWidget&>(*this);
  return call_or(self, "quality", QVariant(),
                 [&] { return to_qvariant(impl_->control.GetQuality(slot_number(slot))); });
}

QDateTime VexaWidget::timeStamp(int slot) const {
  auto& self = const_cast<VexaWidget&>(*this);
  return call_or(self, "timeStamp", QDateTime(), [&] {
    return to_qvariant(Variant::date(impl_->control.GetTimeStamp(slot_number(slot)))).toDateTime();
  });
}

bool VexaWidget::showPropertyPages() {
  std::vector<qt::PropertyPage*> pages;
  for (const char* name : vexa::kPropertyPages) {
    if (qt::PropertyPage* page = pages::create_property_page(name)) pages.push_back(page);
  }
  bool applied = false;
  const auto cookie = connect(this, &VexaWidget::settingChanged, this, [&applied] { applied = true; });
  qt::PropertyFrame frame(pages, {&impl_->control}, window());
  frame.setWindowTitle(objectName() + " Properties");
  frame.exec();
  disconnect(cookie);
  return applied;
}

QSize VexaWidget::defaultSize() {
  return QSize(qt::twips_to_px(pages::VexaSurface::kWidth), qt::twips_to_px(pages::VexaSurface::kHeight));
}

void VexaWidget::resizeEvent(QResizeEvent* event) {
  impl_->surface->resize(event->size());
  QWidget::resizeEvent(event);
}

}  // namespace vexa32::widgets
