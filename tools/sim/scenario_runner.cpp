#include "scenario_runner.h"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <memory>
#include <optional>
#include <set>
#include <sstream>

#include "app/app_delegate.h"
#include "app/core_services.h"
#include "app/privacy_controller.h"
#include "base/files.h"
#include "base/png.h"
#include "base/virtual_dispatcher.h"
#include "clearview/clear_view_shared_frame.h"
#include "in_process_roles.h"
#include "mirrorhost/mirror_host_client.h"
#include "overlay/diagnostic_dump.h"
#include "platform/sim/sim_accessibility.h"
#include "platform/sim/sim_audio.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_form_window.h"
#include "platform/sim/sim_input.h"
#include "lifecycle/app_updater.h"
#include "lifecycle/safe_restart.h"
#include "platform/sim/sim_leak_probe.h"
#include "platform/sim/sim_login_services.h"
#include "platform/sim/sim_session.h"
#include "platform/sim/sim_ui.h"
#include "settings/company_policy.h"
#include "settings/plist_defaults_store.h"
#include "settings/policy_file_watcher.h"
#include "settings/preferences.h"
#include "windows/conferencing.h"

namespace corvane::simtool {

namespace {

using json = nlohmann::json;

constexpr double kSampleRate = 60.0;
// A leak within this time after a window appeared, its application was activated, or it moved, is
// put down to that change rather than to the steady state.
constexpr double kSettleTime = 0.1;

std::string seconds(double t) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.3f", t);
  return buffer;
}

Point pointOf(const json& v) { return Point{v[0].get<double>(), v[1].get<double>()}; }

std::string identity(const std::string& bundleID) { return Conferencing::hubFamilyRoot(bundleID).value_or(bundleID); }

// CPU time this process has used, in seconds.
double cpuSeconds() {
  timespec ts{};
  if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts) != 0) return 0;
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

}  // namespace

// The Clear View log of a run: each line with the simulated time it was written at.
class TimedLog final : public LogSink {
 public:
  TimedLog(const Clock& clock, const double& start) : clock_(clock), start_(start) {}
  void log(std::string_view message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back({{"t", std::round((clock_.mediaTime() - start_) * 1000) / 1000}, {"line", std::string(message)}});
  }
  json lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  const Clock& clock_;
  const double& start_;
  mutable std::mutex mutex_;
  json lines_ = json::array();
};

// One run of a scenario.
class Runner {
 public:
  Runner(const Scenario& scenario, std::string outDir) : sc_(scenario), outDir_(std::move(outDir)) {}

  // Loads the desktop and starts the application.
  bool start(std::string& error) {
    if (!makeDirectories(outDir_, &error)) return false;
    if (!desktop_.load(sc_.desktop, &error)) {
      error = sc_.path + ": desktop: " + error;
      return false;
    }
    reserveScriptedWindowNumbers();
    addDesktopFurniture();
    // Helpers the application launches capture this live world, on its clock.
    runCaptureHelpersInProcess(desktop_);
    runMirrorHostInProcess(desktop_, clearViewLog_);
    desktop_.input().setListenAccessGranted(sc_.listenAccess);
    t0_ = dispatcher_.mediaTime();

    // Settings live in a fresh store of this run's own, in a directory this run creates (and
    // removes when it ends); nothing that was in DIR before is touched.
    configDir_ = std::make_unique<PrivateDirectory>(outDir_, ".config-", &error);
    if (configDir_->path().empty()) return false;
    defaults_ = std::make_unique<PlistDefaultsStore>(configDir_->path(), "", desktop_.systemLog(), dispatcher_);
    // Clear View's shared frame files, in a private directory of this run's own (runs side by side
    // never share a file).
    framesDir_ = std::make_unique<PrivateDirectory>(outDir_, ".frames-", &error);
    if (framesDir_->path().empty()) return false;
    desktop_.setDefaultsStore(defaults_.get());
    prefs_ = std::make_unique<Preferences>(*defaults_, dispatcher_, desktop_.systemLog());
    applyPreferences(sc_.protectedApps, sc_.triggerApps, sc_.autoDetectEnabled, sc_.blurIntensity, sc_.requireCorvane);
    prefs_->blurDesktop.set(sc_.blurDesktop);
    prefs_->hasCompletedOnboarding.set(sc_.hasCompletedOnboarding);
    dispatcher_.runUntilIdle();

    // The application's mirror host client, on the virtual clock; the host starts on first use.
    mirrorHost_ = std::make_unique<MirrorHostClient>(desktop_.processes(), dispatcher_, clearViewLog_,
                                                     MirrorHostClient::EventReading::polled);
    MirrorHostClient::install(mirrorHost_.get());
    // The application starts as it does on any desktop: the delegate builds the controller and the
    // status menu on the next turns. Policies arrive through this run's own watcher (see
    // deliverPolicy).
    services_ = std::make_unique<CoreServices>(desktop_.platform(), clearViewLog_);
    services_->sharedFrameDirectory = framesDir_->path();
    delegate_ = std::make_unique<AppDelegate>(AppDelegate::Dependencies{
        *services_, *prefs_, safeRestart_, nullptr, std::string(applicationDomain), kApplicationVersion, std::nullopt,
        buildFilePath()});
    delegate_->onStateChange = [this] { recordState(); };
    delegate_->openSettingsWindow = [this] { ++settingsOpened_; };
    delegate_->onPolicyApplied = [this](const CompanyPolicy& policy, const CompanyPolicy::ApplyResult& result) {
      policies_.push_back({{"t", std::round(now() * 1000) / 1000},
                           {"version", policy.version},
                           {"changedKeys", result.changedKeys},
                           {"lockedKeys", result.lockedKeys}});
    };
    delegate_->applicationDidFinishLaunching();
    dispatcher_.runUntilIdle();
    if (!controller()) {
      error = sc_.path + ": the application did not start";
      return false;
    }
    return true;
  }

  // Plays the timeline's events and takes the samples up to time `until` (seconds after the start).
  bool playUntil(double until, std::string& error) {
    const double dt = 1.0 / kSampleRate;
    for (;; ++nextSample_) {
      const double t = double(nextSample_) * dt;
      if (t > until + 1e-9) break;
      while (nextEvent_ < sc_.events.size() && sc_.events[nextEvent_].at <= t + 1e-9) {
        const ScenarioEvent& event = sc_.events[nextEvent_++];
        dispatcher_.advanceTo(t0_ + event.at);
        lastEvent_ = event.describe();
        if (!apply(event, error)) {
          error = sc_.path + ": " + event.describe() + ": " + error;
          return false;
        }
      }
      dispatcher_.advanceTo(t0_ + t);
      sample(t, dt);
    }
    return true;
  }

  sim::SimDesktop& desktop() { return desktop_; }
  // Windows whose content the share must not show right now.
  std::set<WindowID> hiddenWindows() { return mustNotBeSeen(); }

