// The whole application started through its delegate on a simulated desktop, in virtual time,
// with an application object that records what is asked of it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/app_delegate.h"
#include "app/core_services.h"
#include "app/privacy_controller.h"
#include "base/virtual_dispatcher.h"
#include "lifecycle/safe_restart.h"
#include "platform/application.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_input.h"
#include "platform/sim/sim_login_services.h"
#include "platform/sim/sim_ui.h"
#include "settings/memory_defaults_store.h"
#include "settings/preferences.h"

namespace corvane {

class RecordingApplication final : public Application {
 public:
  ActivationPolicy activationPolicy() const override { return policy; }
  bool setActivationPolicy(ActivationPolicy p) override {
    policy = p;
    return true;
  }
  void run() override {}
  void terminate() override { ++terminations; }
  Subscription addObserver(ApplicationNotification, std::function<void()>) override { return {}; }

  ActivationPolicy policy = ActivationPolicy::regular;
  int terminations = 0;
};

class AppTest : public ::testing::Test {
 protected:
  static constexpr pid_t kSecretPID = 501;
  static constexpr pid_t kZoomPID = 502;
  inline static const AppRef kSecret{"com.example.secret", "Secret"};
  inline static const AppRef kNotes{"com.example.notes", "Notes"};

  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop{dispatcher};
  RecordingApplication application;
  MemoryDefaultsStore defaults;
  Preferences prefs{defaults, dispatcher, desktop.systemLog()};
  MemoryLog clearViewLog;
  Platform platform = withRecordingApplication(desktop.platform());
  CoreServices services{platform, clearViewLog};
  SafeRestart safeRestart;
  std::unique_ptr<AppDelegate> delegate;
  bool anotherCopy = false;
  int settingsOpened = 0;

  void SetUp() override {
    desktop.input().setListenAccessGranted(true);
    desktop.launchApp({desktop.selfPID(), "com.corvane.Corvane", "Corvane", ActivationPolicy::accessory, 0x202020, false});
    desktop.launchApp({kSecretPID, kSecret.bundleID, kSecret.name, ActivationPolicy::regular, 0xAA3333, false});
    sim::SimWindow w;
    w.ownerPID = kSecretPID;
    w.bounds = Rect(100, 200, 500, 400);
    desktop.addWindow(w);
    dispatcher.runUntilIdle();
  }
  void TearDown() override { delegate.reset(); }

  Platform withRecordingApplication(Platform p) {
    Platform out{p.dispatcher, p.clock,     p.windowServer, p.workspace, p.screens,
                 p.processes,  application, p.systemLog,    p.defaults};
    out.windowServerPrivate = p.windowServerPrivate;
    out.audio = p.audio;
    out.accessibility = p.accessibility;
    out.ui = p.ui;
    out.input = p.input;
    out.loginServices = p.loginServices;
    return out;
  }

  // Launches the application and lets its start-up turns run. False when it left as a second copy.
  bool launch() {
    dispatcher.runUntilIdle();
    delegate = std::make_unique<AppDelegate>(AppDelegate::Dependencies{
        services, prefs, safeRestart, [this] { return anotherCopy; }, "com.corvane.Corvane", "1.2.3", std::nullopt});
    delegate->openSettingsWindow = [this] { ++settingsOpened; };
    const bool started = delegate->applicationDidFinishLaunching();
    dispatcher.runUntilIdle();
    return started;
  }
  PrivacyController& controller() { return *delegate->controller(); }
  sim::SimUI& ui() { return desktop.ui(); }
  sim::SimLoginServices& login() { return desktop.loginServices(); }

  // The titles of the status menu as it opens now (separators as "-"), the menu left closed.
  std::vector<std::string> menuTitles() {
    std::vector<std::string> titles;
    if (!ui().openStatusMenu()) return titles;
    for (const auto& item : ui().openMenu()->items()) titles.push_back(item->isSeparator() ? "-" : item->title);
    ui().closeStatusMenu();
    return titles;
  }
  ui::MenuItem* menuItem(const std::string& title) {
    auto menu = delegate->statusMenu()->menu();
    return menu ? menu->item(title) : nullptr;
  }
  void deliverPolicy(const nlohmann::json& document) {
    delegate->deliverCompanyPolicy(document);
    dispatcher.runUntilIdle();
  }
};

}  // namespace corvane
