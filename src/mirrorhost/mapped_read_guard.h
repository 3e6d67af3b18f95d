// Reads of a shared frame file's mapping that survive the file being cut short underneath them.
//
// Another process can truncate a mapped file at any time; touching a page beyond its new end
// raises SIGBUS, which would end the mirror host. These reads check the file's size first and,
// for the window between that check and the copy, catch the bus error on the reading thread and
// report the read as failed instead. A bus error anywhere else goes to the handler that was there
// before (or ends the process as usual).
//
// Threading: any thread.
#pragma once

#include <cstdint>

#include "clearview/clear_view_shared_frame.h"

namespace corvane {

struct SharedFrameHeader {
  bool paused = false;
  uint32_t frameSequence = 0;
  uint32_t width = 0;
  uint32_t height = 0;
};

// False when the file is shorter than a shared frame file or the mapping could not be read.
bool readSharedFrameHeader(const ClearViewSharedFrame& frame, SharedFrameHeader& header);
// `copied` is fill()'s answer; false when the mapping could not be read at all.
bool fillFromSharedFrame(const ClearViewSharedFrame& frame, PixelBuffer& buffer, bool& copied);

}  // namespace corvane
