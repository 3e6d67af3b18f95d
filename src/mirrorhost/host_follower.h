// The mirror host's own follower: while a source window is dragged, it moves the plate that mirrors
// it straight through the window server, 240 times a second, without waiting for the application.
// A source whose size changes is left alone (the application places the plate again after a
// resize). Without the window server's bounds and move calls it never starts; plates then move
// only when the application places them.
//
// Threading: every call may come from any thread; the states, the timer and the window-server
// calls live on the follower's own queue.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "base/dispatch.h"
#include "base/geometry.h"
#include "clearview/window_server_geometry.h"

namespace corvane {

class HostFollower {
 public:
  struct State {
    int64_t source = 0;
    int64_t plateWindow = 0;
    Rect frame;
  };

  // `geometry` outlives the follower.
  HostFollower(Dispatcher& dispatcher, WindowServerGeometry& geometry);
  ~HostFollower();
  HostFollower(const HostFollower&) = delete;
  HostFollower& operator=(const HostFollower&) = delete;

  void set(int64_t id, int64_t source, int64_t plateWindow, const Rect& frame, std::vector<Rect> screens);
  void setFrame(int64_t id, const Rect& frame);
  void remove(int64_t id);

  // For tests, on the follower's queue: the states and whether the timer runs.
  std::map<int64_t, State> states() const { return shared_->states; }
  bool isTicking() const { return shared_->timer && shared_->timer->isScheduled(); }

  // The part of `frame` on a screen: the first screen it meets (else the first screen), the
  // intersection only when it is wider and higher than 16 points.
  static Rect onScreenFrame(const Rect& frame, const std::vector<Rect>& screens);

 private:
  struct Shared {
    std::map<int64_t, State> states;
    std::vector<Rect> screens;
    std::unique_ptr<Timer> timer;
  };
  void startIfNeeded();
  void tick();

  Dispatcher& dispatcher_;
  WindowServerGeometry& geometry_;
  std::unique_ptr<DispatchQueue> queue_;
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

}  // namespace corvane
