// Fuzz target: the mirror host protocol's decoders of both directions, from raw bytes split into
// lines as the host and the client split their input.
//
// Besides crashes, hangs and sanitizer reports it checks that every decoded message encodes again
// and decodes to the same message, and that the line splitter never keeps more than one line's
// limit.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "mirrorhost/mirror_host_protocol.h"

using namespace corvane;

namespace {

template <typename Message, typename Decode>
void roundTrip(const Message& message, Decode decode) {
  auto line = encodeLine(message);
  if (!line || line->empty() || line->back() != '\n') std::abort();
  auto again = decode(std::string_view(*line).substr(0, line->size() - 1));
  if (!again || !(*again == message)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  LineSplitter splitter;
  splitter.append(bytes, [](std::string_view line) {
    if (auto command = decodeCommand(line)) roundTrip(*command, [](std::string_view l) { return decodeCommand(l); });
    if (auto event = decodeEvent(line)) roundTrip(*event, [](std::string_view l) { return decodeEvent(l); });
  });
  if (splitter.pendingBytes() > kMirrorHostMaxLineBytes) std::abort();
  return 0;
}
