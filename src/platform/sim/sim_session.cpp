#include "platform/sim/sim_session.h"

#include <algorithm>

namespace corvane::sim {

SimSession::SimSession(Dispatcher& dispatcher) : dispatcher_(dispatcher), lastInputAt_(dispatcher.clock().mediaTime()) {}

std::optional<double> SimSession::secondsSinceLastInputEvent() {
  return std::max(0.0, dispatcher_.clock().mediaTime() - lastInputAt_);
}

std::optional<PlistValue::Dictionary> SimSession::copyCurrentSessionDictionary() {
  if (!dictionaryAvailable_) return std::nullopt;
  PlistValue::Dictionary dictionary;
  dictionary.emplace("kCGSSessionOnConsoleKey", PlistValue(true));
  if (lockValue_) dictionary.emplace(kSessionScreenIsLockedKey, *lockValue_);
  return dictionary;
}

Subscription SimSession::addWakeObserver(std::function<void()> observer) {
  return wakes_.subscribe([observer = std::move(observer)] { observer(); });
}

void SimSession::noteInput() { lastInputAt_ = dispatcher_.clock().mediaTime(); }

void SimSession::setIdleSeconds(double seconds) {
  lastInputAt_ = dispatcher_.clock().mediaTime() - std::max(0.0, seconds);
}

void SimSession::setScreenLocked(bool locked) {
  // The system leaves the key out while the screen is unlocked.
  if (locked) {
    lockValue_ = PlistValue(true);
  } else {
    lockValue_.reset();
  }
}

void SimSession::setDictionaryValue(std::optional<PlistValue> value) { lockValue_ = std::move(value); }

void SimSession::setDictionaryAvailable(bool available) { dictionaryAvailable_ = available; }

void SimSession::wake() {
  dispatcher_.main().async([this] { wakes_.emit(); });
}

bool SimSession::screenLocked() const {
  auto* locked = lockValue_ ? lockValue_->get<bool>() : nullptr;
  return locked && *locked;
}

}  // namespace corvane::sim
