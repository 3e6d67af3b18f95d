// The simulated desktop's own furniture: the desktop picture and icons, and the notification
// service whose banners slide in at the top right of the main display.
#include <algorithm>

#include "platform/sim/sim_desktop.h"

namespace corvane::sim {

namespace {

constexpr const char* kNotificationCenter = "Notification Center";
constexpr const char* kNotificationBundleID = "com.apple.notificationcenterui";
constexpr const char* kBannerWindowTitle = "Notification Center";
constexpr double kBannerWindowWidth = 480;
constexpr double kBannerWindowHeight = 400;
constexpr double kIconPitch = 96;

// The first running application with this name; launches one (accessory, a fresh pid) when none.
pid_t runningOrLaunched(SimDesktop& desktop, const std::string& name, const std::optional<std::string>& bundleID) {
  for (const auto& app : desktop.apps()) {
    if (!app.terminated && app.name == name) return app.pid;
  }
  SimApp app;
  app.bundleID = bundleID;
  app.name = name;
  app.policy = ActivationPolicy::accessory;
  return desktop.launchApp(std::move(app));
}

bool isDesktopFurniture(const SimWindow& w) {
  return w.look == SimWindow::Look::desktopPicture || w.look == SimWindow::Look::desktopIcon;
}

}  // namespace

void SimDesktop::setDesktopPicture(uint32_t rgb, const std::vector<std::string>& icons) {
  for (const WindowID number : desktopWindows()) closeWindow(number);
  const pid_t dock = runningOrLaunched(*this, "Dock", std::string("com.apple.dock"));
  const pid_t finder = runningOrLaunched(*this, "Finder", std::string("com.apple.finder"));
  for (const SimDisplay& display : displays()) {
    SimWindow w;
    w.ownerPID = dock;
    w.level = Level::desktop;
    w.bounds = display.frame;
    w.title = SimTitle::of("Wallpaper-" + std::to_string(display.id));
    w.look = SimWindow::Look::desktopPicture;
    w.color = rgb;
    w.desktopElement = true;
    addWindowAtBack(std::move(w));
  }
  const auto all = displays();
  if (all.empty()) return;
  const Rect main = all.front().frame;
  for (size_t i = 0; i < icons.size(); ++i) {
    SimWindow w;
    w.ownerPID = finder;
    w.level = Level::desktopIcon;
    w.bounds = Rect(main.minX() + 16, main.minY() + all.front().menuBarHeight + 16 + double(i) * kIconPitch, 80, 76);
    w.title = SimTitle::of(icons[i]);
    w.look = SimWindow::Look::desktopIcon;
    w.color = 0xF4F1E8 - uint32_t(i % 4) * 0x141008;
    w.desktopElement = true;
    addWindowAtBack(std::move(w));
  }
}

std::vector<WindowID> SimDesktop::desktopWindows() const {
  std::vector<WindowID> numbers;
  for (const SimWindow& w : windows()) {
    if (isDesktopFurniture(w)) numbers.push_back(w.number);
  }
  return numbers;
}

WindowID SimDesktop::startNotificationService() {
  const pid_t service = runningOrLaunched(*this, kNotificationCenter, std::string(kNotificationBundleID));
  for (const SimWindow& w : windows()) {
    if (w.ownerPID == service && w.look == SimWindow::Look::banners) return w.number;
  }
  const auto all = displays();
  const Rect main = all.empty() ? Rect(0, 0, 1512, 982) : all.front().frame;
  SimWindow w;
  w.ownerPID = service;
  w.level = kBannerLevel;
  w.bounds = Rect(main.maxX() - kBannerWindowWidth, main.minY(), kBannerWindowWidth, kBannerWindowHeight);
  w.title = SimTitle::of(kBannerWindowTitle);
  w.look = SimWindow::Look::banners;
  w.color = 0xF2F2F4;
  w.onScreen = false;
  return addWindow(std::move(w));
}

WindowID SimDesktop::postNotification(const std::string& app, const std::string& title, const std::string& body,
                                      double seconds) {
  const WindowID number = startNotificationService();
  if (number == 0) return 0;
  const double now = dispatcher().mediaTime();
  setBanner(number, SimWindow::Banner{app, title, body, now});
  setOnScreen(number, true);
  raiseWindow(number);
  // Only this banner's own end takes the window off screen: a newer banner has another start.
  dispatcher().main().asyncAfter(std::max(seconds, 0.0), [this, number, now] {
    const auto w = window(number);
    if (!w || !w->banner || w->banner->shownAt != now) return;
    setOnScreen(number, false);
    setBanner(number, std::nullopt);
  });
  return number;
}

}  // namespace corvane::sim
