#include "detect/share_detector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "base/virtual_dispatcher.h"
#include "detect/classifier_hub_call_source.h"
#include "platform/sim/sim_audio.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_private_window_server.h"
#include "windows/meeting_window_classifier.h"
#include "windows/window_tracker.h"

namespace corvane {
namespace {

using sim::SimApp;
using sim::SimDesktop;

constexpr double kEps = 1e-9;
constexpr double kFrame = ShareDetector::kFastInterval;

// The classifier's side, scripted: which hub applications show a call in a window.
class FakeClassifier final : public HubCallSource {
 public:
  std::map<std::string, bool> visual;
  std::function<void()> onChromeChange;
  std::vector<std::string> watching;
  int watchCalls = 0;
  int removals = 0;

  HubCall evaluateHubCall(const std::string& bundleID) override { return {visual[bundleID], visual[bundleID]}; }
  void watchCallChrome(const std::vector<std::string>& bundleIDs, std::function<void()> onChange) override {
    ++watchCalls;
    watching = bundleIDs;
    onChromeChange = std::move(onChange);
  }
  void syncChromeObservers() override {}
  void setOnChromeChange(std::function<void()> onChange) override { onChromeChange = std::move(onChange); }
  void setWatchingBundleIDs(std::vector<std::string> bundleIDs) override { watching = std::move(bundleIDs); }
  void removeChromeObservers() override { ++removals; }
};

struct Change {
  double at;
  bool value;
  friend bool operator==(const Change&, const Change&) = default;
  friend std::ostream& operator<<(std::ostream& os, const Change& c) {
    return os << (c.value ? "true" : "false") << " at " << std::to_string(c.at);
  }
};

class ShareDetectorTest : public ::testing::Test {
 public:
  VirtualDispatcher dispatcher;
  SimDesktop desktop{dispatcher};
  ScreenCaptureSignal screenCapture{&desktop.privateWindowServer(), desktop.windowServer()};
  FramebufferShare framebuffer{desktop.windowServer(), dispatcher};
  CallAudioDetector callAudio{&desktop.audio(), desktop.workspace()};
  FakeClassifier classifier;
  std::unique_ptr<ShareDetector> detector = makeDetector();
  std::vector<Change> changes;
  std::vector<Change> readyChanges;

  std::unique_ptr<ShareDetector> makeDetector() {
    auto made = std::make_unique<ShareDetector>(
        dispatcher, ShareDetector::Sources{desktop.workspace(), screenCapture, framebuffer, callAudio, classifier});
    made->onChange = [this](bool v) { changes.push_back({dispatcher.mediaTime(), v}); };
    made->onReadyChange = [this](bool v) { readyChanges.push_back({dispatcher.mediaTime(), v}); };
    return made;
  }

  pid_t launch(const std::string& bundleID) {
    SimApp app;
    app.bundleID = bundleID;
    app.name = bundleID;
    return desktop.launchApp(app);
  }

  void start(std::vector<std::string> triggers = {}) {
    detector->setTriggerBundleIDs(std::move(triggers));
    detector->enabled = true;
    detector->start();
  }

