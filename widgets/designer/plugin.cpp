// The Qt Designer plugin of the vexa widget: its entry in the widget box under "VEXA32", in
// design mode on the forms, with "Property Pages…" in the form's context menu.

#include <QPointer>
#include <QtDesigner/QDesignerFormEditorInterface>
#include <QtDesigner/QExtensionManager>
#include <QtUiPlugin/QDesignerCustomWidgetInterface>

#include "pages/pictures.h"
#include "widgets/designer/task_menu.h"

namespace vexa32::widgets {

class VexaDesignerPlugin final : public QObject, public QDesignerCustomWidgetInterface {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QDesignerCustomWidgetInterface")
  Q_INTERFACES(QDesignerCustomWidgetInterface)

 public:
  explicit VexaDesignerPlugin(QObject* parent = nullptr);

  QString name() const override;
  QString group() const override;
  QString toolTip() const override;
  QString whatsThis() const override;
  QString includeFile() const override;
  QIcon icon() const override;
  bool isContainer() const override { return false; }
  QWidget* createWidget(QWidget* parent) override;
  bool isInitialized() const override { return initialized_; }
  // Widgets made while Designer's core is there are on its forms, in design mode; those a
  // QUiLoader makes at run time are not.
  void initialize(QDesignerFormEditorInterface* core) override;
  QString domXml() const override;

 private:
  bool initialized_ = false;
  QPointer<QDesignerFormEditorInterface> core_;
};

VexaDesignerPlugin::VexaDesignerPlugin(QObject* parent) : QObject(parent) {}

QString VexaDesignerPlugin::name() const { return QStringLiteral("vexa32::widgets::VexaWidget"); }
QString VexaDesignerPlugin::group() const { return QStringLiteral("VEXA32"); }
QString VexaDesignerPlugin::toolTip() const { return QStringLiteral("VEXA32 OPC client: 60 item slots of one server"); }
QString VexaDesignerPlugin::whatsThis() const {
  return QStringLiteral(
      "Connects to an OPC server (a ProgID or an opc.tcp:// URL) and keeps the latest value, quality and time "
      "stamp of up to 60 items. Set the server and the items with Property Pages… in the context menu.");
}
QString VexaDesignerPlugin::includeFile() const { return QStringLiteral("widgets/vexa_widget.h"); }
QIcon VexaDesignerPlugin::icon() const { return QIcon(pages::vexa_logo(32)); }

QWidget* VexaDesignerPlugin::createWidget(QWidget* parent) {
  auto* widget = new VexaWidget(parent);
  widget->setDesignMode(!core_.isNull());
  return widget;
}

void VexaDesignerPlugin::initialize(QDesignerFormEditorInterface* core) {
  if (initialized_) return;
  initialized_ = true;
  core_ = core;
  QExtensionManager* manager = core ? core->extensionManager() : nullptr;
  if (manager) manager->registerExtensions(new VexaTaskMenuFactory(manager), Q_TYPEID(QDesignerTaskMenuExtension));
}

QString VexaDesignerPlugin::domXml() const {
  const QSize size = VexaWidget::defaultSize();
  return QStringLiteral(
             "<ui language=\"c++\" displayname=\"VEXA32\">\n"
             " <widget class=\"vexa32::widgets::VexaWidget\" name=\"vexa1\">\n"
             "  <property name=\"geometry\">\n"
             "   <rect><x>0</x><y>0</y><width>%1</width><height>%2</height></rect>\n"
             "  </property>\n"
             " </widget>\n"
             "</ui>\n")
      .arg(size.width())
      .arg(size.height());
}

}  // namespace vexa32::widgets

#include "plugin.moc"
