// The detector's stateless sources: the framebuffer-share windows, the system picker and call audio.
#include <gtest/gtest.h>

#include "base/virtual_dispatcher.h"
#include "detect/call_audio_detector.h"
#include "detect/framebuffer_share.h"
#include "detect/screen_capture_signal.h"
#include "platform/sim/sim_audio.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_private_window_server.h"

namespace corvane {
namespace {

using sim::SimAudio;
using sim::SimTitle;
using sim::SimWindow;

class ShareSignalsTest : public ::testing::Test {
 protected:
  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop{dispatcher};
  FramebufferShare framebuffer{desktop.windowServer(), dispatcher};
  ScreenCaptureSignal screenCapture{&desktop.privateWindowServer(), desktop.windowServer()};
  CallAudioDetector callAudio{&desktop.audio(), desktop.workspace()};
  SimAudio& audio = desktop.audio();

  pid_t launch(const std::string& bundleID, const std::string& name) {
    return desktop.launchApp({0, bundleID, name, ActivationPolicy::regular, 0x808080, false});
  }
  WindowID window(pid_t owner, Rect bounds, SimTitle title = SimTitle::none(), std::vector<std::string> wrong = {}) {
    SimWindow w;
    w.ownerPID = owner;
    w.bounds = bounds;
    w.title = std::move(title);
    w.wrongTypeKeys = std::move(wrong);
    return desktop.addWindow(w);
  }
};

TEST_F(ShareSignalsTest, CaptureHostWindowCountsFromTwoHundredPointsSquare) {
  const pid_t host = launch("us.zoom.CptHost", "CptHost");
  window(host, {0, 0, 800, 600}, SimTitle::none(), {"bounds"});
  EXPECT_FALSE(framebuffer.scan()) << "malformed bounds count as empty";
  const WindowID w = window(host, {0, 0, 199, 400});
  EXPECT_FALSE(framebuffer.scan());
  desktop.resizeWindow(w, {200, 200});
  EXPECT_TRUE(framebuffer.scan());
  desktop.setOnScreen(w, false);
  EXPECT_FALSE(framebuffer.scan()) << "only on-screen windows count";
  desktop.setOnScreen(w, true);
  desktop.setWindowListAvailable(false);
  EXPECT_FALSE(framebuffer.scan());
}

TEST_F(ShareSignalsTest, ZoomShareTitlesMatchInAnyCaseAndThePickerOnlyFromControlCenter) {
  const pid_t zoom = launch("us.zoom.xos", "zoom.us");
  const WindowID w = window(zoom, {0, 0, 400, 50}, SimTitle::of("Zoom Meeting"));
  window(launch("com.example.other", "Other"), {0, 0, 400, 50}, SimTitle::of("zoom share toolbar window"));
  window(zoom, {0, 0, 400, 50}, SimTitle::of("zoom share toolbar window"), {"ownerName"});
  EXPECT_FALSE(framebuffer.scan()) << "the title counts only from zoom.us";
  for (const char* title : {"zoom share toolbar window", "ZOOM SHARE STATUSBAR WINDOW",
                            "Select A Window Or An Application that you want to share"}) {
    desktop.setTitle(w, SimTitle::of(title));
    EXPECT_TRUE(framebuffer.scan()) << title;
  }
  for (const char* title : {"zoom share toolbar window 2", "Please select a window or an application"}) {
    desktop.setTitle(w, SimTitle::of(title));
    EXPECT_FALSE(framebuffer.scan()) << title;
  }

  window(zoom, {0, 0, 300, 300}, SimTitle::of("SharedContentPicker"));
  EXPECT_FALSE(screenCapture.systemPickerOpen());
  desktop.openSharePicker();
  EXPECT_TRUE(screenCapture.systemPickerOpen());
  desktop.closeSharePicker();
  EXPECT_FALSE(screenCapture.systemPickerOpen());
}

TEST_F(ShareSignalsTest, HubCallAudioLooksAtEveryProcessOfTheFamily) {
  const pid_t teams = launch("com.microsoft.teams2", "Microsoft Teams");
  const pid_t helper = launch("com.microsoft.teams2.helper", "Microsoft Teams Helper");
  audio.setProcessAudio(launch("us.zoom.xos", "zoom.us"), {true, true});
  audio.setProcessAudio(launch("com.microsoft.teams2.notificationcenter", "Notifications"), {false, true});
  EXPECT_FALSE(callAudio.hubHasActiveCall("us.zoom.xos")) << "not a hub";
  EXPECT_FALSE(callAudio.hubHasActiveCall("com.microsoft.teams2")) << "notifications are not of the family";

  audio.setProcessAudio(teams, {false, false});
  audio.setProcessAudio(helper, {false, true});
  EXPECT_TRUE(callAudio.hubHasActiveCall("com.microsoft.teams2")) << "output of a helper";
  audio.setQueryFails(SimAudio::Query::runningInput, true);
  EXPECT_TRUE(callAudio.hubHasActiveCall("com.microsoft.teams2")) << "a failed input query falls to output";
  audio.setQueryFails(SimAudio::Query::runningOutput, true);
  EXPECT_FALSE(callAudio.hubHasActiveCall("com.microsoft.teams2"));
  audio.setQueryFails(SimAudio::Query::runningInput, false);
  audio.setProcessAudio(helper, {true, false});
  EXPECT_TRUE(callAudio.hubHasActiveCall("com.microsoft.teams2")) << "input of a helper";
  audio.setQueryFails(SimAudio::Query::processObject, true);
  EXPECT_FALSE(callAudio.hubHasActiveCall("com.microsoft.teams2"));
  audio.setQueryFails(SimAudio::Query::processObject, false);
  desktop.quitApp(helper);
  EXPECT_FALSE(callAudio.hubHasActiveCall("com.microsoft.teams2")) << "a process gone is silent";
  EXPECT_FALSE(CallAudioDetector(nullptr, desktop.workspace()).hubHasActiveCall("com.microsoft.teams2"));
}

TEST_F(ShareSignalsTest, MicrophoneInUseNeedsADeviceRunningSomewhere) {
  EXPECT_FALSE(callAudio.microphoneInUse());
  audio.setProcessAudio(launch("com.example.recorder", "Recorder"), {true, false});
  EXPECT_TRUE(callAudio.microphoneInUse()) << "a process taking input runs the device";
  audio.setQueryFails(SimAudio::Query::runningSomewhere, true);
  EXPECT_FALSE(callAudio.microphoneInUse());
  audio.setQueryFails(SimAudio::Query::runningSomewhere, false);
  audio.setQueryFails(SimAudio::Query::defaultInputDevice, true);
  EXPECT_FALSE(callAudio.microphoneInUse());
  audio.setQueryFails(SimAudio::Query::defaultInputDevice, false);
  audio.setInputDeviceAvailable(false);
  EXPECT_FALSE(callAudio.microphoneInUse());
  EXPECT_FALSE(CallAudioDetector(nullptr, desktop.workspace()).microphoneInUse());
}

}  // namespace
}  // namespace corvane
