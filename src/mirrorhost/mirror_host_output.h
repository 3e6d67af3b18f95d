// Where the mirror host's events go: each event is encoded as one line and written whole, from one
// serial queue, so lines never interleave. A writer that fails abandons the rest of that line;
// nothing else is affected (a closed output loses the events being written).
//
// Threading: send() from any thread; the writer runs on the output queue.
#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "base/dispatch.h"
#include "mirrorhost/mirror_host_protocol.h"

namespace corvane {

class MirrorHostOutput {
 public:
  // Writes the bytes of one line; false when it could not write them all.
  using Writer = std::function<bool(std::string_view bytes)>;

  MirrorHostOutput(Dispatcher& dispatcher, Writer writer);
  MirrorHostOutput(const MirrorHostOutput&) = delete;
  MirrorHostOutput& operator=(const MirrorHostOutput&) = delete;

  void send(const MirrorHostEvent& event);

  // Writes all bytes to the descriptor, repeating short writes; a write that returns less than 1
  // (other than an interrupted one) abandons the rest, with its errno in *error (0 when the write
  // returned 0). A closed pipe never raises SIGPIPE here.
  static bool writeAll(int fd, std::string_view bytes, int* error = nullptr);

 private:
  std::unique_ptr<DispatchQueue> queue_;
  std::shared_ptr<Writer> writer_;
};

}  // namespace corvane
