// Fuzz target: a desktop description, from raw bytes through the bounded JSON reader and the
// simulated desktop's loader.
//
// Besides crashes and sanitizer reports it checks that a failed load changes nothing and that an
// accepted desktop can be drawn: every display within the largest picture the renderer makes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/json_limits.h"
#include "base/virtual_dispatcher.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_loader.h"
#include "platform/sim/sim_render.h"

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string error;
  auto description =
      parseBoundedJSON(std::string_view(reinterpret_cast<const char*>(data), size), sim::kMaxDescriptionDepth, &error);
  if (!description) return 0;
  static VirtualDispatcher dispatcher;
  static sim::SimDesktop desktop(dispatcher);
  const size_t before = desktop.windows().size();
  if (!desktop.load(*description, &error)) {
    if (error.empty() || desktop.windows().size() != before) std::abort();
    return 0;
  }
  for (const auto& screen : desktop.platform().screens.screens()) {
    if (!(screen.frame.size.width <= sim::kMaxPictureSide && screen.frame.size.height <= sim::kMaxPictureSide)) {
      std::abort();
    }
  }
  return 0;
}
