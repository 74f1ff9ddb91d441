// vexa-designer [FORM]: designs forms with vexa controls and runs them.

#include <QApplication>
#include <iostream>

#include "designer.h"
#include "platform/qt/qt_apartment.h"
#include "platform/qt/qt_services.h"
#ifdef VEXA32_WITH_DCOM
#include "platform/dcom/da/dcom_server.h"
#endif
#ifdef VEXA32_WITH_OPCUA
#include "pages/ua/ua_dialogs.h"
#include "platform/opcua/da/ua_server.h"
#endif

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("vexa-designer");
  vexa32::Apartment apartment;
  vexa32::qt::QtApartment loop(apartment);
  vexa32::qt::QtServices services;
#ifdef VEXA32_WITH_OPCUA
  // opc.tcp:// servers in the pages, the server list and the tag browser.
  vexa32::opcua::install_opcua(vexa32::opcda::ServerRegistry::instance());
  // An untrusted server or a login is asked in a window, wherever the designer connects.
  vexa32::pages::QtDecisions decisions;
#endif
#ifdef VEXA32_WITH_DCOM
  // OPC DA servers on other nodes, over DCOM, in the server list, the tag browser and the control.
  vexa32::dcom::da::install_dcom(vexa32::opcda::ServerRegistry::instance());
#endif
  // A failing event handler is contained by its source; the designer says so on standard error.
  vexa32::set_sink_failure_hook([](std::exception_ptr failure) {
    std::cerr << "vexa-designer: an event handler failed: " << vexa32::describe_failure(std::move(failure)) << "\n";
  });
  vexa32::designer::DesignerWindow window;
  const QStringList args = QApplication::arguments();
  if (args.size() > 2 || (args.size() == 2 && args[1].startsWith('-'))) {
    std::cerr << "usage: vexa-designer [FORM]\n";
    return 2;
  }
  if (args.size() == 2 && !window.open_form(args[1])) return 2;
  window.show();
  return QApplication::exec();
}
