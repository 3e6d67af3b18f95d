// Keeping Corvane running for an organisation that requires it, and the user's launch-at-login
// choice, over the platform's login services.
//
// The keep-alive service's label derives from the application's bundle identifier (followed by
// ".keepalive"); "com.corvane.app" stands in when there is none. Failures are logged with the
// "Corvane: " lines below and otherwise ignored; without login services each call says so in the
// log and does nothing.
//
// Threading: main thread.
#pragma once

#include <string>

namespace corvane {

class LogSink;
class LoginServices;
class Processes;

inline constexpr const char* kFallbackBundleIdentifier = "com.corvane.app";

// The keep-alive label for a bundle identifier (empty: the fallback identifier's).
std::string keepAliveLabel(const std::string& bundleIdentifier);

class RequiredCorvane {
 public:
  // `services` may be null (the platform has none); everything outlives the object.
  RequiredCorvane(LoginServices* services, Processes& processes, LogSink& log, std::string bundleIdentifier);

  const std::string& label() const { return label_; }
  // Installs (or rewrites) the keep-alive service for the running executable.
  void install();
  void remove();

 private:
  LoginServices* services_;
  Processes& processes_;
  LogSink& log_;
  std::string label_;
};

class LaunchAtLogin {
 public:
  LaunchAtLogin(LoginServices* services, Processes& processes, LogSink& log);
  // True on success.
  bool setEnabled(bool enabled);

 private:
  LoginServices* services_;
  Processes& processes_;
  LogSink& log_;
};

}  // namespace corvane
