#pragma once
// What the chunk fuzzers share: a byte stream cut into chunks by their headers, and the limits
// and the decoding of what the chunks assemble into.
#include <optional>
#include <string_view>

#include "platform/opcua/services.h"
#include "platform/opcua/transport.h"

namespace vexa32::opcua::fuzz {

inline BufferLimits receive_limits() { return {65536, 65536, 1u << 20, 64}; }

inline Limits decode_limits() {
  Limits decode;
  decode.max_string = 1u << 20;
  decode.max_array = 1u << 16;
  return decode;
}

// Every whole chunk of the stream to take(chunk), in order; a header that breaks the protocol
// throws its TransportFault.
template <typename Take>
void each_chunk(std::string_view stream, Take&& take) {
  while (stream.size() >= kHeaderSize) {
    const ChunkHeader h = parse_header(stream.substr(0, kHeaderSize), receive_limits().receive_buffer);
    if (h.size > stream.size()) break;
    take(h, stream.substr(0, h.size));
    stream.remove_prefix(h.size);
  }
}

// An assembled answer decoded as the client would; a body that does not decode is refused.
inline void decode_message(const std::optional<Message>& message) {
  if (!message || message->aborted) return;
  try {
    decode_any_response(message->body, decode_limits());
  } catch (const DecodeError&) {
  }
}

}  // namespace vexa32::opcua::fuzz
