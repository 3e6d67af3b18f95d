#include "app/core_services.h"

#include "base/dispatch.h"

namespace corvane {

CoreServices::CoreServices(const Platform& p, LogSink& log)
    : platform(p),
      clearViewLog(log),
      tracker(p),
      classifier(tracker, p.accessibility, p.dispatcher),
      titleBarChrome(tracker, p.accessibility, p.clock),
      geometry(p.windowServerPrivate, p.windowServer),
      framebufferShare(p.windowServer, p.clock),
      screenCapture(p.windowServerPrivate, p.windowServer),
      callAudio(p.audio, p.workspace),
      hubCallSource(classifier) {
  tracker.setClassifier(&classifier);
  classifier.setHubHasActiveCall([this](const std::string& bundleID) { return callAudio.hubHasActiveCall(bundleID); });
}

}  // namespace corvane