  RunResult run() {
    RunResult result;
    std::string error;
    const double cpuStart = cpuSeconds();
    if (!start(error) || !playUntil(sc_.duration, error)) return failed(error);
    delegate_->applicationWillTerminate();
    // The run's own speed, before the report is written (the pictures are in it).
    const double cpu = std::max(cpuSeconds() - cpuStart, 1e-6);
    speed_ = sc_.duration / cpu;

    json report;
    report["scenario"] = sc_.name;
    report["duration"] = sc_.duration;
    report["samplesPerSecond"] = kSampleRate;
    report["frames"] = frames_;
    report["leaks"] = {{"steadyFrames", steadyFrames_},
                       {"appearFrames", appearFrames_},
                       {"motionFrames", motionFrames_},
                       {"beforeDetectionFrames", beforeDetectionFrames_},
                       {"unprobedFrames", unprobedFrames_}};
    report["leaks"]["rectFrames"] = rectFrames_;
    json perWindow = json::object();
    for (const auto& [number, ms] : leakedPixelMs_) perWindow[std::to_string(number)] = ms;
    report["leakedPixelMs"] = perWindow;
    report["motion"] = {{"samples", motionSamples_},
                        {"overshootMaxPoints", std::round(overshootMax_ * 10) / 10},
                        {"overshootMeanPoints",
                         motionSamples_ ? std::round(overshootSum_ / double(motionSamples_) * 10) / 10 : 0.0}};
    report["leaks"]["notificationFrames"] = notificationFrames_;
    report["leaks"]["desktopFrames"] = desktopFrames_;
    auto rounded = [](const std::optional<double>& v) {
      return v ? json(std::floor(*v * 10000) / 10000) : json(nullptr);
    };
    report["clearView"] = clearViewReport();
    report["clearView"]["notificationFidelity"] = rounded(notificationFidelity_);
    report["clearView"]["desktopFidelity"] = rounded(desktopFidelity_);
    report["leakSpans"] = leakSpans_;
    report["timeline"] = timeline_;
    report["shareSignal"] = shareSignal_;
    report["frostedMeetingFrames"] = frostedMeetingFrames_;
    report["pictures"] = pictures_;
    report["policies"] = policies_;
    report["loginServices"] = loginServicesReport();
    report["settingsOpened"] = settingsOpened_;
    report["updates"] = updatesReport();
    report["log"] = desktop_.systemLog().lines();
    report["clearViewLog"] = clearViewLog_.lines();
    report["speed"] = {{"cpuSeconds", std::round(cpu * 1000) / 1000},
                       {"simulatedSecondsPerCpuSecond", std::round(speed_ * 100) / 100}};
    std::string reportPath = outDir_ + "/report.json";
    if (!writeFileText(report.dump(2) + "\n", reportPath, &error)) return failed(error);

    result.report = report;
    result.summary = summary(reportPath);
    if (unprobedFrames_ > 0) {
      // What the share showed there is unknown: that is no clean run.
      result.error = sc_.path + ": " + std::to_string(unprobedFrames_) + " samples could not be probed (" +
                     unprobedWhy_ + "); see " + reportPath;
      return result;
    }
    result.ok = true;
    return result;
  }

 private:
  RunResult failed(std::string error) {
    RunResult r;
    r.error = std::move(error);
    return r;
  }

  double now() const { return dispatcher_.mediaTime() - t0_; }
  PrivacyController* controller() const { return delegate_->controller(); }

  void applyPreferences(const std::vector<AppRef>& protectedApps, const std::vector<AppRef>& triggerApps,
                        bool autoDetect, double blurIntensity, bool requireCorvane) {
    prefs_->protectedApps.set(protectedApps);
    prefs_->triggerApps.set(triggerApps);
    prefs_->autoDetectEnabled.set(autoDetect);
    prefs_->blurIntensity.set(blurIntensity);
    prefs_->requireCorvane.set(requireCorvane);
  }

  void recordState() {
    const bool active = controller()->isPrivacyActive();
    if (active == lastActive_) return;
    const bool sharing = controller()->detector().isSharing();
    std::string cause = lastEvent_;
    // lastSharing_ is the detector's state at the previous sample.
    if (sharing != lastSharing_) cause = std::string(sharing ? "share detected" : "share ended") + " after " + lastEvent_;
    timeline_.push_back({{"t", std::round(now() * 1000) / 1000}, {"privacy", active}, {"cause", cause},
                         {"detectorSharing", sharing}});
    lastActive_ = active;
  }

  // The detector's verdict, once per sample.
  void trackDetector() {
    const bool sharing = controller()->detector().isSharing();
    if (sharing == lastSharing_) return;
    shareSignal_.push_back({{"t", std::round(now() * 1000) / 1000}, {"sharing", sharing}});
    lastSharing_ = sharing;
  }

  bool windowExists(const json& fields, std::string& error) {
    if (!desktop_.window(WindowID(fields["number"].get<int64_t>()))) {
      error = "no window " + std::to_string(fields["number"].get<int64_t>());
      return false;
    }
    return true;
  }

  bool appExists(pid_t pid, std::string& error) {
    auto app = desktop_.app(pid);
    if (!app || app->terminated) {
      error = "no running application with pid " + std::to_string(pid);
      return false;
    }
    return true;
  }

  void markAppeared(pid_t pid) {
    for (const auto& w : desktop_.windows()) {
      if (w.ownerPID == pid) appearedAt_[w.number] = now();
    }
  }

  bool apply(const ScenarioEvent& e, std::string& error) {
    const json& s = e.fields;
    sim::SimInput& input = desktop_.input();
    if (auto handled = applySessionChange(e, error)) return *handled;
    if (e.kind == "launch") {
      auto pid = desktop_.launchAppFromDescription(s["app"], "app", &error);
      return pid.has_value();
    }
    if (e.kind == "quit") {
      pid_t pid = pid_t(s["pid"].get<int64_t>());
      if (!appExists(pid, error)) return false;
      desktop_.quitApp(pid);
      return true;
    }
    if (e.kind == "activate") {
      pid_t pid = pid_t(s["pid"].get<int64_t>());
      if (!appExists(pid, error)) return false;
      desktop_.activateApp(pid);
      markAppeared(pid);
      return true;
    }
    if (e.kind == "openWindow") {
      auto number = desktop_.addWindowFromDescription(s["window"], "window", &error);
      if (number) appearedAt_[*number] = now();
      return number.has_value();
    }
    if (e.kind == "closeWindow") {
      if (!windowExists(s, error)) return false;
      desktop_.closeWindow(WindowID(s["number"].get<int64_t>()));
      return true;
    }
    if (e.kind == "moveWindow" || e.kind == "resizeWindow") return changeFrame(s, e.kind == "moveWindow", error);
    if (e.kind == "setTitle") {
      if (!windowExists(s, error)) return false;
      desktop_.setTitle(WindowID(s["number"].get<int64_t>()), sim::SimTitle::of(s["title"].get<std::string>()));
      return true;
    }
    if (e.kind == "drag") return startDrag(s, error);
    if (e.kind == "startShare" || e.kind == "stopShare") {
      const bool start = e.kind == "startShare";
      const std::string kind = s["kind"].get<std::string>();
      if (kind == "screenWatcher") {
        start ? desktop_.startScreenWatcherShare() : desktop_.stopScreenWatcherShare();
      } else if (kind == "picker") {
        if (start) {
          desktop_.openSharePicker();
        } else {
          desktop_.closeSharePicker();
        }
      } else {
        pid_t pid = pid_t(s["pid"].get<int64_t>());
        if (!appExists(pid, error)) return false;
        if (start) {
          desktop_.startZoomFramebufferShare(pid);
        } else {
          desktop_.stopZoomFramebufferShare(pid);
        }
      }
      return true;
    }
    if (e.kind == "callAudio") {
      pid_t pid = pid_t(s["pid"].get<int64_t>());
      if (!appExists(pid, error)) return false;
      desktop_.audio().setProcessAudio(pid, sim::SimAudio::ProcessActivity{s.value("input", false), s.value("output", false)});
      return true;
    }
    if (e.kind == "microphone") {
      desktop_.audio().setMicrophoneInUse(s["inUse"].get<bool>());
      return true;
    }
    if (e.kind == "hotKey") {
      static const std::map<std::string, uint32_t> keys = {{"B", KeyCode::b}, {"P", KeyCode::p}, {"R", KeyCode::r}};
      const uint32_t key = keys.at(s["key"].get<std::string>());
      const std::string action = s.value("action", std::string("tap"));
      if (action != "release") input.hotKey(key, PrivacyController::kHotKeyModifiers, true);
      if (action != "press") input.hotKey(key, PrivacyController::kHotKeyModifiers, false);
      return true;
    }
    if (e.kind == "commandTab") {
      pid_t pid = pid_t(s["to"].get<int64_t>());
      if (!appExists(pid, error)) return false;
      auto before = desktop_.frontmostPID();
      input.commandTab(pid, int(s.value("tabs", int64_t(1))), s.value("release", true));
      if (auto after = desktop_.frontmostPID(); after && after != before) markAppeared(*after);
      return true;
    }
    if (e.kind == "click") {
      auto before = desktop_.frontmostPID();
      for (int64_t i = 0; i < s.value("count", int64_t(1)); ++i) input.click(pointOf(s["point"]));
      auto after = desktop_.frontmostPID();
      if (after && after != before) markAppeared(*after);
      return true;
    }
    if (e.kind == "menu") {
      if (s["item"] == "toggle") {
        controller()->togglePrivacy();
      } else {
        controller()->peekTemporarily(4);
      }
      return true;
    }
    if (e.kind == "openMenu") {
      if (!desktop_.ui().openStatusMenu()) return error = "there is no status item with a menu", false;
      return true;
    }
    if (e.kind == "closeMenu") {
      desktop_.ui().closeStatusMenu();
      return true;
    }
    if (e.kind == "chooseMenuItem") return chooseMenuItem(s["title"].get<std::string>(), error);
    if (e.kind == "listenAccess") {
      input.setListenAccessGranted(s["granted"].get<bool>());
      return true;
    }
    if (e.kind == "picture") {
      if (s.value("dump", false) && !writeDump(s["name"].get<std::string>(), error)) return false;
      return takePicture(s["name"].get<std::string>(), error);
    }
    if (e.kind == "settings") return operateSettings(s, error);
    if (auto handled = applyDesktopChange(e, error)) return *handled;
    if (e.kind == "preferences") {
      Scenario changed = sc_;
      changed.protectedApps = prefs_->protectedApps();
      changed.triggerApps = prefs_->triggerApps();
      changed.autoDetectEnabled = prefs_->autoDetectEnabled();
      changed.blurIntensity = prefs_->blurIntensity();
      changed.requireCorvane = prefs_->requireCorvane();
      const json& set = s["set"];
      if (set.contains("protectedApps") || set.contains("triggerApps")) {
        auto apps = [](const json& v) {
          std::vector<AppRef> out;
          for (const auto& a : v) out.push_back(AppRef{a["bundleID"].get<std::string>(), a["name"].get<std::string>()});
          return out;
        };
        if (set.contains("protectedApps")) changed.protectedApps = apps(set["protectedApps"]);
        if (set.contains("triggerApps")) changed.triggerApps = apps(set["triggerApps"]);
      }
      if (set.contains("autoDetectEnabled")) changed.autoDetectEnabled = set["autoDetectEnabled"].get<bool>();
      if (set.contains("blurIntensity")) changed.blurIntensity = set["blurIntensity"].get<double>();
      if (set.contains("requireCorvane")) changed.requireCorvane = set["requireCorvane"].get<bool>();
      if (set.contains("hasCompletedOnboarding")) prefs_->hasCompletedOnboarding.set(set["hasCompletedOnboarding"].get<bool>());
      applyPreferences(changed.protectedApps, changed.triggerApps, changed.autoDetectEnabled, changed.blurIntensity,
                       changed.requireCorvane);
      if (set.contains("blurDesktop")) prefs_->blurDesktop.set(set["blurDesktop"].get<bool>());
      return true;
    }
    if (e.kind == "notify") {
      const WindowID banner = desktop_.postNotification(s["app"].get<std::string>(), s["title"].get<std::string>(),
                                                        s.value("body", std::string()), s.value("seconds", 5.0));
      if (banner == 0) return error = "the notification service could not show a banner", false;
      bannerPostedAt_ = now();
      return true;
    }
    error = "unknown event";
    return false;
  }

