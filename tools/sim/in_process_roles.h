// The capture helpers' roles, run in-process on the simulated desktop: a launch of the program's
// own executable with --capture-loop, --capture-desktop or --capture-notifications then runs that
// capture loop on the desktop's virtual clock over the live simulated world, writing into the real
// shared frame file named on its command line, instead of starting a process.
#pragma once

namespace corvane {
class LogSink;
}
namespace corvane::sim {
class SimDesktop;
}

namespace corvane::simtool {

void runCaptureHelpersInProcess(sim::SimDesktop& desktop);

// The mirror host's role (--mirror-host) likewise: its plates are windows of the live world, its
// input and output the launch's pipes, read and written without blocking on the virtual clock.
// `log` takes its Clear View lines and outlives the desktop's helpers.
void runMirrorHostInProcess(sim::SimDesktop& desktop, LogSink& log);

}  // namespace corvane::simtool
