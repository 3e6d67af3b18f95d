// Delivery of company policies on this platform: administrators drop a JSON policy document at a
// fixed path, "/etc/corvane/policy.json" (the environment variable CORVANE_POLICY_PATH names
// another file, for tests).
//
// The watcher reads the file when started and again whenever it changes (it looks every second on
// the main queue). Each new document that decodes as a JSON object with a valid "version" is handed
// to the delivery callback, which start-up registers to apply it. A file that cannot be read (it is not
// a regular file, or it is larger than CompanyPolicy::maxDocumentBytes), is not JSON, is not an
// object or is rejected as a policy is logged with its reason, and nothing changes;
// an unchanged file is not delivered twice. Removing the file changes nothing either: the policy
// last applied stays in force (it is the preferences store's cached policy).
//
// Threading: main thread; the callback runs on the main queue and may destroy the watcher.
#pragma once

#include <functional>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <string>

namespace corvane {

class Dispatcher;
class LogSink;
class Timer;

class PolicyFileWatcher {
 public:
  using Delivery = std::function<void(const nlohmann::json& document)>;
  static constexpr double checkInterval = 1.0;

  // CORVANE_POLICY_PATH when set, else "/etc/corvane/policy.json".
  static std::string standardPath();

  PolicyFileWatcher(std::string path, Dispatcher& dispatcher, LogSink& log, Delivery onPolicy);
  ~PolicyFileWatcher();
  PolicyFileWatcher(const PolicyFileWatcher&) = delete;
  PolicyFileWatcher& operator=(const PolicyFileWatcher&) = delete;

  // Reads the file now (delivering it when it holds a policy), then watches it.
  void start();
  void stop();
  // One look at the file, as the timer takes.
  void checkNow();

  const std::string& path() const { return path_; }

 private:
  struct FileState;

  std::string path_;
  Dispatcher& dispatcher_;
  LogSink& log_;
  Delivery onPolicy_;
  std::unique_ptr<FileState> state_;
  std::shared_ptr<bool> alive_;
  std::unique_ptr<Timer> timer_;  // declared last, so it is cancelled first
};

}  // namespace corvane
