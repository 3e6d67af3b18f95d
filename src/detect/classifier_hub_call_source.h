// The meeting-window classifier as the share detector's source of hub call evidence.
//
// Threading: main thread.
#pragma once

#include "detect/hub_call_source.h"
#include "windows/meeting_window_classifier.h"

namespace corvane {

class ClassifierHubCallSource final : public HubCallSource {
 public:
  // The classifier outlives this object.
  explicit ClassifierHubCallSource(MeetingWindowClassifier& classifier) : classifier_(classifier) {}

  HubCall evaluateHubCall(const std::string& bundleID) override {
    const auto call = classifier_.evaluateHubCall(bundleID);
    return HubCall{call.inCall, call.visual};
  }
  void watchCallChrome(const std::vector<std::string>& bundleIDs, std::function<void()> onChange) override {
    classifier_.watchCallChrome(bundleIDs, std::move(onChange));
  }
  void syncChromeObservers() override { classifier_.syncChromeObservers(); }
  void setOnChromeChange(std::function<void()> onChange) override { classifier_.setOnChromeChange(std::move(onChange)); }
  void setWatchingBundleIDs(std::vector<std::string> bundleIDs) override {
    classifier_.setWatchingBundleIDs(std::move(bundleIDs));
  }
  void removeChromeObservers() override { classifier_.removeChromeObservers(); }

 private:
  MeetingWindowClassifier& classifier_;
};

}  // namespace corvane
