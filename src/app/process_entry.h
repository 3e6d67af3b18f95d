// The process entry: decides the run mode from the command line and runs it.
//
// Helper roles take the whole process; the diagnostic probes end it with status 0 on success and 1
// on any failure (their message on the error stream); the ordinary start runs the menu-bar
// application on the chosen backend until it terminates.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "platform/backend.h"
#include "platform/platform.h"

namespace corvane {

using BackendFactory = std::function<std::unique_ptr<Backend>(std::string* error)>;

// Returns the process's exit status.
int runProcessEntry(const std::vector<std::string>& arguments, const BackendFactory& makeBackend,
                    std::ostream& out, std::ostream& err);

// --capture-window WID P: the window's image as PNG at P; "backing WxH" on `out`.
int runCaptureWindowProbe(Platform& platform, uint32_t windowID, const std::string& path,
                          std::ostream& out, std::ostream& err);

// --capture-display-stream P: one frame of the main display as PNG at P. The capture starts
// asynchronously on the main queue and gives up after 8 seconds without a frame.
int runDisplayStreamProbe(Platform& platform, const std::string& path, std::ostream& out, std::ostream& err);

}  // namespace corvane
