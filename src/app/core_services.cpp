#include "app/core_services.h"

#include "base/dispatch.h"
#include "mirrorhost/mirror_host_client.h"

namespace corvane {

CoreServices::CoreServices(const Platform& p, LogSink& log)
    : platform(p),
      clearViewLog(log),
      // The mirror host's plates are ours: never protected, never windows in front.
      tracker(p, [] {
        MirrorHostClient* client = MirrorHostClient::shared();
        return client ? client->hostPID() : pid_t(0);
      }),
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
