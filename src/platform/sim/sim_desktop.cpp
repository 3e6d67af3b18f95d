#include "platform/sim/sim_desktop.h"

#include <algorithm>
#include <filesystem>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "base/files.h"
#include "base/json_limits.h"
#include "platform/posix/posix_processes.h"
#include "platform/sim/sim_accessibility.h"
#include "platform/sim/sim_audio.h"
#include "platform/sim/sim_input.h"
#include "platform/sim/sim_loader.h"
#include "platform/sim/sim_login_services.h"
#include "platform/sim/sim_menu_bar.h"
#include "platform/sim/sim_private_window_server.h"
#include "platform/sim/sim_render.h"
#include "platform/sim/sim_scene.h"
#include "platform/sim/sim_session.h"
#include "platform/sim/sim_ui.h"
#include "platform/sim/sim_world.h"
#include "settings/plist_defaults_store.h"

namespace corvane::sim {

std::optional<int64_t> levelNamed(std::string_view name) {
  static constexpr std::pair<std::string_view, int64_t> kLevels[] = {
      {"base", Level::base},
      {"minimum", Level::minimum},
      {"desktop", Level::desktop},
      {"desktopIcon", Level::desktopIcon},
      {"backstopMenu", Level::backstopMenu},
      {"normal", Level::normal},
      {"floating", Level::floating},
      {"tornOffMenu", Level::tornOffMenu},
      {"modalPanel", Level::modalPanel},
      {"utility", Level::utility},
      {"dock", Level::dock},
      {"mainMenu", Level::mainMenu},
      {"status", Level::status},
      {"popUpMenu", Level::popUpMenu},
      {"overlay", Level::overlay},
      {"help", Level::help},
      {"dragging", Level::dragging},
      {"screenSaver", Level::screenSaver},
      {"assistiveTechHigh", Level::assistiveTechHigh},
      {"cursor", Level::cursor},
  };
  for (const auto& [levelName, level] : kLevels) {
    if (levelName == name) return level;
  }
  return std::nullopt;
}

namespace {

double clampedAlpha(double alpha) { return alpha >= 0 ? std::min(alpha, 1.0) : 0.0; }

RunningApplication running(const SimApp& app) {
  return {app.pid, app.bundleID, app.name, app.policy, app.terminated, app.hidden};
}

bool isCapturable(const SimWindow& w) { return w.sharingState != WindowSharingState::none && !w.captureExcluded; }

// The shared state behind every port; the world under one mutex.
struct State {
  explicit State(VirtualDispatcher& d) : dispatcher(d), posix(d) {}
  InProcessLauncher* launcher = nullptr;  // owned by the desktop

  // Runs `edit` on the window's record under the lock; false for an unknown window.
  template <typename Edit>
  bool editWindow(WindowID number, Edit edit) {
    std::lock_guard<std::mutex> lock(mutex);
    WindowRecord* record = world.findWindow(number);
    if (!record) return false;
    edit(record->window);
    return true;
  }

  // With the lock held. A window as it draws itself: the program's own windows their committed
  // content, every other window its generated content labelled with its title or its owner's name.
  void paint(Compositor& compositor, const WindowRecord& record, double alpha) const {
    paint(compositor, record, alpha, liveLine(record.window));
  }
  // The same, with its live line reading `line`.
  void paint(Compositor& compositor, const WindowRecord& record, double alpha, const std::string& line) const {
    const SimWindow& w = record.window;
    if (w.scene) {
      drawScene(compositor, *w.scene, w.number, w.bounds, alpha, dispatcher.mediaTime());
      return;
    }
    if (w.look != SimWindow::Look::generated) {
      paintSystemWindow(compositor, record, alpha);
      return;
    }
    std::string_view label;
    if (w.title.kind == SimTitle::Kind::string && !w.title.text.empty()) {
      label = w.title.text;
    } else if (const SimApp* owner = world.findApp(w.ownerPID); owner && owner->name) {
      label = *owner->name;
    }
    compositor.drawWindow(w.number, w.bounds, world.contentColor(record), alpha, label, w.cornerRadius, line);
  }

  // With the lock held.
  std::string liveLine(const SimWindow& w) const {
    if (w.liveText.empty()) return {};
    const auto count = int64_t(std::floor(dispatcher.mediaTime() / SimDesktop::kLiveTextPeriod));
    return w.liveText + " " + std::to_string(count);
  }

  // With the lock held. The desktop picture, an icon, or the banner window with its banner.
  void paintSystemWindow(Compositor& compositor, const WindowRecord& record, double alpha) const {
    const SimWindow& w = record.window;
    const std::string label = w.title.kind == SimTitle::Kind::string ? w.title.text : std::string();
    switch (w.look) {
      case SimWindow::Look::desktopPicture:
        compositor.drawPicture(w.number, w.bounds, world.contentColor(record));
        return;
      case SimWindow::Look::desktopIcon: {
        const Rect b = w.bounds.standardized();
        const Rect tile(b.minX() + (b.width() - 56) / 2, b.minY(), 56, std::min(56.0, b.height()));
        compositor.fillRounded(w.number, tile, world.contentColor(record), alpha, 10);
        compositor.drawText(label, Point{b.minX() + 2, b.minY() + 60}, 10, false, 0xFFFFFF, b);
        return;
      }
      case SimWindow::Look::banners: {
        if (!w.banner) return;
        const Rect b = w.bounds.standardized();
        const double progress =
            std::clamp((dispatcher.mediaTime() - w.banner->shownAt) / SimDesktop::kBannerSlideSeconds, 0.0, 1.0);
        const double eased = 1 - (1 - progress) * (1 - progress) * (1 - progress);
        const double travel = 356 + 16;
        const double menuBar = world.displays.empty() ? 25 : world.displays.front().menuBarHeight;
        const Rect card(b.maxX() - travel + (1 - eased) * travel, b.minY() + menuBar + 10, 356, 76);
        const Rect shown = card.intersection(b);
        if (shown.isNull() || !(shown.width() >= 1)) return;
        compositor.fillRounded(w.number, shown, world.contentColor(record), alpha, 14);
        const uint32_t ink = 0x1A1A1A;
        compositor.drawText(w.banner->app, Point{card.minX() + 14, card.minY() + 8}, 11, false, 0x555555, shown);
        compositor.drawText(w.banner->title, Point{card.minX() + 14, card.minY() + 26}, 13, true, ink, shown);
        compositor.drawText(w.banner->body, Point{card.minX() + 14, card.minY() + 48}, 12, false, ink, shown);
        return;
      }
      case SimWindow::Look::generated:
        return;
    }
  }

