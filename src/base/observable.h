// Observable values and signals.
//
// A Signal<Args...> calls its subscribers synchronously, in subscription order. A subscription ends
// when its Subscription handle is destroyed or cancelled (also from inside a callback, also the
// callback that is running). Subscribers added during an emit are not called by that emit.
//
// Observable<T> holds a value and publishes each new value *before* storing it, as the settings
// store's properties do: subscribers see the incoming value while value() still reads the old one.
//
// Threading: a signal and its subscribers belong to one thread (the main thread for application
// state). To deliver on another queue, subscribe with a callback that posts there.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace corvane {

class Subscription {
 public:
  Subscription() = default;
  explicit Subscription(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
  Subscription(Subscription&& other) noexcept : cancel_(std::exchange(other.cancel_, nullptr)) {}
  Subscription& operator=(Subscription&& other) noexcept {
    if (this != &other) {
      cancel();
      cancel_ = std::exchange(other.cancel_, nullptr);
    }
    return *this;
  }
  Subscription(const Subscription&) = delete;
  Subscription& operator=(const Subscription&) = delete;
  ~Subscription() { cancel(); }

  void cancel() {
    if (cancel_) std::exchange(cancel_, nullptr)();
  }
  bool isActive() const { return cancel_ != nullptr; }

 private:
  std::function<void()> cancel_;
};

template <typename... Args>
class Signal {
 public:
  using Callback = std::function<void(const Args&...)>;

  Signal() : state_(std::make_shared<State>()) {}
  Signal(const Signal&) = delete;
  Signal& operator=(const Signal&) = delete;

  [[nodiscard]] Subscription subscribe(Callback callback) {
    uint64_t id = state_->nextId++;
    state_->slots.push_back(std::make_shared<Slot>(Slot{id, std::move(callback), true}));
    std::weak_ptr<State> weak = state_;
    return Subscription([weak, id] {
      if (auto state = weak.lock()) {
        for (auto it = state->slots.begin(); it != state->slots.end(); ++it) {
          if ((*it)->id == id) {
            (*it)->active = false;
            state->slots.erase(it);
            break;
          }
        }
      }
    });
  }

  void emit(const Args&... args) {
    auto state = state_;  // the signal's owner may be destroyed by a callback
    auto snapshot = state->slots;
    for (const auto& slot : snapshot) {
      if (slot->active) slot->callback(args...);
    }
  }

  size_t subscriberCount() const { return state_->slots.size(); }

 private:
  struct Slot {
    uint64_t id;
    Callback callback;
    bool active;
  };
  struct State {
    uint64_t nextId = 0;
    std::vector<std::shared_ptr<Slot>> slots;
  };
  std::shared_ptr<State> state_;
};

template <typename T>
class Observable {
 public:
  explicit Observable(T initial = T{}) : value_(std::move(initial)) {}
  Observable(const Observable&) = delete;
  Observable& operator=(const Observable&) = delete;

  const T& value() const { return value_; }
  // Publishes the new value to subscribers, then stores it. Publishes even when equal, as a
  // property's publisher does on every assignment.
  void set(T newValue) {
    willChange_.emit(newValue);
    value_ = std::move(newValue);
  }
  // Subscribers receive the value about to be stored.
  [[nodiscard]] Subscription subscribe(std::function<void(const T&)> callback) {
    return willChange_.subscribe(std::move(callback));
  }

 private:
  T value_;
  Signal<T> willChange_;
};

}  // namespace corvane