  // The desktop picture and icons, and the notification service when the timeline posts banners.
  void addDesktopFurniture() {
    if (sc_.desktopPictureColor) desktop_.setDesktopPicture(*sc_.desktopPictureColor, sc_.desktopIcons);
    if (std::any_of(sc_.events.begin(), sc_.events.end(), [](const auto& e) { return e.kind == "notify"; })) {
      desktop_.startNotificationService();
    }
  }

  // What the shields beyond the overlays keep from the share: the banners while the shields are in
  // force, and the desktop while it is to be frosted (blurDesktop, a share detected).
  std::set<WindowID> bannerWindows() {
    std::set<WindowID> result;
    if (!controller()->shieldsInForce()) return result;
    for (const auto& w : desktop_.windows()) {
      if (w.look == sim::SimWindow::Look::banners && w.onScreen) result.insert(w.number);
    }
    return result;
  }
  bool desktopPrivate() {
    return controller()->shieldsInForce() && prefs_->blurDesktop() && controller()->detector().isSharing();
  }

  // Counts the shields' leaks, and at rest how faithfully the user's view shows what the frost hides
  // from the share: the share of the hidden content's pixels that the local view shows as the
  // desktop would without the program (within a small difference per channel).
  void sampleShields(double t) {
    const auto banners = bannerWindows();
    if (!banners.empty()) {
      sim::countLeaks(desktop_, banners, shieldLeaks_);
      if (shieldLeaks_.total() > 0) ++notificationFrames_;
    }
    std::set<WindowID> desktopContent;
    if (desktopPrivate()) {
      for (const WindowID number : desktop_.desktopWindows()) desktopContent.insert(number);
      if (!desktopContent.empty()) {
        sim::countLeaks(desktop_, desktopContent, shieldLeaks_);
        if (shieldLeaks_.total() > 0) ++desktopFrames_;
      }
      if (!desktopSince_) desktopSince_ = t;
    } else {
      desktopSince_.reset();
    }
    // At rest: a banner that has settled (1 s after it was posted), a desktop frosted for 1 s with
    // no banner arriving over it (a new banner's first frost is generous); at most twice a second.
    if (t - lastFidelityAt_ < 0.5) return;
    if (!banners.empty() && bannerPostedAt_ && now() - *bannerPostedAt_ >= 1.0) {
      lastFidelityAt_ = t;
      noteFidelity(notificationFidelity_, fidelity(banners));
    }
    const bool bannerAtRest = banners.empty() || (bannerPostedAt_ && now() - *bannerPostedAt_ >= 1.0);
    if (!desktopContent.empty() && desktopSince_ && t - *desktopSince_ >= 1.0 && bannerAtRest) {
      lastFidelityAt_ = t;
      noteFidelity(desktopFidelity_, fidelity(desktopContent));
    }
  }

  static void noteFidelity(std::optional<double>& lowest, std::optional<double> value) {
    if (value) lowest = lowest ? std::min(*lowest, *value) : *value;
  }

  std::optional<double> fidelity(const std::set<WindowID>& content) {
    const auto displays = desktop_.displays();
    if (displays.empty()) return std::nullopt;
    const DisplayID main = displays.front().id;
    std::set<pid_t> program = {desktop_.selfPID()};
    if (const pid_t host = mirrorHost_->hostPID(); host > 0) program.insert(host);
    sim::VisibilityMap visibility;
    visibility.watched = content;
    const PixelBuffer reference = desktop_.renderLocalViewWithout(main, program, visibility);
    const PixelBuffer local = desktop_.renderLocalView(main);
    if (reference.isEmpty() || local.width != reference.width || local.height != reference.height) return std::nullopt;
    uint64_t shown = 0, faithful = 0;
    for (int y = 0; y < reference.height; ++y) {
      for (int x = 0; x < reference.width; ++x) {
        if (visibility.visibleAt(x, y) == 0) continue;
        ++shown;
        const uint8_t* a = reference.pixel(x, y);
        const uint8_t* b = local.pixel(x, y);
        if (std::abs(int(a[0]) - int(b[0])) <= 24 && std::abs(int(a[1]) - int(b[1])) <= 24 &&
            std::abs(int(a[2]) - int(b[2])) <= 24) {
          ++faithful;
        }
      }
    }
    if (shown == 0) return std::nullopt;
    return double(faithful) / double(shown);
  }

  // The installed build's number, as the package manager leaves it beside the executable.
  std::string buildFilePath() const { return configDir_->path() + "/corvane.build"; }