  // With the lock held.
  std::optional<PixelBuffer> content(const WindowRecord& record, Rect area) const {
    PixelBuffer picture = makePicture(area.size);
    if (picture.isEmpty()) return std::nullopt;
    Compositor compositor(picture, area.origin);
    paint(compositor, record, 1.0);
    return picture;
  }

  // With the lock held. The compositor walks the windows back to front over the display's area.
  PixelBuffer render(const SimDisplay& display, bool shareView, VisibilityMap* visibility = nullptr,
                     const std::set<pid_t>* leftOut = nullptr) const {
    PixelBuffer picture = makePicture(display.frame.size);
    if (visibility) visibility->reset(picture.width, picture.height);
    Compositor compositor(picture, display.frame.origin, visibility);
    compositor.fillBackground();
    for (auto it = world.windows.rbegin(); it != world.windows.rend(); ++it) {
      if (!it->isVisible() || (shareView && !isCapturable(it->window))) continue;
      if (leftOut && leftOut->contains(it->window.ownerPID)) continue;
      paint(compositor, *it, it->window.alpha);
    }
    if (menuBar && !world.displays.empty() && &display == &world.displays.front()) {
      drawMenuBar(picture, *menuBar, display.menuBarHeight, shareView);
    }
    return picture;
  }

  // With the lock held. What the share view of the display records in `visibility`, for the map's
  // area only and without drawing a pixel. Windows behind every watched window cannot cover one,
  // so the walk starts at the back-most watched window.
  void recordShareVisibility(const SimDisplay& display, VisibilityMap& visibility) const {
    Compositor compositor(display.frame.origin, visibility);
    bool reached = false;
    for (auto it = world.windows.rbegin(); it != world.windows.rend(); ++it) {
      if (!it->isVisible() || !isCapturable(it->window)) continue;
      reached = reached || visibility.isWatched(it->window.number);
      if (reached) paint(compositor, *it, it->window.alpha);
    }
  }

  const SimDisplay* findDisplay(DisplayID id) const {
    for (const auto& d : world.displays) {
      if (d.id == id) return &d;
    }
    return nullptr;
  }

  VirtualDispatcher& dispatcher;
  mutable std::mutex mutex;
  World world;
  uint64_t windowListReads = 0;
  bool windowListAvailable = true;
  std::vector<std::string> commandsRun;
  std::vector<SimDesktop::DetachedStart> detachedStarts;
  ActivationPolicy policy = ActivationPolicy::regular;  // when the world has no self application
  bool terminateRequested = false;
  bool running = false;
  bool realTimePacing = false;  // run() keeps pace with the real clock and waits for work
  std::shared_ptr<const MenuBarLook> menuBar;

  MemoryLog systemLog;
  PosixProcesses posix;
  std::vector<std::string> openedURLs;
  // Notifications, emitted on the main queue without the lock held.
  Signal<WorkspaceNotification, std::optional<RunningApplication>> workspaceNotifications;
  Signal<ApplicationNotification> applicationNotifications;

  // Posts a notification to the observers on a later turn of the main queue.
  void postWorkspace(WorkspaceNotification name, std::optional<RunningApplication> app) {
    dispatcher.main().async([this, name, app] { workspaceNotifications.emit(name, app); });
  }
  void postApplication(ApplicationNotification name) {
    dispatcher.main().async([this, name] { applicationNotifications.emit(name); });
  }
};

// ---- The ports, each a view on the shared state ------------------------------------------------

class SimWindowServer final : public WindowServer {
 public:
  explicit SimWindowServer(State& state) : state_(state) {}
  std::optional<std::vector<WindowListEntry>> copyWindowInfo(uint32_t options, WindowID relativeToWindow) override;
  DisplayID mainDisplayID() override;
  std::vector<DisplayID> activeDisplays() override;
  Rect displayBounds(DisplayID display) override;
  std::optional<PixelBuffer> createWindowImage(Rect screenBounds, WindowID window, uint32_t imageOptions) override;
  std::optional<PixelBuffer> captureDisplay(DisplayID display) override;

 private:
  State& state_;
};

class SimWorkspace final : public Workspace {
 public:
  explicit SimWorkspace(State& state) : state_(state) {}
  std::vector<RunningApplication> runningApplications() override;
  std::optional<RunningApplication> frontmostApplication() override;
  std::optional<RunningApplication> application(pid_t pid) override;
  Subscription addObserver(WorkspaceNotification name, Observer observer) override {
    return state_.workspaceNotifications.subscribe(
        [name, observer = std::move(observer)](const WorkspaceNotification& n, const std::optional<RunningApplication>& app) {
          if (n == name) observer(app);
        });
  }
  bool openURL(const std::string& url) override {
    std::lock_guard<std::mutex> lock(state_.mutex);
    state_.openedURLs.push_back(url);
    return true;
  }

 private:
  State& state_;
};

class SimScreens final : public Screens {
 public:
  explicit SimScreens(State& state) : state_(state) {}
  std::vector<ScreenInfo> screens() override;
  std::optional<ScreenInfo> mainScreen() override;

 private:
  State& state_;
};

class SimProcesses final : public Processes {
 public:
  explicit SimProcesses(State& state) : state_(state) {}
  pid_t currentProcessIdentifier() const override;
  // The simulated program: a helper acts for it (the world has no other parent to offer).
  pid_t parentProcessIdentifier() const override;
  std::string executablePath() const override;
  std::unique_ptr<ChildProcess> launchSelf(const LaunchRequest& request) override;
  CommandResult runCommand(const std::string& program, const std::vector<std::string>& arguments) override;
  // Recorded like a command, never started.
  bool startDetached(const std::string& program, const std::vector<std::string>& arguments,
                     std::string* error) override;

 private:
  State& state_;
};

class SimApplication final : public Application {
 public:
  explicit SimApplication(State& state) : state_(state) {}
  ActivationPolicy activationPolicy() const override;
  bool setActivationPolicy(ActivationPolicy policy) override;
  void run() override;
  void terminate() override;
  Subscription addObserver(ApplicationNotification name, std::function<void()> observer) override {
    return state_.applicationNotifications.subscribe([name, observer = std::move(observer)](const ApplicationNotification& n) {
      if (n == name) observer();
    });
  }

 private:
  State& state_;
};

}  // namespace

struct SimDesktop::Impl : State {
  explicit Impl(VirtualDispatcher& d)
      : State(d), windowServer(*this), workspace(*this), screens(*this), processes(*this), application(*this) {}

