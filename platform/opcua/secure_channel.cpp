#include "platform/opcua/secure_channel.h"

namespace vexa32::opcua {
namespace {

constexpr std::size_t kSymmetricPrefix = 16;  // message header, channel id, token id
constexpr std::size_t kSequenceHeader = 8;

[[noreturn]] void refuse(const std::string& why) {
  throw TransportFault(status::BadSecurityChecksFailed,
                       "a chunk fails the security checks (BadSecurityChecksFailed): " + why);
}

void set_size(std::string& chunk) {
  const auto size = static_cast<std::uint32_t>(chunk.size());
  for (int i = 0; i < 4; ++i) chunk[4 + static_cast<std::size_t>(i)] = static_cast<char>((size >> (8 * i)) & 0xFF);
}

// The padding before a signature: its size byte, as many bytes of that value, and (for a key above
// 2048 bits) the size's high byte. Returns where the body ends; refuses padding that is not so.
std::size_t strip_padding(std::string_view plain, std::size_t end, bool extra) {
  if (end < kSequenceHeader + 1 + (extra ? 1 : 0)) refuse("no room for the padding");
  std::size_t size = 0;
  std::size_t pos = end;
  if (extra) size = static_cast<unsigned char>(plain[--pos]) << 8;
  const auto low = static_cast<unsigned char>(plain[--pos]);
  size |= low;
  if (pos < kSequenceHeader + size) refuse("the padding is longer than the chunk");
  for (std::size_t i = pos - size; i < pos; ++i) {
    if (static_cast<unsigned char>(plain[i]) != low) refuse("the padding is not what it says");
  }
  return pos - size;
}

}  // namespace

SecureChannel::SecureChannel(ChannelSecurity security) : security_(std::move(security)) {
  if (!security_.secure()) return;
  auto chain = crypto::Certificate::chain_from_der(security_.server_certificate);
  if (chain.empty()) throw TransportFault(status::BadCertificateInvalid, "the endpoint names no server certificate");
  server_ = chain.front();
  server_key_ = server_.public_key();
  if (!security_.own_key || !security_.own_certificate)
    throw TransportFault(status::BadSecurityChecksFailed, "a secure channel needs a certificate and its key");
  for (int bits : {server_key_.bits(), security_.own_key.bits()}) {
    if (bits < security_.policy->min_key_bits || bits > security_.policy->max_key_bits)
      throw TransportFault(status::BadCertificateInvalid,
                           std::string(security_.policy->name) + " takes RSA keys of 2048 to 4096 bits, not " +
                               std::to_string(bits));
  }
}

std::string SecureChannel::new_client_nonce() {
  client_nonce_ = secure() ? crypto::random_bytes(security_.policy->nonce) : std::string();
  return client_nonce_;
}

void SecureChannel::install_token(std::uint32_t token_id, std::string_view server_nonce) {
  if (secure()) {
    if (server_nonce.size() != security_.policy->nonce)
      throw TransportFault(status::BadNonceInvalid, "the server's nonce is " + std::to_string(server_nonce.size()) +
                                                        " bytes, not " + std::to_string(security_.policy->nonce));
    Keys k;
    k.client = crypto::derive_keys(*security_.policy, server_nonce, client_nonce_);
    k.server = crypto::derive_keys(*security_.policy, client_nonce_, server_nonce);
    // The token before this one stays for what the server sent before it took the new one.
    for (auto it = keys_.begin(); it != keys_.end();) {
      it = it->first != token_id_ ? keys_.erase(it) : std::next(it);
    }
    keys_[token_id] = std::move(k);
  }
  token_id_ = token_id;
}

std::string SecureChannel::asymmetric_header() const {
  Writer w;
  w.string(security_.policy->uri);
  w.string(std::string_view(security_.own_certificate.der()));
  w.string(std::string_view(server_.thumbprint()));
  return w.take();
}

std::vector<std::string> SecureChannel::split(std::string_view type, std::uint32_t channel_id,
                                              std::uint32_t request_id, std::uint32_t& sequence,
                                              std::string_view body, const BufferLimits& send) {
  if (!secure()) return split_message(type, channel_id, token_id_, request_id, sequence, body, send);
  if (type == "OPN") return split_open(channel_id, request_id, sequence, body, send);
  const auto keys = keys_.find(token_id_);
  if (keys == keys_.end()) throw TransportFault(status::BadSecureChannelClosed, "the channel has no keys yet");
  const crypto::SymmetricKeys& k = keys->second.client;
  const bool encrypt = security_.mode == crypto::SecurityMode::SignAndEncrypt;
  const std::size_t signature = security_.policy->signing_key, block = security_.policy->block;
  std::size_t room = 0;
  if (send.send_buffer > kSymmetricPrefix + kSequenceHeader + signature + block) {
    room = encrypt ? (send.send_buffer - kSymmetricPrefix) / block * block - kSequenceHeader - signature - 1
                   : send.send_buffer - kSymmetricPrefix - kSequenceHeader - signature;
  }
  if (room == 0) throw TransportFault(status::BadTcpInternalError, "the send buffer is too small");
  const std::size_t chunks = chunk_count(body.size(), room, send);
  std::vector<std::string> out;
  out.reserve(chunks);
  for (std::size_t i = 0; i < chunks; ++i) {
    std::string_view part = body.substr(i * room, room);
    Writer w;
    begin_symmetric_chunk(w, type, i + 1 == chunks ? 'F' : 'C', channel_id, token_id_, sequence, request_id);
    w.raw(part);
    if (encrypt) {
      const std::size_t padding = (block - (kSequenceHeader + part.size() + 1 + signature) % block) % block;
      for (std::size_t p = 0; p <= padding; ++p) w.u8(static_cast<std::uint8_t>(padding));
    }
    w.patch_u32(4, static_cast<std::uint32_t>(w.size() + signature));
    w.raw(crypto::hmac_sha256(k.signing, w.data()));
    std::string chunk = w.take();
    if (encrypt) {
      std::string sealed = crypto::aes_cbc_encrypt(k.encrypting, k.iv, std::string_view(chunk).substr(kSymmetricPrefix));
      chunk.replace(kSymmetricPrefix, std::string::npos, sealed);
    }
    out.push_back(std::move(chunk));
  }
  return out;
}

std::vector<std::string> SecureChannel::split_open(std::uint32_t channel_id, std::uint32_t request_id,
                                                   std::uint32_t& sequence, std::string_view body,
                                                   const BufferLimits& send) {
  const crypto::RsaPadding padding_kind = security_.policy->asymmetric_encryption;
  const std::size_t cipher_block = server_key_.bytes();
  const std::size_t plain_block = crypto::plain_block(cipher_block, padding_kind);
  const std::size_t signature = security_.own_key.bytes();
  const bool extra = server_key_.bits() > 2048;
  const std::string header = asymmetric_header();
  const std::size_t unpadded = kSequenceHeader + body.size() + 1 + (extra ? 1 : 0) + signature;
  const std::size_t padding = (plain_block - unpadded % plain_block) % plain_block;
  const std::size_t encrypted = (unpadded + padding) / plain_block * cipher_block;
  const std::size_t size = kHeaderSize + 4 + header.size() + encrypted;
  if (size > send.send_buffer)
    throw TransportFault(status::BadRequestTooLarge, "the OpenSecureChannel request exceeds the server's buffer");
  Writer w;
  put_chunk_header(w, "OPN", 'F');
  w.u32(channel_id);
  w.raw(header);
  const std::size_t protected_from = w.size();
  put_sequence_header(w, sequence, request_id);
  w.raw(body);
  for (std::size_t p = 0; p <= padding; ++p) w.u8(static_cast<std::uint8_t>(padding & 0xFF));
  if (extra) w.u8(static_cast<std::uint8_t>(padding >> 8));
  w.patch_u32(4, static_cast<std::uint32_t>(size));
  w.raw(security_.own_key.sign(security_.policy->asymmetric_signature, w.data()));
  std::string chunk = w.take();
  std::string sealed = server_key_.encrypt(padding_kind, std::string_view(chunk).substr(protected_from));
  chunk.replace(protected_from, std::string::npos, sealed);
  return {std::move(chunk)};
}

std::string SecureChannel::open(std::string chunk) {
  if (!secure() || chunk.size() < kHeaderSize) return chunk;
  const std::string_view type = std::string_view(chunk).substr(0, 3);
  if (type == "OPN") return open_asymmetric(std::move(chunk));
  if (type == "MSG" || type == "CLO") return open_symmetric(std::move(chunk));
  return chunk;
}

std::string SecureChannel::open_asymmetric(std::string chunk) {
  std::size_t protected_from = 0;
  try {
    Reader r(chunk);
    r.bytes(kHeaderSize + 4);
    const UaString policy = r.string();
    const UaString sender = r.string();
    const UaString receiver = r.string();
    if (!policy || *policy != security_.policy->uri)
      throw TransportFault(status::BadSecurityPolicyRejected, "the server answered with another security policy");
    auto chain = crypto::Certificate::chain_from_der(sender.value_or(std::string()));
    if (chain.empty() || !(chain.front() == server_)) refuse("the answer is signed by another certificate");
    if (!receiver || *receiver != security_.own_certificate.thumbprint()) refuse("the answer is for another certificate");
    protected_from = chunk.size() - r.remaining();
  } catch (const DecodeError& e) {
    refuse(e.what());
  } catch (const crypto::CryptoError& e) {
    refuse(e.what());
  }
  std::string plain;
  try {
    plain = security_.own_key.decrypt(security_.policy->asymmetric_encryption,
                                      std::string_view(chunk).substr(protected_from));
  } catch (const crypto::CryptoError& e) {
    refuse(e.what());
  }
  const std::size_t signature = server_key_.bytes();
  if (plain.size() < kSequenceHeader + signature + 1) refuse("the answer is too short for its signature");
  const std::size_t signed_end = plain.size() - signature;
  std::string signed_part = chunk.substr(0, protected_from);
  signed_part.append(plain, 0, signed_end);
  if (!server_key_.verify(security_.policy->asymmetric_signature, signed_part, std::string_view(plain).substr(signed_end)))
    refuse("the signature does not match");
  const std::size_t body_end = strip_padding(plain, signed_end, security_.own_key.bits() > 2048);
  chunk.resize(protected_from);
  chunk.append(plain, 0, body_end);
  set_size(chunk);
  return chunk;
}

std::string SecureChannel::open_symmetric(std::string chunk) {
  if (chunk.size() < kSymmetricPrefix) refuse("the chunk is shorter than its headers");
  std::uint32_t token = 0;
  for (int i = 0; i < 4; ++i) token |= static_cast<std::uint32_t>(static_cast<unsigned char>(chunk[12 + static_cast<std::size_t>(i)])) << (8 * i);
  const auto keys = keys_.find(token);
  if (keys == keys_.end()) refuse("it names a security token this channel does not have");
  const crypto::SymmetricKeys& k = keys->second.server;
  const bool encrypt = security_.mode == crypto::SecurityMode::SignAndEncrypt;
  const std::size_t signature = security_.policy->signing_key;
  std::string data = chunk.substr(kSymmetricPrefix);
  if (encrypt) {
    if (data.size() % security_.policy->block != 0) refuse("the encrypted part is not a whole number of blocks");
    data = crypto::aes_cbc_decrypt(k.encrypting, k.iv, data);
  }
  if (data.size() < kSequenceHeader + signature + (encrypt ? 1 : 0)) refuse("the chunk is too short for its signature");
  const std::size_t signed_end = data.size() - signature;
  std::string signed_part = chunk.substr(0, kSymmetricPrefix);
  signed_part.append(data, 0, signed_end);
  if (!crypto::equal_secret(crypto::hmac_sha256(k.signing, signed_part), std::string_view(data).substr(signed_end)))
    refuse("the signature does not match");
  // The server took the newest token: the older keys are no longer needed.
  if (token == token_id_) {
    for (auto it = keys_.begin(); it != keys_.end();) it = it->first != token ? keys_.erase(it) : std::next(it);
  }
  const std::size_t body_end = encrypt ? strip_padding(data, signed_end, false) : signed_end;
  chunk.resize(kSymmetricPrefix);
  chunk.append(data, 0, body_end);
  set_size(chunk);
  return chunk;
}

}  // namespace vexa32::opcua