  // The user's session (input, screen lock, wake), a newly installed build and the application's
  // defaults: whether it worked, or nothing for another kind. The user's own actions end idleness.
  std::optional<bool> applySessionChange(const ScenarioEvent& e, std::string& error) {
    static const std::set<std::string> userActions = {"userInput", "hotKey",   "commandTab",    "click",   "menu",
                                                      "openMenu",  "closeMenu", "chooseMenuItem", "drag", "key"};
    const json& s = e.fields;
    sim::SimSession& session = desktop_.session();
    if (userActions.contains(e.kind)) session.noteInput();
    if (e.kind == "userInput") return true;
    if (e.kind == "screenLock") {
      session.setScreenLocked(s["locked"].get<bool>());
      return true;
    }
    if (e.kind == "wake") {
      session.wake();
      return true;
    }
    if (e.kind == "installBuild") {
      if (!writeFileText(std::to_string(s["build"].get<int64_t>()) + "\n", buildFilePath(), &error)) return false;
      updates_["installed"].push_back({{"t", std::round(now() * 1000) / 1000}, {"build", s["build"]}});
      return true;
    }
    if (e.kind == "defaults") {
      const json& v = s["value"];
      const PlistValue value = v.is_boolean() ? PlistValue(v.get<bool>())
                               : v.is_number_integer() ? PlistValue(v.get<int64_t>())
                               : v.is_number() ? PlistValue(v.get<double>())
                                               : PlistValue(v.get<std::string>());
      defaults_->set(applicationDomain, s["key"].get<std::string>(), value);
      return true;
    }
    return std::nullopt;
  }

  // What the updater did: the builds installed, the relaunchers started, the alerts shown.
  json updatesReport() {
    json report = updates_;
    report["runningBuild"] = runningBuildNumber();
    json relaunches = json::array();
    for (const auto& start : desktop_.detachedStarts()) {
      relaunches.push_back({{"t", std::round((start.at - t0_) * 1000) / 1000},
                            {"program", start.program},
                            {"arguments", start.arguments}});
    }
    report["relaunches"] = relaunches;
    report["restartingForUpdate"] = safeRestart_.isRestartingForUpdate();
    json alerts = json::array();
    for (const auto& alert : desktop_.ui().alertsShown()) {
      alerts.push_back({{"message", alert.messageText}, {"informative", alert.informativeText}, {"buttons", alert.buttons}});
    }
    report["alerts"] = alerts;
    return report;
  }

  // The windows a script opens later keep their numbers: the program's own windows take others.
  void reserveScriptedWindowNumbers() {
    std::vector<WindowID> numbers;
    for (const auto& e : sc_.events) {
      if (e.kind != "openWindow") continue;
      const json& number = e.fields["window"].value("number", json());
      if (number.is_number_unsigned() && number.get<uint64_t>() <= UINT32_MAX) {
        numbers.push_back(WindowID(number.get<uint64_t>()));
      }
    }
    desktop_.reserveWindowNumbers(numbers);
  }

  // The events that change the desktop, its input, accessibility, policy or the meeting windows
  // (beyond the basic window and application events): whether it worked, or nothing for another kind.
  std::optional<bool> applyDesktopChange(const ScenarioEvent& e, std::string& error) {
    const json& s = e.fields;
    const WindowID number = s.contains("number") ? WindowID(s["number"].get<int64_t>()) : 0;
    if (s.contains("number") && !windowExists(s, error)) return false;
    if (e.kind == "minimise") return desktop_.setMinimised(number, true);
    if (e.kind == "restore") {
      // From the Dock: the window comes back in front and its application is activated.
      desktop_.setMinimised(number, false);
      desktop_.raiseWindow(number);
      const pid_t owner = desktop_.window(number)->ownerPID;
      if (auto app = desktop_.app(owner); app && !app->terminated) {
        desktop_.activateApp(owner);
        markAppeared(owner);
      }
      appearedAt_[number] = now();
      return true;
    }
    if (e.kind == "hide" || e.kind == "unhide") {
      const pid_t pid = pid_t(s["pid"].get<int64_t>());
      if (!appExists(pid, error)) return false;
      auto before = desktop_.frontmostPID();
      if (e.kind == "hide") {
        desktop_.hideApp(pid);
      } else if (desktop_.unhideApp(pid)) {
        markAppeared(pid);
      }
      if (auto after = desktop_.frontmostPID(); after && after != before) markAppeared(*after);
      return true;
    }
    if (e.kind == "setLevel") {
      const json& level = s["level"];
      desktop_.setLevel(number, level.is_string() ? *sim::levelNamed(level.get<std::string>()) : level.get<int64_t>());
      appearedAt_[number] = now();
      return true;
    }
    if (e.kind == "setAlpha") {
      desktop_.setAlpha(number, s["alpha"].get<double>());
      appearedAt_[number] = now();
      return true;
    }
    if (e.kind == "setSharing") {
      desktop_.setSharingState(number, *sharingType(s["sharing"]));
      appearedAt_[number] = now();
      return true;
    }
    if (e.kind == "raiseWindow") {
      // Ordered front without its application being activated (a panel, a call's mini window).
      desktop_.raiseWindow(number);
      appearedAt_[number] = now();
      return true;
    }
    if (e.kind == "killCaptureHelper") {
      // Whatever captures the window dies at once (SIGKILL), as when the system ends it.
      const std::vector<std::string> arguments{"--capture-loop", std::to_string(number),
                                               framesDir_->path() + "/" +
                                                   sharedFrameFileName(SharedFrameOwner::windowMirror,
                                                                       desktop_.selfPID(), number)};
      if (desktop_.inProcessLauncher().kill(arguments, SIGKILL) == 0) {
        return error = "no capture helper runs for window " + std::to_string(number), false;
      }
      return true;
    }
    if (e.kind == "addDisplay") return desktop_.addDisplayFromDescription(s["display"], "display", &error);
    if (e.kind == "removeDisplay") {
      const int64_t id = s["id"].get<int64_t>();
      if (id < 1 || id > int64_t(UINT32_MAX)) return error = "no display " + std::to_string(id), false;
      return desktop_.removeDisplay(DisplayID(id), &error);
    }
    if (e.kind == "key") return pressKey(s);
    if (e.kind == "accessibility") {
      json change = s;
      change.erase("at");
      change.erase("event");
      return desktop_.accessibility().update(change, "accessibility", &error);
    }
    if (e.kind == "policy") return deliverPolicy(s["document"], error);
    if (e.kind == "meetingWindows") {
      sc_.meetingWindows.clear();
      for (const auto& n : s["windows"]) sc_.meetingWindows.insert(n.get<int64_t>());
      return true;
    }
    return std::nullopt;
  }

  // Escape, Tab or a modifier key alone, through the input port; a tap may repeat `times` times,
  // `interval` seconds apart (a triple tap of a modifier).
  bool pressKey(const json& s) {
    static const std::map<std::string, uint64_t> modifiers = {{"command", ModifierFlag::command},
                                                              {"shift", ModifierFlag::shift},
                                                              {"option", ModifierFlag::option},
                                                              {"control", ModifierFlag::control}};
    sim::SimInput& input = desktop_.input();
    const std::string key = s["key"].get<std::string>();
    const std::string action = s.value("action", std::string("tap"));
    auto press = [&input, key, action] {
      if (auto modifier = modifiers.find(key); modifier != modifiers.end()) {
        if (action != "release") input.modifierKey(modifier->second, true);
        if (action != "press") input.modifierKey(modifier->second, false);
      } else {
        const uint16_t code = key == "escape" ? KeyCode::escape : KeyCode::tab;
        if (action != "release") input.keyDown(code, input.currentModifierFlags());
        if (action != "press") input.keyUp(code, input.currentModifierFlags());
      }
    };
    auto before = desktop_.frontmostPID();
    press();
    // Letting go of Command ends the application switcher, which activates its choice.
    if (auto after = desktop_.frontmostPID(); after && after != before) markAppeared(*after);
    const double interval = s.value("interval", 0.1);
    for (int64_t i = 1; i < s.value("times", int64_t(1)); ++i) dispatcher_.main().asyncAfter(interval * double(i), press);
    return true;
  }

