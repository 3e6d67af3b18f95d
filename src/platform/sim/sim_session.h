// The simulated desktop's login session: when the user last gave input, whether the screen is
// locked, and the system's wake from sleep, all scriptable.
//
// Idle time is measured on the desktop's virtual clock from the last noteInput() (or from the
// session's start). A session without a dictionary (setDictionaryAvailable(false)) answers none, as
// a system that cannot be asked; setDictionaryValue puts any value under the lock key, so that
// callers can be fed a value of the wrong type.
//
// Threading: main thread.
#pragma once

#include <optional>

#include "base/dispatch.h"
#include "platform/session_state.h"

namespace corvane::sim {

class SimSession final : public SessionState {
 public:
  explicit SimSession(Dispatcher& dispatcher);

  std::optional<double> secondsSinceLastInputEvent() override;
  std::optional<PlistValue::Dictionary> copyCurrentSessionDictionary() override;
  Subscription addWakeObserver(std::function<void()> observer) override;

  // The user moved the pointer, pressed a key or a button now.
  void noteInput();
  // The user has been idle for `seconds` (moves the last input back; never into the future).
  void setIdleSeconds(double seconds);
  void setScreenLocked(bool locked);
  // Any value under the lock key; none removes the key.
  void setDictionaryValue(std::optional<PlistValue> value);
  void setDictionaryAvailable(bool available);
  // The system wakes from sleep: observers are told on a later turn of the main queue.
  void wake();
  bool screenLocked() const;

 private:
  Dispatcher& dispatcher_;
  double lastInputAt_;
  std::optional<PlistValue> lockValue_;
  bool dictionaryAvailable_ = true;
  Signal<> wakes_;
};

}  // namespace corvane::sim
