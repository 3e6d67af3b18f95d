// corvane-x11-demo: the whole privacy controller on the current X display, with the protected
// applications given on the command line and Privacy Mode switched on, so that a person can see
// (and a screenshot can show) protected windows frosted on a real X11 desktop.
//
//   corvane-x11-demo --protect ID[,ID...] [--trigger ID[,ID...]] [--seconds N] [--screenshot PATH]
//
// With --trigger, automatic detection is on and Privacy Mode waits for a call in one of those
// applications (a conferencing hub's call audio, or any other trigger application running);
// without it Privacy Mode is switched on at once.
//
// An application's ID is its desktop entry's id (for example "org.gnome.TextEditor" or
// "com.slack.Slack"), or, for a program without a desktop entry, its window's WM_CLASS class.
// Settings are kept in memory: the user's own settings are not touched. Runs until N seconds have
// passed (then writes the screenshot: the root window's image, what a screen share records) or
// until interrupted.
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "app/core_services.h"
#include "app/privacy_controller.h"
#include "base/dispatch.h"
#include "base/files.h"
#include "base/log.h"
#include "base/png.h"
#include "platform/application.h"
#include "platform/backend.h"
#include "platform/window_server.h"
#include "settings/memory_defaults_store.h"
#include "settings/preferences.h"

namespace {

std::atomic<bool> interrupted{false};

void usage() {
  std::cerr << "usage: corvane-x11-demo --protect ID[,ID...] [--trigger ID[,ID...]] [--seconds N] [--screenshot PATH]\n";
}

}  // namespace

int main(int argc, char** argv) {
  using namespace corvane;
  std::vector<AppRef> protectedApps;
  std::vector<AppRef> triggerApps;
  double seconds = 0;
  std::string screenshot;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if ((arg == "--protect" || arg == "--trigger") && hasValue) {
      std::stringstream ids(argv[++i]);
      std::string id;
      while (std::getline(ids, id, ',')) {
        if (!id.empty()) (arg == "--protect" ? protectedApps : triggerApps).push_back({id, id});
      }
    } else if (arg == "--seconds" && hasValue) {
      char* end = nullptr;
      seconds = std::strtod(argv[++i], &end);
      if (!end || *end || !(seconds >= 0)) {
        usage();
        return 2;
      }
    } else if (arg == "--screenshot" && hasValue) {
      screenshot = argv[++i];
    } else {
      usage();
      return 2;
    }
  }
  if (protectedApps.empty()) {
    usage();
    return 2;
  }

  std::string error;
  std::unique_ptr<Backend> backend = makeX11Backend(&error);
  if (!backend) {
    std::cerr << error << std::endl;
    return 1;
  }
  Platform platform = backend->platform();
  StderrLog log;
  MemoryDefaultsStore defaults;
  Preferences preferences(defaults, platform.dispatcher, log);
  preferences.protectedApps.set(protectedApps);
  preferences.triggerApps.set(triggerApps);
  preferences.autoDetectEnabled.set(!triggerApps.empty());
  CoreServices services(platform, log);
  PrivacyController controller(services, preferences);
  controller.start();
  if (triggerApps.empty()) {
    controller.setPrivacy(true, true);
    std::cerr << "corvane-x11-demo: Privacy Mode is on for";
  } else {
    std::cerr << "corvane-x11-demo: Privacy Mode waits for a call in";
    for (const AppRef& app : triggerApps) std::cerr << " " << app.bundleID;
    std::cerr << "; it will protect";
  }
  for (const AppRef& app : protectedApps) std::cerr << " " << app.bundleID;
  std::cerr << " (Control-Alt-Super-B toggles, -P peeks while held)" << std::endl;

  int status = 0;
  DispatchQueue& main = platform.dispatcher.main();
  std::signal(SIGINT, [](int) { interrupted = true; });
  std::signal(SIGTERM, [](int) { interrupted = true; });
  std::function<void()> watch = [&] {
    if (interrupted) {
      platform.application.terminate();
      return;
    }
    main.asyncAfter(0.2, watch);
  };
  main.async(watch);
  if (seconds > 0) {
    main.asyncAfter(seconds, [&] {
      if (!screenshot.empty()) {
        auto image = platform.windowServer.captureDisplay(platform.windowServer.mainDisplayID());
        std::string pngError;
        auto bytes = image ? encodePNG(*image, &pngError) : std::nullopt;
        if (!bytes || !writeFileBytes(*bytes, screenshot, &pngError)) {
          std::cerr << "corvane-x11-demo: could not write " << screenshot << ": " << pngError << std::endl;
          status = 1;
        } else {
          std::cerr << "corvane-x11-demo: wrote " << screenshot << std::endl;
        }
      }
      platform.application.terminate();
    });
  }
  platform.application.run();
  return status;
}