  SimWindowServer windowServer;
  SimWorkspace workspace;
  SimScreens screens;
  SimProcesses processes;
  SimApplication application;
  std::unique_ptr<SimPrivateWindowServer> privateWindowServer;  // made by SimDesktop, which it reaches
  std::unique_ptr<SimAudio> audio;                              // likewise
  std::unique_ptr<SimAccessibility> accessibility;              // likewise
  std::unique_ptr<SimUI> ui;                                    // likewise
  std::unique_ptr<SimInput> input;                              // likewise
  std::unique_ptr<InProcessLauncher> inProcess;                 // likewise
  SimLoginServices loginServices;
  SimSession session{dispatcher};
  // The system log handed out: the memory log, echoed to standard error when asked.
  struct EchoLog final : LogSink {
    explicit EchoLog(MemoryLog& m) : memory(m) {}
    void log(std::string_view line) override {
      memory.log(line);
      if (echo) StderrLog().log(line);
    }
    MemoryLog& memory;
    std::atomic<bool> echo{false};
  } echoLog{systemLog};
  // The per-user defaults: the real property-list store, in a private directory of this desktop's
  // own under the temporary directory (made with the desktop, removed with it), unless a test hands
  // in another store.
  std::unique_ptr<PrivateDirectory> defaultsDirectory;
  std::unique_ptr<PlistDefaultsStore> ownDefaults;
  DefaultsStore* defaults = nullptr;

  // Runs `edit` on the window's record under the lock, then tells the private window server what
  // the edit did to the window; false for an unknown window.
  template <typename Edit>
  bool changeWindow(WindowID number, Edit edit) {
    std::vector<WindowNotice> notices;
    {
      std::lock_guard<std::mutex> lock(mutex);
      WindowRecord* record = world.findWindow(number);
      if (!record) return false;
      const SimWindow& w = record->window;
      const Rect bounds = w.bounds;
      const bool visible = record->isVisible();
      const double alpha = w.alpha;
      const WindowSharingState sharing = w.sharingState;
      edit(record->window);
      if (w.bounds != bounds) {
        const SimMotion& motion = world.motion;
        record->noteBoundsChange(bounds, dispatcher.mediaTime(),
                                 std::max(motion.windowListLatency, motion.boundsLatency));
      }
      auto notice = [&](WindowNotification kind) { notices.push_back({kind, number, w.ownerPID}); };
      if (w.bounds.origin != bounds.origin) notice(WindowNotification::moved);
      if (w.bounds.size != bounds.size) notice(WindowNotification::resized);
      if (record->isVisible() != visible) notice(visible ? WindowNotification::hidden : WindowNotification::ordered);
      if (w.alpha != alpha) notice(WindowNotification::alphaChanged);
      if (w.sharingState != sharing) notice(WindowNotification::sharingChanged);
    }
    for (const WindowNotice& n : notices) privateWindowServer->windowChanged(n);
    return true;
  }

