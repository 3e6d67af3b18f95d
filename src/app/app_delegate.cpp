#include "app/app_delegate.h"

#include "app/core_services.h"
#include "app/privacy_controller.h"
#include "base/dispatch.h"
#include "base/localization.h"
#include "base/log.h"
#include "lifecycle/app_updater.h"
#include "lifecycle/required_corvane.h"
#include "lifecycle/safe_restart.h"
#include "platform/application.h"
#include "platform/defaults_store.h"
#include "platform/processes.h"
#include "platform/ui.h"
#include "settings/policy_file_watcher.h"
#include "settings/preferences.h"
#include "ui/settings/settings_window.h"

namespace corvane {

AppDelegate::AppDelegate(Dependencies dependencies)
    : deps_(std::move(dependencies)),
      platform_(deps_.services.platform),
      alive_(std::make_shared<AppDelegate*>(this)) {}

AppDelegate::~AppDelegate() {
  *alive_ = nullptr;
  deps_.safeRestart.isSharing = nullptr;
  deps_.safeRestart.unconfigure();
  updater_.reset();
  policyServer_.reset();
  if (controller_) controller_->onStateChange = nullptr;
  // The menu's actions and the controller's callbacks refer to each other: the menu goes first.
  statusMenu_.reset();
  policyWatcher_.reset();
  controller_.reset();
}

void AppDelegate::onMain(std::function<void(AppDelegate&)> work) {
  std::weak_ptr<AppDelegate*> weak = alive_;
  platform_.dispatcher.main().async([weak, work = std::move(work)] {
    auto alive = weak.lock();
    if (alive && *alive) work(**alive);
  });
}

bool AppDelegate::applicationDidFinishLaunching() {
  // 1. One copy only; a second one leaves before creating anything.
  if (deps_.anotherInstanceIsRunning && deps_.anotherInstanceIsRunning()) return false;
  // 2-3.
  platform_.application.setActivationPolicy(ActivationPolicy::accessory);
  installEditMenu();
  // 4.
  startUpdates();
  // 5. Policies delivered while running are applied on arrival.
  if (deps_.policyPath) {
    std::weak_ptr<AppDelegate*> weak = alive_;
    policyWatcher_ = std::make_unique<PolicyFileWatcher>(*deps_.policyPath, platform_.dispatcher, platform_.systemLog,
                                                         [weak](const nlohmann::json& document) {
                                                           auto alive = weak.lock();
                                                           if (alive && *alive) (*alive)->deliverCompanyPolicy(document);
                                                         });
  }
  // 6. The cached policy, so that its locks hold from the first moment.
  applyCompanyPolicyResult(CompanyPolicy::applyCached(deps_.preferences));
  if (policyWatcher_) policyWatcher_->start();
  connectPolicyServer();
  // 7.
  onMain([](AppDelegate& d) { d.startApp(); });
  return true;
}

void AppDelegate::startUpdates() {
  CoreServices& services = deps_.services;
  std::weak_ptr<AppDelegate*> weak = alive_;
  const std::string executable = platform_.processes.executablePath();
  deps_.safeRestart.configure(SafeRestart::Environment{
      platform_.dispatcher, platform_.systemLog, platform_.processes, platform_.session, platform_.defaults,
      [&services] { return services.framebufferShare.scan(); },
      [&services] { return services.callAudio.microphoneInUse(); },
      [weak] {
        auto alive = weak.lock();
        if (alive && *alive) (*alive)->requestTermination();
      },
      executable});
  updater_ = std::make_unique<AppUpdater>(AppUpdater::Dependencies{
      platform_.dispatcher, platform_.systemLog, deps_.safeRestart, platform_.defaults, platform_.session, platform_.ui,
      deps_.version, runningBuildNumber(), executable, deps_.buildFilePath});
  updater_->start();
}

void AppDelegate::connectPolicyServer() {
  if (!platform_.defaults || !platform_.http) return;
  auto configuration = PolicyServer::configuration(*platform_.defaults, platform_.systemLog);
  if (!configuration) return;
  std::weak_ptr<AppDelegate*> weak = alive_;
  policyServer_ = std::make_unique<PolicyServer>(PolicyServer::Dependencies{
      platform_.dispatcher, platform_.systemLog, *platform_.http, platform_.session, *configuration,
      deps_.policyServerStatePath.empty() ? PolicyServer::standardStatePath() : deps_.policyServerStatePath,
      [weak](const nlohmann::json& document) {
        auto alive = weak.lock();
        if (alive && *alive) (*alive)->deliverCompanyPolicy(document);
      }});
  policyServer_->start();
}

void AppDelegate::pushCompanyDefaults(std::function<void(const PolicyServer::PushResult&)> completion) {
  if (!policyServer_) {
    if (completion) {
      completion(PolicyServer::PushResult{
          false, localized("Corvane is not connected to your organization's server.", "Push settings without server")});
    }
    return;
  }
  policyServer_->pushDefaults(CompanyPolicy::snapshotForPush(deps_.preferences), std::move(completion));
}

void AppDelegate::installEditMenu() {
  ui::UserInterface* ui = platform_.ui;
  if (!ui) return;
  auto edit = std::make_shared<ui::Menu>("Edit");
  // The text fields' own actions; the platform routes them to the focused field.
  edit->addItem(std::make_shared<ui::MenuItem>("Cut", nullptr, "x"));
  edit->addItem(std::make_shared<ui::MenuItem>("Copy", nullptr, "c"));
  edit->addItem(std::make_shared<ui::MenuItem>("Paste", nullptr, "v"));
  edit->addItem(std::make_shared<ui::MenuItem>("Select All", nullptr, "a"));
  auto holder = std::make_shared<ui::MenuItem>("", nullptr, "");
  holder->submenu = edit;
  if (!ui->mainMenu()) ui->setMainMenu(std::make_shared<ui::Menu>());
  ui->mainMenu()->addItem(std::move(holder));
}

void AppDelegate::startApp() {
  Preferences& prefs = deps_.preferences;
  // 1-2.
  controller_ = std::make_unique<PrivacyController>(deps_.services, prefs);
  std::weak_ptr<AppDelegate*> weak = alive_;
  deps_.safeRestart.isSharing = [weak] {
    auto alive = weak.lock();
    return alive && *alive && (*alive)->controller_ && (*alive)->controller_->detector().isSharing();
  };
  // 3.
  StatusMenuController::Environment env{platform_.ui, platform_.workspace, platform_.systemLog,
                                        deps_.bundleIdentifier, "Corvane", deps_.version};
  statusMenu_ = std::make_unique<StatusMenuController>(*controller_, prefs, std::move(env));
  statusMenu_->makeSettingsWindow = [weak]() -> std::unique_ptr<SettingsWindow> {
    auto alive = weak.lock();
    return alive && *alive ? (*alive)->makeSettingsWindow() : nullptr;
  };
  statusMenu_->openSettingsWindow = [weak] {
    auto alive = weak.lock();
    if (alive && *alive && (*alive)->openSettingsWindow) (*alive)->openSettingsWindow();
  };
  statusMenu_->checkForUpdates = [weak] {
    auto alive = weak.lock();
    if (alive && *alive && (*alive)->updater_) (*alive)->updater_->checkManually();
  };
  statusMenu_->terminate = [weak] {
    auto alive = weak.lock();
    if (alive && *alive) (*alive)->requestTermination();
  };
  // 4.
  controller_->onStateChange = [weak] {
    auto alive = weak.lock();
    if (!alive || !*alive) return;
    AppDelegate& d = **alive;
    d.statusMenu_->updateIcon();
    d.statusMenu_->rebuildMenu();
    if (d.onStateChange) d.onStateChange();
  };
  // 5.
  controller_->start();
  // 6. The login item is never switched off here.
  if (prefs.launchAtLogin() || prefs.requireCorvane()) setLaunchAtLogin(true);
  // 7.
  RequiredCorvane required(platform_.loginServices, platform_.processes, platform_.systemLog, deps_.bundleIdentifier);
  if (prefs.requireCorvane()) {
    required.install();
  } else {
    required.remove();
  }
  // 8. Without automatic detection Privacy Mode is on from launch.
  if (!prefs.autoDetectEnabled()) controller_->setPrivacy(true, false);
  // 9.
  onMain([](AppDelegate& d) {
    d.statusMenu_->install();
    if (!d.deps_.preferences.hasCompletedOnboarding()) d.statusMenu_->openSettings();
  });
}

std::unique_ptr<SettingsWindow> AppDelegate::makeSettingsWindow() {
  // The window's hooks reach the controller through the delegate, and do nothing once it is gone.
  std::weak_ptr<AppDelegate*> weak = alive_;
  auto controller = [weak]() -> PrivacyController* {
    auto alive = weak.lock();
    return alive && *alive ? (*alive)->controller_.get() : nullptr;
  };
  SettingsStatus status;
  status.clearViewStatus = [controller]() -> std::optional<std::string> {
    auto* c = controller();
    return c ? c->overlays().clearViewStatus() : std::nullopt;
  };
  status.isAppSwitchGuardActive = [controller] {
    auto* c = controller();
    return c && c->hasKeyEventTap();
  };
  status.permissionsChanged = [controller] {
    if (auto* c = controller()) {
      c->overlays().setClearViewActive(true);
      c->syncAppSwitcherTap();
    }
  };
  if (platform_.input) {
    status.requestInputMonitoring = [input = platform_.input, &workspace = platform_.workspace] {
      PrivacyController::requestInputMonitoringPermission(*input, workspace);
    };
  }
  SettingsViewModel::Environment environment{platform_.workspace, platform_.processes, platform_.systemLog,
                                             platform_.loginServices,
                                             deps_.services.screenCapture.hasWatcherPresent()};
  // The company-defaults card: for the team administrator the managed settings name, while the
  // organisation's server is connected.
  CompanyDefaultsAccount account;
  account.isTeamAdministrator = [weak, defaults = platform_.defaults] {
    auto alive = weak.lock();
    return alive && *alive && (*alive)->policyServer_ && defaults &&
           defaults->isForced(PolicyServer::administratorKey) &&
           defaults->boolValue(applicationDomain, PolicyServer::administratorKey).value_or(false);
  };
  account.push = [weak](const nlohmann::json& document, std::function<void(std::optional<std::string>)> done) {
    auto alive = weak.lock();
    if (!alive || !*alive || !(*alive)->policyServer_) {
      if (done) done(localized("Corvane is not connected to your organization's server.", "Push settings without server"));
      return;
    }
    (*alive)->policyServer_->pushDefaults(document, [done](const PolicyServer::PushResult& result) {
      if (done) done(result.ok ? std::nullopt : std::optional<std::string>(result.message));
    });
  };
  return SettingsWindow::make(deps_.preferences, platform_, std::move(status), std::move(environment),
                              std::move(account));
}

void AppDelegate::setLaunchAtLogin(bool enabled) {
  LaunchAtLogin(platform_.loginServices, platform_.processes, platform_.systemLog).setEnabled(enabled);
}

void AppDelegate::syncRequiredCorvane() {
  Preferences& prefs = deps_.preferences;
  RequiredCorvane required(platform_.loginServices, platform_.processes, platform_.systemLog, deps_.bundleIdentifier);
  if (!prefs.requireCorvane()) {
    required.remove();
    return;
  }
  required.install();
  setLaunchAtLogin(true);
  if (controller_ && !controller_->isPrivacyActive() && !prefs.autoDetectEnabled()) {
    controller_->setPrivacy(true, false);
  }
}

void AppDelegate::deliverCompanyPolicy(const nlohmann::json& document) {
  auto policy = CompanyPolicy::parse(document, &platform_.systemLog);
  if (!policy) return;
  const CompanyPolicy::ApplyResult result = policy->apply(deps_.preferences);
  applyCompanyPolicyResult(result);
  if (onPolicyApplied) onPolicyApplied(*policy, result);
}

void AppDelegate::applyCompanyPolicyResult(const CompanyPolicy::ApplyResult& result) {
  Preferences& prefs = deps_.preferences;
  syncRequiredCorvane();
  if (result.changedKeys.contains("launchAtLogin") && !prefs.requireCorvane()) setLaunchAtLogin(prefs.launchAtLogin());
  // A managed installation skips onboarding.
  if (!result.changedKeys.empty()) prefs.hasCompletedOnboarding.set(true);
  if (statusMenu_) {
    statusMenu_->updateIcon();
    statusMenu_->rebuildMenu();
  }
}

TerminateReply AppDelegate::applicationShouldTerminate() {
  if (deps_.safeRestart.isRestartingForUpdate()) return TerminateReply::now;
  return deps_.preferences.requireCorvane() ? TerminateReply::cancel : TerminateReply::now;
}

void AppDelegate::applicationWillTerminate() {
  if (!controller_) return;
  controller_->overlays().shutdown();
  controller_->notificationShield().shutdown();
}

void AppDelegate::requestTermination() {
  if (applicationShouldTerminate() != TerminateReply::now) return;
  applicationWillTerminate();
  platform_.application.terminate();
}

}  // namespace corvane
