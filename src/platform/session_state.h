// The user's login session, after the reference platform's calls: the seconds since the last
// input event of any type in the combined session state, the current session dictionary (which
// tells, under "CGSSessionScreenIsLocked", whether the screen is locked), and the system's wake
// from sleep.
//
// A backend without one of these facilities answers with an empty optional; callers then take
// their documented fallback (no idle time known, no dictionary: not locked).
//
// Threading: main thread. Wake observers are called on the main queue.
#pragma once

#include <functional>
#include <optional>

#include "base/observable.h"
#include "platform/defaults_store.h"

namespace corvane {

// The key of the session dictionary that holds the screen-lock state (a Boolean).
inline constexpr const char* kSessionScreenIsLockedKey = "CGSSessionScreenIsLocked";

class SessionState {
 public:
  virtual ~SessionState() = default;
  // Seconds since the last input event of any type (pointer, keys, buttons) from any source.
  virtual std::optional<double> secondsSinceLastInputEvent() = 0;
  // A copy of the current session's dictionary; none when there is no session to ask.
  virtual std::optional<PlistValue::Dictionary> copyCurrentSessionDictionary() = 0;
  // Called on the main queue after every wake from sleep.
  [[nodiscard]] virtual Subscription addWakeObserver(std::function<void()> observer) = 0;
};

}  // namespace corvane
