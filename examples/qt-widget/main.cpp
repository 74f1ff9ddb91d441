// A Qt application built from a Designer form (form.ui) that holds a VEXA32 control: it connects
// at start and shows the latest value of slot 0 after every data change.
//
//   vexa-widget-example [--seconds N] [--print]
// --seconds N quits after N seconds, with exit code 0 only when slot 0 changed at least twice;
// --print writes each new value of slot 0 to standard output.

#include <QApplication>
#include <QTimer>
#include <iostream>
#include <set>

#include "ui_form.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const QStringList args = QApplication::arguments();
  const qsizetype at = args.indexOf("--seconds");
  const double seconds = at >= 0 && at + 1 < args.size() ? args[at + 1].toDouble() : 0;
  const bool print = args.contains("--print");

  QWidget window;
  Ui::SineForm form;
  form.setupUi(&window);
  std::set<QString> seen;
  QObject::connect(form.vexa1, &vexa32::widgets::VexaWidget::datChange, &window, [&] {
    const QString text = form.vexa1->vl(0).toString();
    form.value->setText(form.vexa1->itm0() + " = " + text);
    const bool fresh = seen.insert(text).second;
    if (print && fresh) std::cout << text.toStdString() << std::endl;
  });
  QObject::connect(form.vexa1, &vexa32::widgets::VexaWidget::callFailed, &window,
                   [](const QString& call, const QString& message) {
                     std::cerr << call.toStdString() << " failed: " << message.toStdString() << "\n";
                   });
  window.show();
  if (!form.vexa1->cnnec()) return 3;
  if (seconds > 0) {
    QTimer::singleShot(static_cast<int>(seconds * 1000), &app, [&] { QApplication::exit(seen.size() >= 3 ? 0 : 1); });
  }
  return QApplication::exec();
}
