#include "base/virtual_dispatcher.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace corvane {
namespace {

using Log = std::vector<std::string>;

TEST(VirtualDispatcher, RunsInTimeOrderWithTiesInSubmissionOrder) {
  VirtualDispatcher d(100.0);
  auto serial = d.makeSerialQueue("worker", QoS::utility);
  Log log;
  auto note = [&](std::string name) {
    return [&log, &d, name] { log.push_back(name + "@" + std::to_string(int(d.mediaTime() * 10))); };
  };
  d.main().asyncAfter(2, note("c"));
  serial->asyncAfter(1, note("a"));
  d.main().asyncAfter(1, note("b"));
  d.main().async(note("now"));
  serial->asyncAfter(-5, note("past"));  // a negative delay means now
  // Work submitted for "now" by a task runs at the task's time, after what was already due then.
  d.main().asyncAfter(1.5, [&] { d.main().async(note("nested")); });
  d.main().asyncAfter(1.5, note("tie"));
  serial->async([&] { log.push_back(serial->isCurrent() && !d.main().isCurrent() ? "current" : "wrong"); });

  d.advance(1.0);
  EXPECT_EQ(log, (Log{"now@1000", "past@1000", "current", "a@1010", "b@1010"}));
  EXPECT_EQ(d.mediaTime(), 101.0);
  d.advance(5);
  EXPECT_EQ(log, (Log{"now@1000", "past@1000", "current", "a@1010", "b@1010", "tie@1015", "nested@1015", "c@1020"}));
  EXPECT_EQ(d.mediaTime(), 106.0);
  EXPECT_FALSE(serial->isCurrent());
}

TEST(VirtualDispatcher, CancellationFromInsideCallbacks) {
  VirtualDispatcher d;
  Log log;
  TaskHandle later, tie, self;
  self = d.main().asyncAfter(1, [&] {
    log.push_back("first");
    TaskHandle(tie).cancel();  // a copy cancels the same task
    later.cancel();
    self.cancel();  // the running task itself: harmless
  });
  tie = d.main().asyncAfter(1, [&] { log.push_back("tie"); });
  later = d.main().asyncAfter(2, [&] { log.push_back("later"); });
  d.advance(3);
  EXPECT_EQ(log, Log{"first"});
  EXPECT_TRUE(tie.isCancelled());
  EXPECT_EQ(d.pendingCount(), 0u);
  EXPECT_LT(d.nextDueTime(), 0);
}

TEST(VirtualDispatcher, RepeatingTimerRescheduledByItsOwnHandler) {
  VirtualDispatcher d(0.0);
  std::vector<double> fires;
  std::unique_ptr<Timer> timer;
  timer = d.makeTimer(d.main(), [&] {
    fires.push_back(d.mediaTime());  // the clock reads the fire's due time
    if (fires.size() == 2) timer->schedule(0.25, 2.0);  // rescheduled from this moment
    if (fires.size() == 4) timer->cancel();
  });
  timer->schedule(1.0, 1.0, 0.1);
  EXPECT_TRUE(timer->isScheduled());
  d.advance(10.0);
  EXPECT_EQ(fires, (std::vector<double>{1.0, 2.0, 2.25, 4.25}));
  EXPECT_FALSE(timer->isScheduled());

  timer->schedule(1.0, 0);  // a one-shot after a cancel
  d.advance(5);
  EXPECT_EQ(fires.back(), 11.0);
  EXPECT_FALSE(timer->isScheduled());
}

TEST(VirtualDispatcher, TimerDestroyedByItsHandlerOrWhilePending) {
  VirtualDispatcher d(0.0);
  int fires = 0;
  std::unique_ptr<Timer> destroying;
  destroying = d.makeTimer(d.main(), [&] {
    ++fires;
    destroying.reset();
  });
  destroying->schedule(1, 1);
  auto dropped = d.makeTimer(d.main(), [&] { fires += 100; });
  dropped->schedule(1, 1);
  dropped.reset();
  d.advance(10);
  EXPECT_EQ(fires, 1);
  EXPECT_EQ(d.pendingCount(), 0u);
}

TEST(VirtualDispatcher, DestroyingAQueueDropsItsPendingWork) {
  VirtualDispatcher d;
  int ran = 0;
  auto doomed = d.makeSerialQueue("doomed", QoS::utility);
  auto kept = d.makeSerialQueue("kept", QoS::utility);
  doomed->asyncAfter(1, [&] { ran += 1; });
  kept->asyncAfter(1, [&] { ran += 10; });
  doomed.reset();
  // A queue destroyed by its own work: the running item finishes, the rest is dropped.
  auto self = d.makeSerialQueue("self", QoS::utility);
  self->async([&] {
    self.reset();
    ran += 100;
  });
  self->async([&] { ran += 1000; });
  d.advance(2);
  EXPECT_EQ(ran, 110);
}

// Dropped work (cancelled, or pending when its queue or the dispatcher goes) may hold objects that
// own queues; destroying it must not come back into the dispatcher while its lock is held.
TEST(VirtualDispatcher, DroppedWorkMayOwnQueues) {
  auto d = std::make_unique<VirtualDispatcher>();
  auto ownsQueue = [&] { return std::shared_ptr<DispatchQueue>(d->makeSerialQueue("inner", QoS::utility)); };
  d->main().asyncAfter(1, [q = ownsQueue()] {}).cancel();
  d->advance(2);
  auto outer = d->makeSerialQueue("outer", QoS::utility);
  outer->asyncAfter(1, [q = ownsQueue()] {});
  outer.reset();
  d->main().asyncAfter(1, [q = ownsQueue()] {});
  d.reset();
}

}  // namespace
}  // namespace corvane
