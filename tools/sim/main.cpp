// corvane-sim: runs Corvane's core on the simulated desktop.
//
//   corvane-sim DESKTOP.json [--out DIR]
//
// Loads the desktop, prints the on-screen windows of every application as the window list reads
// them, and writes what a screen share would record (share.png) and what the user sees
// (local.png) into DIR (default: out/sim).
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/png.h"
#include "base/virtual_dispatcher.h"
#include "platform/sim/sim_desktop.h"
#include "windows/window_tracker.h"

namespace {

int usage(const char* message) {
  if (message) std::cerr << "corvane-sim: " << message << "\n";
  std::cerr << "usage: corvane-sim DESKTOP.json [--out DIR]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace corvane;
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string desktopPath;
  std::string outDir = "out/sim";
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--out") {
      if (i + 1 >= args.size()) return usage("--out needs a directory");
      outDir = args[++i];
    } else if (args[i] == "-h" || args[i] == "--help") {
      return usage(nullptr);
    } else if (!args[i].empty() && args[i][0] == '-') {
      return usage(("unknown option " + args[i]).c_str());
    } else if (desktopPath.empty()) {
      desktopPath = args[i];
    } else {
      return usage("only one desktop file may be given");
    }
  }
  if (desktopPath.empty()) return usage("no desktop file given");

  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop(dispatcher);
  std::string error;
  if (!desktop.loadFile(desktopPath, &error)) {
    std::cerr << "corvane-sim: " << desktopPath << ": " << error << "\n";
    return 1;
  }

  std::set<pid_t> pids;
  for (const auto& app : desktop.workspace().runningApplications()) {
    if (!app.isTerminated && app.processIdentifier != desktop.selfPID()) pids.insert(app.processIdentifier);
  }
  WindowTracker tracker(desktop.platform());
  auto windows = tracker.onScreenWindows(pids, /*layerZeroOnly=*/false);
  std::cout << "On-screen windows of " << pids.size() << " applications, front to back:\n";
  for (const auto& w : windows) {
    auto app = desktop.app(w.ownerPID);
    std::cout << "  " << describe(w);
    if (app && app->name) std::cout << "  [" << *app->name << "]";
    std::cout << "\n";
  }

  if (!makeDirectories(outDir, &error)) {
    std::cerr << "corvane-sim: " << error << "\n";
    return 1;
  }
  const std::string sharePath = outDir + "/share.png";
  const std::string localPath = outDir + "/local.png";
  if (!writePNG(desktop.renderShareView(), sharePath, &error) ||
      !writePNG(desktop.renderLocalView(), localPath, &error)) {
    std::cerr << "corvane-sim: " << error << "\n";
    return 1;
  }
  std::cout << "Share view (what a capture records): " << sharePath << "\n";
  std::cout << "Local view (what the user sees):     " << localPath << "\n";
  return 0;
}
