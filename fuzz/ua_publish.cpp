// A Publish answer as the server sends it (type NodeId, then the structure), with notification
// data of every kind: data changes and status changes are kept, events and unknown kinds read
// past. Refusals are DecodeErrors; nothing else may happen.
#include <cstdint>
#include <string_view>

#include "platform/opcua/subscription_services.h"
#include "platform/opcua/da/values.h"

using namespace vexa32::opcua;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view body(reinterpret_cast<const char*>(data), size);
  Limits limits;
  limits.max_string = 1u << 20;
  limits.max_array = 1u << 16;
  try {
    Reader r(body, limits);
    if (read_service_type(r).type != encoding_id::PublishResponse) return 0;
    PublishResponse response;
    decode(r, response);
    // What the apartment does with it: every sample in a requested type.
    for (const auto& change : response.data_changes) {
      Reader value(change.data_value, limits);
      DaSample sample = decode_da_sample(value);
      apply_requested_type(sample, vexa32::VT_BSTR);
    }
  } catch (const DecodeError&) {
  }
  return 0;
}
