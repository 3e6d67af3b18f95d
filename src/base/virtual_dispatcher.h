// Virtual-time dispatch for tests and the simulated desktop.
//
// Time stands still until advance() or runUntilIdle() is called on the driving thread. Then every
// due task of every queue (main and serial alike) runs on that thread, in time order, ties in the
// order they were submitted. While a task runs, the clock reads the task's due time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "base/dispatch.h"

namespace corvane {

class VirtualDispatcher final : public Dispatcher, public Clock {
 public:
  // wallEpoch: the wall time (Unix seconds) at media time 0.
  explicit VirtualDispatcher(double startMediaTime = 1000.0, double wallEpoch = 1'800'000'000.0);
  ~VirtualDispatcher() override;
  VirtualDispatcher(const VirtualDispatcher&) = delete;
  VirtualDispatcher& operator=(const VirtualDispatcher&) = delete;

  DispatchQueue& main() override;
  std::unique_ptr<DispatchQueue> makeSerialQueue(std::string label, QoS qos) override;
  std::unique_ptr<Timer> makeTimer(DispatchQueue& queue, std::function<void()> handler) override;
  const Clock& clock() const override { return *this; }

  double mediaTime() const override;
  double wallTime() const override;

  // Runs everything due within `seconds` from now, then sets the clock to now + seconds.
  void advance(double seconds);
  // Runs everything due up to and including `mediaTime`, then sets the clock to it (if later).
  void advanceTo(double mediaTime);
  // Runs everything due now (including work that due work submits for now).
  void runUntilIdle();
  // Number of tasks waiting (cancelled ones not counted once skipped).
  size_t pendingCount() const;
  // Due time of the earliest pending task, or a negative value when none.
  double nextDueTime() const;

  struct Task;
  class Queue;
  class VTimer;

 private:
  friend class Queue;
  friend class VTimer;
  TaskHandle enqueue(const Queue* queue, double due, std::function<void()> work);
  void dropQueue(const Queue* queue);
  bool runOne(double limit);

  mutable std::mutex mutex_;
  double now_;
  double wallEpoch_;
  uint64_t nextSeq_ = 0;
  // Keyed by (due time, submission order).
  std::map<std::pair<double, uint64_t>, std::shared_ptr<Task>> tasks_;
  std::unique_ptr<Queue> main_;
  const Queue* running_ = nullptr;
};

}  // namespace corvane