  // With the lock held: where each visible window of the application stands in the stacking order.
  std::vector<std::pair<WindowID, ptrdiff_t>> places(pid_t pid) const {
    std::vector<std::pair<WindowID, ptrdiff_t>> result;
    for (size_t i = 0; i < world.windows.size(); ++i) {
      const WindowRecord& r = world.windows[i];
      if (r.window.ownerPID == pid && r.isVisible()) result.emplace_back(r.window.number, ptrdiff_t(i));
    }
    return result;
  }
};

// ---- Window server --------------------------------------------------------------------------

std::optional<std::vector<WindowListEntry>> SimWindowServer::copyWindowInfo(uint32_t options,
                                                                           WindowID relativeToWindow) {
  std::lock_guard<std::mutex> lock(state_.mutex);
  ++state_.windowListReads;
  if (!state_.windowListAvailable) return std::nullopt;
  std::vector<WindowListEntry> entries;
  state_.world.copyWindowInfo(options, relativeToWindow, entries, state_.dispatcher.mediaTime());
  return entries;
}

DisplayID SimWindowServer::mainDisplayID() {
  std::lock_guard<std::mutex> lock(state_.mutex);
  return state_.world.displays.empty() ? 0 : state_.world.displays.front().id;
}

std::vector<DisplayID> SimWindowServer::activeDisplays() {
  std::lock_guard<std::mutex> lock(state_.mutex);
  std::vector<DisplayID> ids;
  for (const auto& d : state_.world.displays) ids.push_back(d.id);
  return ids;
}

Rect SimWindowServer::displayBounds(DisplayID display) {
  std::lock_guard<std::mutex> lock(state_.mutex);
  const SimDisplay* d = state_.findDisplay(display);
  return d ? d->frame : Rect::null();
}

std::optional<PixelBuffer> SimWindowServer::createWindowImage(Rect screenBounds, WindowID window,
                                                             uint32_t imageOptions) {
  std::lock_guard<std::mutex> lock(state_.mutex);
  const WindowRecord* record = state_.world.findWindow(window);
  if (!record || !isCapturable(record->window)) return std::nullopt;
  const bool ownBounds = screenBounds.isNull() || screenBounds.isInfinite();
  const Rect area = ownBounds ? record->window.bounds : screenBounds.standardized();
  if (imageOptions & WindowImageOption::onlyShadows) {
    // The simulated windows cast no shadow.
    PixelBuffer picture = makePicture(area.size);
    if (picture.isEmpty()) return std::nullopt;
    return picture;
  }
  return state_.content(*record, area);
}

std::optional<PixelBuffer> SimWindowServer::captureDisplay(DisplayID display) {
  std::lock_guard<std::mutex> lock(state_.mutex);
  const SimDisplay* d = state_.findDisplay(display);
  if (!d) return std::nullopt;
  PixelBuffer picture = state_.render(*d, true);
  if (picture.isEmpty()) return std::nullopt;
  return picture;
}

// ---- Workspace ------------------------------------------------------------------------------

std::vector<RunningApplication> SimWorkspace::runningApplications() {
  std::lock_guard<std::mutex> lock(state_.mutex);
  std::vector<RunningApplication> result;
  for (const auto& app : state_.world.apps) {
    if (!app.terminated) result.push_back(running(app));
  }
  return result;
}

std::optional<RunningApplication> SimWorkspace::frontmostApplication() {
  std::lock_guard<std::mutex> lock(state_.mutex);
  if (!state_.world.frontmost) return std::nullopt;
  const SimApp* app = state_.world.findApp(*state_.world.frontmost);
  if (!app || app->terminated) return std::nullopt;
  return running(*app);
}

std::optional<RunningApplication> SimWorkspace::application(pid_t pid) {
  std::lock_guard<std::mutex> lock(state_.mutex);
  const SimApp* app = state_.world.findApp(pid);
  if (!app) return std::nullopt;
  return running(*app);
}

// ---- Screens --------------------------------------------------------------------------------

std::vector<ScreenInfo> SimScreens::screens() {
  std::lock_guard<std::mutex> lock(state_.mutex);
  const double mainHeight = state_.world.mainDisplayHeight();
  std::vector<ScreenInfo> result;
  for (size_t i = 0; i < state_.world.displays.size(); ++i) {
    const SimDisplay& d = state_.world.displays[i];
    ScreenInfo info;
    info.frame = d.frame.flipped(mainHeight);
    // Screen space has y up: the Dock strip is at the bottom (low y), the menu bar at the top.
    const double menuBar = i == 0 ? d.menuBarHeight : 0;
    const double visibleHeight = std::max(0.0, info.frame.height() - menuBar - d.dockHeight);
    info.visibleFrame = Rect(info.frame.minX(), info.frame.minY() + d.dockHeight, info.frame.width(), visibleHeight);
    info.displayID = d.id;
    result.push_back(info);
  }
  return result;
}

std::optional<ScreenInfo> SimScreens::mainScreen() {
  auto all = screens();
  if (all.empty()) return std::nullopt;
  return all.front();
}

// ---- Processes ------------------------------------------------------------------------------

pid_t SimProcesses::currentProcessIdentifier() const {
  std::lock_guard<std::mutex> lock(state_.mutex);
  return state_.world.selfPID;
}

std::string SimProcesses::executablePath() const { return state_.posix.executablePath(); }

pid_t SimProcesses::parentProcessIdentifier() const { return currentProcessIdentifier(); }

std::unique_ptr<ChildProcess> SimProcesses::launchSelf(const LaunchRequest& request) {
  // A role registered to run in-process never falls back to the executable.
  if (state_.launcher && state_.launcher->roleFlagFor(request.arguments)) return state_.launcher->launch(request);
  return state_.posix.launchSelf(request);
}

CommandResult SimProcesses::runCommand(const std::string& program, const std::vector<std::string>& arguments) {
  std::string line = program;
  for (const auto& a : arguments) line += " " + a;
  std::lock_guard<std::mutex> lock(state_.mutex);
  state_.commandsRun.push_back(std::move(line));
  return CommandResult{0, {}};
}

bool SimProcesses::startDetached(const std::string& program, const std::vector<std::string>& arguments,
                                 std::string* /*error*/) {
  std::lock_guard<std::mutex> lock(state_.mutex);
  state_.detachedStarts.push_back({program, arguments, state_.dispatcher.clock().mediaTime()});
  return true;
}

// ---- Application ----------------------------------------------------------------------------

ActivationPolicy SimApplication::activationPolicy() const {
  std::lock_guard<std::mutex> lock(state_.mutex);
  const SimApp* self = state_.world.findApp(state_.world.selfPID);
  return self ? self->policy : state_.policy;
}

bool SimApplication::setActivationPolicy(ActivationPolicy policy) {
  std::lock_guard<std::mutex> lock(state_.mutex);
  state_.policy = policy;
  if (SimApp* self = state_.world.findApp(state_.world.selfPID)) self->policy = policy;
  return true;
}

void SimApplication::run() {
  {
    std::lock_guard<std::mutex> lock(state_.mutex);
    if (state_.running) return;
    state_.running = true;
  }
  VirtualDispatcher& dispatcher = state_.dispatcher;
  bool paced;
  {
    std::lock_guard<std::mutex> lock(state_.mutex);
    paced = state_.realTimePacing;
  }
  // Paced: virtual time moves with the real clock, and an idle loop waits (briefly, so that work
  // other threads post is picked up at once) instead of returning.
  const auto realStart = std::chrono::steady_clock::now();
  const double virtualStart = dispatcher.mediaTime();
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(state_.mutex);
      if (state_.terminateRequested) break;
    }
    const double due = dispatcher.nextDueTime();
    if (!paced) {
      if (due < 0) break;
      dispatcher.advanceTo(std::max(due, dispatcher.mediaTime()));
      continue;
    }
    const double now =
        virtualStart + std::chrono::duration<double>(std::chrono::steady_clock::now() - realStart).count();
    if (due >= 0 && due <= now) {
      dispatcher.advanceTo(std::max(due, dispatcher.mediaTime()));
      continue;
    }
    if (now > dispatcher.mediaTime()) dispatcher.advanceTo(now);
    const double wait = due < 0 ? 0.002 : std::clamp(due - now, 0.0, 0.002);
    std::this_thread::sleep_for(std::chrono::duration<double>(wait));
  }
  std::lock_guard<std::mutex> lock(state_.mutex);
  state_.running = false;
}

void SimApplication::terminate() {
  std::lock_guard<std::mutex> lock(state_.mutex);
  state_.terminateRequested = true;
}

// ---- SimDesktop -----------------------------------------------------------------------------

SimDesktop::SimDesktop(VirtualDispatcher& dispatcher) : impl_(std::make_unique<Impl>(dispatcher)) {
  impl_->privateWindowServer = std::make_unique<SimPrivateWindowServer>(*this);
  impl_->audio = std::make_unique<SimAudio>(*this);
  impl_->accessibility = std::make_unique<SimAccessibility>(*this, dispatcher);
  impl_->ui = std::make_unique<SimUI>(*this);
  impl_->input = std::make_unique<SimInput>(*this, dispatcher);
  impl_->inProcess = std::make_unique<InProcessLauncher>(dispatcher, [this] { return platform(); });
  impl_->launcher = impl_->inProcess.get();
  std::error_code ec;
  std::filesystem::path tmp = std::filesystem::temp_directory_path(ec);
  if (ec) tmp = "/tmp";
  // A fresh private directory (mkdtemp), never one another user could have made first.
  impl_->defaultsDirectory = std::make_unique<PrivateDirectory>(tmp.string(), "corvane-sim-defaults-");
  impl_->ownDefaults =
      std::make_unique<PlistDefaultsStore>(impl_->defaultsDirectory->path(), "", impl_->systemLog, dispatcher);
  impl_->defaults = impl_->ownDefaults.get();
}

SimDesktop::~SimDesktop() {
  // Helpers first: they use every port.
  impl_->launcher = nullptr;
  impl_->inProcess.reset();
  impl_->ownDefaults.reset();
  impl_->defaultsDirectory.reset();
}

