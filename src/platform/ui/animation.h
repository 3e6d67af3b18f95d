// Animations of view properties, driven by the media clock.
//
// As with the reference platform's animation groups: inside UserInterface::runAnimationGroup the
// program sets properties through an animator; each such change stores the new value in the view
// at once (the model value, which every later read sees) and records an animation from the value
// shown at that moment to the new one. Backends draw the presentation value for the time of each
// frame. The group's completion runs on the main queue once its duration has passed. Setting a
// property without the animator ends that property's animation at once.
#pragma once

#include <optional>

#include "base/geometry.h"
#include "platform/ui/ui_types.h"

namespace corvane::ui {

class View;

// The eased progress (0...1) of a timing curve at linear progress t (clamped to 0...1).
double timingProgress(AnimationTiming timing, double t);

template <typename T>
struct ValueAnimation {
  T from{};
  T to{};
  double beginTime = 0;  // media time
  double duration = 0;
  AnimationTiming timing = AnimationTiming::defaultTiming;

  bool isFinished(double now) const { return now >= beginTime + duration; }
  double progress(double now) const {
    if (duration <= 0) return 1;
    return timingProgress(timing, (now - beginTime) / duration);
  }
};

double interpolate(double from, double to, double progress);
Rect interpolate(const Rect& from, const Rect& to, double progress);

template <typename T>
T presentationValue(const T& model, const std::optional<ValueAnimation<T>>& animation, double now) {
  if (!animation || animation->isFinished(now)) return model;
  return interpolate(animation->from, animation->to, animation->progress(now));
}

class AnimationContext;

// Sets animatable properties of one view inside an animation group.
class ViewAnimator {
 public:
  ViewAnimator(View& view, AnimationContext& context) : view_(view), context_(context) {}
  void setAlphaValue(double alpha);
  void setFrame(const Rect& frame);

 private:
  View& view_;
  AnimationContext& context_;
};

class AnimationContext {
 public:
  explicit AnimationContext(double beginTime) : beginTime_(beginTime) {}

  // Set these before animating properties; each change uses the values current at that moment.
  double duration = 0.25;
  AnimationTiming timingFunction = AnimationTiming::defaultTiming;

  double beginTime() const { return beginTime_; }
  ViewAnimator animator(View& view) { return ViewAnimator(view, *this); }

 private:
  double beginTime_;
};

}  // namespace corvane::ui
