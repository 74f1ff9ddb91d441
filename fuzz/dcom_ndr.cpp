// The DCOM codecs on what a peer might send. The first byte picks the decoder (OBJREF,
// DUALSTRINGARRAY, VARIANT, SAFEARRAY, ORPCTHAT, ORPCTHIS, MInterfacePointer, BSTR); the rest is
// the stub. Refusals are NdrErrors; nothing else may happen. A VARIANT or SAFEARRAY that decodes
// must encode to bytes that decode to the same value again.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/dcom/errors.h"
#include "platform/dcom/oaut.h"
#include "platform/dcom/orpc.h"

using namespace vexa32;
using namespace vexa32::dcom;

namespace {

// Compared as bytes, so that NaNs compare equal to themselves.
void check_round_trip(const Variant& value, VarType array_element) {
  NdrWriter first;
  if (array_element == VT_EMPTY) {
    write_variant(first, value);
  } else {
    write_safearray(first, value.array());
  }
  NdrReader r(first.data());
  const Variant again = array_element == VT_EMPTY ? read_variant(r) : read_safearray(r, array_element);
  NdrWriter second;
  if (array_element == VT_EMPTY) {
    write_variant(second, again);
  } else {
    write_safearray(second, again.array());
  }
  if (first.data() != second.data() || r.remaining() != 0) __builtin_trap();
}

constexpr VarType kArrayTypes[] = {VT_I1,    VT_UI1, VT_I2,  VT_UI2, VT_BOOL, VT_I4,   VT_UI4,    VT_R4,
                                   VT_ERROR, VT_I8,  VT_UI8, VT_R8,  VT_DATE, VT_BSTR, VT_VARIANT};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t selector = data[0];
  std::string_view stub(reinterpret_cast<const char*>(data) + 1, size - 1);
  try {
    NdrReader r(stub);
    switch (selector % 8) {
      case 0: decode_objref(stub); break;
      case 1: read_dual_string_array(r); break;
      case 2: check_round_trip(read_variant(r), VT_EMPTY); break;
      case 3: {
        const VarType element = kArrayTypes[(selector / 8) % std::size(kArrayTypes)];
        check_round_trip(read_safearray(r, element), element);
        break;
      }
      case 4: read_orpcthat(r); break;
      case 5: read_orpcthis(r); break;
      case 6: read_interface_pointer(r); break;
      default: read_bstr(r); break;
    }
  } catch (const NdrError&) {
  }
  return 0;
}
