#pragma once
// The OPC error report every wrapper carries: one message box telling which OPC function failed
// and with which code, in decimal and hexadecimal. One routine; each wrapper's member calls it.

#include <cstdint>
#include <string>

namespace vexa32 {

// The signed decimal form of a number: a blank before zero or a positive number, "-" before a
// negative one (1 gives " 1"). Every key the wrappers build uses it.
std::string signed_decimal(std::int64_t n);

// "The OPC function 'F' has returned an error of  5 or Hex 0x5"
std::string opc_error_text(const std::string& opc_function, std::int32_t error_code);

inline constexpr const char* kOpcErrorTitle = "OPC Function Error";

// Shows the report through the container's message-box service (OK only, no icon).
void DisplayOPC_COM_ErrorValue(const std::string& OPC_Function, std::int32_t ErrorCode);

}  // namespace vexa32