  // The organisation's policy arrives as the platform delivers it: written to the policy file,
  // which the policy file watcher reads and hands over to be applied.
  bool deliverPolicy(const json& document, std::string& error) {
    const std::string path = outDir_ + "/policy.json";
    if (!writeFileText(document.dump(2) + "\n", path, &error)) return false;
    if (!policyWatcher_) {
      policyWatcher_ = std::make_unique<PolicyFileWatcher>(path, dispatcher_, desktop_.systemLog(),
                                                           [this](const json& delivered) { applyPolicy(delivered); });
      policyWatcher_->start();
    } else {
      policyWatcher_->checkNow();
    }
    return true;
  }

  void applyPolicy(const json& document) { delegate_->deliverCompanyPolicy(document); }

  // Eases from 0 to 1 as a hand or an animation does: slow at both ends, fastest half way, where
  // it goes pi/2 times the mean speed.
  static double eased(double f) { return (1 - std::cos(M_PI * f)) / 2; }

  // A pointer drag of a window by its title bar, or of one of its edges or corners (a resize), or
  // from a point of the screen (drawing), with one pointer event per 1/pointerRate s over the
  // duration.
  bool startDrag(const json& s, std::string& error) {
    if (s.contains("from")) return dragPointer(pointOf(s["from"]), s);
    if (!windowExists(s, error)) return false;
    const WindowID number = WindowID(s["number"].get<int64_t>());
    const Rect b = desktop_.window(number)->bounds;
    const double h = desktop_.mainDisplayHeight();
    // Where the press lands, in window-server space: the title bar, or 2 points outside the edge
    // (the resize grip reaches past the window, where its frost does not take the click).
    const std::string edge = s.value("edge", std::string("titleBar"));
    double x = b.midX();
    double y = b.minY() + 10;
    if (edge != "titleBar") {
      y = b.midY();
      if (edge.starts_with("top")) y = b.minY() - 2;
      if (edge.starts_with("bottom")) y = b.maxY() + 2;
      if (edge == "left" || edge.ends_with("Left")) x = b.minX() - 2;
      if (edge == "right" || edge.ends_with("Right")) x = b.maxX() + 2;
    }
    return dragPointer(Point{x, h - y}, s);
  }

  // The pointer presses at `start` (screen space), moves by the event's `by` and lets go.
  bool dragPointer(Point start, const json& s) {
    const Point by = pointOf(s["by"]);
    const double duration = s.value("duration", 0.5);
    const int steps = std::max(1, int(std::lround(duration * desktop_.motion().pointerRate)));
    sim::SimInput& input = desktop_.input();
    // The pointer arrives first (the frost lets clicks on the title bar through once it knows where
    // the pointer is), then the button goes down.
    input.moveMouse(start);
    constexpr double kPress = 0.05;
    dispatcher_.main().asyncAfter(kPress, [&input, start] { input.dragBegin(start); });
    for (int i = 1; i <= steps; ++i) {
      const double f = double(i) / steps;
      const Point p{start.x + by.x * eased(f), start.y + by.y * eased(f)};
      const bool last = i == steps;
      dispatcher_.main().asyncAfter(kPress + duration * f, [&input, p, last] {
        input.dragTo(p);
        if (last) input.dragEnd(p);
      });
    }
    return true;
  }

  // An application moves or resizes its own window: at once, or animated over `duration` with one
  // step per 1/120 s.
  bool changeFrame(const json& s, bool move, std::string& error) {
    if (!windowExists(s, error)) return false;
    const WindowID number = WindowID(s["number"].get<int64_t>());
    const Rect from = desktop_.window(number)->bounds;
    const Point to = pointOf(move ? s["origin"] : s["size"]);
    auto frameAt = [from, to, move](double f) {
      if (move) return Rect(from.minX() + (to.x - from.minX()) * f, from.minY() + (to.y - from.minY()) * f,
                            from.width(), from.height());
      return Rect(from.minX(), from.minY(), from.width() + (to.x - from.width()) * f,
                  from.height() + (to.y - from.height()) * f);
    };
    if (!s.contains("duration")) {
      desktop_.setBounds(number, frameAt(1));
      return true;
    }
    constexpr double kAnimationRate = 120;
    const double duration = s["duration"].get<double>();
    const int steps = std::max(1, int(std::lround(duration * kAnimationRate)));
    for (int i = 1; i <= steps; ++i) {
      const double f = double(i) / steps;
      dispatcher_.main().asyncAfter(duration * f, [this, number, frame = frameAt(eased(f))] {
        if (desktop_.window(number)) desktop_.setBounds(number, frame);
      });
    }
    return true;
  }

  // NAME-share.png and NAME-local.png of the main display; NAME-share-ID.png and NAME-local-ID.png
  // of each further display, ID being its display id.
  bool takePicture(const std::string& name, std::string& error) {
    json entry = {{"name", name}, {"t", std::round(now() * 1000) / 1000}};
    json others = json::array();
    const auto displays = desktop_.displays();
    for (size_t i = 0; i < displays.size(); ++i) {
      const std::string suffix = i == 0 ? "" : "-" + std::to_string(displays[i].id);
      const std::string share = outDir_ + "/" + name + "-share" + suffix + ".png";
      const std::string local = outDir_ + "/" + name + "-local" + suffix + ".png";
      const PixelBuffer sharePicture = desktop_.renderShareView(displays[i].id);
      if (sharePicture.isEmpty()) {
        error = "display " + std::to_string(displays[i].id) + " is too large to draw";
        return false;
      }
      if (!writePNG(sharePicture, share, &error) || !writePNG(desktop_.renderLocalView(displays[i].id), local, &error)) {
        return false;
      }
      if (i == 0) {
        entry["share"] = share;
        entry["local"] = local;
      } else {
        others.push_back({{"display", displays[i].id}, {"share", share}, {"local", local}});
      }
    }
    if (!others.empty()) entry["otherDisplays"] = others;
    entry["privacy"] = controller()->isPrivacyActive();
    if (auto dump = dumps_.find(name); dump != dumps_.end()) entry["dump"] = dump->second;
    if (auto status = controller()->overlays().clearViewStatus()) entry["clearViewStatus"] = *status;
    if (auto settings = settingsReport(); !settings.is_null()) entry["settingsWindow"] = settings;
    if (auto item = desktop_.ui().statusItem()) entry["statusItem"] = {{"title", item->title}, {"toolTip", item->toolTip}};
    if (auto menu = desktop_.ui().openMenu()) {
      json rows = json::array();
      for (const auto& row : menu->items()) {
        if (row->isSeparator()) continue;
        rows.push_back({{"title", row->title}, {"enabled", row->enabled}});
      }
      entry["menu"] = rows;
    }
    pictures_.push_back(entry);
    return true;
  }

  // The overlay manager's diagnostic dump of this moment, into NAME-dump/: the manager writes it
  // into a directory of this run's own, from where it is moved into place.
  bool writeDump(const std::string& name, std::string& error) {
    if (!dumpDir_) {
      dumpDir_ = std::make_unique<PrivateDirectory>(outDir_, ".dump-", &error);
      if (dumpDir_->path().empty()) return false;
    }
    OverlayManager& overlays = controller()->overlays();
    overlays.setDumpDirectory(dumpDir_->path());
    const std::string written = dumpDir_->path() + "/corvane-clearview-out";
    if (!writeFileText("", dumpDir_->path() + "/corvane-clearview-dump", &error)) return false;
    overlays.handleDumpRequestIfNeeded();
    std::vector<std::pair<std::string, std::string>> files;
    std::error_code failure;
    for (const auto& entry : std::filesystem::directory_iterator(written, failure)) {
      auto contents = readFileText(entry.path().string(), &error);
      if (!contents) return false;
      files.emplace_back(entry.path().filename().string(), std::move(*contents));
    }
    if (failure || files.empty()) return error = "the diagnostic dump was not written", false;
    const std::string path = outDir_ + "/" + name + "-dump";
    if (!DiagnosticDump::replaceDirectory(path, files, &error)) return false;
    dumps_[name] = path;
    return true;
  }

