#pragma once
// One exception type for every automation failure: the classic run-time error number a script
// host would show, plus the HRESULT a COM caller would see.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace vexa32 {

using HRESULT = std::int32_t;

namespace hr {
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = static_cast<HRESULT>(0x80020003u);
inline constexpr HRESULT DISP_E_PARAMNOTFOUND = static_cast<HRESULT>(0x80020004u);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005u);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = static_cast<HRESULT>(0x80020006u);
inline constexpr HRESULT DISP_E_OVERFLOW = static_cast<HRESULT>(0x8002000Au);
inline constexpr HRESULT DISP_E_BADINDEX = static_cast<HRESULT>(0x8002000Bu);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = static_cast<HRESULT>(0x8002000Eu);
inline constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = static_cast<HRESULT>(0x8002000Fu);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
inline constexpr HRESULT RPC_S_SERVER_UNAVAILABLE = static_cast<HRESULT>(0x800706BAu);
inline constexpr HRESULT RPC_E_DISCONNECTED = static_cast<HRESULT>(0x80010108u);
// Errors raised by the script runtime itself carry FACILITY_CONTROL with the error number.
inline constexpr HRESULT CTL_E_INVALIDUSEOFNULL = static_cast<HRESULT>(0x800A005Eu);
inline constexpr HRESULT CTL_E_OBJECTNOTSET = static_cast<HRESULT>(0x800A005Bu);
inline constexpr HRESULT CTL_E_ILLEGALFUNCTIONCALL = static_cast<HRESULT>(0x800A0005u);
inline constexpr HRESULT CTL_E_FILENOTFOUND = static_cast<HRESULT>(0x800A0035u);
inline constexpr HRESULT CTL_E_FORMLOAD = static_cast<HRESULT>(0x800A793Du);  // 31037

// OPC Data Access error codes.
inline constexpr HRESULT OPC_E_INVALIDHANDLE = static_cast<HRESULT>(0xC0040001u);
inline constexpr HRESULT OPC_E_BADTYPE = static_cast<HRESULT>(0xC0040004u);
inline constexpr HRESULT OPC_E_PUBLIC = static_cast<HRESULT>(0xC0040005u);
inline constexpr HRESULT OPC_E_BADRIGHTS = static_cast<HRESULT>(0xC0040006u);
inline constexpr HRESULT OPC_E_UNKNOWNITEMID = static_cast<HRESULT>(0xC0040007u);
inline constexpr HRESULT OPC_E_INVALIDITEMID = static_cast<HRESULT>(0xC0040008u);
inline constexpr HRESULT OPC_E_INVALIDFILTER = static_cast<HRESULT>(0xC0040009u);
inline constexpr HRESULT OPC_E_UNKNOWNPATH = static_cast<HRESULT>(0xC004000Au);
inline constexpr HRESULT OPC_E_RANGE = static_cast<HRESULT>(0xC004000Bu);
inline constexpr HRESULT OPC_E_DUPLICATENAME = static_cast<HRESULT>(0xC004000Cu);
inline constexpr HRESULT OPC_S_UNSUPPORTEDRATE = static_cast<HRESULT>(0x0004000Du);
inline constexpr HRESULT OPC_E_NOTFOUND = static_cast<HRESULT>(0xC0040011u);
}  // namespace hr

// Run-time error numbers of the script runtime that this system raises.
namespace rt {
inline constexpr std::int32_t IllegalFunctionCall = 5;
inline constexpr std::int32_t Overflow = 6;
inline constexpr std::int32_t SubscriptOutOfRange = 9;
inline constexpr std::int32_t TypeMismatch = 13;
inline constexpr std::int32_t FileNotFound = 53;
inline constexpr std::int32_t ObjectNotSet = 91;
inline constexpr std::int32_t InvalidUseOfNull = 94;
inline constexpr std::int32_t ObjectDoesNotSupport = 438;
inline constexpr std::int32_t ArgumentNotOptional = 449;
inline constexpr std::int32_t WrongNumberOfArguments = 450;
inline constexpr std::int32_t FormLoadError = 31037;
}  // namespace rt

class AutomationError : public std::runtime_error {
 public:
  AutomationError(std::int32_t number, HRESULT hresult, const std::string& description);

  // The number a script host shows as Err.Number: the small run-time number for the runtime's
  // own errors, the HRESULT itself for everything a server or component raised.
  std::int32_t number() const noexcept { return number_; }
  HRESULT hresult() const noexcept { return hresult_; }
  const char* description() const noexcept { return what(); }

 private:
  std::int32_t number_;
  HRESULT hresult_;
};

// The catalogue: each helper builds the error with its number, HRESULT and usual text.
AutomationError overflow_error();
AutomationError type_mismatch_error();
AutomationError invalid_use_of_null_error();
AutomationError subscript_error();
AutomationError illegal_function_call_error(const std::string& detail = {});
AutomationError object_not_set_error();
AutomationError member_not_found_error(const std::string& member);
AutomationError argument_count_error(const std::string& member);
AutomationError argument_not_optional_error(const std::string& member);
// An error raised by a component with the given HRESULT: the run-time number is the one the
// runtime maps that HRESULT to (6 for DISP_E_OVERFLOW, ...) and otherwise the HRESULT itself.
AutomationError hresult_error(HRESULT hresult, const std::string& description = {});

// The text a runtime gives for a known HRESULT or run-time number; empty when unknown.
std::string describe_hresult(HRESULT hresult);

}  // namespace vexa32
