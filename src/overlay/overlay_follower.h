// The geometry follower as the overlay manager sees it. While the user drags or resizes a protected
// window, the follower samples the window's true bounds on its own queues many times a second and
// moves the overlay (and mirror) windows directly, faster than a refresh can; changes that need
// the main thread come back as a list. The manager publishes what to follow after each refresh,
// reads whether the follower is running (an overlay it steers is not placed by the refresh), pokes
// it when a window moved without it, and stops it with the overlays.
//
// Threading: the manager calls it on the main thread; isActive() may be read from any thread;
// the change callback is called on the main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "base/geometry.h"

namespace corvane {

// One window to follow. Frames are in screen space.
struct FollowerTarget {
  int64_t source = 0;               // the protected window
  int64_t frost = 0;                // its overlay's window
  std::optional<int64_t> mirror;    // its mirror's window, if any
  Rect frame;                       // the source's frame as last known
  Rect mirrorFrame;                 // the mirror's frame (zero when its plate is not visible)
  friend bool operator==(const FollowerTarget&, const FollowerTarget&) = default;
};

// One change of one follower tick.
struct FollowerChange {
  enum class Kind { moved, resized };
  Kind kind = Kind::moved;
  int64_t source = 0;
  Rect frame;        // the source's new frame (the follower has moved the overlay already)
  Rect mirrorFrame;  // moved: the mirror's new frame
  // Where the frost stands: the frame, reaching a little further past an edge that is moving
  // outwards while the follower runs. A resized change with a new frostFrame and the same frame
  // only reshapes the frost.
  Rect frostFrame;
};

class OverlayFollower {
 public:
  using ChangeHandler = std::function<void(const std::vector<FollowerChange>& changes)>;

  virtual ~OverlayFollower() = default;
  // The follower's timers are running (read under its lock).
  virtual bool isActive() const = 0;
  virtual void publish(std::vector<FollowerTarget> targets, std::vector<Rect> screens) = 0;
  // Runs at least a short while: a window moved without it.
  virtual void poke() = 0;
  virtual void stop() = 0;
  // The mouse button went down (true) or up (false).
  virtual void pointerDown(bool down) = 0;
  // Where the changes of each tick go.
  virtual void setOnChanges(ChangeHandler handler) = 0;
};

}  // namespace corvane
