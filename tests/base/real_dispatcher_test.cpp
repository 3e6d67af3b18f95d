// The real dispatcher is itself the subject here, so these tests use real threads and real time.
// Delays are tens of milliseconds, results are awaited with generous timeouts, and assertions hold
// however late the threads are scheduled.
#include "base/real_dispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace corvane {
namespace {

constexpr double kPatience = 10.0;  // seconds; only reached when something is broken

void sleepSeconds(double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); }

TEST(RealDispatcher, MainQueueRunsWorkPostedFromOtherThreadsInOrder) {
  RealDispatcher d;
  auto worker = d.makeSerialQueue("com.corvane.test.worker", QoS::utility);
  std::vector<int> order;  // touched only on the main queue
  bool allOnMain = true;
  const auto mainThread = std::this_thread::get_id();
  worker->async([&] {
    EXPECT_TRUE(worker->isCurrent() && !d.main().isCurrent());
    for (int i = 0; i < 200; ++i) {
      d.main().async([&, i] {
        allOnMain = allOnMain && std::this_thread::get_id() == mainThread && d.main().isCurrent();
        order.push_back(i);
      });
    }
  });
  ASSERT_TRUE(d.runMainLoopUntil([&] { return order.size() == 200; }, kPatience));
  EXPECT_TRUE(allOnMain);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(order[size_t(i)], i);
  EXPECT_FALSE(d.main().isCurrent());
}

TEST(RealDispatcher, DelayedWorkRunsInDueOrderNeverEarlyAndNotWhenCancelled) {
  RealDispatcher d;
  auto queue = d.makeSerialQueue("delayed", QoS::normal);
  const double delays[] = {0.045, 0.015, 0.030, 0, 0.015, 0.060, 0.020};
  const size_t n = std::size(delays), cancelled = n - 1;
  std::vector<double> earliestDue(n), latestDue(n), ranAt(n);
  std::vector<size_t> ranOrder;  // written on the queue, read once ranCount says all is done
  std::atomic<size_t> ranCount{0};
  // Hold the queue until everything is posted, so that only due times decide the order.
  std::promise<void> release;
  queue->async([f = release.get_future().share()] { f.wait(); });
  for (size_t i = 0; i < n; ++i) {
    earliestDue[i] = d.clock().mediaTime() + delays[i];
    TaskHandle handle = queue->asyncAfter(delays[i], [&, i] {
      ranAt[i] = d.clock().mediaTime();
      ranOrder.push_back(i);
      ++ranCount;
    });
    latestDue[i] = d.clock().mediaTime() + delays[i];
    if (i == cancelled) handle.cancel();
  }
  release.set_value();
  ASSERT_TRUE(d.runMainLoopUntil([&] { return ranCount.load() == n - 1; }, kPatience));
  d.runMainLoopUntil([] { return false; }, 0.03);
  ASSERT_EQ(ranCount.load(), n - 1);
  std::vector<size_t> position(n);
  for (size_t p = 0; p < ranOrder.size(); ++p) position[ranOrder[p]] = p;
  for (size_t i = 0; i < cancelled; ++i) {
    EXPECT_GE(ranAt[i], earliestDue[i]) << "item " << i << " ran early";
    for (size_t j = 0; j < cancelled; ++j) {
      if (latestDue[i] < earliestDue[j]) {
        EXPECT_LT(position[i], position[j]) << i << " was due before " << j;
      }
    }
  }
}

TEST(RealDispatcher, RepeatingTimerFiresUntilItsHandlerCancelsIt) {
  RealDispatcher d;
  auto queue = d.makeSerialQueue("timer", QoS::userInteractive);
  const double interval = 0.005;
  std::atomic<int> fires{0};
  std::vector<double> times;  // written by the handler only, read once it has stopped
  std::unique_ptr<Timer> timer;
  timer = d.makeTimer(*queue, [&] {
    EXPECT_TRUE(queue->isCurrent());
    times.push_back(d.clock().mediaTime());
    if (times.size() == 5) timer->cancel();
    ++fires;
  });
  double start = d.clock().mediaTime();
  timer->schedule(0.01, interval, 0.001);
  EXPECT_TRUE(timer->isScheduled());
  ASSERT_TRUE(d.runMainLoopUntil([&] { return fires.load() >= 5; }, kPatience));
  EXPECT_FALSE(timer->isScheduled());
  d.runMainLoopUntil([] { return false; }, 0.03);  // a stray fire would show up here
  EXPECT_EQ(fires.load(), 5);
  for (size_t k = 0; k < times.size(); ++k) {
    EXPECT_GE(times[k], start + 0.01 + double(k) * interval - 1e-9) << "fire " << k << " came early";
  }
}