  double now() const { return dispatcher.mediaTime(); }
};

// ---- Readiness and the trigger applications -------------------------------------------------

TEST_F(ShareDetectorTest, RunningNonHubTriggerMakesReadyButNotSharing) {
  const pid_t zoom = launch("us.zoom.xos");
  start({"com.example.absent", "us.zoom.xos"});
  EXPECT_TRUE(detector->fastTimerActive());
  EXPECT_EQ(readyChanges, (std::vector<Change>{{1000.0, true}}));
  dispatcher.advance(5);
  EXPECT_TRUE(changes.empty());
  desktop.quitApp(zoom);
  dispatcher.advance(0.25);
  EXPECT_FALSE(detector->fastTimerActive());
  EXPECT_EQ(readyChanges.back(), (Change{1005.25, false}));
}

TEST_F(ShareDetectorTest, ATriggerIsTheSameApplicationUnderAnotherPlatformsIdentifier) {
  const pid_t zoom = launch("us.zoom.Zoom");  // Zoom's Flatpak
  start({"us.zoom.xos"});
  EXPECT_TRUE(detector->isReady());
  desktop.quitApp(zoom);
  detector->setTriggerBundleIDs({"com.hnc.Discord"});
  EXPECT_FALSE(detector->isReady());
  // A hub under its Linux id: its call audio counts after the confirmation second.
  desktop.audio().setProcessAudio(launch("discord"), {false, true});  // plays: the microphone stays idle
  dispatcher.advance(0.75);
  EXPECT_FALSE(detector->isReady());
  dispatcher.advance(0.5);
  EXPECT_TRUE(detector->isReady());
}

TEST_F(ShareDetectorTest, HubTriggerCountsOnlyWithAVisibleCallAndHubNamesAreHubsInAnyCase) {
  launch("com.microsoft.teams2");
  launch("TEAMS");
  start({"com.microsoft.teams2", "TEAMS"});
  dispatcher.advance(1);
  EXPECT_FALSE(detector->isReady()) << "a hub application merely running is no call";
  classifier.visual["TEAMS"] = true;
  dispatcher.advance(0.25);
  EXPECT_TRUE(detector->isReady());
}

TEST_F(ShareDetectorTest, HubCallAudioCountsAfterOneSecondAndStartsOverWhenInterrupted) {
  pid_t teams = launch("com.microsoft.teams2");
  const pid_t helper = launch("com.microsoft.teams2.helper");
  start({"com.microsoft.teams2"});  // passes at 1000.00, 1000.25, ...
  // Output only, so that the microphone (which makes ready by itself) stays idle.
  desktop.audio().setProcessAudio(helper, {false, true});
  dispatcher.advance(1.0);  // first seen at 1000.25; 1001.00 is too early
  EXPECT_FALSE(detector->isReady());
  dispatcher.advance(0.25);
  EXPECT_EQ(readyChanges.back(), (Change{1001.25, true}));

  desktop.audio().setProcessAudio(helper, {false, false});
  dispatcher.advance(0.25);  // one pass without audio forgets when it began
  EXPECT_FALSE(detector->isReady());
  desktop.audio().setProcessAudio(teams, {false, true});
  dispatcher.advance(1.0);  // seen again at 1001.75
  EXPECT_FALSE(detector->isReady());
  dispatcher.advance(0.25);
  EXPECT_EQ(readyChanges.back(), (Change{1002.75, true}));

  classifier.visual["com.microsoft.teams2"] = true;  // a visible call forgets it too
  dispatcher.advance(0.25);
  classifier.visual["com.microsoft.teams2"] = false;
  dispatcher.advance(0.25);  // 1003.25: audio only, since now
  EXPECT_EQ(readyChanges.back(), (Change{1003.25, false}));

  desktop.quitApp(teams);  // nor does the timestamp outlive the application
  dispatcher.advance(0.5);
  teams = launch("com.microsoft.teams2");
  desktop.audio().setProcessAudio(teams, {false, true});
  dispatcher.advance(1.0);  // seen at 1004.00
  EXPECT_FALSE(detector->isReady());
  dispatcher.advance(0.25);
  EXPECT_EQ(readyChanges.back(), (Change{1005.0, true}));
}

TEST_F(ShareDetectorTest, StrongSignalsAndTheMicrophoneMakeReady) {
  start();
  desktop.audio().setMicrophoneInUse(true);
  dispatcher.advance(0.25);
  EXPECT_TRUE(detector->isReady());
  EXPECT_FALSE(detector->isSharing());
  desktop.audio().setMicrophoneInUse(false);
  desktop.openSharePicker();  // a share is about to start, and counts as one
  dispatcher.advance(0.25);
  EXPECT_TRUE(detector->isReady());
  EXPECT_EQ(changes, (std::vector<Change>{{1000.5, true}}));
  desktop.closeSharePicker();
  dispatcher.advance(2.0);
  EXPECT_FALSE(detector->isReady());
  EXPECT_EQ(changes.back(), (Change{1002.5, false}));
}

// ---- Sharing and its release -----------------------------------------------------------------

TEST_F(ShareDetectorTest, WatcherFlagSeenByOnePollHoldsSharingForTheReleaseDelay) {
  start();
  dispatcher.advance(0.1);
  desktop.startScreenWatcherShare();
  dispatcher.advance(0.2);  // the pass at 1000.25 sees it
  desktop.stopScreenWatcherShare();
  EXPECT_FALSE(detector->isReady()) << "the watcher flag alone does not start the fast timer";
  dispatcher.advanceTo(1002.25 - 0.01);
  EXPECT_TRUE(detector->isSharing());
  dispatcher.advanceTo(1002.25);
  EXPECT_EQ(changes, (std::vector<Change>{{1000.25, true}, {1002.25, false}}));
}

TEST_F(ShareDetectorTest, WithoutTheWatcherFlagACallInATriggerStandsInForAShare) {
  desktop.privateWindowServer().removeEntryPoint(PrivateEntryPoint::isScreenWatcherPresent);
  const pid_t zoom = launch("us.zoom.xos");
  desktop.audio().setMicrophoneInUse(true);
  start({"us.zoom.xos"});
  EXPECT_TRUE(detector->isSharing());
  EXPECT_FALSE(detector->fastTimerActive());
  desktop.quitApp(zoom);
  dispatcher.advance(3);
  EXPECT_TRUE(readyChanges.empty()) << "never ready, so the fast timer never ran";
  EXPECT_EQ(changes, (std::vector<Change>{{1000.0, true}, {1002.0, false}}));
}

// A framebuffer share need not raise the watcher flag; during a call it is seen within a frame
// too, and once it is seen the frame-rate check stops reading the window list.
TEST_F(ShareDetectorTest, AFramebufferShareDuringACallIsSeenWithinAFrame) {
  const pid_t zoom = launch("us.zoom.xos");
  start({"us.zoom.xos"});
  dispatcher.advance(0.26);  // just after a poll
  desktop.startZoomFramebufferShare(zoom);
  dispatcher.advance(kFrame);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_TRUE(changes[0].value);
  EXPECT_LE(changes[0].at, 1000.26 + kFrame + kEps) << "not at the next poll, 1000.5";
  desktop.resetCounters();
  dispatcher.advance(0.25 - kEps);
  EXPECT_LE(desktop.windowListReads(), 2u) << "the polls' reads only";
}

TEST_F(ShareDetectorTest, StopWhileSharingReportsEachChangeOnceAndEndsTheWatch) {
  launch("us.zoom.xos");
  start({"us.zoom.xos"});
  desktop.startScreenWatcherShare();
  dispatcher.advance(kFrame);  // the fast timer sees it
  ASSERT_EQ(changes, (std::vector<Change>{{1000.0 + kFrame, true}}));
  detector->stop();
  detector->stop();
  EXPECT_EQ(changes.back(), (Change{now(), false}));
  EXPECT_EQ(changes.size(), 2u);
  EXPECT_EQ(readyChanges, (std::vector<Change>{{1000.0, true}, {now(), false}}));
  EXPECT_EQ(classifier.onChromeChange, nullptr);
  EXPECT_TRUE(classifier.watching.empty());
  EXPECT_GE(classifier.removals, 1);
  EXPECT_EQ(dispatcher.pendingCount(), 0u) << "no timer left behind";
  detector->poll();  // a stray poll after stop() changes nothing
  EXPECT_FALSE(detector->isSharing());
}

TEST_F(ShareDetectorTest, TriggerListChangesAndChromeChangesPollAtOnce) {
  launch("us.zoom.xos");
  launch("com.hnc.Discord");
  detector->setTriggerBundleIDs({"us.zoom.xos"});
  EXPECT_EQ(classifier.watchCalls, 0) << "not enabled: only stored";
  start({"com.hnc.Discord"});
  detector->setTriggerBundleIDs({"us.zoom.xos"});
  EXPECT_EQ(classifier.watching, (std::vector<std::string>{"us.zoom.xos"}));
  EXPECT_TRUE(detector->isReady()) << "polled without waiting for the timer";
  detector->setTriggerBundleIDs({"com.hnc.Discord"});
  classifier.visual["com.hnc.Discord"] = true;
  classifier.onChromeChange();
  EXPECT_EQ(readyChanges, (std::vector<Change>{{1000, true}, {1000, false}, {1000, true}}));
  auto kept = classifier.onChromeChange;  // a callback kept after the detector is gone does nothing
  detector.reset();
  kept();
}

// ---- Callbacks that stop or destroy the detector ---------------------------------------------

TEST_F(ShareDetectorTest, ACallbackMayStopOrDestroyTheDetector) {
  launch("us.zoom.xos");
  desktop.startScreenWatcherShare();
  // Stopped from onReadyChange(true): the pass ends there, and no share is reported afterwards.
  detector->onReadyChange = [this](bool ready) {
    readyChanges.push_back({now(), ready});
    if (ready) detector->stop();
  };
  start({"us.zoom.xos"});
  EXPECT_FALSE(detector->isSharing());
  EXPECT_FALSE(detector->isRunning());
  EXPECT_EQ(readyChanges.size(), 2u);

  // Destroyed from onChange, in a pass and in a fast tick.
  detector = makeDetector();
  detector->onChange = [this](bool) { detector.reset(); };
  start({"us.zoom.xos"});
  EXPECT_EQ(detector, nullptr);
  desktop.stopScreenWatcherShare();
  detector = makeDetector();
  start({"us.zoom.xos"});
  detector->onChange = [this](bool) { detector.reset(); };
  desktop.startScreenWatcherShare();
  dispatcher.advance(1);
  EXPECT_EQ(detector, nullptr);
}

// ---- Wired to the meeting-window classifier ---------------------------------------------------

TEST_F(ShareDetectorTest, WiredToTheClassifierAMeetingWindowIsACall) {
  WindowTracker tracker(desktop.platform());
  MeetingWindowClassifier meetings(tracker, nullptr, dispatcher);
  ClassifierHubCallSource source(meetings);
  ShareDetector wired(dispatcher, {desktop.workspace(), screenCapture, framebuffer, callAudio, source});
  sim::SimWindow meeting;
  meeting.ownerPID = launch("com.microsoft.teams2");
  meeting.bounds = {100, 100, 1000, 700};
  meeting.title = sim::SimTitle::of("Meeting | Standup");
  wired.setTriggerBundleIDs({"com.microsoft.teams2"});
  wired.enabled = true;
  wired.start();
  EXPECT_FALSE(wired.isReady());
  desktop.addWindow(meeting);
  dispatcher.advance(0.25);
  EXPECT_TRUE(wired.isReady());
  wired.stop();
  EXPECT_TRUE(meetings.watchingBundleIDs().empty());
}

// ---- Measurements in virtual time ------------------------------------------------------------

// Starts and ends many screen-watcher shares, at start instants spread over the poll and frame
// phases. Returns the longest delay from a share's start to its report, and the shortest and
// longest from the last signal the detector saw to the report of the end.
struct Latencies {
  double maxStart = 0, minEnd = 1e9, maxEnd = 0;
};
Latencies measure(ShareDetectorTest& t) {
  Latencies result;
  for (int i = 0; i < 150; ++i) {
    const double phase = std::fmod(i * 0.6180339887, 1.0) * ShareDetector::kPollInterval;
    const double startAt = t.now() + 0.5 + phase;
    const size_t before = t.changes.size();
    t.dispatcher.advanceTo(startAt);
    t.desktop.startScreenWatcherShare();
    t.dispatcher.advance(0.4 + phase);
    t.desktop.stopScreenWatcherShare();
    const double lastSignal = t.detector->lastShareSignalAt();
    t.dispatcher.advance(2.5);
    if (t.changes.size() != before + 2) {
      ADD_FAILURE() << "share " << i << " was not reported as one start and one end";
      break;
    }
    result.maxStart = std::max(result.maxStart, t.changes[before].at - startAt);
    result.minEnd = std::min(result.minEnd, t.changes.back().at - lastSignal);
    result.maxEnd = std::max(result.maxEnd, t.changes.back().at - lastSignal);
  }
  return result;
}

TEST_F(ShareDetectorTest, DetectionLatencyIsOnePollOrWhileReadyOneFrame) {
  start({"us.zoom.xos"});
  const Latencies idle = measure(*this);
  launch("us.zoom.xos");
  dispatcher.advance(0.25);
  ASSERT_TRUE(detector->isReady());
  const Latencies ready = measure(*this);
  for (const auto& [name, l] : {std::pair{"idle", idle}, std::pair{"ready", ready}}) {
    RecordProperty(std::string(name) + "StartMs", std::to_string(l.maxStart * 1000));
    RecordProperty(std::string(name) + "EndMs", std::to_string(l.minEnd * 1000) + ".." + std::to_string(l.maxEnd * 1000));
    EXPECT_GE(l.minEnd, ShareDetector::releaseDelay - kEps) << name;
    EXPECT_LE(l.maxEnd, ShareDetector::releaseDelay + ShareDetector::kPollInterval + kEps) << name;
  }
  EXPECT_LE(idle.maxStart, ShareDetector::kPollInterval + kEps);
  EXPECT_GT(idle.maxStart, 0.2) << "the start instants cover the poll interval";
  EXPECT_LE(ready.maxStart, kFrame + kEps);
}

TEST_F(ShareDetectorTest, FramebufferScanIsSharedWithATenHertzCallerAndThrottled) {
  // With a framebuffer share on screen every pass stops at the scan, so each window-list read is
  // one scan.
  desktop.startZoomFramebufferShare(launch("us.zoom.xos"));
  desktop.resetCounters();
  start();  // 4 Hz: 41 passes in 10 s
  int refreshes = 0;
  bool alwaysSeen = true;
  auto refresh = dispatcher.makeTimer(dispatcher.main(), [&] {
    ++refreshes;
    alwaysSeen = framebuffer.throttledScan() && alwaysSeen;
  });
  refresh->schedule(0.1, 0.1);  // 10 Hz: about 100 calls
  dispatcher.advance(10);
  EXPECT_GE(refreshes, 99);
  EXPECT_TRUE(alwaysSeen);
  EXPECT_TRUE(detector->isSharing());
  EXPECT_LE(desktop.windowListReads(), uint64_t(10 / FramebufferShare::kThrottleInterval) + 1);
}

}  // namespace
}  // namespace corvane