  // The user chooses a menu item by its title, opening the status menu first when it is closed.
  bool chooseMenuItem(const std::string& title, std::string& error) {
    sim::SimUI& ui = desktop_.ui();
    if (!ui.openMenu() && !ui.openStatusMenu()) return error = "there is no status item with a menu", false;
    switch (ui.chooseMenuItem(title)) {
      case sim::SimUI::Choice::chosen:
        return true;
      case sim::SimUI::Choice::disabled:
        return error = "the menu item \"" + title + "\" is disabled", false;
      default:
        return error = "the menu has no item \"" + title + "\"", false;
    }
  }

  // The settings window that is on screen; null when none is.
  sim::SimFormWindow* settingsWindow() {
    for (sim::SimFormWindow* window : desktop_.ui().formWindows()) {
      if (window->isVisible()) return window;
    }
    return nullptr;
  }

  // The user works a control of the settings window, by the label it shows.
  bool operateSettings(const json& s, std::string& error) {
    sim::SimFormWindow* window = settingsWindow();
    if (!window) return error = "the settings window is not open", false;
    if (s.contains("close")) {
      window->close();
      return true;
    }
    sim::FormOperation op;
    using Kind = sim::FormOperation::Kind;
    static const std::pair<const char*, Kind> kinds[] = {{"toggle", Kind::toggle}, {"slider", Kind::slider},
                                                         {"search", Kind::type},   {"add", Kind::add},
                                                         {"remove", Kind::remove}, {"press", Kind::press}};
    for (const auto& [member, kind] : kinds) {
      if (s.contains(member)) {
        op.kind = kind;
        op.label = s[member].get<std::string>();
      }
    }
    if (s.contains("on")) op.on = s["on"].get<bool>();
    op.value = s.value("value", 0.0);
    op.text = s.value("text", std::string());
    op.group = s.value("list", std::string());
    // A scenario may expect the control to refuse (a setting the organisation locked).
    const bool expectDisabled = s.value("expect", std::string("done")) == "disabled";
    switch (window->operate(op)) {
      case sim::FormOperationResult::done:
        if (expectDisabled) return error = "the settings control \"" + op.label + "\" is not disabled", false;
        return true;
      case sim::FormOperationResult::disabled:
        if (expectDisabled) return true;
        return error = "the settings control \"" + op.label + "\" is disabled", false;
      default:
        return error = "the settings window shows no such control \"" + op.label + "\"", false;
    }
  }

  // What the settings window shows: each card's anchor, title and highlight, and its controls.
  json settingsReport() {
    sim::SimFormWindow* window = settingsWindow();
    if (!window) return nullptr;
    json sections = json::array();
    for (const auto& section : window->form().sections) {
      json controls = json::array();
      for (const auto& c : section.controls) {
        using K = ui::FormControl::Kind;
        if (c.kind == K::label || c.kind == K::heading || c.kind == K::banner || c.kind == K::keyValue) continue;
        json control = {{"text", c.text}, {"enabled", c.enabled}};
        if (c.kind == K::toggle || c.kind == K::chip || c.kind == K::status) control["on"] = c.on;
        if (c.kind == K::slider) control["value"] = c.value;
        if (c.kind == K::caption) control["caption"] = true;
        if (c.kind == K::listRow) control["listRow"] = c.group;
        controls.push_back(std::move(control));
      }
      sections.push_back(
          {{"anchor", section.anchor}, {"title", section.title}, {"highlighted", section.highlighted}, {"controls", controls}});
    }
    return {{"scrollAnchor", window->form().scrollAnchor}, {"sections", sections}};
  }

  json loginServicesReport() {
    const sim::SimLoginServices& services = desktop_.loginServices();
    json keepAlive = json::array();
    for (const auto& [label, executable] : services.keepAlive()) keepAlive.push_back(label);
    return {{"keepAlive", keepAlive}, {"loginItem", services.loginItem().has_value()}};
  }

  // Windows whose content the share must not show right now.
  std::set<WindowID> mustNotBeSeen() {
    if (!controller()->shieldsInForce()) return {};
    return protectedContent();
  }

  // Windows whose content is the user's to keep out of a share: those of protected applications,
  // except meeting windows and what the user shows to the meeting.
  std::set<WindowID> protectedContent() {
    std::set<WindowID> result;
    std::set<std::string> protectedIDs;
    for (const auto& app : prefs_->protectedApps()) protectedIDs.insert(identity(app.bundleID));
    const auto& revealedApps = controller()->overlays().revealedBundleIDs();
    const auto& revealedWindows = controller()->overlays().revealedWindowNumbers();
    std::map<pid_t, bool> isProtected;
    for (const auto& w : desktop_.windows()) {
      // Windows of every level from the normal one up carry the application's content.
      if (!w.onScreen || w.minimised || w.level < 0 || w.alpha <= 0.01 || w.captureExcluded ||
          w.sharingState == WindowSharingState::none || sc_.meetingWindows.contains(w.number) ||
          revealedWindows.contains(w.number)) {
        continue;
      }
      auto known = isProtected.find(w.ownerPID);
      if (known == isProtected.end()) {
        auto app = desktop_.app(w.ownerPID);
        bool covered = false;
        if (app && !app->terminated && app->bundleID) {
          covered = protectedIDs.contains(identity(*app->bundleID)) && !revealedApps.contains(*app->bundleID) &&
                    !revealedApps.contains(identity(*app->bundleID));
        }
        known = isProtected.emplace(w.ownerPID, covered).first;
      }
      if (known->second) result.insert(w.number);
    }
    return result;
  }

  void sample(double t, double dt) {
    ++frames_;
    trackDetector();
    // Motion: any window whose bounds changed since the last sample.
    std::map<WindowID, Rect> bounds;
    for (const auto& w : desktop_.windows()) {
      bounds[w.number] = w.bounds;
      auto before = lastBounds_.find(w.number);
      if (before == lastBounds_.end()) {
        if (!appearedAt_.contains(w.number)) appearedAt_[w.number] = t;
      } else if (!(before->second == w.bounds)) {
        movedAt_[w.number] = t;
      }
    }
    lastBounds_ = std::move(bounds);

    for (const auto& [number, overlay] : controller()->overlays().overlays()) {
      if (sc_.meetingWindows.contains(number)) {
        ++frostedMeetingFrames_;
        break;
      }
    }

    measureOvershoot(t);
    sampleShields(t);
    countRectLeaks();
    if (exposedBeforeDetection()) ++beforeDetectionFrames_;
    auto hidden = mustNotBeSeen();
    measureClearView(t, hidden);
    if (hidden.empty()) return;
    sim::LeakReport& leaks = leaks_;
    sim::countLeaks(desktop_, hidden, leaks);
    if (!leaks.isComplete()) {
      ++unprobedFrames_;
      unprobedWhy_ = "display " + std::to_string(leaks.unprobedDisplays.front()) + " is too large to draw";
    }
    if (leaks.total() == 0) return;
    recordSpan(t, dt, leaks.total());
    bool appearing = false;
    bool moving = false;
    for (const auto& [number, pixels] : leaks.leakedPixels) {
      if (pixels == 0) continue;
      leakedPixelMs_[number] += double(pixels) * dt * 1000.0;
      if (auto a = appearedAt_.find(number); a != appearedAt_.end() && t - a->second <= kSettleTime + 1e-9) appearing = true;
      if (auto m = movedAt_.find(number); m != movedAt_.end() && t - m->second <= kSettleTime + 1e-9) moving = true;
    }
    if (appearing) {
      ++appearFrames_;
    } else if (moving) {
      ++motionFrames_;
    } else {
      ++steadyFrames_;
      if (steadyFrames_ == 1) {
        std::string error;
        std::string path = outDir_ + "/first-steady-leak.png";
        if (writePNG(sim::probeLeaks(desktop_, hidden).highlighted(), path, &error)) firstSteadyLeak_ = path;
      }
    }
  }

