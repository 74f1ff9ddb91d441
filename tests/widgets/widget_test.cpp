// The control as a Qt widget: its properties against the control's settings, refusals, two
// widgets side by side, the Designer plugin and its task menu, and a form built by uic and loaded
// by QUiLoader.

#include <gtest/gtest.h>

#include <QApplication>
#include <QBuffer>
#include <QEventLoop>
#include <QLineEdit>
#include <QMetaProperty>
#include <QPluginLoader>
#include <QSignalSpy>
#include <QTimer>
#include <QUiLoader>
#include <QtDesigner/QDesignerFormEditorInterface>
#include <QtDesigner/QFormBuilder>
#include <QtUiPlugin/QDesignerCustomWidgetInterface>

#include "control/vexa.h"
#include "platform/opcda/simulation.h"
#include "platform/qt/property_frame.h"
#include "ui_form.h"
#include "widgets/designer/task_menu.h"
#include "widgets/qt_values.h"
#include "widgets/vexa_widget.h"

namespace vexa32::testing {
namespace {

using widgets::VexaWidget;

void pump_until(const std::function<bool()>& done, int ms = 5000) {
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (done()) loop.quit();
  });
  poll.start(10);
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

// A sample value of a setting's Qt type that differs from its default.
QVariant sample_for(const QMetaProperty& p) {
  return p.metaType().id() == QMetaType::Int ? QVariant(7) : QVariant(QString("x-") + p.name());
}

TEST(Widget, ItsPropertiesAreTheControlsSettingsAndGoThroughTheControl) {
  const QStringList settings = VexaWidget::settingNames();
  ASSERT_EQ(settings.size(), 68);
  VexaWidget w;
  const QMetaObject& meta = *w.metaObject();
  QStringList own;
  for (int i = meta.propertyOffset(); i < meta.propertyCount(); ++i) own.push_back(meta.property(i).name());
  QStringList expected = settings;
  expected.push_back("IsConnect");
  own.sort();
  expected.sort();
  EXPECT_EQ(own, expected);
  QSignalSpy changed(&w, &VexaWidget::settingChanged);
  for (const QString& name : settings) {
    SCOPED_TRACE(name.toStdString());
    const QMetaProperty p = meta.property(meta.indexOfProperty(name.toLatin1()));
    EXPECT_TRUE(p.isWritable() && p.isStored() && p.isDesignable());
    const QVariant value = sample_for(p);
    ASSERT_TRUE(w.setProperty(name.toLatin1(), value));
    EXPECT_EQ(w.property(name.toLatin1()), value);
    // The getter reads the control, and the control said so through its site.
    ASSERT_FALSE(changed.isEmpty());
    EXPECT_EQ(changed.takeLast().at(0).toString(), name);
  }
  const QMetaProperty connected = meta.property(meta.indexOfProperty("IsConnect"));
  EXPECT_FALSE(connected.isWritable() || connected.isStored());
}

TEST(Widget, AutomationValuesAreQtValuesAndBack) {
  const auto utc = [](int y, int m, int d, int h, int min) {
    return QDateTime(QDate(y, m, d), QTime(h, min), Qt::UTC);
  };
  const struct {
    Variant automation;
    QVariant qt;
  } cases[] = {
      {Variant(), QVariant()},
      {Variant::null(), QVariant::fromValue(nullptr)},
      {Variant(std::int16_t{-7}), QVariant(-7)},
      {Variant(std::int32_t{70000}), QVariant(70000)},
      {Variant(std::uint32_t{4000000000u}), QVariant(4000000000u)},
      {Variant(static_cast<long long>(1) << 40), QVariant(qlonglong(1) << 40)},
      {Variant(2.5), QVariant(2.5)},
      {Variant(true), QVariant(true)},
      {Variant("Sine"), QVariant(QString("Sine"))},
      {Variant::date(0), QVariant(utc(1899, 12, 30, 0, 0))},
      // Before 1899 the fraction still counts forward from midnight: -1.25 is 29 December, 06:00.
      {Variant::date(-1.25), QVariant(utc(1899, 12, 29, 6, 0))},
      {Variant::date(46364.5), QVariant(utc(2026, 12, 8, 12, 0))},
      {make_array(VT_I4, {Variant(1), Variant(2)}), QVariant(QVariantList{1, 2})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.automation.debug_string());
    EXPECT_EQ(widgets::to_qvariant(c.automation), c.qt);
    const Variant back = widgets::from_qvariant(c.qt);
    if (c.automation.is_array()) {
      EXPECT_EQ(back.array().size(), c.automation.array().size());
    } else {
      EXPECT_EQ(widgets::to_qvariant(back), c.qt);
    }
  }
  EXPECT_THROW(widgets::from_qvariant(QVariant::fromValue(QSize(1, 2))), AutomationError);
}

TEST(Widget, ARefusedValueKeepsTheSettingAndSaysWhy) {
  VexaWidget w;
  w.setUpdateRate(500);
  QSignalSpy refused(&w, &VexaWidget::propertyRefused);
  const struct {
    const char* name;
    QVariant value;
    const char* error;
  } cases[] = {
      {"UpdateRate", 70000, "Run-time error '6'"},
      {"UpdateRate", QString("fast"), "Run-time error '13'"},
      {"UpdateRate", QVariant::fromValue(QSize(1, 2)), "Run-time error '13'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.toString().toStdString());
    EXPECT_FALSE(w.putSetting(c.name, c.value));
    EXPECT_EQ(w.UpdateRate(), 500);
    ASSERT_EQ(refused.size(), 1);
    const QList<QVariant> args = refused.takeFirst();
    EXPECT_EQ(args.at(0).toString(), c.name);
    EXPECT_TRUE(args.at(1).toString().startsWith(c.error)) << args.at(1).toString().toStdString();
  }
  // A slot out of range, also one that 16 bits would wrap into range: its value is Null, and its
  // time stamp fails as a call.
  QSignalSpy failed(&w, &VexaWidget::callFailed);
  for (int slot : {60, -1, 65536 + 5}) {
    EXPECT_TRUE(w.vl(slot).isNull() && w.vl(slot).isValid());
    EXPECT_FALSE(w.timeStamp(slot).isValid());
  }
  EXPECT_EQ(failed.size(), 3);
}

TEST(Widget, TwoWidgetsInOneWindowHaveTheirOwnConnections) {
  QWidget window;
  auto* sine = new VexaWidget(&window);
  auto* ramp = new VexaWidget(&window);
  for (auto [w, item] : {std::pair{sine, "SimulatePLC.Sine"}, std::pair{ramp, "SimulatePLC.Ramp"}}) {
    w->setSvrname(opcda::kSimulationProgId);
    w->setUpdateRate(50);
    w->setItm0(item);
  }
  QSignalSpy sine_changes(sine, &VexaWidget::datChange), ramp_changes(ramp, &VexaWidget::datChange);
  QSignalSpy connected(sine, &VexaWidget::connectedChanged);
  ASSERT_TRUE(sine->cnnec());
  ASSERT_TRUE(ramp->cnnec());
  EXPECT_EQ(connected.size(), 1);
  pump_until([&] { return sine_changes.size() >= 2 && ramp_changes.size() >= 2; });
  ASSERT_GE(ramp_changes.size(), 2);
  EXPECT_EQ(sine->vl(0).metaType().id(), QMetaType::Double);
  EXPECT_EQ(sine->quality(0).toString(), "Good");
  EXPECT_EQ(sine->timeStamp(0).timeSpec(), Qt::UTC);
  EXPECT_LT(std::abs(sine->timeStamp(0).secsTo(QDateTime::currentDateTimeUtc())), 60);
  // One disconnects; the other goes on.
  ASSERT_TRUE(sine->discnn());
  EXPECT_FALSE(sine->IsConnect());
  const auto sine_count = sine_changes.size(), ramp_count = ramp_changes.size();
  pump_until([&] { return ramp_changes.size() >= ramp_count + 2; });
  EXPECT_GE(ramp_changes.size(), ramp_count + 2);
  EXPECT_EQ(sine_changes.size(), sine_count);
  EXPECT_TRUE(ramp->IsConnect());
}

QDesignerCustomWidgetInterface* plugin() {
  static QPluginLoader loader(VEXA32_DESIGNER_PLUGIN);
  return qobject_cast<QDesignerCustomWidgetInterface*>(loader.instance());
}

TEST(DesignerPlugin, LoadsAndGivesTheWidgetBoxEntryAndADesignModeWidget) {
  QDesignerCustomWidgetInterface* p = plugin();
  ASSERT_NE(p, nullptr) << "cannot load " << VEXA32_DESIGNER_PLUGIN;
  EXPECT_EQ(p->name(), "vexa32::widgets::VexaWidget");
  EXPECT_EQ(p->group(), "VEXA32");
  EXPECT_EQ(p->includeFile(), "widgets/vexa_widget.h");
  EXPECT_FALSE(p->icon().isNull());
  EXPECT_FALSE(p->isContainer());
  EXPECT_TRUE(p->domXml().contains("<widget class=\"vexa32::widgets::VexaWidget\" name=\"vexa1\">"));
  // Designer's core is there while its forms are: the widget is in design mode.
  QDesignerFormEditorInterface core;
  p->initialize(&core);
  EXPECT_TRUE(p->isInitialized());
  QWidget form;
  std::unique_ptr<QWidget> created(p->createWidget(&form));
  auto* w = qobject_cast<VexaWidget*>(created.get());
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(w->designMode());
  // In a designer the control connects to nothing.
  w->setSvrname(opcda::kSimulationProgId);
  EXPECT_FALSE(w->cnnec());
  EXPECT_FALSE(w->IsConnect());
}

// The settings of every VexaWidget of a form, by widget name.
std::map<QString, QVariantMap> settings_of(QWidget& form) {
  std::map<QString, QVariantMap> out;
  for (VexaWidget* w : form.findChildren<VexaWidget*>()) {
    for (const QString& name : VexaWidget::settingNames()) out[w->objectName()][name] = w->setting(name);
  }
  return out;
}

TEST(DesignerPlugin, AFormBuiltByUicAndOneLoadedByQUiLoaderHoldTheSameSettings) {
  QWidget compiled;
  Ui::SineForm ui;
  ui.setupUi(&compiled);
  EXPECT_EQ(ui.vexa1->itm0(), "SimulatePLC.Sine");
  EXPECT_EQ(ui.vexa1->UpdateRate(), 250);
  QUiLoader loader;
  loader.addPluginPath(QFileInfo(VEXA32_DESIGNER_PLUGIN).absolutePath());
  EXPECT_TRUE(loader.availableWidgets().contains("vexa32::widgets::VexaWidget"));
  QFile file(VEXA32_SOURCE_DIR "/examples/qt-widget/form.ui");
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  std::unique_ptr<QWidget> loaded(loader.load(&file));
  ASSERT_NE(loaded, nullptr) << loader.errorString().toStdString();
  ASSERT_NE(loaded->findChild<VexaWidget*>("vexa1"), nullptr);
  EXPECT_FALSE(loaded->findChild<VexaWidget*>("vexa1")->designMode());
  EXPECT_EQ(settings_of(*loaded), settings_of(compiled));
}

TEST(DesignerPlugin, WhatThePropertyPagesApplyIsWhatTheUiFileSaves) {
  QWidget form;
  form.setObjectName("Form");
  auto* w = new VexaWidget(&form);
  w->setObjectName("vexa1");
  w->setDesignMode(true);
  widgets::VexaTaskMenu menu(w, nullptr);
  ASSERT_EQ(menu.taskActions().size(), 1);
  EXPECT_EQ(menu.preferredEditAction()->text(), "Property Pages…");
  QTimer::singleShot(0, [] {
    auto* frame = dynamic_cast<qt::PropertyFrame*>(QApplication::activeModalWidget());
    ASSERT_NE(frame, nullptr);
    frame->findChild<QLineEdit*>("txtsvrname")->setText(opcda::kSimulationProgId);
    frame->findChild<QLineEdit*>("txtUpdateRate")->setText("250");
    frame->OK_Click();
  });
  EXPECT_EQ(menu.showPropertyPages(), (QStringList{"svrname", "UpdateRate"}));
  // Saved as a .ui file and loaded again through the plugin.
  QBuffer ui;
  ui.open(QIODevice::ReadWrite);
  QFormBuilder().save(&ui, &form);
  EXPECT_TRUE(ui.data().contains(">Vexa.Simulation.1<")) << ui.data().toStdString();
  ui.seek(0);
  QUiLoader loader;
  loader.addPluginPath(QFileInfo(VEXA32_DESIGNER_PLUGIN).absolutePath());
  std::unique_ptr<QWidget> again(loader.load(&ui));
  ASSERT_NE(again, nullptr) << loader.errorString().toStdString();
  EXPECT_EQ(settings_of(*again), settings_of(form));
}

}  // namespace
}  // namespace vexa32::testing
