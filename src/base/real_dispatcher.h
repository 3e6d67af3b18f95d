// Real-time dispatch: threads, condition variables and the monotonic clock.
//
// Each serial queue runs on a thread of its own. The main queue has no thread: its work runs on
// whichever thread calls runMainLoop() (one thread at a time), until stopMainLoop() is called from
// any thread. Every queue keeps its work in a heap ordered by due time (media clock), ties in
// submission order.
//
// Destroying a serial queue drops its pending work and waits for the item it is running, except
// when the queue is destroyed from one of its own items: then the item finishes on the queue's
// thread, which ends by itself. Destroying a timer from another thread waits for a handler of it
// that is running at that moment, so that the handler never outlives what it refers to.
//
// Leeway is accepted and stored; this implementation always aims at the exact due time.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "base/dispatch.h"

namespace corvane {

class RealDispatcher final : public Dispatcher {
 public:
  RealDispatcher();
  // Drops the main queue's pending work. Serial queues and timers are owned by their callers.
  ~RealDispatcher() override;
  RealDispatcher(const RealDispatcher&) = delete;
  RealDispatcher& operator=(const RealDispatcher&) = delete;

  DispatchQueue& main() override;
  std::unique_ptr<DispatchQueue> makeSerialQueue(std::string label, QoS qos) override;
  // The queue should come from this dispatcher; a timer may outlive its queue (it then never fires).
  std::unique_ptr<Timer> makeTimer(DispatchQueue& queue, std::function<void()> handler) override;
  // realClock().
  const Clock& clock() const override;

  // Runs main-queue work on the calling thread until stopMainLoop() is called.
  void runMainLoop();
  // Runs main-queue work until `done` returns true or `timeoutSeconds` have passed, whichever comes
  // first (or stopMainLoop() is called). `done` runs on the calling thread before each item and at
  // least every few milliseconds while idle, so it may also watch state set by other threads.
  // Returns the last answer of `done`.
  bool runMainLoopUntil(const std::function<bool()>& done, double timeoutSeconds);
  // Makes the running main loop return after its current item. Called while no loop runs, it makes
  // the next loop return at once (a stop is never lost to a race with the loop's start).
  void stopMainLoop();

 private:
  class Core;
  class Queue;
  class RTimer;
  std::unique_ptr<Queue> main_;
};

}  // namespace corvane
