#include "mirrorhost/host_follower.h"

#include <cmath>

namespace corvane {

namespace {
constexpr double kTickInterval = 1.0 / 240;
constexpr double kTickLeeway = 0.0005;
}  // namespace

HostFollower::HostFollower(Dispatcher& dispatcher, WindowServerGeometry& geometry)
    : dispatcher_(dispatcher),
      geometry_(geometry),
      queue_(dispatcher.makeSerialQueue("com.corvane.mirrorhost.follow", QoS::userInteractive)) {}

HostFollower::~HostFollower() {
  // The queue goes first (dropping pending work), then the timer with the shared state.
  queue_.reset();
  shared_->timer.reset();
}

void HostFollower::set(int64_t id, int64_t source, int64_t plateWindow, const Rect& frame, std::vector<Rect> screens) {
  queue_->async([this, shared = shared_, id, source, plateWindow, frame, screens = std::move(screens)] {
    shared->states[id] = State{source, plateWindow, frame};
    shared->screens = screens;
    startIfNeeded();
  });
}

void HostFollower::setFrame(int64_t id, const Rect& frame) {
  queue_->async([shared = shared_, id, frame] {
    auto it = shared->states.find(id);
    if (it != shared->states.end()) it->second.frame = frame;
  });
}

void HostFollower::remove(int64_t id) {
  queue_->async([shared = shared_, id] {
    shared->states.erase(id);
    if (shared->states.empty() && shared->timer) shared->timer.reset();
  });
}

void HostFollower::startIfNeeded() {
  if (shared_->timer || !geometry_.canQueryBounds() || !geometry_.canMove()) return;
  shared_->timer = dispatcher_.makeTimer(*queue_, [this] { tick(); });
  shared_->timer->schedule(0, kTickInterval, kTickLeeway);
}

Rect HostFollower::onScreenFrame(const Rect& frame, const std::vector<Rect>& screens) {
  if (screens.empty()) return frame;
  const Rect* chosen = &screens.front();
  for (const Rect& s : screens) {
    if (!frame.intersection(s).isNull()) {
      chosen = &s;
      break;
    }
  }
  const Rect part = frame.intersection(*chosen);
  if (!part.isNull() && part.width() > 16 && part.height() > 16) return part;
  return frame;
}

void HostFollower::tick() {
  for (auto& [id, state] : shared_->states) {
    if (state.source < 1) continue;
    auto bounds = geometry_.bounds(state.source);
    if (!bounds) continue;
    const Rect r = onScreenFrame(*bounds, shared_->screens);
    if (std::fabs(r.width() - state.frame.width()) >= 0.5 || std::fabs(r.height() - state.frame.height()) >= 0.5) {
      continue;  // resized: the application places the plate
    }
    if (r.origin == state.frame.origin) continue;
    if (state.plateWindow >= 1) geometry_.move(state.plateWindow, r.origin, r.height());
    state.frame = r;
  }
}

}  // namespace corvane
