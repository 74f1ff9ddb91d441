#include "opc/error_report.h"

#include <cstdio>

#include "platform/container/services.h"

namespace vexa32 {

std::string signed_decimal(std::int64_t n) { return (n < 0 ? "" : " ") + std::to_string(n); }

std::string opc_error_text(const std::string& opc_function, std::int32_t error_code) {
  char hex[16];
  // The 32-bit two's complement in upper-case digits without leading zeros.
  std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(static_cast<std::uint32_t>(error_code)));
  return "The OPC function '" + opc_function + "' has returned an error of " + signed_decimal(error_code) +
         " or Hex 0x" + hex;
}

void DisplayOPC_COM_ErrorValue(const std::string& OPC_Function, std::int32_t ErrorCode) {
  message_box_service().show(opc_error_text(OPC_Function, ErrorCode), kOpcErrorTitle);
}

}  // namespace vexa32
