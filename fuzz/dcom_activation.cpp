// Whatever a server sends as its activation answer (the OBJREF of ppActProperties, or the whole
// answer stub), and whatever a client sends as its request: each decodes or is refused with a
// DcomError, and nothing else may happen.
#include <cstdint>
#include <string_view>

#include "platform/dcom/activation.h"
#include "platform/dcom/errors.h"

using namespace vexa32::dcom;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  try {
    parse_activation_reply(bytes);
  } catch (const DcomError&) {
  }
  try {
    parse_activation_request(bytes);
  } catch (const DcomError&) {
  }
  try {
    parse_remote_create_instance_reply(bytes);
  } catch (const DcomError&) {
  }
  return 0;
}