void SimDesktop::setDefaultsStore(DefaultsStore* store) { impl_->defaults = store ? store : impl_->ownDefaults.get(); }
DefaultsStore& SimDesktop::defaultsStore() { return *impl_->defaults; }

bool SimDesktop::load(const nlohmann::json& description, std::string* error) {
  World world;
  std::string message;
  SimPrivateWindowServer::Settings serverSettings;
  SimAudio::Settings audioSettings;
  SimAccessibility::Description accessibilityDescription;
  if (!loadWorld(description, world, message) || !SimMotion::parse(description, world.motion, message) ||
      !SimPrivateWindowServer::parse(description, serverSettings, message) ||
      !SimAudio::parse(description, world, audioSettings, message) ||
      !SimAccessibility::parse(description, world, accessibilityDescription, message)) {
    if (error) *error = message;
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->world = std::move(world);
  }
  impl_->privateWindowServer->reset(serverSettings);
  impl_->audio->reset(audioSettings);
  impl_->accessibility->reset(std::move(accessibilityDescription));
  return true;
}

bool SimDesktop::loadFile(const std::string& path, std::string* error) {
  auto failed = [&](const std::string& message) {
    if (error) *error = path + ": " + message;
    return false;
  };
  FileContents file = readRegularFile(path, kDefaultMaxReadBytes);
  if (file.status == FileContents::Status::missing) return failed("cannot be read");
  if (file.status != FileContents::Status::ok) return failed("cannot be read (" + file.error + ")");
  std::string message;
  auto description = parseBoundedJSON(file.bytes, kMaxDescriptionDepth, &message);
  if (!description) return failed(message);
  if (!load(*description, &message)) return failed(message);
  return true;
}

pid_t SimDesktop::launchApp(SimApp app) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->world.launchApp(std::move(app));
}

void SimDesktop::quitApp(pid_t pid) {
  std::optional<RunningApplication> before;
  std::optional<RunningApplication> after;
  std::vector<WindowID> closed;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const std::optional<pid_t> frontmost = impl_->world.frontmost;
    if (frontmost == pid) {
      if (const SimApp* app = impl_->world.findApp(pid)) before = running(*app);
    }
    for (const auto& record : impl_->world.windows) {
      if (record.window.ownerPID == pid) closed.push_back(record.window.number);
    }
    impl_->world.quitApp(pid);
    std::erase_if(closed, [&](WindowID number) { return impl_->world.findWindow(number) != nullptr; });
    if (before && impl_->world.frontmost && impl_->world.frontmost != pid) {
      if (const SimApp* app = impl_->world.findApp(*impl_->world.frontmost)) after = running(*app);
    }
  }
  for (WindowID number : closed) impl_->privateWindowServer->windowChanged({WindowNotification::destroyed, number, pid});
  if (before) impl_->postWorkspace(WorkspaceNotification::didDeactivateApplication, before);
  if (after) impl_->postWorkspace(WorkspaceNotification::didActivateApplication, after);
}

void SimDesktop::forgetApp(pid_t pid) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->world.forgetApp(pid);
}

void SimDesktop::activateApp(pid_t pid) {
  std::optional<RunningApplication> before;
  std::optional<RunningApplication> after;
  bool becameSelf = false;
  bool becameFrontmost = false;
  std::vector<WindowID> raised;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const std::optional<pid_t> previous = impl_->world.frontmost;
    const SimApp* target = impl_->world.findApp(pid);
    const bool wasHidden = target && target->hidden;
    const auto placesBefore = impl_->places(pid);
    // The window server raises the application's windows at once.
    impl_->world.activateApp(pid);
    if (wasHidden) {
      if (const SimApp* app = impl_->world.findApp(pid); app && !app->hidden) {
        impl_->postWorkspace(WorkspaceNotification::didUnhideApplication, running(*app));
      }
    }
    for (const auto& place : impl_->places(pid)) {
      if (std::find(placesBefore.begin(), placesBefore.end(), place) == placesBefore.end()) raised.push_back(place.first);
    }
    becameFrontmost = impl_->world.frontmost != previous && impl_->world.frontmost == pid;
    if (becameFrontmost) {
      if (previous) {
        if (const SimApp* app = impl_->world.findApp(*previous)) before = running(*app);
      }
      if (const SimApp* app = impl_->world.findApp(pid)) after = running(*app);
      becameSelf = pid == impl_->world.selfPID;
    }
  }
  for (WindowID number : raised) impl_->privateWindowServer->windowChanged({WindowNotification::ordered, number, pid});
  if (!becameFrontmost) return;
  // The applications hear of it later, on a turn of their main queue.
  if (before) impl_->postWorkspace(WorkspaceNotification::didDeactivateApplication, before);
  impl_->postWorkspace(WorkspaceNotification::didActivateApplication, after);
  if (becameSelf) impl_->postApplication(ApplicationNotification::didBecomeActive);
}

bool SimDesktop::hideApp(pid_t pid) {
  std::optional<RunningApplication> hidden;
  std::optional<RunningApplication> after;
  std::vector<std::pair<WindowID, ptrdiff_t>> shownBefore;
  bool wasFrontmost = false;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    wasFrontmost = impl_->world.frontmost == pid;
    shownBefore = impl_->places(pid);
    if (!impl_->world.setAppHidden(pid, true)) return false;
    hidden = running(*impl_->world.findApp(pid));
    if (wasFrontmost && impl_->world.frontmost) {
      if (const SimApp* app = impl_->world.findApp(*impl_->world.frontmost)) after = running(*app);
    }
  }
  // Its windows leave the screen at once, uncovering what lies behind them.
  for (const auto& place : shownBefore) {
    impl_->privateWindowServer->windowChanged({WindowNotification::hidden, place.first, pid});
  }
  if (!wasFrontmost) {
    impl_->postWorkspace(WorkspaceNotification::didHideApplication, hidden);
    return true;
  }
  impl_->postWorkspace(WorkspaceNotification::didDeactivateApplication, hidden);
  impl_->postWorkspace(WorkspaceNotification::didHideApplication, hidden);
  if (after) impl_->postWorkspace(WorkspaceNotification::didActivateApplication, after);
  return true;
}

bool SimDesktop::unhideApp(pid_t pid) {
  std::optional<RunningApplication> shown;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (!impl_->world.setAppHidden(pid, false)) return false;
    shown = running(*impl_->world.findApp(pid));
  }
  impl_->postWorkspace(WorkspaceNotification::didUnhideApplication, shown);
  return true;
}

