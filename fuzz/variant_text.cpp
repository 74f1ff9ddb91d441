// Text to every automation type: a conversion either gives a value of the target type or throws
// an AutomationError; it never crashes, and a converted number prints and reads back.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/automation/convert.h"
#include "platform/automation/date.h"

using namespace vexa32;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  const Variant v(text);
  for (VarType to :
       {VT_I1, VT_I2, VT_I4, VT_I8, VT_UI1, VT_UI2, VT_UI4, VT_UI8, VT_R4, VT_R8, VT_DATE, VT_BOOL, VT_BSTR}) {
    try {
      Variant out = change_type(v, to);
      if (out.vt() != to) std::abort();
      std::string back = to_bstr(out);
      if (to == VT_I4 && to_i4(Variant(back)) != out.i4()) std::abort();
    } catch (const AutomationError&) {
    }
  }
  if (auto d = parse_date(text)) {
    if (!(*d >= kMinDate && *d <= kMaxDate)) std::abort();
    if (!parse_date(format_date(*d))) std::abort();
  }
  return 0;
}
