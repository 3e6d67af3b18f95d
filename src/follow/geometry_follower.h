// The geometry follower: keeps frost overlays (and mirror windows) glued to a protected window
// while the user drags or resizes it, between the overlay manager's refreshes.
//
// While it runs, a sampler reads the followed windows' live bounds from the window server 240
// times a second on a queue of its own, and a tick on the follower's queue applies those samples
// 500 times a second, moving the frost windows straight through the window server (no main-thread
// work for a move). While the mouse button is down it also predicts: an edge seen to travel with
// the cursor is locked to it, and later ticks place that edge from the cursor before the window
// server reports it. Changes that need the main thread (a resize, a mirror whose clipped size
// changed) come back as one list per tick.
//
// Leading edge: the window server moves a dragged window at each pointer event, and a share frame
// composed between that event and the next tick would show a sliver of the window beyond its
// frost. While the follower runs, the frost therefore reaches past each edge that is moving
// outwards by the distance that edge is expected to travel in its next tick that moves it (its
// last such travel, grown as it grew from the one before, or three times the first from rest) plus
// one point. A step of more than 96 points, or a single step without the button down, is a jump
// and gets none. A window under the pressed button is covered one point wider on every side before
// it starts to move. The frost goes back to the window's own frame when the follower stops.
//
// A poke while it runs samples and applies at once (a window moved that it has not seen yet).
// It starts on a button press or a poke and stops by itself once the button is up and 0.5 s passed
// since the last change, poke or release (or at once with stop()). Each run that moved something
// logs one summary line. Without the window server's bounds query and move entry points it never
// starts.
//
// Frames are in screen space (origin bottom-left of the main display, y up).
//
// Threading: every public call may come from any thread and hops onto the follower's queue;
// isActive() reads the running flag under the lock. The change callback and the log lines run on
// the main queue. The cursor function is called from both of the follower's queues.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "base/dispatch.h"
#include "base/geometry.h"
#include "base/log.h"
#include "overlay/overlay_follower.h"

namespace corvane {

class WindowServerGeometry;

class GeometryFollower final : public OverlayFollower {
 public:
  static constexpr double tickInterval = 0.002;
  static constexpr double samplerInterval = 1.0 / 240;
  static constexpr double timerLeeway = 0.00025;
  static constexpr double linger = 0.5;
  static constexpr double cursorHistorySpan = 0.1;
  static constexpr double cursorSpanWindow = 0.05;
  static constexpr double lockTolerance = 3.0;
  static constexpr double edgeMoved = 0.5;
  static constexpr double slowSampleMs = 3.0;
  static constexpr double screenClipMinimum = 16;
  static constexpr double mirrorSizeMatch = 0.5;
  // How far a press pads the frost of the window under the cursor, and what a leading edge gets
  // beyond its expected step.
  static constexpr double leadMargin = 1.0;
  // A longer step is a jump (an application placing its window), not a glide: no lead for it.
  static constexpr double maxGlideStep = 96;
  // How close to a window's frame a press counts as a press on it (its resize grips lie there).
  static constexpr double pressGrip = 4.0;

  // The edges of a frame that travel with the cursor, each as its offset from the cursor's
  // coordinate at pointer down; `anchor` is the frame at pointer down.
  struct EdgeLock {
    std::optional<double> minX, maxX, minY, maxY;
    Rect anchor;

    // The lock for a window that went from `anchor` to `moved`: every edge that moved by more than
    // 0.5 points. None when no edge moved.
    static std::optional<EdgeLock> make(const Rect& anchor, const Rect& moved, Point cursorAtPointerDown);
    // Whether `frame` agrees with the lock for a cursor that stayed within `cursorSpan`.
    bool explains(const Rect& frame, const Rect& cursorSpan, double tolerance) const;
    int lockedEdges() const;
    // The frame the lock puts at cursor `c`.
    Rect predict(Point c) const;
  };

  // Extra frost beyond each edge of the followed frame.
  struct Lead {
    double minX = 0, maxX = 0, minY = 0, maxY = 0;
    Rect around(const Rect& frame) const;
    bool isZero() const { return minX == 0 && maxX == 0 && minY == 0 && maxY == 0; }
  };

  struct Target {
    int64_t source = 0;
    int64_t frost = 0;
    std::optional<int64_t> mirror;
    Rect frame;
    Rect mirrorFrame;
    std::optional<EdgeLock> lock;
    std::optional<Rect> frameAtPointerDown;
    // The leading-edge bookkeeping (see the header comment).
    Lead lead;
    bool pressed = false;
    Rect frameAtTickStart;
    std::array<double, 4> lastStep{};  // outward travel of minX, maxX, minY, maxY in their last tick that moved them
    std::array<double, 4> stepBefore{};
    std::array<double, 4> lastStepAt{};
  };