  // ---- Clear View: what the user sees of the covered windows -----------------------------------

  // A window is at rest once this long has passed since it appeared, moved, or came under cover.
  static constexpr double kRestTime = 0.5;
  static constexpr int64_t kFidelityStrideAtRest = 2;
  static constexpr int64_t kFidelityStrideMoving = 6;

  struct ClearViewWindow {
    double coveredSince = 0;
    bool covered = false;
    double minAtRest = 1;
    double sumAtRest = 0;
    int64_t samplesAtRest = 0;
    json series = json::array();  // [t, fidelity] for each sample it was covered
    std::string lastLine;
    std::string lineBefore;                  // what the live line read before the pending change
    std::optional<int64_t> changedAtSample;  // a change of its live line not shown yet
    int64_t staleMax = 0;
    int64_t changesShown = 0;
    json changes = json::array();  // [t of the change, samples until shown]
  };

  void measureClearView(double t, const std::set<WindowID>& covered) {
    if (auto status = controller()->overlays().clearViewStatus(); status && *status != lastStatus_) {
      lastStatus_ = *status;
      statusLines_.push_back({{"t", std::round(t * 1000) / 1000}, {"status", *status}});
    }
    for (auto& [number, w] : clearView_) {
      if (covered.contains(number)) continue;
      w.covered = false;
      w.changedAtSample.reset();
    }
    for (WindowID number : covered) {
      ClearViewWindow& w = clearView_[number];
      if (!w.covered) {
        w.covered = true;
        w.coveredSince = t;
      }
      const std::string line = desktop_.liveLine(number);
      if (!line.empty() && line != w.lastLine && !w.lastLine.empty()) w.lineBefore = w.lastLine;
      double since = w.coveredSince;
      if (auto a = appearedAt_.find(number); a != appearedAt_.end()) since = std::max(since, a->second);
      if (auto m = movedAt_.find(number); m != movedAt_.end()) since = std::max(since, m->second);
      const bool atRest = t - since >= kRestTime - 1e-9;
      // Drawing the window's area twice is the costliest part of a sample: every sample while a
      // change of its line waits to be shown (staleness counts samples), else every second sample
      // at rest and every sixth while it moves or has just come under cover.
      const bool changePending = w.changedAtSample.has_value() || line != w.lastLine;
      if (!changePending && frames_ % (atRest ? kFidelityStrideAtRest : kFidelityStrideMoving) != 0) continue;
      const auto fidelity = desktop_.localFidelity(number, changePending ? w.lineBefore : "");
      if (!fidelity || fidelity->visiblePixels == 0) continue;
      const double share = fidelity->share();
      w.series.push_back({std::round(t * 1000) / 1000, std::round(share * 10000) / 10000});
      if (atRest) {
        w.minAtRest = std::min(w.minAtRest, share);
        w.sumAtRest += share;
        ++w.samplesAtRest;
      }
      if (!fidelity->hasLiveLine) continue;
      if (line != w.lastLine) {
        if (!w.lastLine.empty() && atRest) w.changedAtSample = frames_;
        w.lastLine = line;
      }
      if (w.changedAtSample && fidelity->liveLineShown) {
        w.staleMax = std::max(w.staleMax, frames_ - *w.changedAtSample);
        w.changes.push_back({std::round((t - double(frames_ - *w.changedAtSample) / kSampleRate) * 1000) / 1000,
                             frames_ - *w.changedAtSample});
        ++w.changesShown;
        staleSum_ += frames_ - *w.changedAtSample;
        w.changedAtSample.reset();
      }
    }
  }

  json clearViewReport() const {
    json perWindow = json::object();
    double minAtRest = 1;
    double sum = 0;
    int64_t samples = 0;
    int64_t staleMax = 0;
    int64_t shown = 0;
    int64_t unshown = 0;
    for (const auto& [number, w] : clearView_) {
      json entry = {{"samples", w.series}, {"samplesAtRest", w.samplesAtRest}, {"staleFramesMax", w.staleMax},
                    {"changes", w.changes},
                    {"changesShown", w.changesShown}};
      if (w.samplesAtRest > 0) {
        entry["minAtRest"] = std::round(w.minAtRest * 10000) / 10000;
        entry["meanAtRest"] = std::round(w.sumAtRest / double(w.samplesAtRest) * 10000) / 10000;
        minAtRest = std::min(minAtRest, w.minAtRest);
      }
      sum += w.sumAtRest;
      samples += w.samplesAtRest;
      staleMax = std::max(staleMax, w.staleMax);
      shown += w.changesShown;
      if (w.changedAtSample) ++unshown;
      perWindow[std::to_string(number)] = entry;
    }
    json fidelity = {{"samplesAtRest", samples}, {"perWindow", perWindow}};
    if (samples > 0) {
      fidelity["minAtRest"] = std::round(minAtRest * 10000) / 10000;
      fidelity["meanAtRest"] = std::round(sum / double(samples) * 10000) / 10000;
    }
    return {{"localFidelity", fidelity},
            {"staleFrames", {{"max", staleMax},
                             {"mean", shown ? std::round(double(staleSum_) / double(shown) * 100) / 100 : 0.0},
                             {"changesShown", shown},
                             {"changesNotShown", unshown}}},
            {"statusLines", statusLines_}};
  }

  // What lies under the rectangles the user drew never reaches the share, whether Privacy Mode is
  // on or not and whatever moves beneath them.
  void countRectLeaks() {
    const auto& rects = controller()->blurRects().rects();
    if (rects.empty()) return;
    ++rectSamples_;
    std::vector<sim::PrivateArea> areas;
    for (const StoredRect& rect : rects) {
      areas.push_back({rect.frame.flipped(desktop_.mainDisplayHeight()), blurRectWindowLevel});
    }
    if (sim::countAreaLeaks(desktop_, areas, rectLeaks_) > 0) ++rectFrames_;
    if (!rectLeaks_.isComplete()) {
      ++unprobedFrames_;
      unprobedWhy_ = "display " + std::to_string(rectLeaks_.unprobedDisplays.front()) + " is too large to draw";
    }
  }

  // While a covered window moves (within 0.1 s of a change of its bounds), how far its frost reaches
  // past it: the points of frost over pixels that are not protected.
  void measureOvershoot(double t) {
    if (!controller()->shieldsInForce()) return;
    for (const auto& [number, overlay] : controller()->overlays().overlays()) {
      auto moved = movedAt_.find(WindowID(number));
      if (moved == movedAt_.end() || t - moved->second > kSettleTime + 1e-9 || !overlay->isVisible()) continue;
      auto source = desktop_.window(WindowID(number));
      auto frost = desktop_.window(WindowID(overlay->windowNumber()));
      if (!source || !frost) continue;
      const Rect& w = source->bounds;
      const Rect& f = frost->bounds;
      const double overshoot =
          std::max({0.0, w.minX() - f.minX(), f.maxX() - w.maxX(), w.minY() - f.minY(), f.maxY() - w.maxY()});
      ++motionSamples_;
      overshootSum_ += overshoot;
      overshootMax_ = std::max(overshootMax_, overshoot);
    }
  }

  // Whether this sample falls between the start of a share and Privacy Mode answering it, and the
  // share shows protected content meanwhile.
  bool exposedBeforeDetection() {
    const bool sharing = desktop_.shareInProgress();
    if (sharing && !shareInProgress_) awaitingPrivacy_ = true;
    shareInProgress_ = sharing;
    if (!sharing || controller()->isPrivacyActive()) awaitingPrivacy_ = false;
    if (!awaitingPrivacy_) return false;
    auto exposed = protectedContent();
    if (exposed.empty()) return false;
    sim::countLeaks(desktop_, exposed, leaks_);
    return !leaks_.isClean();
  }

