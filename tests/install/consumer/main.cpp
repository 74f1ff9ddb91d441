#include <iostream>

#include "platform/automation/convert.h"
#include "platform/opcda/automation.h"

int main() {
  vexa32::Variant v = vexa32::change_type(vexa32::Variant("250"), vexa32::VT_I2);
  auto server = vexa32::opcda::create_opc_server();
  std::cout << v.debug_string() << " " << (server ? "server" : "none") << "\n";
}
