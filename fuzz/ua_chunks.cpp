// A byte stream as it arrives from a server: cut into chunks by their headers, assembled into
// messages within the limits this client negotiates, and every message decoded. Anything may be
// refused with a TransportFault or a DecodeError; nothing may crash, leak or allocate beyond the
// limits (run with -malloc_limit_mb to check the last).
#include <cstdint>
#include <string_view>

#include "chunk_stream_p.h"

using namespace vexa32::opcua;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view stream(reinterpret_cast<const char*>(data), size);
  MessageAssembler assembler(fuzz::receive_limits(), fuzz::decode_limits());
  // The answers of the first few requests are awaited; any other id is refused.
  for (std::uint32_t id = 0; id < 8; ++id) assembler.expect(id);
  try {
    fuzz::each_chunk(stream, [&](const ChunkHeader& h, std::string_view chunk) {
      if (h.type == "ACK") {
        negotiate(fuzz::receive_limits(), chunk.substr(kHeaderSize));
      } else if (h.type == "ERR") {
        decode_error_message(chunk.substr(kHeaderSize));
      } else {
        fuzz::decode_message(assembler.feed(chunk));
      }
    });
  } catch (const TransportFault&) {
  } catch (const DecodeError&) {
  }
  return 0;
}