std::optional<SimApp> SimDesktop::app(pid_t pid) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const SimApp* app = impl_->world.findApp(pid);
  if (!app) return std::nullopt;
  return *app;
}

std::vector<SimApp> SimDesktop::apps() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->world.apps;
}

std::optional<pid_t> SimDesktop::frontmostPID() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->world.frontmost;
}

void SimDesktop::setSelfPID(pid_t pid) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->world.selfPID = pid;
}

pid_t SimDesktop::selfPID() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->world.selfPID;
}

namespace {
// The window server keeps windows on whole pixels (one pixel per point here): a frame asked for
// between pixels lands on the nearest ones, as on the reference platform.
Rect pixelAligned(const Rect& r) {
  if (r.isNull() || r.isInfinite()) return r;
  const Rect s = r.standardized();
  return Rect(std::round(s.minX()), std::round(s.minY()), std::round(s.width()), std::round(s.height()));
}
}  // namespace

WindowID SimDesktop::addWindow(SimWindow window) {
  window.alpha = clampedAlpha(window.alpha);
  window.bounds = pixelAligned(window.bounds);
  WindowID number = 0;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    number = impl_->world.addWindow(std::move(window), false);
  }
  if (number) impl_->accessibility->windowAdded(number);
  return number;
}

WindowID SimDesktop::addWindowAtBack(SimWindow window) {
  window.alpha = clampedAlpha(window.alpha);
  window.bounds = pixelAligned(window.bounds);
  WindowID number = 0;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    number = impl_->world.addWindow(std::move(window), true);
  }
  if (number) impl_->accessibility->windowAdded(number);
  return number;
}

void SimDesktop::reserveWindowNumbers(const std::vector<WindowID>& numbers) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  for (WindowID number : numbers) {
    if (number != 0) impl_->world.reservedNumbers.insert(number);
  }
}

bool SimDesktop::closeWindow(WindowID number) {
  pid_t owner = 0;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const WindowRecord* record = impl_->world.findWindow(number);
    if (!record) return false;
    owner = record->window.ownerPID;
    if (!impl_->world.closeWindow(number)) return false;
  }
  impl_->privateWindowServer->windowChanged({WindowNotification::destroyed, number, owner});
  return true;
}

bool SimDesktop::setBounds(WindowID number, Rect bounds) {
  return impl_->changeWindow(number, [&](SimWindow& w) { w.bounds = pixelAligned(bounds); });
}

bool SimDesktop::moveWindow(WindowID number, Point origin) {
  return impl_->changeWindow(number, [&](SimWindow& w) { w.bounds = pixelAligned(Rect(origin, w.bounds.size)); });
}

bool SimDesktop::resizeWindow(WindowID number, Size size) {
  return impl_->changeWindow(number, [&](SimWindow& w) { w.bounds = pixelAligned(Rect(w.bounds.origin, size)); });
}

bool SimDesktop::setTitle(WindowID number, SimTitle title) {
  bool changed = false;
  const bool found = impl_->editWindow(number, [&](SimWindow& w) {
    changed = w.title.kind != title.kind || w.title.text != title.text;
    w.title = std::move(title);
  });
  if (changed) impl_->accessibility->titleChanged(number);
  return found;
}

bool SimDesktop::setAlpha(WindowID number, double alpha) {
  return impl_->changeWindow(number, [&](SimWindow& w) { w.alpha = clampedAlpha(alpha); });
}

bool SimDesktop::setLevel(WindowID number, int64_t level) {
  pid_t owner = 0;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const WindowRecord* record = impl_->world.findWindow(number);
    if (!record) return false;
    owner = record->window.ownerPID;
    const int64_t before = record->window.level;
    if (!impl_->world.setLevel(number, level)) return false;
    if (before == level) return true;
  }
  impl_->privateWindowServer->windowChanged({WindowNotification::ordered, number, owner});
  return true;
}

bool SimDesktop::setMinimised(WindowID number, bool minimised) {
  return impl_->changeWindow(number, [&](SimWindow& w) { w.minimised = minimised; });
}

bool SimDesktop::setOnScreen(WindowID number, bool onScreen) {
  return impl_->changeWindow(number, [&](SimWindow& w) { w.onScreen = onScreen; });
}

bool SimDesktop::setSharingState(WindowID number, WindowSharingState state) {
  return impl_->changeWindow(number, [&](SimWindow& w) { w.sharingState = state; });
}

bool SimDesktop::setCaptureExcluded(WindowID number, bool excluded) {
  return impl_->editWindow(number, [&](SimWindow& w) { w.captureExcluded = excluded; });
}

bool SimDesktop::raiseWindow(WindowID number) { return orderWindow(number, true, 0); }

bool SimDesktop::orderWindow(WindowID number, bool above, WindowID relativeTo) {
  pid_t owner = 0;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const ptrdiff_t before = impl_->world.indexOf(number);
    if (!impl_->world.orderWindow(number, above, relativeTo)) return false;
    const WindowRecord* record = impl_->world.findWindow(number);
    if (!record || impl_->world.indexOf(number) == before) return true;
    owner = record->window.ownerPID;
  }
  impl_->privateWindowServer->windowChanged({WindowNotification::ordered, number, owner});
  return true;
}

std::optional<SimWindow> SimDesktop::window(WindowID number) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const WindowRecord* record = impl_->world.findWindow(number);
  if (!record) return std::nullopt;
  return record->window;
}

std::optional<Rect> SimDesktop::queriedBounds(WindowID number) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const WindowRecord* record = impl_->world.findWindow(number);
  if (!record) return std::nullopt;
  return record->boundsAsOf(impl_->dispatcher.mediaTime() - impl_->world.motion.boundsLatency);
}

SimMotion SimDesktop::motion() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->world.motion;
}

void SimDesktop::setMotion(const SimMotion& motion) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->world.motion = motion;
}

std::vector<SimWindow> SimDesktop::windows() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::vector<SimWindow> result;
  result.reserve(impl_->world.windows.size());
  for (const auto& record : impl_->world.windows) result.push_back(record.window);
  return result;
}

void SimDesktop::setDisplays(std::vector<SimDisplay> displays) {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->world.displays = std::move(displays);
  }
  impl_->postApplication(ApplicationNotification::didChangeScreenParameters);
}

