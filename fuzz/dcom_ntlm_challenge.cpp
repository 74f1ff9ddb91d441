// Whatever a server sends as its NTLM CHALLENGE: the client answers it or refuses it with a
// DcomError, and nothing else may happen. An answered one is used to sign and seal a message.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/dcom/errors.h"
#include "platform/dcom/ntlm.h"

using namespace vexa32::dcom;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const NtlmCredentials credentials{"Domain", "User", "Password", "COMPUTER"};
  NtlmOptions options;
  options.client_challenge = std::string(8, '\xaa');
  options.exported_session_key = std::string(16, '\x55');
  options.timestamp = 0;
  options.privacy = size % 2 == 0;
  NtlmContext client(credentials, options);
  client.negotiate();
  try {
    const std::string authenticate = client.authenticate(std::string_view(reinterpret_cast<const char*>(data), size));
    if (client.flags() & ntlm_flag::kSeal) client.seal(authenticate);
    client.sign(authenticate);
  } catch (const DcomError&) {
  }
  return 0;
}
