#include "detect/share_detector.h"

#include <algorithm>
#include <set>

#include "settings/preset_tags.h"
#include "windows/conferencing.h"

namespace corvane {

ShareDetector::ShareDetector(Dispatcher& dispatcher, Sources sources)
    : dispatcher_(dispatcher), clock_(dispatcher.clock()), sources_(sources) {}

ShareDetector::~ShareDetector() {
  if (timer_) endClassifierWatch();
}

std::function<void()> ShareDetector::pollWhileAlive() {
  return [alive = std::weak_ptr<bool>(alive_), this] {
    if (alive.lock()) poll();
  };
}

bool ShareDetector::notify(const std::function<void(bool)>& callback, bool value) {
  if (!callback) return true;
  std::weak_ptr<bool> alive = alive_;
  const uint64_t generation = generation_;
  auto call = callback;  // the callback may replace or clear itself
  call(value);
  return !alive.expired() && generation_ == generation;
}

void ShareDetector::endClassifierWatch() {
  sources_.classifier.setOnChromeChange(nullptr);
  sources_.classifier.setWatchingBundleIDs({});
  sources_.classifier.removeChromeObservers();
}

void ShareDetector::setTriggerBundleIDs(std::vector<std::string> bundleIDs) {
  triggerBundleIDs_ = std::move(bundleIDs);
  if (!enabled) return;
  sources_.classifier.watchCallChrome(triggerBundleIDs_, pollWhileAlive());
  poll();
}

void ShareDetector::start() {
  std::weak_ptr<bool> alive = alive_;
  const uint64_t generation = generation_;
  stop();
  // A callback of stop() that destroyed, started or stopped the detector has the last word.
  if (alive.expired() || generation_ != generation + 1) return;
  ++generation_;
  timer_ = dispatcher_.makeTimer(dispatcher_.main(), pollWhileAlive());
  timer_->schedule(kPollInterval, kPollInterval);
  sources_.classifier.watchCallChrome(triggerBundleIDs_, pollWhileAlive());
  poll();
}

void ShareDetector::stop() {
  ++generation_;
  timer_.reset();
  audioOnlySince_.clear();
  lastShareSignalAt_ = 0;
  endClassifierWatch();
  if (!setReady(false)) return;
  if (isSharing_) {
    isSharing_ = false;
    notify(onChange, false);
  }
}

void ShareDetector::poll() {
  if (!timer_) return;
  sources_.classifier.syncChromeObservers();
  const bool callActive = triggerAppInCall();

  ScreenCaptureSignal& screenCapture = sources_.screenCapture;
  if (!screenCapture.hasWatcherPresent()) {
    // Without the window server's flag, a call in a trigger application stands in for a share.
    if (!setReady(false)) return;
    updateSharing(callActive);
    return;
  }
  const bool watcher = screenCapture.watcherPresent().value_or(false);
  bool strong = sources_.framebufferShare.throttledScan();
  if (!strong) strong = screenCapture.systemPickerOpen();
  const bool ready = strong || callActive || sources_.callAudio.microphoneInUse();
  if (!setReady(ready)) return;
  updateSharing(watcher || strong);
}

bool ShareDetector::setReady(bool ready) {
  if (isReady_ == ready) return true;
  isReady_ = ready;
  fastTimer_.reset();
  if (ready) {
    fastTimer_ = dispatcher_.makeTimer(dispatcher_.main(), [alive = std::weak_ptr<bool>(alive_), this] {
      if (alive.lock()) fastTick();
    });
    fastTimer_->schedule(kFastInterval, kFastInterval, kFastLeeway);
  }
  return notify(onReadyChange, ready);
}

bool ShareDetector::updateSharing(bool signal) {
  const double now = clock_.mediaTime();
  if (signal) {
    lastShareSignalAt_ = now;
    if (isSharing_) return true;
    isSharing_ = true;
    return notify(onChange, true);
  }
  if (isSharing_ && now - lastShareSignalAt_ >= releaseDelay) {
    isSharing_ = false;
    return notify(onChange, false);
  }
  return true;
}

void ShareDetector::fastTick() {
  // Only a share's start is decided here; its end is left to poll() and the release delay.
  if (sources_.screenCapture.watcherPresent().value_or(false)) {
    updateSharing(true);
    return;
  }
  // A framebuffer share of the Zoom client may not raise the watcher flag; during a call it is
  // looked for every frame too, until a share is seen, so that it is not shown for up to a poll
  // interval before Privacy Mode answers.
  if (!isSharing_ && sources_.framebufferShare.freshScan()) updateSharing(true);
}

bool ShareDetector::triggerAppInCall() {
  std::set<std::string> running;
  for (const auto& app : sources_.workspace.runningApplications()) {
    if (app.bundleIdentifier) running.insert(*app.bundleIdentifier);
  }
  // A trigger chosen by one platform's identifier is the same application under the others.
  std::vector<std::string> bundleIDs;
  for (const auto& trigger : triggerBundleIDs_) {
    for (std::string& id : PresetTags::identifiersOf(trigger)) {
      if (std::find(bundleIDs.begin(), bundleIDs.end(), id) == bundleIDs.end()) bundleIDs.push_back(std::move(id));
    }
  }
  // Timestamps of applications that quit or stopped being triggers are dropped, so that a later
  // launch has to show a full second of call audio again.
  std::set<std::string> triggers(bundleIDs.begin(), bundleIDs.end());
  std::erase_if(audioOnlySince_,
                [&](const auto& item) { return !running.contains(item.first) || !triggers.contains(item.first); });

  for (const auto& bundleID : bundleIDs) {
    if (!running.contains(bundleID)) continue;
    // A running trigger that is not a hub application (a dedicated meeting client) is a call.
    if (!Conferencing::isHub(bundleID)) return true;
    if (sources_.classifier.evaluateHubCall(bundleID).visual) {
      audioOnlySince_.erase(bundleID);
      return true;
    }
    if (!sources_.callAudio.hubHasActiveCall(bundleID)) {
      audioOnlySince_.erase(bundleID);
      continue;
    }
    // Call audio without a visible call: it counts once it has lasted audioConfirm.
    const double now = clock_.mediaTime();
    const double since = audioOnlySince_.try_emplace(bundleID, now).first->second;
    if (now - since >= audioConfirm) return true;
  }
  return false;
}

}  // namespace corvane
