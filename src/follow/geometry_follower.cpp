#include "follow/geometry_follower.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "base/format.h"
#include "clearview/window_server_geometry.h"

namespace corvane {

namespace {

enum Edge { kMinX, kMaxX, kMinY, kMaxY };

bool sameSize(const Rect& a, const Rect& b) { return a.width() == b.width() && a.height() == b.height(); }

std::string offset(const std::optional<double>& value) {
  return value ? format("%.0f", {*value}) : std::string("-");
}

}  // namespace

// ---- Edge locks and leads -------------------------------------------------------------------------

std::optional<GeometryFollower::EdgeLock> GeometryFollower::EdgeLock::make(const Rect& anchor, const Rect& moved,
                                                                         Point cursorAtPointerDown) {
  EdgeLock lock;
  lock.anchor = anchor;
  auto edge = [](double from, double to, double cursor) -> std::optional<double> {
    if (std::abs(to - from) > edgeMoved) return from - cursor;
    return std::nullopt;
  };
  lock.minX = edge(anchor.minX(), moved.minX(), cursorAtPointerDown.x);
  lock.maxX = edge(anchor.maxX(), moved.maxX(), cursorAtPointerDown.x);
  lock.minY = edge(anchor.minY(), moved.minY(), cursorAtPointerDown.y);
  lock.maxY = edge(anchor.maxY(), moved.maxY(), cursorAtPointerDown.y);
  if (!lock.minX && !lock.maxX && !lock.minY && !lock.maxY) return std::nullopt;
  return lock;
}

bool GeometryFollower::EdgeLock::explains(const Rect& frame, const Rect& span, double tolerance) const {
  auto agrees = [tolerance](double position, const std::optional<double>& lockOffset, double anchorEdge, double spanMin,
                            double spanMax) {
    if (!lockOffset) return std::abs(position - anchorEdge) <= tolerance;
    const double cursor = position - *lockOffset;
    return cursor >= spanMin - tolerance && cursor <= spanMax + tolerance;
  };
  return agrees(frame.minX(), minX, anchor.minX(), span.minX(), span.maxX()) &&
         agrees(frame.maxX(), maxX, anchor.maxX(), span.minX(), span.maxX()) &&
         agrees(frame.minY(), minY, anchor.minY(), span.minY(), span.maxY()) &&
         agrees(frame.maxY(), maxY, anchor.maxY(), span.minY(), span.maxY());
}

int GeometryFollower::EdgeLock::lockedEdges() const {
  return int(minX.has_value()) + int(maxX.has_value()) + int(minY.has_value()) + int(maxY.has_value());
}

Rect GeometryFollower::EdgeLock::predict(Point c) const {
  const double x0 = minX ? c.x + *minX : anchor.minX();
  const double x1 = maxX ? c.x + *maxX : anchor.maxX();
  const double y0 = minY ? c.y + *minY : anchor.minY();
  const double y1 = maxY ? c.y + *maxY : anchor.maxY();
  return Rect(x0, y0, x1 - x0, y1 - y0);
}

Rect GeometryFollower::Lead::around(const Rect& frame) const {
  return Rect(frame.minX() - minX, frame.minY() - minY, frame.width() + minX + maxX, frame.height() + minY + maxY);
}

// ---- Set-up ---------------------------------------------------------------------------------------

GeometryFollower::GeometryFollower(Dependencies d)
    : dispatcher_(d.dispatcher),
      geometry_(d.geometry),
      cursor_(std::move(d.cursor)),
      log_(d.log),
      debugUnlocks_(d.debugUnlocks),
      queue_(d.dispatcher.makeSerialQueue("com.corvane.geometry-follower", QoS::userInteractive)),
      verifierQueue_(d.dispatcher.makeSerialQueue("com.corvane.geometry-verifier", QoS::userInteractive)) {}

GeometryFollower::~GeometryFollower() {
  alive_.reset();
  if (timer_) timer_->cancel();
  if (verifierTimer_) verifierTimer_->cancel();
  timer_.reset();
  verifierTimer_.reset();
  queue_.reset();
  verifierQueue_.reset();
}

bool GeometryFollower::debugSwitch(bool environmentVariablePresent, std::optional<bool> userDefault) {
  return environmentVariablePresent || userDefault.value_or(false);
}

double GeometryFollower::now() const { return dispatcher_.clock().mediaTime(); }

Rect GeometryFollower::onScreenFrame(const Rect& frame, const std::vector<Rect>& screens) {
  if (screens.empty()) return frame;
  const Rect* screen = &screens.front();
  for (const Rect& s : screens) {
    if (s.intersects(frame)) {
      screen = &s;
      break;
    }
  }
  const Rect visible = screen->intersection(frame);
  if (!visible.isNull() && visible.width() > screenClipMinimum && visible.height() > screenClipMinimum) return visible;
  return frame;
}

// ---- Calls from the overlay manager and the privacy controller ----------------------------------------

bool GeometryFollower::isActive() const {
  std::lock_guard<std::mutex> lock(shared_->lock);
  return shared_->activeFlag;
}

void GeometryFollower::setOnChanges(ChangeHandler handler) {
  queue_->async([weak = std::weak_ptr(alive_), handler = std::move(handler)]() mutable {
    if (auto alive = weak.lock()) (*alive)->onChanges_ = std::move(handler);
  });
}

void GeometryFollower::publish(std::vector<FollowerTarget> published, std::vector<Rect> screens) {
  queue_->async([weak = std::weak_ptr(alive_), published = std::move(published), screens = std::move(screens)] {
    auto alive = weak.lock();
    if (!alive) return;
    GeometryFollower& f = **alive;
    std::map<int64_t, Target> next;
    for (const FollowerTarget& p : published) {
      auto existing = f.targets_.find(p.source);
      if (existing != f.targets_.end() && existing->second.frost == p.frost && existing->second.mirror == p.mirror &&
          (sameSize(existing->second.frame, p.frame) || f.pointerDown_)) {
        next.emplace(p.source, existing->second);
        continue;
      }
      Target t;
      t.source = p.source;
      t.frost = p.frost;
      t.mirror = p.mirror;
      t.frame = p.frame;
      t.mirrorFrame = p.mirrorFrame;
      next.emplace(p.source, t);
    }
    f.targets_ = std::move(next);
    f.screens_ = screens;
    std::vector<int64_t> sources;
    for (const auto& [source, target] : f.targets_) sources.push_back(source);
    std::lock_guard<std::mutex> lock(f.shared_->lock);
    f.shared_->verifierSources = std::move(sources);
  });
}

void GeometryFollower::pointerDown(bool down) {
  const Point cursor = cursor_();
  queue_->async([weak = std::weak_ptr(alive_), down, cursor] {
    auto alive = weak.lock();
    if (!alive) return;
    GeometryFollower& f = **alive;
    if (down) {
      if (f.pointerDown_) return;
      f.pointerDown_ = true;
      f.cursorAtPointerDown_ = cursor;
      for (auto& [source, t] : f.targets_) {
        t.frameAtPointerDown = t.frame;
        t.lock.reset();
        t.pressed = t.frame.insetBy(-pressGrip, -pressGrip).contains(cursor);
      }
      f.start();
      return;
    }
    f.pointerDown_ = false;
    for (auto& [source, t] : f.targets_) {
      t.lock.reset();
      t.frameAtPointerDown.reset();
      t.pressed = false;
    }
    f.until_ = f.now() + linger;
  });
}

void GeometryFollower::poke() {
  queue_->async([weak = std::weak_ptr(alive_)] {
    auto alive = weak.lock();
    if (!alive) return;
    GeometryFollower& f = **alive;
    f.until_ = f.now() + linger;
    if (!f.timer_) {
      f.start();
      return;
    }
    // Running already: a window moved where the follower has not seen it yet. Sample and apply
    // at once rather than at the next turn of the timers.
    f.verifierQueue_->async([weak = std::weak_ptr(f.alive_)] {
      if (auto alive = weak.lock()) (*alive)->verify();
    });
    f.queue_->async([weak = std::weak_ptr(f.alive_)] {
      auto alive = weak.lock();
      if (alive && (*alive)->timer_) (*alive)->tick();
    });
  });
}

void GeometryFollower::stop() {
  queue_->async([weak = std::weak_ptr(alive_)] {
    auto alive = weak.lock();
    if (!alive) return;
    (*alive)->pointerDown_ = false;
    (*alive)->stopTimers();
  });
}

// ---- Running --------------------------------------------------------------------------------------

void GeometryFollower::start() {
  if (timer_) return;
  if (!geometry_.canQueryBounds() || !geometry_.canMove()) return;
  stats_ = Stats{};
  stats_.startedAt = now();
  {
    std::lock_guard<std::mutex> lock(shared_->lock);
    shared_->activeFlag = true;
    shared_->mailbox.clear();
  }
  std::weak_ptr<GeometryFollower*> weak = alive_;
  verifierTimer_ = dispatcher_.makeTimer(*verifierQueue_, [weak] {
    if (auto alive = weak.lock()) (*alive)->verify();
  });
  timer_ = dispatcher_.makeTimer(*queue_, [weak] {
    if (auto alive = weak.lock()) (*alive)->tick();
  });
  verifierTimer_->schedule(0, samplerInterval, timerLeeway);
  timer_->schedule(0, tickInterval, timerLeeway);
}

void GeometryFollower::stopTimers() {
  if (verifierTimer_) {
    verifierTimer_->cancel();
    // The sampler's queue may be running it right now: it is dropped there.
    verifierQueue_->async([timer = std::shared_ptr<Timer>(std::move(verifierTimer_))] {});
  }
  if (!timer_) return;
  timer_->cancel();
  // This may run inside the tick itself; the timer goes once that returns.
  queue_->async([timer = std::shared_ptr<Timer>(std::move(timer_))] {});
  {
    std::lock_guard<std::mutex> lock(shared_->lock);
    shared_->activeFlag = false;
  }
  std::vector<FollowerChange> changes;
  for (auto& [source, t] : targets_) {
    t.lock.reset();
    t.frameAtPointerDown.reset();
    t.pressed = false;
    t.lastStep = {};
    t.stepBefore = {};
    if (!t.lead.isZero()) {
      // The frost goes back to the window's own frame.
      t.lead = Lead{};
      changes.push_back(change(FollowerChange::Kind::resized, t));
    }
  }
  if (!changes.empty()) deliver(std::move(changes));
  const Stats& s = stats_;
  if (s.moves + s.predicted + s.resizes + s.predictedResizes > 0) {
    logOnMain(format(
        "Follower: %d ticks, %d sampled moves, %d sampled resizes, %d predicted moves, %d predicted resizes (%d locks), "
        "max catch-up %.0f pt, max tick gap %.1f ms, bounds max %.1f ms (%d slow), %.2f s",
        {s.ticks, s.moves, s.resizes, s.predicted, s.predictedResizes, s.locks, s.maxCatchUpPoints, s.maxGapMs,
         s.maxBoundsMs, s.slowSamples, now() - s.startedAt}));
  }
}

void GeometryFollower::recordCursor() {
  const double t = now();
  const Point c = cursor_();
  // A cursor that has not moved since the last entry only renews it: the span of any window that
  // holds the older entry holds the renewed one too, and the history stays as short as the moves.
  if (!cursorHistory_.empty() && cursorHistory_.back().point == c) {
    cursorHistory_.back().at = t;
  } else {
    cursorHistory_.push_back({t, c});
  }
  if (cursorHistory_.front().at < t - cursorHistorySpan) {
    std::erase_if(cursorHistory_, [t](const CursorEntry& e) { return e.at < t - cursorHistorySpan; });
  }
}

Rect GeometryFollower::cursorSpan(double endingAt) const {
  double x0 = 0, x1 = 0, y0 = 0, y1 = 0;
  bool any = false;
  for (auto e = cursorHistory_.rbegin(); e != cursorHistory_.rend() && e->at >= endingAt - cursorSpanWindow; ++e) {
    const Point& p = e->point;
    x0 = any ? std::min(x0, p.x) : p.x;
    x1 = any ? std::max(x1, p.x) : p.x;
    y0 = any ? std::min(y0, p.y) : p.y;
    y1 = any ? std::max(y1, p.y) : p.y;
    any = true;
  }
  if (any) return Rect(x0, y0, x1 - x0, y1 - y0);
  const Point c = cursor_();
  return Rect(c.x, c.y, 0, 0);
}

void GeometryFollower::verify() {
  std::vector<int64_t> sources;
  {
    std::lock_guard<std::mutex> lock(shared_->lock);
    sources = shared_->verifierSources;
  }
  if (sources.empty()) return;
  std::vector<Sample> samples;
  for (int64_t source : sources) {
    recordCursor();
    const double t0 = now();
    const std::optional<Rect> frame = geometry_.bounds(source);
    if (!frame) continue;
    const double t1 = now();
    recordCursor();
    samples.push_back(Sample{source, *frame, cursorSpan(t1), (t1 - t0) * 1000});
  }
  if (samples.empty()) return;
  std::lock_guard<std::mutex> lock(shared_->lock);
  shared_->mailbox.insert(shared_->mailbox.end(), samples.begin(), samples.end());
}

void GeometryFollower::tick() {
  const double t = now();
  ++stats_.ticks;
  if (stats_.lastTickAt > 0) stats_.maxGapMs = std::max(stats_.maxGapMs, (t - stats_.lastTickAt) * 1000);
  stats_.lastTickAt = t;

  std::vector<Sample> samples;
  {
    std::lock_guard<std::mutex> lock(shared_->lock);
    samples.swap(shared_->mailbox);
  }
  std::vector<FollowerChange> changes;
  for (auto& [source, target] : targets_) target.frameAtTickStart = target.frame;
  for (const Sample& sample : samples) apply(sample, changes);

  if (pointerDown_) {
    const Point c = cursor_();
    for (auto& [source, target] : targets_) {
      if (!target.lock) continue;
      const Rect prediction = target.lock->predict(c);
      if (prediction == target.frame || !(prediction.width() > 1 && prediction.height() > 1)) continue;
      if (sameSize(prediction, target.frame)) {
        ++stats_.predicted;
        move(target, prediction, changes);
      } else {
        ++stats_.predictedResizes;
        resize(target, prediction, changes);
      }
    }
  }
  for (auto& [source, target] : targets_) {
    // What this tick moved each edge by, samples and prediction together.
    if (target.frame != target.frameAtTickStart) recordSteps(target, target.frameAtTickStart, target.frame);
    updateLead(target, changes);
  }

  if (!changes.empty()) {
    until_ = t + linger;
    deliver(std::move(changes));
  }
  if (!pointerDown_ && t >= until_) stopTimers();
}

void GeometryFollower::apply(const Sample& sample, std::vector<FollowerChange>& changes) {
  auto it = targets_.find(sample.source);
  if (it == targets_.end()) return;
  Target& target = it->second;
  stats_.maxBoundsMs = std::max(stats_.maxBoundsMs, sample.latencyMs);
  if (sample.latencyMs >= slowSampleMs) ++stats_.slowSamples;

  if (target.lock) {
    if (target.lock->explains(sample.frame, sample.cursorSpan, lockTolerance)) {
      // An edge that was not locked may have started to travel with the cursor too (a drag that
      // turns from sideways to downwards): within the tolerance the lock still explains it, but
      // the prediction would hold that edge where it was. Lock it as well.
      if (target.frameAtPointerDown) {
        auto wider = EdgeLock::make(*target.frameAtPointerDown, sample.frame, cursorAtPointerDown_);
        if (wider && wider->lockedEdges() > target.lock->lockedEdges() &&
            wider->explains(sample.frame, sample.cursorSpan, lockTolerance)) {
          target.lock = wider;
          ++stats_.locks;
        }
      }
      return;
    }
    if (debugUnlocks_) {
      const Rect& f = sample.frame;
      const Rect& a = target.lock->anchor;
      const Rect& s = sample.cursorSpan;
      logOnMain(format(
          "Follower unlock %d: sample %.0f,%.0f %.0fx%.0f (max %.0f,%.0f) anchor %.0f,%.0f %.0fx%.0f lock minX %@ maxX %@ "
          "minY %@ maxY %@ span x %.0f\u2013%.0f y %.0f\u2013%.0f latency %.1f ms",
          {sample.source, f.minX(), f.minY(), f.width(), f.height(), f.maxX(), f.maxY(), a.minX(), a.minY(), a.width(),
           a.height(), offset(target.lock->minX), offset(target.lock->maxX), offset(target.lock->minY),
           offset(target.lock->maxY), s.minX(), s.maxX(), s.minY(), s.maxY(), sample.latencyMs}));
    }
    target.lock.reset();
    if (sample.frame != target.frame) applySampled(target, sample.frame, changes);
    return;
  }
  if (sample.frame == target.frame) return;
  const Rect& f = target.frame;
  const Rect& s = sample.frame;
  stats_.maxCatchUpPoints =
      std::max({stats_.maxCatchUpPoints, std::abs(s.minX() - f.minX()), std::abs(s.minY() - f.minY()),
                std::abs(s.maxX() - f.maxX()), std::abs(s.maxY() - f.maxY())});
  if (pointerDown_ && target.frameAtPointerDown) {
    auto lock = EdgeLock::make(*target.frameAtPointerDown, sample.frame, cursorAtPointerDown_);
    if (lock && lock->explains(sample.frame, sample.cursorSpan, lockTolerance)) {
      target.lock = lock;
      ++stats_.locks;
    }
  }
  applySampled(target, sample.frame, changes);
}

void GeometryFollower::applySampled(Target& target, const Rect& frame, std::vector<FollowerChange>& changes) {
  if (sameSize(frame, target.frame)) {
    ++stats_.moves;
    move(target, frame, changes);
  } else {
    ++stats_.resizes;
    resize(target, frame, changes);
  }
}

void GeometryFollower::move(Target& target, const Rect& frame, std::vector<FollowerChange>& changes) {
  const Rect frost = target.lead.around(frame);
  geometry_.move(target.frost, frost.origin, frost.height());
  const Rect m = onScreenFrame(frame, screens_);
  if (target.mirror) {
    if (std::abs(m.width() - target.mirrorFrame.width()) < mirrorSizeMatch &&
        std::abs(m.height() - target.mirrorFrame.height()) < mirrorSizeMatch) {
      geometry_.move(*target.mirror, m.origin, m.height());
    } else {
      FollowerChange resized = change(FollowerChange::Kind::resized, target);
      resized.frame = frame;
      resized.frostFrame = frost;
      changes.push_back(resized);
    }
  }
  target.frame = frame;
  target.mirrorFrame = m;
  changes.push_back(change(FollowerChange::Kind::moved, target));
}

void GeometryFollower::resize(Target& target, const Rect& frame, std::vector<FollowerChange>& changes) {
  target.frame = frame;
  target.mirrorFrame = onScreenFrame(frame, screens_);
  changes.push_back(change(FollowerChange::Kind::resized, target));
}

FollowerChange GeometryFollower::change(FollowerChange::Kind kind, const Target& target) const {
  FollowerChange c;
  c.kind = kind;
  c.source = target.source;
  c.frame = target.frame;
  c.mirrorFrame = target.mirrorFrame;
  c.frostFrame = target.lead.around(target.frame);
  return c;
}

// ---- The leading edge -----------------------------------------------------------------------------

void GeometryFollower::recordSteps(Target& target, const Rect& from, const Rect& to) {
  const std::array<double, 4> outward = {from.minX() - to.minX(), to.maxX() - from.maxX(), from.minY() - to.minY(),
                                         to.maxY() - from.maxY()};
  const double t = now();
  for (size_t e = 0; e < 4; ++e) {
    if (outward[e] > 0) {
      target.stepBefore[e] = target.lastStep[e];
      target.lastStep[e] = outward[e];
      target.lastStepAt[e] = t;
    } else if (outward[e] < 0) {
      target.stepBefore[e] = target.lastStep[e] = 0;
    }
  }
}

GeometryFollower::Lead GeometryFollower::wantedLead(const Target& target) const {
  const double t = now();
  std::array<double, 4> lead{};
  for (size_t e = 0; e < 4; ++e) {
    const double last = target.lastStep[e];
    // A glide: the pointer drags it, or it took two steps in a row; one step alone is a jump.
    const bool glide = pointerDown_ || target.stepBefore[e] > 0;
    if (glide && last > 0 && last <= maxGlideStep && t - target.lastStepAt[e] <= cursorSpanWindow) {
      // The next step is expected to be as long as the last, grown as much as it grew; the
      // second step of a move from rest is three times the first (speeding up evenly).
      const double growth = target.stepBefore[e] > 0 ? std::max(0.0, last - target.stepBefore[e]) : 2 * last;
      lead[e] = last + growth + leadMargin;
    } else if (pointerDown_ && target.pressed) {
      lead[e] = leadMargin;
    }
    // Windows stand on whole points.
    lead[e] = std::ceil(lead[e]);
  }
  return Lead{lead[kMinX], lead[kMaxX], lead[kMinY], lead[kMaxY]};
}

void GeometryFollower::updateLead(Target& target, std::vector<FollowerChange>& changes) {
  const Lead wanted = wantedLead(target);
  const Lead& current = target.lead;
  const bool differs = std::abs(wanted.minX - current.minX) >= 0.25 || std::abs(wanted.maxX - current.maxX) >= 0.25 ||
                       std::abs(wanted.minY - current.minY) >= 0.25 || std::abs(wanted.maxY - current.maxY) >= 0.25 ||
                       (wanted.isZero() && !current.isZero());
  if (!differs) return;
  target.lead = wanted;
  // A resized change for the same source in this tick already carries the new frost frame.
  for (FollowerChange& c : changes) {
    if (c.source == target.source && c.kind == FollowerChange::Kind::resized) {
      c.frostFrame = wanted.around(target.frame);
      return;
    }
  }
  changes.push_back(change(FollowerChange::Kind::resized, target));
}

// ---- Main queue -----------------------------------------------------------------------------------

void GeometryFollower::deliver(std::vector<FollowerChange> changes) {
  if (!onChanges_) return;
  dispatcher_.main().async([weak = std::weak_ptr(alive_), handler = onChanges_, changes = std::move(changes)] {
    if (weak.lock()) handler(changes);
  });
}

void GeometryFollower::logOnMain(std::string line) {
  dispatcher_.main().async([weak = std::weak_ptr(alive_), line = std::move(line)] {
    if (auto alive = weak.lock()) (*alive)->log_.log(line);
  });
}

// ---- Observation ----------------------------------------------------------------------------------

std::vector<GeometryFollower::Target> GeometryFollower::targets() const {
  std::vector<Target> out;
  for (const auto& [source, target] : targets_) out.push_back(target);
  return out;
}

GeometryFollower::Stats GeometryFollower::stats() const { return stats_; }

}  // namespace corvane
