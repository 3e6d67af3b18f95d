#include "app/core_services.h"

#include "base/dispatch.h"
#include "mirrorhost/mirror_host_client.h"
#include "follow/geometry_follower.h"
#include "platform/input.h"

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

std::unique_ptr<OverlayFollower> CoreServices::makeGeometryFollower(bool debugUnlocks) {
  // Without an input port the cursor stays where it was: no edge is ever locked to it.
  Input* input = platform.input;
  GeometryFollower::Dependencies deps(platform.dispatcher, geometry,
                                      [input] { return input ? input->mouseLocation() : Point{}; }, clearViewLog);
  deps.debugUnlocks = debugUnlocks;
  return std::make_unique<GeometryFollower>(std::move(deps));
}

}  // namespace corvane
