#include "base/real_dispatcher.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace corvane {

namespace {

constexpr double kForever = std::numeric_limits<double>::infinity();
// runMainLoopUntil re-checks its predicate at least this often while idle.
constexpr double kPollInterval = 0.005;
// A single wait never exceeds this, so that far-off due times never overflow the clock's duration.
constexpr double kLongestWait = 3600;

double now() { return realClock().mediaTime(); }

struct Entry {
  double due = 0;
  uint64_t seq = 0;
  std::function<void()> work;
  std::shared_ptr<std::atomic<bool>> cancelled;  // null for plain async()

  bool isCancelled() const { return cancelled && cancelled->load(); }
};

// std::push_heap keeps the greatest element in front; "greater" here means "due earlier".
bool dueLater(const Entry& a, const Entry& b) { return a.due != b.due ? a.due > b.due : a.seq > b.seq; }

}  // namespace

// The shared part of a queue: its heap of work and the means to wait for it. Items run without the
// lock held, and every item is destroyed outside the lock too, because running or destroying work
// may submit more work to the same queue.
class RealDispatcher::Core {
 public:
  void post(double due, std::function<void()> work, std::shared_ptr<std::atomic<bool>> cancelled) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;  // `work` is destroyed after the lock is released
    heap_.push_back(Entry{due, nextSeq_++, std::move(work), std::move(cancelled)});
    std::push_heap(heap_.begin(), heap_.end(), dueLater);
    wake_.notify_all();
  }

  // Refuses further work and hands back what was pending, for the caller to drop outside the lock.
  std::vector<Entry> close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    wake_.notify_all();
    return std::exchange(heap_, {});
  }

  void requestStop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopRequested_ = true;
    wake_.notify_all();
  }

  // Runs due items on the calling thread until the queue closes, a stop is requested, `done`
  // answers true or the media clock reaches `deadline`. Returns the last answer of `done`.
  bool run(const std::function<bool()>* done, double deadline) {
    for (;;) {
      if (done && (*done)()) return true;
      Entry entry;
      enum { runEntry, recheck, finish, deadlinePassed } next = recheck;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
          if (closed_) {
            next = finish;
            break;
          }
          if (stopRequested_) {
            stopRequested_ = false;
            next = finish;
            break;
          }
          double t = now();
          if (t >= deadline) {  // checked first, so that a queue that never runs dry still returns
            next = deadlinePassed;
            break;
          }
          // Cancelled work leaves the heap as soon as it reaches the front, without waiting for its time.
          if (!heap_.empty() && (heap_.front().due <= t || heap_.front().isCancelled())) {
            std::pop_heap(heap_.begin(), heap_.end(), dueLater);
            entry = std::move(heap_.back());
            heap_.pop_back();
            next = runEntry;
            break;
          }
          double wakeAt = std::min(deadline, heap_.empty() ? kForever : heap_.front().due);
          if (done) wakeAt = std::min(wakeAt, t + kPollInterval);
          if (std::isinf(wakeAt)) {
            wake_.wait(lock);
          } else {
            wake_.wait_for(lock, std::chrono::duration<double>(std::min(wakeAt - t, kLongestWait)));
          }
          if (done) break;  // let the predicate look again
        }
      }
      if (next == finish) return false;
      if (next == deadlinePassed) return done && (*done)();
      if (next == runEntry && !entry.isCancelled()) {
        const Core* outer = current;
        current = this;
        entry.work();
        current = outer;
      }
    }
  }

  bool isCurrent() const { return current == this; }

 private:
  static thread_local const Core* current;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<Entry> heap_;
  uint64_t nextSeq_ = 0;
  bool closed_ = false;
  bool stopRequested_ = false;
};

thread_local const RealDispatcher::Core* RealDispatcher::Core::current = nullptr;

class RealDispatcher::Queue final : public DispatchQueue {
 public:
  Queue(std::string label, QoS qos, bool ownThread)
      : core_(std::make_shared<Core>()), label_(std::move(label)), qos_(qos) {
    if (ownThread) thread_ = std::thread([core = core_] { core->run(nullptr, kForever); });
  }

  ~Queue() override {
    std::vector<Entry> dropped = core_->close();
    if (thread_.joinable()) {
      // Destroyed from one of its own items: the thread cannot be joined from itself. It sees the
      // queue closed once that item returns, and ends.
      if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
      } else {
        thread_.join();
      }
    }
  }

  const std::string& label() const override { return label_; }
  QoS qos() const override { return qos_; }
  void async(std::function<void()> work) override { core_->post(now(), std::move(work), nullptr); }
  TaskHandle asyncAfter(double seconds, std::function<void()> work) override {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    core_->post(now() + (seconds > 0 ? seconds : 0), std::move(work), cancelled);
    return TaskHandle(cancelled);
  }
  bool isCurrent() const override { return core_->isCurrent(); }

  const std::shared_ptr<Core>& core() const { return core_; }

 private:
  std::shared_ptr<Core> core_;
  std::string label_;
  QoS qos_;
  std::thread thread_;
};

