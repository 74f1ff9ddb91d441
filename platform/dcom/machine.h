#pragma once
// What the machine gives the DCOM layer: the time as Windows counts it, and random bytes from
// OpenSSL's generator for what a caller must not guess (IDs, challenges, keys).

#include <cstddef>
#include <cstdint>

namespace vexa32::dcom {

// FILETIME: 100 ns ticks since 1601-01-01 UTC.
std::uint64_t filetime_now();
// E_FAIL when OpenSSL has none to give.
void secure_random(void* out, std::size_t size);

}  // namespace vexa32::dcom