TEST(RealDispatcher, TimerRescheduledOrDestroyedFromItsHandler) {
  RealDispatcher d;
  auto queue = d.makeSerialQueue("timer", QoS::normal);
  std::atomic<int> oneShot{0}, destroyedFires{0};
  std::atomic<bool> pendingFired{false};
  std::unique_ptr<Timer> rescheduling, destroying;
  rescheduling = d.makeTimer(*queue, [&] {
    if (++oneShot < 3) rescheduling->schedule(0.005, 0);
  });
  rescheduling->schedule(0.005, 0);
  destroying = d.makeTimer(*queue, [&] {
    ++destroyedFires;
    destroying.reset();
  });
  destroying->schedule(0.005, 0.005);
  auto dropped = d.makeTimer(*queue, [&] { pendingFired = true; });
  dropped->schedule(0.01, 0.01);
  dropped.reset();

  ASSERT_TRUE(d.runMainLoopUntil([&] { return oneShot.load() == 3 && destroyedFires.load() == 1; }, kPatience));
  d.runMainLoopUntil([] { return false; }, 0.03);
  EXPECT_EQ(oneShot.load(), 3);
  EXPECT_EQ(destroyedFires.load(), 1);
  EXPECT_FALSE(pendingFired.load());
}

// Destroying a queue or a timer from another thread waits for the item or handler that is running,
// so that it never outlives what it refers to; the queue's pending work is dropped.
TEST(RealDispatcher, DestructionWaitsForRunningWorkAndDropsPendingWork) {
  RealDispatcher d;
  auto queue = d.makeSerialQueue("doomed", QoS::normal);
  std::atomic<bool> timerStarted{false}, timerFinished{false}, itemStarted{false}, itemFinished{false},
      pendingRan{false};
  auto timer = d.makeTimer(*queue, [&] {
    timerStarted = true;
    sleepSeconds(0.02);
    timerFinished = true;
  });
  timer->schedule(0, 0);
  ASSERT_TRUE(d.runMainLoopUntil([&] { return timerStarted.load(); }, kPatience));
  timer.reset();
  EXPECT_TRUE(timerFinished.load());

  auto captured = std::make_shared<int>();
  queue->async([&] {
    itemStarted = true;
    sleepSeconds(0.02);
    itemFinished = true;
  });
  queue->async([&, captured] { pendingRan = true; });
  ASSERT_TRUE(d.runMainLoopUntil([&] { return itemStarted.load(); }, kPatience));
  queue.reset();
  EXPECT_TRUE(itemFinished.load());
  EXPECT_FALSE(pendingRan.load());
  EXPECT_EQ(captured.use_count(), 1);
}

TEST(RealDispatcher, QueueDestroyedFromItsOwnWork) {
  RealDispatcher d;
  std::unique_ptr<DispatchQueue> queue = d.makeSerialQueue("self", QoS::normal);
  std::atomic<bool> afterReset{false}, pendingRan{false};
  std::promise<void> bothPosted;
  queue->async([&, posted = bothPosted.get_future().share()] {
    posted.wait();
    queue.reset();  // must neither deadlock nor cut this item short
    afterReset = true;
  });
  queue->async([&] { pendingRan = true; });
  bothPosted.set_value();
  ASSERT_TRUE(d.runMainLoopUntil([&] { return afterReset.load(); }, kPatience));
  d.runMainLoopUntil([] { return false; }, 0.02);
  EXPECT_FALSE(pendingRan.load());
}

TEST(RealDispatcher, StoppingTheMainLoop) {
  auto d = std::make_unique<RealDispatcher>();
  auto worker = d->makeSerialQueue("stopper", QoS::normal);
  std::atomic<bool> posted{false};
  worker->asyncAfter(0.01, [&] {
    d->main().async([&] { posted = true; });
    d->stopMainLoop();
  });
  d->runMainLoop();  // returns only through stopMainLoop()
  // A stop requested while no loop runs ends the next loop at once.
  d->stopMainLoop();
  d->runMainLoop();
  double start = d->clock().mediaTime();
  EXPECT_FALSE(d->runMainLoopUntil([] { return false; }, 0.02));
  EXPECT_GE(d->clock().mediaTime() - start, 0.02);
  EXPECT_TRUE(posted.load());  // work left behind by a stopped loop runs in the next one

  // Destroyed with work pending on the main queue: the work is dropped.
  auto captured = std::make_shared<int>();
  d->main().asyncAfter(10, [captured] {});
  auto timer = d->makeTimer(d->main(), [] {});
  worker.reset();
  d.reset();
  EXPECT_EQ(captured.use_count(), 1);
  timer->schedule(0, 0);  // a timer may outlive its queue: nothing dangles, it never fires
}

}  // namespace
}  // namespace corvane
