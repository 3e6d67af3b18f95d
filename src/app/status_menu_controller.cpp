#include "app/status_menu_controller.h"

#include <algorithm>

#include "app/privacy_controller.h"
#include "base/format.h"
#include "base/localization.h"
#include "base/log.h"
#include "platform/workspace.h"
#include "settings/preferences.h"
#include "ui/settings/settings_window.h"
#include "windows/conferencing.h"

namespace corvane {

namespace {

std::shared_ptr<ui::MenuItem> makeItem(std::string title, ui::MenuItem::Action action = nullptr,
                                       std::string key = {}) {
  return std::make_shared<ui::MenuItem>(std::move(title), std::move(action), std::move(key));
}

std::shared_ptr<ui::MenuItem> disabledItem(std::string title) {
  auto item = makeItem(std::move(title));
  item->enabled = false;
  return item;
}

bool endsWith(const std::string& s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string upperPrefix(const std::string& name, size_t count) {
  std::string out;
  for (size_t i = 0; i < name.size() && out.size() < count; ++i) {
    const char c = name[i];
    out += char(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  }
  return out;
}

}  // namespace

StatusMenuController::StatusMenuController(PrivacyController& controller, Preferences& preferences,
                                           Environment environment)
    : controller_(controller),
      prefs_(preferences),
      env_(std::move(environment)),
      alive_(std::make_shared<StatusMenuController*>(this)) {}

StatusMenuController::~StatusMenuController() {
  *alive_ = nullptr;
  if (auto m = menu()) m->menuWillOpen = nullptr;
}

std::shared_ptr<ui::Menu> StatusMenuController::menu() const { return statusItem_ ? statusItem_->menu() : nullptr; }

ui::MenuItem::Action StatusMenuController::action(
    std::function<void(StatusMenuController&, const ui::MenuItem&)> work) {
  std::weak_ptr<StatusMenuController*> weak = alive_;
  return [weak, work = std::move(work)](ui::MenuItem& sender) {
    auto alive = weak.lock();
    if (alive && *alive) work(**alive, sender);
  };
}

bool StatusMenuController::isDevBuild() const { return endsWith(env_.bundleIdentifier, ".dev"); }

void StatusMenuController::install() {
  if (statusItem_) return;
  if (!env_.ui) {
    env_.log.log("Corvane: this platform has no menu bar; running without the status menu");
    return;
  }
  statusItem_ = env_.ui->makeStatusItem(ui::kVariableStatusItemLength);
  if (!statusItem_) {
    env_.log.log("Corvane: this platform has no menu bar; running without the status menu");
    return;
  }
  statusItem_->setVisible(true);
  statusItem_->setAutosaveName(kAutosaveName);
  auto newMenu = std::make_shared<ui::Menu>();
  std::weak_ptr<StatusMenuController*> weak = alive_;
  newMenu->menuWillOpen = [weak] {
    auto alive = weak.lock();
    if (alive && *alive) (*alive)->rebuildMenu();
  };
  statusItem_->setMenu(newMenu);
  updateIcon();
  rebuildMenu();
}

void StatusMenuController::updateIcon() {
  if (!statusItem_) return;
  statusItem_->setVisible(true);
  const bool on = controller_.isPrivacyActive() && !controller_.isPeeking();
  const std::string name = isDevBuild() ? "Corvane Dev" : "Corvane";
  const std::string toolTip = name + (on ? " (on)" : " (off)");
  statusItem_->setToolTip(toolTip);
  if (auto icon = env_.ui->assetImage("MenuBarIcon")) {
    statusItem_->setImage(*icon, false, on ? 1.0 : kOffIconOpacity);
    statusItem_->setTitle("");
    return;
  }
  const std::string symbol = on ? "eye.slash.circle.fill" : "eye.circle";
  if (env_.ui->hasSystemSymbol(symbol)) {
    statusItem_->setImage(ui::Image::systemSymbol(symbol, toolTip), true, 1.0);
    statusItem_->setTitle("");
    return;
  }
  statusItem_->setImage(std::nullopt, false, 1.0);
  statusItem_->setTitle(upperPrefix(env_.productName, 2) + (on ? "\u25CF" : ""));
}

void StatusMenuController::addMuted(ui::Menu& m, const std::string& text, ui::MenuItemStyle style) {
  auto item = disabledItem(text);
  item->style = style;
  m.addItem(std::move(item));
}

std::string StatusMenuController::statusLine() const {
  if (controller_.isPeeking()) return localized("Peeking", "Status text when peeking");
  const bool on = controller_.isPrivacyActive();
  if (on) {
    for (const auto& app : prefs_.protectedApps()) {
      if (isRevealed(app)) return localized("On \u00B7 meeting can see a protected app", "Status with a revealed app");
    }
    return localized("On \u00B7 share sees frost", "Status text when privacy active");
  }
  ShareDetector& detector = controller_.detector();
  if (detector.isSharing()) return localized("Share detected", "Status text when screensharing is active");
  if (prefs_.autoDetectEnabled() && detector.isReady()) {
    return localized("Ready \u00B7 turns on when you share", "Status text during a call before a share starts");
  }
  return localized("Off", "Status text when inactive");
}

bool StatusMenuController::isRevealed(const AppRef& app) const {
  const auto& revealed = controller_.overlays().revealedBundleIDs();
  if (revealed.contains(app.bundleID)) return true;
  auto root = Conferencing::hubFamilyRoot(app.bundleID);
  return root && revealed.contains(*root);
}

void StatusMenuController::rebuildMenu() {
  auto m = menu();
  if (!m) return;
  m->removeAllItems();
  const bool on = controller_.isPrivacyActive();

  if (isDevBuild()) {
    m->addItem(disabledItem("Corvane Dev"));
    m->addItem(ui::MenuItem::separator());
  }

  if (!(prefs_.requireCorvane() && on)) {
    std::string title;
    if (on) {
      title = localized("Turn Privacy Mode Off", "Toggle privacy off menu item");
    } else if (prefs_.autoDetectEnabled()) {
      title = localized("Privacy Mode: Auto Detect", "Privacy follows auto-detect menu item");
    } else {
      title = localized("Turn Privacy Mode On", "Toggle privacy on menu item");
    }
    auto toggle = makeItem(title, action([](StatusMenuController& s, const ui::MenuItem&) {
                             s.controller_.togglePrivacy();
                           }),
                           "b");
    toggle->keyEquivalentModifierMask = kHotKeyMask;
    m->addItem(std::move(toggle));
  }

  addMuted(*m, statusLine(), ui::MenuItemStyle::mutedTertiary);
  if (prefs_.clearViewEnabled() && on && !controller_.hasKeyEventTap()) {
    addMuted(*m, localized("Cmd+Tab guard off \u2014 allow Input Monitoring for this copy",
                           "Clear View app-switch guard unavailable"),
             ui::MenuItemStyle::mutedTertiary);
  }
  m->addItem(ui::MenuItem::separator());

  addMuted(*m, localized("Show to meeting", "Per-app reveal section header"), ui::MenuItemStyle::mutedSecondary);
  if (prefs_.protectedApps().empty()) {
    auto add = makeItem(localized("Add apps in Settings\u2026", "Empty protected apps menu action"),
                        action([](StatusMenuController& s, const ui::MenuItem&) { s.openSettings(); }));
    add->indentationLevel = 1;
    m->addItem(std::move(add));
  } else {
    addAppItems(*m);
  }

  auto peek = makeItem(localized("Peek all for 4s", "Peek temporarily menu item"),
                       action([](StatusMenuController& s, const ui::MenuItem&) {
                         s.controller_.peekTemporarily(kPeekSeconds);
                       }),
                       "p");
  peek->keyEquivalentModifierMask = kHotKeyMask;
  peek->enabled = on;
  peek->indentationLevel = 1;
  m->addItem(std::move(peek));

  const BlurRectManager& blur = controller_.blurRects();
  if (blur.isDrawMode()) {
    addMuted(*m, localized("Drawing a blur rect \u2014 \u2318\u00D73 or Esc to exit", "Blur rect draw mode active label"),
             ui::MenuItemStyle::mutedTertiary);
  } else if (!blur.rects().empty()) {
    addMuted(*m,
             corvane::format(localized("%d blur rects", "Blur rect count label"), {FormatArg(int64_t(blur.rects().size()))}),
             ui::MenuItemStyle::mutedTertiary);
  }
  m->addItem(ui::MenuItem::separator());

  m->addItem(makeItem(localized("Settings\u2026", "Open settings menu item"),
                      action([](StatusMenuController& s, const ui::MenuItem&) { s.openSettings(); }), ","));
  if (prefs_.autoDetectEnabled() && !prefs_.triggerApps().empty()) {
    std::string names;
    for (const auto& app : prefs_.triggerApps()) names += (names.empty() ? "" : ", ") + app.name;
    addMuted(*m, corvane::format(localized("Watching %@", "Auto-detect trigger label"), {FormatArg(names)}),
             ui::MenuItemStyle::mutedTertiary);
  }
  m->addItem(ui::MenuItem::separator());

  m->addItem(makeItem(localized("Check for Updates\u2026", "Check for updates menu item"),
                      action([](StatusMenuController& s, const ui::MenuItem&) {
                        if (s.checkForUpdates) {
                          s.checkForUpdates();
                        } else {
                          s.env_.log.log("Corvane: updates are not available in this build");
                        }
                      })));
  m->addItem(disabledItem(corvane::format(localized("Version %@", "App version menu label"), {FormatArg(env_.version)})));
  m->addItem(ui::MenuItem::separator());

  if (prefs_.requireCorvane()) {
    m->addItem(disabledItem(localized("Required by your organization", "Quit hidden by company policy")));
  } else {
    m->addItem(makeItem(localized("Quit Corvane", "Quit menu item"),
                        action([](StatusMenuController& s, const ui::MenuItem&) {
                          if (s.prefs_.requireCorvane()) return;
                          if (s.terminate) s.terminate();
                        }),
                        "q"));
  }
}

void StatusMenuController::addAppItems(ui::Menu& m) {
  std::vector<std::string> running;
  for (const auto& app : env_.workspace.runningApplications()) {
    if (app.bundleIdentifier && !app.isTerminated) running.push_back(*app.bundleIdentifier);
  }
  const bool on = controller_.isPrivacyActive();
  for (const AppRef& app : prefs_.protectedApps()) {
    const bool isRunning = std::find(running.begin(), running.end(), app.bundleID) != running.end();
    const bool frontmost = controller_.isFrontmostProtectedApp(app);
    const bool revealed = isRevealed(app);
    std::string title = app.name;
    if (frontmost) title += localized("  (front)", "Frontmost protected app suffix");
    auto item = makeItem(title, action([](StatusMenuController& s, const ui::MenuItem& sender) {
                           s.toggleAppReveal(sender);
                         }),
                         frontmost ? "r" : "");
    if (frontmost) item->keyEquivalentModifierMask = kHotKeyMask;
    item->representedObject = app.bundleID;
    item->indentationLevel = 1;
    item->state = revealed ? ui::ControlState::on : ui::ControlState::off;
    item->enabled = isRunning && on;
    if (!isRunning) {
      item->toolTip = localized("Not running", "Protected app not running tooltip");
    } else if (revealed) {
      item->toolTip = localized("Meeting can see this app. Click to frost it again.", "Shown to meeting tooltip");
    } else {
      item->toolTip = localized("Share sees frost. Click to show this app to the meeting.", "Frosted app tooltip");
    }
    m.addItem(std::move(item));
  }
}

void StatusMenuController::toggleAppReveal(const ui::MenuItem& sender) {
  if (!sender.representedObject) return;
  const std::string& bundleID = *sender.representedObject;
  const auto& apps = prefs_.protectedApps();
  auto it = std::find_if(apps.begin(), apps.end(), [&](const AppRef& a) { return a.bundleID == bundleID; });
  if (it == apps.end() || !controller_.isPrivacyActive()) return;
  const AppRef app = *it;
  controller_.overlays().setAppRevealed(app, !isRevealed(app));
  controller_.refresh();
  if (controller_.onStateChange) controller_.onStateChange();
}

void StatusMenuController::openSettings() {
  if (!settingsWindow_ && makeSettingsWindow) settingsWindow_ = makeSettingsWindow();
  if (settingsWindow_) {
    settingsWindow_->show();
  } else if (!openSettingsWindow) {
    env_.log.log("Corvane: the settings window is not available in this build");
  }
  if (openSettingsWindow) openSettingsWindow();
}

}  // namespace corvane