  // Consecutive leaking samples make one span: when it began and ended, and its largest count.
  void recordSpan(double t, double dt, uint64_t pixels) {
    const double rounded = std::round(t * 1000) / 1000;
    if (!leakSpans_.empty() && t - lastLeakAt_ <= dt * 1.5) {
      json& span = leakSpans_.back();
      span["to"] = rounded;
      span["maxPixels"] = std::max(span["maxPixels"].get<uint64_t>(), pixels);
    } else {
      leakSpans_.push_back({{"from", rounded}, {"to", rounded}, {"maxPixels", pixels}});
    }
    lastLeakAt_ = t;
  }

  std::string summary(const std::string& reportPath) const {
    std::ostringstream os;
    os << "Scenario \"" << sc_.name << "\": " << sc_.duration << " s simulated, " << frames_
       << " share-view samples.\n";
    os << "Leaks: " << steadyFrames_ << " steady, " << appearFrames_ << " on appearance, " << motionFrames_
       << " in motion";
    const bool clean = steadyFrames_ + appearFrames_ + motionFrames_ + beforeDetectionFrames_ + unprobedFrames_ == 0;
    os << (clean ? " (no protected pixel was ever shared)\n" : "\n");
    if (motionSamples_ > 0) {
      char line[160];
      std::snprintf(line, sizeof line, "Frost overshoot while windows moved (%lld samples): max %.1f pt, mean %.1f pt\n",
                    static_cast<long long>(motionSamples_), overshootMax_, overshootSum_ / double(motionSamples_));
      os << line;
    }
    os << "Shown before detection (a share had started, Privacy Mode was not on yet): " << beforeDetectionFrames_
       << (beforeDetectionFrames_ == 1 ? " sample\n" : " samples\n");
    if (rectSamples_ > 0) {
      os << "Under drawn blur rectangles (" << rectSamples_ << " samples): " << rectFrames_ << " leaking samples\n";
    }
    if (unprobedFrames_ > 0) os << "Not probed: " << unprobedFrames_ << " samples (" << unprobedWhy_ << ")\n";
    if (!firstSteadyLeak_.empty()) os << "  first steady leak, leaking pixels in red: " << firstSteadyLeak_ << "\n";
    if (frostedMeetingFrames_ > 0) os << "Meeting windows were frosted in " << frostedMeetingFrames_ << " samples.\n";
    const json cv = clearViewReport();
    if (cv["localFidelity"].contains("minAtRest")) {
      char line[200];
      std::snprintf(line, sizeof line,
                    "Clear View: the user saw %.1f%% of covered windows' real content at rest (lowest %.1f%%); "
                    "content changes reached the local view within %lld samples\n",
                    cv["localFidelity"]["meanAtRest"].get<double>() * 100,
                    cv["localFidelity"]["minAtRest"].get<double>() * 100,
                    static_cast<long long>(cv["staleFrames"]["max"].get<int64_t>()));
      os << line;
    }
    if (!lastStatus_.empty()) os << "Clear View status: " << lastStatus_ << "\n";
    os << "Privacy Mode:\n";
    if (timeline_.empty()) os << "  never changed\n";
    for (const auto& entry : timeline_) {
      os << "  " << seconds(entry["t"].get<double>()) << " s  " << (entry["privacy"].get<bool>() ? "on " : "off")
         << "  (" << entry["cause"].get<std::string>() << ")\n";
    }
    for (const auto& p : pictures_) {
      os << "Picture \"" << p["name"].get<std::string>() << "\" at " << seconds(p["t"].get<double>())
         << " s: share " << p["share"].get<std::string>() << ", local " << p["local"].get<std::string>() << "\n";
      for (const auto& other : p.value("otherDisplays", json::array())) {
        os << "  display " << other["display"].get<uint64_t>() << ": share " << other["share"].get<std::string>()
           << ", local " << other["local"].get<std::string>() << "\n";
      }
    }
    char speed[64];
    std::snprintf(speed, sizeof speed, "%.1f", speed_);
    os << "Speed: " << speed << " simulated seconds per CPU second.\n";
    os << "Report: " << reportPath << "\n";
    return os.str();
  }

  Scenario sc_;  // a copy: the meeting windows change as the scenario runs
  std::string outDir_;
  VirtualDispatcher dispatcher_;
  sim::SimDesktop desktop_{dispatcher_};
  double t0_ = 0;
  TimedLog clearViewLog_{dispatcher_.clock(), t0_};
  std::unique_ptr<PrivateDirectory> configDir_;  // outlives the store that writes into it
  std::unique_ptr<PrivateDirectory> framesDir_;
  std::unique_ptr<PlistDefaultsStore> defaults_;
  std::unique_ptr<Preferences> prefs_;
  std::unique_ptr<MirrorHostClient> mirrorHost_;
  std::unique_ptr<CoreServices> services_;
  SafeRestart safeRestart_;
  json updates_ = {{"installed", json::array()}};
  std::unique_ptr<AppDelegate> delegate_;
  int64_t settingsOpened_ = 0;
  std::unique_ptr<PolicyFileWatcher> policyWatcher_;
  json policies_ = json::array();
  std::string lastEvent_ = "start-up";
  int64_t nextSample_ = 0;
  size_t nextEvent_ = 0;
  bool lastActive_ = false;
  bool lastSharing_ = false;
  json timeline_ = json::array();
  json shareSignal_ = json::array();
  json pictures_ = json::array();
  std::unique_ptr<PrivateDirectory> dumpDir_;
  std::map<std::string, std::string> dumps_;  // picture name -> its dump directory
  int64_t frames_ = 0;
  int64_t steadyFrames_ = 0;
  int64_t appearFrames_ = 0;
  int64_t motionFrames_ = 0;
  int64_t motionSamples_ = 0;  // samples of a covered window in motion (one per window)
  double overshootSum_ = 0;
  double overshootMax_ = 0;
  int64_t beforeDetectionFrames_ = 0;
  bool shareInProgress_ = false;
  bool awaitingPrivacy_ = false;
  int64_t frostedMeetingFrames_ = 0;
  int64_t unprobedFrames_ = 0;
  std::string unprobedWhy_;
  sim::LeakReport leaks_;  // reused from sample to sample
  sim::LeakReport shieldLeaks_;
  uint64_t notificationFrames_ = 0;
  uint64_t desktopFrames_ = 0;
  std::optional<double> bannerPostedAt_;
  std::optional<double> desktopSince_;
  double lastFidelityAt_ = -1;
  std::optional<double> notificationFidelity_;
  std::optional<double> desktopFidelity_;
  sim::LeakReport rectLeaks_;
  int64_t rectSamples_ = 0;  // samples with drawn blur rectangles on screen
  int64_t rectFrames_ = 0;   // ... in which the share showed what lies under one
  double speed_ = 0;
  std::string firstSteadyLeak_;
  json leakSpans_ = json::array();
  double lastLeakAt_ = -1;
  std::map<WindowID, double> leakedPixelMs_;
  std::map<WindowID, Rect> lastBounds_;
  std::map<WindowID, double> appearedAt_;
  std::map<WindowID, double> movedAt_;
  std::map<WindowID, ClearViewWindow> clearView_;
  int64_t staleSum_ = 0;
  std::string lastStatus_;
  json statusLines_ = json::array();
};

ScenarioPlayer::ScenarioPlayer(const Scenario& scenario, std::string outDir)
    : runner_(std::make_unique<Runner>(scenario, std::move(outDir))) {}
ScenarioPlayer::~ScenarioPlayer() = default;
bool ScenarioPlayer::start(std::string* error) { return runner_->start(*error); }
bool ScenarioPlayer::playUntil(double t, std::string* error) { return runner_->playUntil(t, *error); }
const sim::SimDesktop& ScenarioPlayer::desktop() const { return runner_->desktop(); }
std::set<WindowID> ScenarioPlayer::mustNotBeSeen() { return runner_->hiddenWindows(); }

RunResult runScenario(const Scenario& scenario, const std::string& outDir) {
  // The runner is large (a whole desktop and application); keep it off the stack.
  auto runner = std::make_unique<Runner>(scenario, outDir);
  return runner->run();
}

}  // namespace corvane::simtool
