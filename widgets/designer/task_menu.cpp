#include "widgets/designer/task_menu.h"

#include <QtDesigner/QDesignerFormWindowCursorInterface>
#include <QtDesigner/QDesignerFormWindowInterface>
#include <QtDesigner/QExtensionManager>

namespace vexa32::widgets {

VexaTaskMenu::VexaTaskMenu(VexaWidget* widget, QObject* parent)
    : QObject(parent), widget_(widget), pages_(new QAction(QStringLiteral("Property Pages…"), this)) {
  pages_->setObjectName(QStringLiteral("vexaPropertyPages"));
  connect(pages_, &QAction::triggered, this, [this] { showPropertyPages(); });
}

QStringList VexaTaskMenu::showPropertyPages() {
  const QStringList names = VexaWidget::settingNames();
  QVariantList before;
  for (const QString& name : names) before.push_back(widget_->setting(name));
  widget_->showPropertyPages();
  QStringList changed;
  for (qsizetype i = 0; i < names.size(); ++i) {
    if (widget_->setting(names[i]) != before[i]) changed.push_back(names[i]);
  }
  // Through the form's cursor, so the form marks the settings as changed, saves them in the .ui
  // file and can undo them; the widget already holds them.
  if (QDesignerFormWindowInterface* form = QDesignerFormWindowInterface::findFormWindow(widget_)) {
    for (const QString& name : changed) form->cursor()->setWidgetProperty(widget_, name, widget_->setting(name));
  }
  return changed;
}

QObject* VexaTaskMenuFactory::createExtension(QObject* object, const QString& iid, QObject* parent) const {
  if (iid != Q_TYPEID(QDesignerTaskMenuExtension)) return nullptr;
  if (auto* widget = qobject_cast<VexaWidget*>(object)) return new VexaTaskMenu(widget, parent);
  return nullptr;
}

}  // namespace vexa32::widgets