class RealDispatcher::RTimer final : public Timer {
 public:
  RTimer(DispatchQueue& queue, std::function<void()> handler) : state_(std::make_shared<State>()) {
    state_->handler = std::move(handler);
    if (auto* own = dynamic_cast<Queue*>(&queue)) {
      state_->core = own->core();
    } else {
      state_->foreignQueue = &queue;
    }
  }

  ~RTimer() override {
    std::unique_lock<std::mutex> lock(state_->mutex);
    stop(*state_);
    auto self = std::this_thread::get_id();
    state_->idle.wait(lock, [&] { return !state_->firing || state_->firingThread == self; });
    stop(*state_);  // in case the handler that was running rescheduled it
  }

  void schedule(double delay, double interval, double leeway) override {
    std::lock_guard<std::mutex> lock(state_->mutex);
    stop(*state_);
    state_->interval = interval;
    state_->leeway = leeway;
    state_->scheduled = true;
    arm(state_, now() + (delay > 0 ? delay : 0));
  }

  void cancel() override {
    std::lock_guard<std::mutex> lock(state_->mutex);
    stop(*state_);
  }

  bool isScheduled() const override {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->scheduled;
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable idle;
    std::function<void()> handler;  // never changes after construction
    std::shared_ptr<Core> core;
    DispatchQueue* foreignQueue = nullptr;
    double interval = 0;
    double leeway = 0;
    bool scheduled = false;
    // Each schedule() or cancel() starts a new generation; a fire of an older one does nothing.
    uint64_t generation = 0;
    TaskHandle pending;
    bool firing = false;
    std::thread::id firingThread;
  };

  // Caller holds state.mutex.
  static void stop(State& state) {
    ++state.generation;
    state.scheduled = false;
    state.pending.cancel();
  }

  // Caller holds state->mutex.
  static void arm(const std::shared_ptr<State>& state, double due) {
    std::weak_ptr<State> weak = state;
    uint64_t generation = state->generation;
    auto work = [weak, generation, due] { fire(weak, generation, due); };
    if (state->core) {
      auto cancelled = std::make_shared<std::atomic<bool>>(false);
      state->pending = TaskHandle(cancelled);
      state->core->post(due, std::move(work), std::move(cancelled));
    } else {
      state->pending = state->foreignQueue->asyncAfter(due - now(), std::move(work));
    }
  }

  static void fire(const std::weak_ptr<State>& weak, uint64_t generation, double due) {
    auto state = weak.lock();
    if (!state) return;
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      if (!state->scheduled || state->generation != generation) return;
      // Arm the next fire before the handler runs, so that the handler may cancel or reschedule
      // it. Fires missed while the queue was busy are skipped, not run in a burst.
      if (state->interval > 0) {
        double nextDue = due + state->interval;
        double t = now();
        if (nextDue < t) nextDue += std::ceil((t - nextDue) / state->interval) * state->interval;
        arm(state, nextDue);
      } else {
        state->scheduled = false;
      }
      state->firing = true;
      state->firingThread = std::this_thread::get_id();
    }
    state->handler();
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      state->firing = false;
    }
    state->idle.notify_all();
  }

  std::shared_ptr<State> state_;
};

RealDispatcher::RealDispatcher()
    : main_(std::make_unique<Queue>("com.apple.main-thread", QoS::userInteractive, false)) {}

RealDispatcher::~RealDispatcher() = default;

DispatchQueue& RealDispatcher::main() { return *main_; }

std::unique_ptr<DispatchQueue> RealDispatcher::makeSerialQueue(std::string label, QoS qos) {
  return std::make_unique<Queue>(std::move(label), qos, true);
}

std::unique_ptr<Timer> RealDispatcher::makeTimer(DispatchQueue& queue, std::function<void()> handler) {
  return std::make_unique<RTimer>(queue, std::move(handler));
}

const Clock& RealDispatcher::clock() const { return realClock(); }

void RealDispatcher::runMainLoop() {
  std::shared_ptr<Core> core = main_->core();  // the loop may outlive the dispatcher's destruction
  core->run(nullptr, kForever);
}

bool RealDispatcher::runMainLoopUntil(const std::function<bool()>& done, double timeoutSeconds) {
  std::shared_ptr<Core> core = main_->core();
  double deadline = now() + (timeoutSeconds > 0 ? timeoutSeconds : 0);
  return core->run(&done, deadline);
}

void RealDispatcher::stopMainLoop() { main_->core()->requestStop(); }

}  // namespace corvane
