#pragma once
// The answer to one call, taken fragment by fragment as the connection receives them: each
// fragment must be a response of the call, in order, protected as the connection is; its
// signature is checked (and its body unsealed at privacy) before a byte of the body is read, and
// the whole is bounded. No socket: the connection feeds it, and so can a fuzzer.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/dcom/ntlm.h"
#include "platform/dcom/rpc_pdu.h"

namespace vexa32::dcom::rpc {

inline constexpr std::size_t kSignatureSize = 16;  // an NTLM signature, the auth value of every PDU we check

// A PDU at packet integrity or privacy, built with a 16-byte auth value to be filled in: signed,
// and at privacy its stub (from `stub_at`, up to the trailer) sealed, in place.
void protect(std::string& pdu, NtlmContext& security, AuthLevel level, std::size_t stub_at);
// A received one: the stub unsealed in place at privacy, then the signature checked. The caller
// has checked that the PDU carries a trailer at the level and a 16-byte auth value.
void check(Pdu& pdu, NtlmContext& security, AuthLevel level, std::size_t stub_at);

class AnswerAssembler {
 public:
  AnswerAssembler(NtlmContext& security, AuthLevel level, std::uint32_t context_id, std::size_t max_answer)
      : security_(security), level_(level), context_id_(context_id), max_answer_(max_answer) {}

  // A response PDU of the call (its call id and type checked by the caller): nullopt until the
  // last fragment, then the whole stub. DcomError for a fragment out of order, unprotected,
  // altered or beyond the bound; the server's stream has then moved on in a way the connection
  // cannot follow, and it must close.
  std::optional<std::string> add(Pdu& pdu);

 private:
  NtlmContext& security_;
  AuthLevel level_;
  std::uint32_t context_id_;
  std::size_t max_answer_;
  std::string answer_;
  bool first_ = true;
};

}  // namespace vexa32::dcom::rpc
