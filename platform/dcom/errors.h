#pragma once
// How the DCOM layers fail: one exception with the HRESULT a Windows client would get (an RPC
// status carried as its HRESULT, 0x800706xx) and a text that names the host, port or call.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace vexa32::dcom {

namespace status {
inline constexpr std::uint32_t S_OK = 0;
inline constexpr std::uint32_t E_ACCESSDENIED = 0x80070005u;
inline constexpr std::uint32_t E_NOINTERFACE = 0x80004002u;
inline constexpr std::uint32_t E_FAIL = 0x80004005u;
inline constexpr std::uint32_t E_OUTOFMEMORY = 0x8007000Eu;
inline constexpr std::uint32_t REGDB_E_CLASSNOTREG = 0x80040154u;
inline constexpr std::uint32_t RPC_E_DISCONNECTED = 0x80010108u;
inline constexpr std::uint32_t RPC_E_INVALID_DATA = 0x8001010Fu;
inline constexpr std::uint32_t RPC_S_SERVER_UNAVAILABLE = 0x800706BAu;
inline constexpr std::uint32_t RPC_S_CALL_FAILED = 0x800706BEu;
inline constexpr std::uint32_t RPC_S_PROTOCOL_ERROR = 0x800706C0u;
inline constexpr std::uint32_t RPC_S_CALL_TIMEOUT = 0x800705B4u;  // ERROR_TIMEOUT as an HRESULT
inline constexpr std::uint32_t RPC_X_BAD_STUB_DATA = 0x800706F7u;
inline constexpr std::uint32_t SEC_E_MESSAGE_ALTERED = 0x8009030Fu;
inline constexpr std::uint32_t SEC_E_LOGON_DENIED = 0x8009030Cu;
inline constexpr std::uint32_t SEC_E_UNSUPPORTED_FUNCTION = 0x80090302u;
inline constexpr std::uint32_t SEC_E_SECPKG_NOT_FOUND = 0x80090305u;
inline constexpr std::uint32_t SEC_E_INVALID_TOKEN = 0x80090308u;
inline constexpr std::uint32_t E_INVALIDARG = 0x80070057u;
inline constexpr std::uint32_t E_UNEXPECTED = 0x8000FFFFu;
}  // namespace status

class DcomError : public std::runtime_error {
 public:
  DcomError(std::uint32_t hresult, const std::string& what) : std::runtime_error(what), hresult_(hresult) {}
  std::uint32_t hresult() const noexcept { return hresult_; }

 private:
  std::uint32_t hresult_;
};

// What the peer sent does not decode: a length or count beyond what is left, a pointer that
// breaks the rules, an unknown type. Nothing was allocated for it.
class NdrError : public DcomError {
 public:
  explicit NdrError(const std::string& what) : DcomError(status::RPC_X_BAD_STUB_DATA, "bad stub data: " + what) {}
};

}  // namespace vexa32::dcom
