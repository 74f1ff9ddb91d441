#include "platform/dcom/machine.h"

#include <openssl/rand.h>

#include <chrono>

#include "platform/dcom/errors.h"

namespace vexa32::dcom {

std::uint64_t filetime_now() {
  constexpr std::uint64_t kFrom1601To1970 = 116444736000000000ull;
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  return kFrom1601To1970 +
         static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100);
}

void secure_random(void* out, std::size_t size) {
  if (size && RAND_bytes(static_cast<unsigned char*>(out), static_cast<int>(size)) != 1)
    throw DcomError(status::E_FAIL, "OpenSSL gives no random bytes");
}

}  // namespace vexa32::dcom
