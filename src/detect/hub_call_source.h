// What share and call detection needs from the meeting-window classifier, as a narrow interface.
// The application wires it to the shared `MeetingWindowClassifier`; tests hand in a double.
//
// Threading: main thread.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace corvane {

// The meeting-window classifier's answers about calls in hub applications, and its watch on them.
class HubCallSource {
 public:
  struct HubCall {
    bool inCall = false;
    bool visual = false;  // the call is shown in one of the application's windows
  };

  virtual ~HubCallSource() = default;
  virtual HubCall evaluateHubCall(const std::string& bundleID) = 0;
  // Starts watching the hub applications among `bundleIDs` for new windows and title changes;
  // `onChange` is called (on the main thread) after each such change.
  virtual void watchCallChrome(const std::vector<std::string>& bundleIDs, std::function<void()> onChange) = 0;
  // Brings the watch up to date with the running processes of the watched applications.
  virtual void syncChromeObservers() = 0;
  // The classifier's settable fields and its teardown, as the detector's stop() uses them.
  virtual void setOnChromeChange(std::function<void()> onChange) = 0;
  virtual void setWatchingBundleIDs(std::vector<std::string> bundleIDs) = 0;
  virtual void removeChromeObservers() = 0;
};

}  // namespace corvane
