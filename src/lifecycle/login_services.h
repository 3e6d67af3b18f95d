// The per-user service manager and the login items: what keeps the application running when an
// organisation requires it, and what starts it when the user logs in.
//
// A keep-alive service, once installed, starts the application whenever it is not running (at
// login too); it outlives the application that installed it, which is its purpose. Install is
// idempotent (everything is rewritten, the service manager is asked again); remove leaves nothing
// behind and is harmless when nothing is installed.
//
// Threading: main thread.
#pragma once

#include <string>

namespace corvane {

class LoginServices {
 public:
  virtual ~LoginServices() = default;
  // False, with the reason in *error, when the service could not be written.
  virtual bool installKeepAlive(const std::string& label, const std::string& executablePath, std::string* error) = 0;
  virtual void removeKeepAlive(const std::string& label) = 0;
  // Starts the executable at login (enabled) or no longer (disabled). False, with the reason in
  // *error, on failure.
  virtual bool setLoginItem(bool enabled, const std::string& executablePath, std::string* error) = 0;
};

}  // namespace corvane
