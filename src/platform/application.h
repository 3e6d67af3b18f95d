// The application object: activation policy, the event loop, termination.
//
// Threading: main thread.
#pragma once

#include <functional>

#include "base/observable.h"
#include "platform/workspace.h"

namespace corvane {

enum class ApplicationNotification {
  didBecomeActive,            // this application became the active one
  didChangeScreenParameters,  // displays were added, removed or rearranged
};

class Application {
 public:
  virtual ~Application() = default;
  virtual ActivationPolicy activationPolicy() const = 0;
  // False when the platform refused the change.
  virtual bool setActivationPolicy(ActivationPolicy policy) = 0;
  // Runs the main event loop until terminate() is called.
  virtual void run() = 0;
  // Ends the event loop; run() returns.
  virtual void terminate() = 0;
  // Delivered on the main queue.
  [[nodiscard]] virtual Subscription addObserver(ApplicationNotification name, std::function<void()> observer) = 0;
};

}  // namespace corvane
