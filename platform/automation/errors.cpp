#include "platform/automation/errors.h"

#include <cstdio>

namespace vexa32 {

AutomationError::AutomationError(std::int32_t number, HRESULT hresult, const std::string& description)
    : std::runtime_error(description), number_(number), hresult_(hresult) {}

namespace {

struct Known {
  HRESULT hresult;
  std::int32_t number;
  const char* text;
};

// The runtime's own mapping of dispatch errors to run-time numbers, with their usual texts.
constexpr Known kKnown[] = {
    {hr::DISP_E_OVERFLOW, rt::Overflow, "Overflow"},
    {hr::DISP_E_BADINDEX, rt::SubscriptOutOfRange, "Subscript out of range"},
    {hr::DISP_E_TYPEMISMATCH, rt::TypeMismatch, "Type mismatch"},
    {hr::CTL_E_INVALIDUSEOFNULL, rt::InvalidUseOfNull, "Invalid use of Null"},
    {hr::CTL_E_ILLEGALFUNCTIONCALL, rt::IllegalFunctionCall, "Invalid procedure call or argument"},
    {hr::CTL_E_OBJECTNOTSET, rt::ObjectNotSet, "Object variable or With block variable not set"},
    {hr::CTL_E_FILENOTFOUND, rt::FileNotFound, "File not found"},
    {hr::CTL_E_FORMLOAD, rt::FormLoadError, "Error loading from file"},
    {hr::DISP_E_MEMBERNOTFOUND, rt::ObjectDoesNotSupport, "Object doesn't support this property or method"},
    {hr::DISP_E_UNKNOWNNAME, rt::ObjectDoesNotSupport, "Object doesn't support this property or method"},
    {hr::DISP_E_BADPARAMCOUNT, rt::WrongNumberOfArguments, "Wrong number of arguments or invalid property assignment"},
    {hr::DISP_E_PARAMNOTOPTIONAL, rt::ArgumentNotOptional, "Argument not optional"},
    {hr::DISP_E_PARAMNOTFOUND, rt::ArgumentNotOptional, "Parameter not found"},
    {hr::E_FAIL, hr::E_FAIL, "Unspecified error"},
    {hr::E_INVALIDARG, rt::IllegalFunctionCall, "The parameter is incorrect"},
    {hr::REGDB_E_CLASSNOTREG, 429, "ActiveX component can't create object (class not registered)"},
    {hr::RPC_S_SERVER_UNAVAILABLE, 462, "The remote server machine does not exist or is unavailable"},
    {hr::RPC_E_DISCONNECTED, hr::RPC_E_DISCONNECTED, "The object invoked has disconnected from its clients"},
    {hr::OPC_E_INVALIDHANDLE, hr::OPC_E_INVALIDHANDLE, "The value of the handle is invalid"},
    {hr::OPC_E_BADTYPE, hr::OPC_E_BADTYPE,
     "The server cannot convert the data between the requested type and the canonical type"},
    {hr::OPC_E_PUBLIC, hr::OPC_E_PUBLIC, "The requested operation cannot be done on a public group"},
    {hr::OPC_E_BADRIGHTS, hr::OPC_E_BADRIGHTS, "The item's access rights do not allow the operation"},
    {hr::OPC_E_UNKNOWNITEMID, hr::OPC_E_UNKNOWNITEMID, "The item ID is not defined in the server address space"},
    {hr::OPC_E_INVALIDITEMID, hr::OPC_E_INVALIDITEMID, "The item ID does not conform to the server's syntax"},
    {hr::OPC_E_INVALIDFILTER, hr::OPC_E_INVALIDFILTER, "The filter string was not valid"},
    {hr::OPC_E_UNKNOWNPATH, hr::OPC_E_UNKNOWNPATH, "The item's access path is not known to the server"},
    {hr::OPC_E_RANGE, hr::OPC_E_RANGE, "The value was out of range"},
    {hr::OPC_E_DUPLICATENAME, hr::OPC_E_DUPLICATENAME, "Duplicate name not allowed"},
    {hr::OPC_E_NOTFOUND, hr::OPC_E_NOTFOUND, "The requested object was not found"},
};

const Known* find_known(HRESULT hresult) {
  for (const auto& k : kKnown) {
    if (k.hresult == hresult) return &k;
  }
  return nullptr;
}

AutomationError known(HRESULT hresult) {
  const Known* k = find_known(hresult);
  return AutomationError(k->number, k->hresult, k->text);
}

}  // namespace

AutomationError overflow_error() { return known(hr::DISP_E_OVERFLOW); }
AutomationError type_mismatch_error() { return known(hr::DISP_E_TYPEMISMATCH); }
AutomationError invalid_use_of_null_error() { return known(hr::CTL_E_INVALIDUSEOFNULL); }
AutomationError subscript_error() { return known(hr::DISP_E_BADINDEX); }
AutomationError object_not_set_error() { return known(hr::CTL_E_OBJECTNOTSET); }

AutomationError illegal_function_call_error(const std::string& detail) {
  AutomationError base = known(hr::CTL_E_ILLEGALFUNCTIONCALL);
  if (detail.empty()) return base;
  return AutomationError(base.number(), base.hresult(), std::string(base.what()) + ": " + detail);
}

AutomationError member_not_found_error(const std::string& member) {
  return AutomationError(rt::ObjectDoesNotSupport, hr::DISP_E_UNKNOWNNAME,
                         "Object doesn't support this property or method: " + member);
}

AutomationError argument_count_error(const std::string& member) {
  return AutomationError(rt::WrongNumberOfArguments, hr::DISP_E_BADPARAMCOUNT,
                         "Wrong number of arguments or invalid property assignment: " + member);
}

AutomationError argument_not_optional_error(const std::string& member) {
  return AutomationError(rt::ArgumentNotOptional, hr::DISP_E_PARAMNOTOPTIONAL, "Argument not optional: " + member);
}

AutomationError hresult_error(HRESULT hresult, const std::string& description) {
  const Known* k = find_known(hresult);
  std::int32_t number = k ? k->number : hresult;
  std::string text = description.empty() ? describe_hresult(hresult) : description;
  return AutomationError(number, hresult, text);
}

std::string describe_hresult(HRESULT hresult) {
  if (const Known* k = find_known(hresult)) return k->text;
  char buf[48];
  std::snprintf(buf, sizeof buf, "Automation error 0x%08X", static_cast<unsigned>(hresult));
  return buf;
}

}  // namespace vexa32
