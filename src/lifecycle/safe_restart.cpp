#include "lifecycle/safe_restart.h"

#include "base/dispatch.h"
#include "base/log.h"
#include "platform/defaults_store.h"
#include "platform/processes.h"
#include "platform/session_state.h"

namespace corvane {

SafeRestart& SafeRestart::shared() {
  static SafeRestart instance;
  return instance;
}

SafeRestart::SafeRestart() : alive_(std::make_shared<SafeRestart*>(this)) {}

SafeRestart::~SafeRestart() {
  *alive_ = nullptr;
  timer_.reset();
}

void SafeRestart::configure(Environment environment) {
  timer_.reset();
  env_ = std::make_unique<Environment>(std::move(environment));
  lastScanAt_.reset();
  if (pending_) ensureTimer();
}

void SafeRestart::unconfigure() {
  timer_.reset();
  env_.reset();
}

bool SafeRestart::isTimerRunning() const { return timer_ && timer_->isScheduled(); }

void SafeRestart::schedule(std::function<void()> action) {
  if (env_) env_->log.log("Corvane: update ready; restarting at the next safe moment");
  pending_ = std::move(action);
  ensureTimer();
  tick();
}

void SafeRestart::ensureTimer() {
  if (timer_ || !env_) return;
  std::weak_ptr<SafeRestart*> weak = alive_;
  timer_ = env_->dispatcher.makeTimer(env_->dispatcher.main(), [weak] {
    auto alive = weak.lock();
    if (alive && *alive) (*alive)->tick();
  });
  timer_->schedule(checkInterval, checkInterval);
}

void SafeRestart::tick() {
  if (!pending_ || !isSafeMoment()) return;
  auto action = std::move(pending_);
  pending_ = nullptr;
  timer_.reset();
  restartingForUpdate_ = true;
  if (env_) env_->log.log("Corvane: restarting for update");
  action();
}

bool SafeRestart::isSafeMoment() {
  if (!env_) return false;
  // 1. A share or recording.
  if (isSharing && isSharing()) return false;
  // 2. A framebuffer share, scanned at most every 0.09 seconds.
  const double now = env_->dispatcher.clock().mediaTime();
  if (!lastScanAt_ || now - *lastScanAt_ >= framebufferScanInterval) {
    lastScanResult_ = env_->framebufferShareScan && env_->framebufferShareScan();
    lastScanAt_ = now;
  }
  if (lastScanResult_) return false;
  // 3. The microphone.
  if (env_->microphoneInUse && env_->microphoneInUse()) return false;
  // 4. A locked screen is safe whatever the input.
  if (screenIsLocked()) return true;
  // 5. Idle long enough.
  double threshold = defaultIdleSeconds;
  if (env_->defaults) {
    auto configured = env_->defaults->doubleValue(applicationDomain, idleSecondsKey);
    if (configured && *configured > 0) threshold = *configured;
  }
  auto idle = env_->session ? env_->session->secondsSinceLastInputEvent() : std::nullopt;
  return idle && threshold <= *idle;
}

bool SafeRestart::screenIsLocked() const {
  if (!env_ || !env_->session) return false;
  auto dictionary = env_->session->copyCurrentSessionDictionary();
  if (!dictionary) return false;
  auto found = dictionary->find(kSessionScreenIsLockedKey);
  if (found == dictionary->end()) return false;
  auto* locked = found->second.get<bool>();
  return locked && *locked;
}

std::string SafeRestart::relauncherScript(long pid) {
  // The shell's own kill, so that nothing looked up in PATH runs while we wait.
  return "while kill -0 " + std::to_string(pid) + " 2>/dev/null; do /bin/sleep 0.2; done; exec \"$0\"";
}

void SafeRestart::relaunch() {
  restartingForUpdate_ = true;
  std::string error = "the application's services are not available";
  if (env_) {
    const long pid = long(env_->processes.currentProcessIdentifier());
    if (env_->processes.startDetached("/bin/sh", {"-c", relauncherScript(pid), env_->executablePath}, &error)) {
      if (env_->terminate) env_->terminate();
      return;
    }
    env_->log.log("Corvane: could not schedule relaunch \u2014 " + error);
  }
  restartingForUpdate_ = false;
}

}  // namespace corvane
