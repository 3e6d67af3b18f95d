// Dispatch: the main queue, named serial queues, delayed work and repeating timers.
//
// Two implementations share this interface. The real one runs each serial queue on a thread of its
// own and the main queue on whichever thread runs the main loop. The virtual-time one runs every
// queue on the thread that calls advance(), in time order (ties in submission order), so that tests
// drive time explicitly and never sleep.
//
// Threading: every method may be called from any thread. Work submitted to a queue runs one item at
// a time, in order. Cancelling a task or a timer from inside any callback (its own included) is
// safe; a cancelled task never starts afterwards.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "base/clock.h"

namespace corvane {

enum class QoS { background, utility, normal, userInitiated, userInteractive };

// Handle on one delayed task. Copies share the task. Dropping the handle does not cancel.
class TaskHandle {
 public:
  TaskHandle() = default;
  explicit TaskHandle(std::shared_ptr<std::atomic<bool>> cancelled) : cancelled_(std::move(cancelled)) {}
  void cancel() const {
    if (cancelled_) cancelled_->store(true);
  }
  bool isCancelled() const { return cancelled_ && cancelled_->load(); }
  bool isValid() const { return cancelled_ != nullptr; }

 private:
  std::shared_ptr<std::atomic<bool>> cancelled_;
};

class DispatchQueue {
 public:
  virtual ~DispatchQueue() = default;
  virtual const std::string& label() const = 0;
  virtual QoS qos() const = 0;
  // Runs work on this queue as soon as it is free.
  virtual void async(std::function<void()> work) = 0;
  // Runs work on this queue no sooner than `seconds` from now (media clock).
  virtual TaskHandle asyncAfter(double seconds, std::function<void()> work) = 0;
  // True while the calling thread is running an item of this queue.
  virtual bool isCurrent() const = 0;
};

// A repeating timer on a queue. The handler runs on that queue. Destroying the timer cancels it.
class Timer {
 public:
  virtual ~Timer() = default;
  // (Re)arms the timer: first fire after `delay`, then every `interval` seconds (interval <= 0:
  // fires once). `leeway` is how late the system may fire it to save work. Calling it from the
  // handler reschedules from the current time.
  virtual void schedule(double delay, double interval, double leeway = 0) = 0;
  // Stops the timer; a pending fire never runs. The timer may be scheduled again later.
  virtual void cancel() = 0;
  virtual bool isScheduled() const = 0;
};

class Dispatcher {
 public:
  virtual ~Dispatcher() = default;
  virtual DispatchQueue& main() = 0;
  // The caller owns the queue. Work still pending when it is destroyed is dropped.
  virtual std::unique_ptr<DispatchQueue> makeSerialQueue(std::string label, QoS qos) = 0;
  // The caller owns the timer; it starts unscheduled.
  virtual std::unique_ptr<Timer> makeTimer(DispatchQueue& queue, std::function<void()> handler) = 0;
  virtual const Clock& clock() const = 0;
};

}  // namespace corvane
