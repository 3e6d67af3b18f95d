// The status menu: the application's one item in the system menu bar, its icon drawn from the
// Privacy Mode state, and its menu, rebuilt from scratch on every opening and every state change.
//
// Every text goes through the localisation table with a fixed comment for the translators. The
// settings window, the update check and quitting are reached through hooks that the application
// sets (the settings window and the updater are not part of this class).
//
// Threading: main thread. Menu actions hold the controller through a liveness token and do nothing
// once it is gone.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/ui.h"

namespace corvane {

class PrivacyController;
class Preferences;
class SettingsWindow;
class Workspace;
class LogSink;
struct AppRef;

class StatusMenuController {
 public:
  static constexpr const char* kAutosaveName = "CorvaneStatusItem";
  static constexpr uint64_t kHotKeyMask = ui::KeyModifier::control | ui::KeyModifier::option | ui::KeyModifier::command;
  static constexpr double kPeekSeconds = 4;
  static constexpr double kIconSide = 18;
  static constexpr double kOffIconOpacity = 0.55;

  struct Environment {
    ui::UserInterface* ui = nullptr;  // none: no status item (said once in the log)
    Workspace& workspace;
    LogSink& log;
    std::string bundleIdentifier;
    std::string productName = "Corvane";
    std::string version;
  };
  StatusMenuController(PrivacyController& controller, Preferences& preferences, Environment environment);
  ~StatusMenuController();
  StatusMenuController(const StatusMenuController&) = delete;
  StatusMenuController& operator=(const StatusMenuController&) = delete;

  // Creates the status item with an empty menu, then draws the icon and builds the menu.
  void install();
  void updateIcon();
  void rebuildMenu();
  // Shows the settings window, made on first use (through makeSettingsWindow) and kept, then tells
  // openSettingsWindow.
  void openSettings();
  // The status line of the menu for the current state.
  std::string statusLine() const;

  ui::StatusItem* statusItem() const { return statusItem_.get(); }
  std::shared_ptr<ui::Menu> menu() const;

  SettingsWindow* settingsWindow() const { return settingsWindow_.get(); }

  // Hooks the application sets.
  // Makes the settings window; none where the platform cannot show one.
  std::function<std::unique_ptr<SettingsWindow>()> makeSettingsWindow;
  // Told each time the settings are opened.
  std::function<void()> openSettingsWindow;
  std::function<void()> checkForUpdates;
  std::function<void()> terminate;

 private:
  void addMuted(ui::Menu& menu, const std::string& text, ui::MenuItemStyle style);
  void addAppItems(ui::Menu& menu);
  void toggleAppReveal(const ui::MenuItem& sender);
  bool isRevealed(const AppRef& app) const;
  bool isDevBuild() const;
  // An action that runs `work` on this controller while it lives.
  ui::MenuItem::Action action(std::function<void(StatusMenuController&, const ui::MenuItem&)> work);

  PrivacyController& controller_;
  Preferences& prefs_;
  Environment env_;
  std::unique_ptr<ui::StatusItem> statusItem_;
  std::unique_ptr<SettingsWindow> settingsWindow_;
  // Last: every action handed out checks it.
  std::shared_ptr<StatusMenuController*> alive_;
};

}  // namespace corvane
