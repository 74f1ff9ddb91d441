// A byte stream as it arrives from a server: cut into chunks by their headers, assembled into
// messages within the limits this client negotiates, and every message decoded. Anything may be
// refused with a TransportFault or a DecodeError; nothing may crash, leak or allocate beyond the
// limits (run with -malloc_limit_mb to check the last).
#include <cstdint>
#include <string_view>

#include "platform/opcua/services.h"
#include "platform/opcua/transport.h"

using namespace vexa32::opcua;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view stream(reinterpret_cast<const char*>(data), size);
  BufferLimits receive{65536, 65536, 1u << 20, 64};
  Limits decode;
  decode.max_string = 1u << 20;
  decode.max_array = 1u << 16;
  MessageAssembler assembler(receive, decode);
  try {
    while (stream.size() >= kHeaderSize) {
      ChunkHeader h = parse_header(stream.substr(0, kHeaderSize), receive.receive_buffer);
      if (h.size > stream.size()) break;
      std::string_view chunk = stream.substr(0, h.size);
      stream.remove_prefix(h.size);
      if (h.type == "ACK") {
        negotiate(receive, chunk.substr(kHeaderSize));
        continue;
      }
      if (h.type == "ERR") {
        decode_error_message(chunk.substr(kHeaderSize));
        continue;
      }
      auto message = assembler.feed(chunk);
      if (message && !message->aborted) {
        try {
          decode_any_response(message->body, decode);
        } catch (const DecodeError&) {
        }
      }
    }
  } catch (const TransportFault&) {
  } catch (const DecodeError&) {
  }
  return 0;
}