  struct Sample {
    int64_t source = 0;
    Rect frame;
    Rect cursorSpan;
    double latencyMs = 0;
  };

  struct Stats {
    double startedAt = 0;
    int64_t ticks = 0, moves = 0, predicted = 0, predictedResizes = 0, locks = 0, resizes = 0;
    double maxCatchUpPoints = 0;
    double maxGapMs = 0;
    double lastTickAt = 0;
    double maxBoundsMs = 0;
    int64_t slowSamples = 0;
  };

  struct Dependencies {
    Dependencies(Dispatcher& dispatcher, WindowServerGeometry& geometry, std::function<Point()> cursor, LogSink& log)
        : dispatcher(dispatcher), geometry(geometry), cursor(std::move(cursor)), log(log) {}
    Dispatcher& dispatcher;
    WindowServerGeometry& geometry;
    // The pointer's position, screen space.
    std::function<Point()> cursor;
    // The Clear View log (summary and debug lines).
    LogSink& log;
    // Log each sample that breaks a lock.
    bool debugUnlocks = false;
  };

  explicit GeometryFollower(Dependencies dependencies);
  ~GeometryFollower() override;
  GeometryFollower(const GeometryFollower&) = delete;
  GeometryFollower& operator=(const GeometryFollower&) = delete;

  // Whether unlock lines are logged: set by the environment variable CORVANE_FOLLOWER_DEBUG (any
  // value), otherwise by the user default "FollowerDebug".
  static bool debugSwitch(bool environmentVariablePresent, std::optional<bool> userDefault);

  // ---- OverlayFollower ------------------------------------------------------------------------
  bool isActive() const override;
  // Replaces the target set. A target already followed with the same frost and mirror keeps the
  // follower's own state (frame, lock, lead) when its size is unchanged or the button is down.
  void publish(std::vector<FollowerTarget> targets, std::vector<Rect> screens) override;
  void poke() override;
  void stop() override;
  void pointerDown(bool down) override;
  void setOnChanges(ChangeHandler handler) override;

  // The first screen that meets `frame` (the first screen when none does), intersected with it
  // when that is wider and higher than 16 points; `frame` itself otherwise or without screens.
  static Rect onScreenFrame(const Rect& frame, const std::vector<Rect>& screens);

  // ---- Observation (call on the driving thread while nothing runs, e.g. in virtual time) ------
  std::vector<Target> targets() const;
  Stats stats() const;

 private:
  struct Shared {
    std::mutex lock;
    bool activeFlag = false;
    std::vector<Sample> mailbox;
    std::vector<int64_t> verifierSources;
  };
  struct CursorEntry {
    double at;
    Point point;
  };

  double now() const;
  void start();
  void stopTimers();
  void verify();
  void tick();
  void apply(const Sample& sample, std::vector<FollowerChange>& changes);
  void applySampled(Target& target, const Rect& frame, std::vector<FollowerChange>& changes);
  void move(Target& target, const Rect& frame, std::vector<FollowerChange>& changes);
  void resize(Target& target, const Rect& frame, std::vector<FollowerChange>& changes);
  // Records the outward travel of each edge in one tick, from `from` to `to`.
  void recordSteps(Target& target, const Rect& from, const Rect& to);
  // Brings the frost's lead in line with the edges' recent travel; a change of its size is a
  // resized change.
  void updateLead(Target& target, std::vector<FollowerChange>& changes);
  Lead wantedLead(const Target& target) const;
  void deliver(std::vector<FollowerChange> changes);
  void logOnMain(std::string line);
  void recordCursor();
  Rect cursorSpan(double endingAt) const;
  FollowerChange change(FollowerChange::Kind kind, const Target& target) const;

  Dispatcher& dispatcher_;
  WindowServerGeometry& geometry_;
  std::function<Point()> cursor_;
  LogSink& log_;
  const bool debugUnlocks_;

  std::unique_ptr<DispatchQueue> queue_;
  std::unique_ptr<DispatchQueue> verifierQueue_;
  std::unique_ptr<Timer> timer_;          // queue_
  std::unique_ptr<Timer> verifierTimer_;  // verifierQueue_

  // queue_ only.
  ChangeHandler onChanges_;
  std::map<int64_t, Target> targets_;
  std::vector<Rect> screens_;
  bool pointerDown_ = false;
  Point cursorAtPointerDown_;
  double until_ = 0;
  Stats stats_;

  // verifierQueue_ only.
  std::vector<CursorEntry> cursorHistory_;

  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
  // Work queued on the main queue and on the follower's queues holds the follower through this;
  // declared last.
  std::shared_ptr<GeometryFollower*> alive_ = std::make_shared<GeometryFollower*>(this);
};

}  // namespace corvane
