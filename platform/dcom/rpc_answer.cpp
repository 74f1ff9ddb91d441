#include "platform/dcom/rpc_answer.h"

#include "platform/dcom/errors.h"

namespace vexa32::dcom::rpc {

void protect(std::string& pdu, NtlmContext& security, AuthLevel level, std::size_t stub_at) {
  const std::size_t auth_at = pdu.size() - kSignatureSize, sealed_to = auth_at - kTrailerSize;
  std::string sealed;
  if (level == AuthLevel::Privacy) sealed = security.seal(std::string_view(pdu).substr(stub_at, sealed_to - stub_at));
  const std::string signature = security.sign(std::string_view(pdu).substr(0, auth_at));
  if (level == AuthLevel::Privacy) pdu.replace(stub_at, sealed.size(), sealed);
  pdu.replace(auth_at, kSignatureSize, signature);
}

void check(Pdu& pdu, NtlmContext& security, AuthLevel level, std::size_t stub_at) {
  if (level == AuthLevel::Privacy) {
    const std::size_t sealed_to = pdu.auth_offset - kTrailerSize;
    const std::string plain = security.unseal(std::string_view(pdu.bytes).substr(stub_at, sealed_to - stub_at));
    pdu.bytes.replace(stub_at, plain.size(), plain);
  }
  security.verify(std::string_view(pdu.bytes).substr(0, pdu.auth_offset), pdu.auth_value());
}

std::optional<std::string> AnswerAssembler::add(Pdu& pdu) {
  const Header& h = pdu.header;
  if (first_ != static_cast<bool>(h.flags & kFirstFrag))
    throw DcomError(status::RPC_S_PROTOCOL_ERROR, "the fragments of the answer are out of order");
  if (!pdu.trailer || pdu.trailer->level != level_ || pdu.trailer->context_id != context_id_ ||
      h.auth_length != kSignatureSize || pdu.body_size < kResponsePrefix)
    throw DcomError(status::SEC_E_MESSAGE_ALTERED, "the answer is not protected as the connection is");
  try {
    check(pdu, security_, level_, kHeaderSize + kResponsePrefix);
  } catch (const DcomError& e) {
    throw DcomError(e.hresult(), std::string("the answer fails its check: ") + e.what());
  }
  const std::string_view part = pdu.body().substr(kResponsePrefix);
  if (answer_.size() + part.size() > max_answer_)
    throw DcomError(status::RPC_S_PROTOCOL_ERROR,
                    "the answer is larger than " + std::to_string(max_answer_) + " bytes");
  answer_.append(part);
  first_ = false;
  if (!(h.flags & kLastFrag)) return std::nullopt;
  return std::move(answer_);
}

}  // namespace vexa32::dcom::rpc
