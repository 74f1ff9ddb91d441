#pragma once
// The vexa widget's entry in Qt Designer's context menu of a form, "Property Pages…": the
// control's own pages on the widget, and what they applied handed to the form, so the .ui file
// saves it.

#include <QAction>
#include <QtDesigner/QDesignerTaskMenuExtension>
#include <QtDesigner/QExtensionFactory>

#include "widgets/vexa_widget.h"

namespace vexa32::widgets {

// "Property Pages…" on a vexa widget of a form.
class VexaTaskMenu final : public QObject, public QDesignerTaskMenuExtension {
  Q_OBJECT
  Q_INTERFACES(QDesignerTaskMenuExtension)

 public:
  VexaTaskMenu(VexaWidget* widget, QObject* parent);
  QAction* preferredEditAction() const override { return pages_; }
  QList<QAction*> taskActions() const override { return {pages_}; }

  // Opens the pages; every setting they changed goes to the form (or, outside a form, stays on
  // the widget). The settings changed, in the control's order.
  QStringList showPropertyPages();

 private:
  VexaWidget* widget_;
  QAction* pages_;
};

class VexaTaskMenuFactory final : public QExtensionFactory {
  Q_OBJECT
 public:
  explicit VexaTaskMenuFactory(QExtensionManager* parent = nullptr) : QExtensionFactory(parent) {}

 protected:
  QObject* createExtension(QObject* object, const QString& iid, QObject* parent) const override;
};

}  // namespace vexa32::widgets
