// One service message body as the server sends it (type NodeId, then the structure), and the
// same bytes read as a Variant and as a DataValue. Refusals are DecodeErrors; nothing else may
// happen.
#include <cstdint>
#include <string_view>

#include "platform/opcua/services.h"

using namespace vexa32::opcua;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view body(reinterpret_cast<const char*>(data), size);
  Limits limits;
  limits.max_string = 1u << 20;
  limits.max_array = 1u << 16;
  try {
    decode_any_response(body, limits);
  } catch (const DecodeError&) {
  }
  try {
    Reader r(body, limits);
    decode_as<UaVariant>(r);
  } catch (const DecodeError&) {
  }
  try {
    Reader r(body, limits);
    decode_as<DataValue>(r);
  } catch (const DecodeError&) {
  }
  return 0;
}
