#include "base/virtual_dispatcher.h"

#include <cassert>
#include <vector>

namespace corvane {

struct VirtualDispatcher::Task {
  const Queue* queue;
  std::function<void()> work;
  std::shared_ptr<std::atomic<bool>> cancelled;
};

class VirtualDispatcher::Queue final : public DispatchQueue {
 public:
  Queue(VirtualDispatcher& owner, std::string label, QoS qos, bool isMain)
      : owner_(owner), label_(std::move(label)), qos_(qos), isMain_(isMain) {}
  ~Queue() override {
    if (!isMain_) owner_.dropQueue(this);
  }
  const std::string& label() const override { return label_; }
  QoS qos() const override { return qos_; }
  void async(std::function<void()> work) override { owner_.enqueue(this, owner_.mediaTime(), std::move(work)); }
  TaskHandle asyncAfter(double seconds, std::function<void()> work) override {
    if (!(seconds > 0)) seconds = 0;
    return owner_.enqueue(this, owner_.mediaTime() + seconds, std::move(work));
  }
  bool isCurrent() const override {
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    return owner_.running_ == this;
  }

 private:
  VirtualDispatcher& owner_;
  std::string label_;
  QoS qos_;
  bool isMain_;
};

class VirtualDispatcher::VTimer final : public Timer {
 public:
  VTimer(VirtualDispatcher& owner, DispatchQueue& queue, std::function<void()> handler)
      : owner_(owner), queue_(queue), state_(std::make_shared<State>()) {
    state_->handler = std::move(handler);
  }
  ~VTimer() override { cancel(); }

  void schedule(double delay, double interval, double /*leeway*/) override {
    cancel();
    state_->interval = interval;
    state_->scheduled = true;
    arm(owner_.mediaTime() + (delay > 0 ? delay : 0));
  }
  void cancel() override {
    state_->pending.cancel();
    state_->scheduled = false;
  }
  bool isScheduled() const override { return state_->scheduled; }

 private:
  struct State {
    std::function<void()> handler;
    double interval = 0;
    bool scheduled = false;
    TaskHandle pending;
  };

  void arm(double due) {
    std::weak_ptr<State> weak = state_;
    VTimer* self = this;
    double delay = due - owner_.mediaTime();
    state_->pending = queue_.asyncAfter(delay, [weak, self, due] {
      auto state = weak.lock();
      if (!state || !state->scheduled) return;
      // Arm the next fire before the handler runs, so the handler may cancel or reschedule it.
      if (state->interval > 0) {
        self->arm(due + state->interval);
      } else {
        state->scheduled = false;
      }
      auto handler = state->handler;  // the handler may destroy the timer
      handler();
    });
  }

  VirtualDispatcher& owner_;
  DispatchQueue& queue_;
  std::shared_ptr<State> state_;
};

VirtualDispatcher::VirtualDispatcher(double startMediaTime, double wallEpoch)
    : now_(startMediaTime), wallEpoch_(wallEpoch) {
  main_ = std::make_unique<Queue>(*this, "com.apple.main-thread", QoS::userInteractive, true);
}

VirtualDispatcher::~VirtualDispatcher() {
  // Dropped work is destroyed outside the lock: what it captures may own a queue, whose destructor
  // comes back here to drop that queue's work.
  decltype(tasks_) dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dropped.swap(tasks_);
  }
}

DispatchQueue& VirtualDispatcher::main() { return *main_; }

std::unique_ptr<DispatchQueue> VirtualDispatcher::makeSerialQueue(std::string label, QoS qos) {
  return std::make_unique<Queue>(*this, std::move(label), qos, false);
}

std::unique_ptr<Timer> VirtualDispatcher::makeTimer(DispatchQueue& queue, std::function<void()> handler) {
  return std::make_unique<VTimer>(*this, queue, std::move(handler));
}

double VirtualDispatcher::mediaTime() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return now_;
}

double VirtualDispatcher::wallTime() const { return wallEpoch_ + mediaTime(); }

TaskHandle VirtualDispatcher::enqueue(const Queue* queue, double due, std::function<void()> work) {
  auto task = std::make_shared<Task>();
  task->queue = queue;
  task->work = std::move(work);
  task->cancelled = std::make_shared<std::atomic<bool>>(false);
  TaskHandle handle(task->cancelled);
  std::lock_guard<std::mutex> lock(mutex_);
  if (due < now_) due = now_;
  tasks_.emplace(std::make_pair(due, nextSeq_++), std::move(task));
  return handle;
}

void VirtualDispatcher::dropQueue(const Queue* queue) {
  std::vector<std::shared_ptr<Task>> dropped;  // destroyed after the lock is released
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = tasks_.begin(); it != tasks_.end();) {
    if (it->second->queue == queue) {
      dropped.push_back(std::move(it->second));
      it = tasks_.erase(it);
    } else {
      ++it;
    }
  }
}

bool VirtualDispatcher::runOne(double limit) {
  std::vector<std::shared_ptr<Task>> skipped;  // cancelled work, destroyed after the lock is released
  std::shared_ptr<Task> task;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    while (!tasks_.empty()) {
      auto it = tasks_.begin();
      if (it->first.first > limit) return false;
      task = it->second;
      if (it->first.first > now_) now_ = it->first.first;
      tasks_.erase(it);
      if (!task->cancelled->load()) break;
      skipped.push_back(std::move(task));
    }
    if (!task) return false;
    running_ = task->queue;
  }
  task->work();
  std::lock_guard<std::mutex> lock(mutex_);
  running_ = nullptr;
  return true;
}

void VirtualDispatcher::advance(double seconds) { advanceTo(mediaTime() + (seconds > 0 ? seconds : 0)); }

void VirtualDispatcher::advanceTo(double target) {
  while (runOne(target)) {
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (target > now_) now_ = target;
}

void VirtualDispatcher::runUntilIdle() { advanceTo(mediaTime()); }

size_t VirtualDispatcher::pendingCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t n = 0;
  for (const auto& [key, task] : tasks_) {
    if (!task->cancelled->load()) ++n;
  }
  return n;
}

double VirtualDispatcher::nextDueTime() const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [key, task] : tasks_) {
    if (!task->cancelled->load()) return key.first;
  }
  return -1;
}

}  // namespace corvane