bool SimDesktop::addDisplayFromDescription(const nlohmann::json& description, const std::string& path,
                                           std::string* error) {
  // The new display is checked together with the present ones, by the loader's own rules.
  nlohmann::json all = nlohmann::json::array();
  size_t index = 0;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    for (const auto& d : impl_->world.displays) {
      all.push_back({{"id", d.id},
                     {"frame", {d.frame.minX(), d.frame.minY(), d.frame.width(), d.frame.height()}},
                     {"menuBarHeight", d.menuBarHeight},
                     {"dockHeight", d.dockHeight}});
    }
    index = all.size();
  }
  all.push_back(description);
  World scratch;
  std::string message;
  if (!loadWorld(nlohmann::json{{"displays", all}}, scratch, message)) {
    // Name the new display as the caller knows it.
    const std::string own = "displays[" + std::to_string(index) + "]";
    if (message.starts_with(own)) {
      message = path + message.substr(own.size());
    } else {
      message = path + ": " + message;
    }
    if (error) *error = message;
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->world.displays.push_back(scratch.displays.back());
  }
  impl_->postApplication(ApplicationNotification::didChangeScreenParameters);
  return true;
}

bool SimDesktop::removeDisplay(DisplayID id, std::string* error) {
  std::vector<WindowNotice> moved;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto& displays = impl_->world.displays;
    auto it = std::find_if(displays.begin(), displays.end(), [id](const SimDisplay& d) { return d.id == id; });
    if (it == displays.end()) {
      if (error) *error = "no display " + std::to_string(id);
      return false;
    }
    if (it == displays.begin()) {
      if (error) *error = "display " + std::to_string(id) + " is the main display";
      return false;
    }
    const Rect gone = it->frame;
    displays.erase(it);
    const Rect main = displays.front().frame;
    for (auto& record : impl_->world.windows) {
      Rect& b = record.window.bounds;
      const Point centre{b.midX(), b.midY()};
      const bool onRemaining = std::any_of(displays.begin(), displays.end(), [&](const SimDisplay& d) {
        return d.frame.contains(centre);
      });
      if (onRemaining || !gone.contains(centre)) continue;
      // Same place relative to the display's corner, kept inside the main display.
      const double x = std::clamp(main.minX() + (b.minX() - gone.minX()), main.minX(),
                                  std::max(main.minX(), main.maxX() - b.width()));
      const double y = std::clamp(main.minY() + (b.minY() - gone.minY()), main.minY(),
                                  std::max(main.minY(), main.maxY() - b.height()));
      b = Rect(std::round(x), std::round(y), b.width(), b.height());
      moved.push_back({WindowNotification::moved, record.window.number, record.window.ownerPID});
    }
  }
  for (const WindowNotice& n : moved) impl_->privateWindowServer->windowChanged(n);
  impl_->postApplication(ApplicationNotification::didChangeScreenParameters);
  return true;
}

std::vector<SimDisplay> SimDesktop::displays() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->world.displays;
}

double SimDesktop::mainDisplayHeight() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->world.mainDisplayHeight();
}

bool SimDesktop::setBanner(WindowID number, std::optional<SimWindow::Banner> banner) {
  return impl_->editWindow(number, [&](SimWindow& w) { w.banner = std::move(banner); });
}

std::optional<PixelBuffer> SimDesktop::windowContent(WindowID number) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const WindowRecord* record = impl_->world.findWindow(number);
  if (!record) return std::nullopt;
  return impl_->content(*record, record->window.bounds);
}

std::string SimDesktop::liveLine(WindowID number) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const WindowRecord* record = impl_->world.findWindow(number);
  return record ? impl_->liveLine(record->window) : std::string();
}

std::optional<SimDesktop::LocalFidelity> SimDesktop::localFidelity(WindowID number,
                                                                   const std::string& previousLine) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const World& world = impl_->world;
  const WindowRecord* record = world.findWindow(number);
  if (!record || !record->isVisible() || world.displays.empty()) return std::nullopt;
  const Rect bounds = record->window.bounds.standardized();
  const SimDisplay* display = &world.displays.front();
  for (const SimDisplay& d : world.displays) {
    if (d.frame.contains(Point{bounds.midX(), bounds.midY()})) display = &d;
  }
  const Rect area = bounds.intersection(display->frame);
  if (area.isNull() || area.isEmpty()) return std::nullopt;
  PixelBuffer actual = makePicture(area.size);
  PixelBuffer ideal = makePicture(area.size);
  if (actual.isEmpty()) return std::nullopt;
  // Both pictures over the same background, back to front; the ideal one without the program's
  // own windows, recording where the window's own content shows.
  VisibilityMap visibility;
  visibility.watched = {number};
  visibility.reset(ideal.width, ideal.height);
  Compositor real(actual, area.origin);
  Compositor bare(ideal, area.origin, &visibility);
  real.fillBackground();
  bare.fillBackground();
  for (auto it = world.windows.rbegin(); it != world.windows.rend(); ++it) {
    if (!it->isVisible() || !it->window.bounds.intersects(area)) continue;
    impl_->paint(real, *it, it->window.alpha);
    if (it->window.ownerPID != world.selfPID) impl_->paint(bare, *it, it->window.alpha);
  }
  LocalFidelity result;
  const Rect line = record->window.liveText.empty() || record->window.scene ? Rect::null() : liveLineArea(bounds);
  result.hasLiveLine = !line.isNull();
  // The pixels where the line's new text differs from the previous one: what the user must see
  // change. Without a previous text, the whole line.
  PixelBuffer before;
  PixelBuffer after;
  if (result.hasLiveLine && !previousLine.empty()) {
    before = makePicture(area.size);
    after = makePicture(area.size);
    Compositor oldLine(before, area.origin);
    Compositor newLine(after, area.origin);
    impl_->paint(oldLine, *record, 1.0, previousLine);
    impl_->paint(newLine, *record, 1.0);
  }
  for (int y = 0; y < ideal.height; ++y) {
    const double py = area.minY() + y + 0.5;
    const bool lineRow = result.hasLiveLine && py >= line.minY() && py < line.maxY();
    for (int x = 0; x < ideal.width; ++x) {
      if (visibility.visibleAt(x, y) != number) continue;
      ++result.visiblePixels;
      const uint8_t* a = actual.pixel(x, y);
      const uint8_t* b = ideal.pixel(x, y);
      const bool same = std::abs(int(a[0]) - int(b[0])) <= kFidelityTolerance &&
                        std::abs(int(a[1]) - int(b[1])) <= kFidelityTolerance &&
                        std::abs(int(a[2]) - int(b[2])) <= kFidelityTolerance;
      if (same) {
        ++result.truePixels;
      } else if (lineRow) {
        const double px = area.minX() + x + 0.5;
        const bool changed = before.isEmpty() || std::memcmp(before.pixel(x, y), after.pixel(x, y), 4) != 0;
        if (changed && px >= line.minX() && px < line.maxX()) result.liveLineShown = false;
      }
    }
  }
  return result;
}

