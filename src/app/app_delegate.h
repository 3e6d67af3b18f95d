// The application's start-up and termination in the ordinary run mode.
//
// At launch it makes sure only one copy runs, applies the organisation's cached policy and
// watches for new ones, then, one main-queue turn later, builds the privacy controller and the
// status menu and wires them together, brings the keep-alive service and the login item into the
// state the settings ask for, and (one more turn later) installs the status item, opening the
// settings on a first launch. It decides whether the application may quit: not while the
// organisation requires Corvane, except to restart for an update.
//
// Threading: main thread. Work it queues holds the delegate through a liveness token.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/status_menu_controller.h"
#include "platform/platform.h"
#include "settings/company_policy.h"
#include "settings/policy_server.h"

namespace corvane {

class AppUpdater;
class CoreServices;
class PolicyFileWatcher;
class Preferences;
class PrivacyController;
class SafeRestart;
class SettingsWindow;

inline constexpr const char* kApplicationVersion = "0.1.0";

// The reply to a request to quit (the platform's numbers).
enum class TerminateReply : int { cancel = 0, now = 1, later = 2 };

class AppDelegate {
 public:
  struct Dependencies {
    CoreServices& services;
    Preferences& preferences;
    SafeRestart& safeRestart;
    // Whether another copy of the application keeps running (the single-instance guard).
    std::function<bool()> anotherInstanceIsRunning;
    std::string bundleIdentifier;
    std::string version;
    // The file company policies are delivered to; none: no delivery while running.
    std::optional<std::string> policyPath;
    // Where the installed build number is read; empty: "corvane.build" beside the executable.
    std::string buildFilePath = {};
    // Where the organisation's server's last good policy is kept; empty: the user's state directory.
    std::string policyServerStatePath = {};
  };

  explicit AppDelegate(Dependencies dependencies);
  ~AppDelegate();
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  // False when another copy runs: the caller ends the process with status 0 at once (nothing has
  // been created). Otherwise the controller is built on the next main-queue turn.
  bool applicationDidFinishLaunching();
  TerminateReply applicationShouldTerminate();
  void applicationWillTerminate();
  // A request to quit (the menu's Quit): asks applicationShouldTerminate and, when the answer is
  // now, shuts down and ends the event loop.
  void requestTermination();

  // Applies a company policy delivered while running.
  void deliverCompanyPolicy(const nlohmann::json& document);
  void applyCompanyPolicyResult(const CompanyPolicy::ApplyResult& result);

  // Sends the current settings to the organisation's server as its defaults; the completion gets the
  // success text or the error text (also when no server is configured).
  void pushCompanyDefaults(std::function<void(const PolicyServer::PushResult&)> completion);

  PrivacyController* controller() const { return controller_.get(); }
  AppUpdater* updater() const { return updater_.get(); }
  PolicyServer* policyServer() const { return policyServer_.get(); }
  StatusMenuController* statusMenu() const { return statusMenu_.get(); }

  // Told each time the settings window is opened.
  std::function<void()> openSettingsWindow;
  // Told after every state change of the controller, after the status menu.
  std::function<void()> onStateChange;
  // Told about every delivered policy that was applied.
  std::function<void(const CompanyPolicy& policy, const CompanyPolicy::ApplyResult& result)> onPolicyApplied;

 private:
  void startApp();
  void startUpdates();
  void connectPolicyServer();
  std::unique_ptr<SettingsWindow> makeSettingsWindow();
  void installEditMenu();
  void syncRequiredCorvane();
  void setLaunchAtLogin(bool enabled);
  void onMain(std::function<void(AppDelegate&)> work);

  Dependencies deps_;
  Platform platform_;
  std::unique_ptr<PolicyFileWatcher> policyWatcher_;
  std::unique_ptr<AppUpdater> updater_;
  std::unique_ptr<PolicyServer> policyServer_;
  std::unique_ptr<PrivacyController> controller_;
  std::unique_ptr<StatusMenuController> statusMenu_;
  // Last: every callback handed out checks it.
  std::shared_ptr<AppDelegate*> alive_;
};

}  // namespace corvane