PixelBuffer SimDesktop::renderShareView() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->world.displays.empty()) return PixelBuffer();
  return impl_->render(impl_->world.displays.front(), true);
}

PixelBuffer SimDesktop::renderShareView(VisibilityMap& visibility) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->world.displays.empty()) {
    visibility.reset(0, 0);
    return PixelBuffer();
  }
  return impl_->render(impl_->world.displays.front(), true, &visibility);
}

void SimDesktop::setMenuBar(std::shared_ptr<const MenuBarLook> look) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->menuBar = std::move(look);
}

std::shared_ptr<const MenuBarLook> SimDesktop::menuBar() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->menuBar;
}

bool SimDesktop::setScene(WindowID number, std::shared_ptr<const WindowScene> scene) {
  return impl_->editWindow(number, [&](SimWindow& w) { w.scene = std::move(scene); });
}

PixelBuffer SimDesktop::renderLocalView() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->world.displays.empty()) return PixelBuffer();
  return impl_->render(impl_->world.displays.front(), false);
}

PixelBuffer SimDesktop::renderShareView(DisplayID display) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const SimDisplay* d = impl_->findDisplay(display);
  return d ? impl_->render(*d, true) : PixelBuffer();
}

PixelBuffer SimDesktop::renderLocalView(DisplayID display) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const SimDisplay* d = impl_->findDisplay(display);
  return d ? impl_->render(*d, false) : PixelBuffer();
}

PixelBuffer SimDesktop::renderLocalViewWithout(DisplayID display, const std::set<pid_t>& owners,
                                               VisibilityMap& visibility) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const SimDisplay* d = impl_->findDisplay(display);
  if (!d) {
    visibility.reset(0, 0);
    return PixelBuffer();
  }
  return impl_->render(*d, false, &visibility, &owners);
}

bool SimDesktop::recordShareVisibility(DisplayID display, VisibilityMap& visibility) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const SimDisplay* d = impl_->findDisplay(display);
  if (!d) return false;
  const Size size = pictureSize(d->frame.size);
  const PixelArea area = visibility.area();
  if (size.width <= 0 || area.x0 < 0 || area.y0 < 0 || area.x1 > int(size.width) || area.y1 > int(size.height)) {
    return false;
  }
  impl_->recordShareVisibility(*d, visibility);
  return true;
}

uint64_t SimDesktop::windowListReads() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->windowListReads;
}

void SimDesktop::resetCounters() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->windowListReads = 0;
}

void SimDesktop::setWindowListAvailable(bool available) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->windowListAvailable = available;
}

std::vector<std::string> SimDesktop::commandsRun() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->commandsRun;
}

void SimDesktop::setExecutablePath(std::string path) { impl_->posix.setExecutablePath(std::move(path)); }
void SimDesktop::runInProcess(const std::string& flag, InProcessRole role) { impl_->inProcess->setRole(flag, std::move(role)); }
InProcessLauncher& SimDesktop::inProcessLauncher() { return *impl_->inProcess; }


std::vector<SimDesktop::DetachedStart> SimDesktop::detachedStarts() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->detachedStarts;
}

SimLoginServices& SimDesktop::loginServices() { return impl_->loginServices; }
SimSession& SimDesktop::session() { return impl_->session; }

void SimDesktop::setSystemLogToStandardError(bool echo) { impl_->echoLog.echo = echo; }

void SimDesktop::setRealTimePacing(bool paced) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->realTimePacing = paced;
}

VirtualDispatcher& SimDesktop::dispatcher() { return impl_->dispatcher; }
WindowServer& SimDesktop::windowServer() { return impl_->windowServer; }
Workspace& SimDesktop::workspace() { return impl_->workspace; }
Screens& SimDesktop::screens() { return impl_->screens; }
Processes& SimDesktop::processes() { return impl_->processes; }
Application& SimDesktop::application() { return impl_->application; }
MemoryLog& SimDesktop::systemLog() { return impl_->systemLog; }

SimPrivateWindowServer& SimDesktop::privateWindowServer() { return *impl_->privateWindowServer; }
const SimPrivateWindowServer& SimDesktop::privateWindowServer() const { return *impl_->privateWindowServer; }
SimAudio& SimDesktop::audio() { return *impl_->audio; }
SimAccessibility& SimDesktop::accessibility() { return *impl_->accessibility; }
SimUI& SimDesktop::ui() { return *impl_->ui; }
SimInput& SimDesktop::input() { return *impl_->input; }

void SimDesktop::changeActiveSpace() { impl_->postWorkspace(WorkspaceNotification::activeSpaceDidChange, std::nullopt); }

std::vector<std::string> SimDesktop::openedURLs() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->openedURLs;
}

std::optional<pid_t> SimDesktop::launchAppFromDescription(const nlohmann::json& description, const std::string& path,
                                                          std::string* error) {
  SimApp app;
  std::string problem;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (!readAppDescription(description, impl_->world, path, app, problem)) {
      if (error) *error = problem;
      return std::nullopt;
    }
  }
  pid_t pid = launchApp(std::move(app));
  if (pid == 0) {
    if (error) *error = path + ": the application could not be launched";
    return std::nullopt;
  }
  return pid;
}

std::optional<WindowID> SimDesktop::addWindowFromDescription(const nlohmann::json& description, const std::string& path,
                                                             std::string* error) {
  SimWindow window;
  std::string problem;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (!readWindowDescription(description, impl_->world, path, window, problem)) {
      if (error) *error = problem;
      return std::nullopt;
    }
  }
  WindowID number = addWindow(std::move(window));
  if (number == 0) {
    if (error) *error = path + ": the window could not be added (its owner has quit?)";
    return std::nullopt;
  }
  return number;
}

Platform SimDesktop::platform() {
  Platform platform{impl_->dispatcher, impl_->dispatcher.clock(), impl_->windowServer, impl_->workspace, impl_->screens,
                    impl_->processes,  impl_->application, impl_->echoLog,   impl_->defaults};
  platform.windowServerPrivate = impl_->privateWindowServer.get();
  platform.audio = impl_->audio.get();
  platform.accessibility = impl_->accessibility.get();
  platform.ui = impl_->ui.get();
  platform.input = impl_->input.get();
  platform.loginServices = &impl_->loginServices;
  platform.session = &impl_->session;
  return platform;
}

}  // namespace corvane::sim
