#include "base/observable.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace corvane {
namespace {

using Log = std::vector<std::string>;

TEST(Signal, UnsubscribingInsideACallback) {
  Signal<int> signal;
  Log log;
  Subscription self, later;
  self = signal.subscribe([&](int) {
    log.push_back("self");
    self.cancel();  // ends the subscription that is running
  });
  Subscription killer = signal.subscribe([&](int) {
    log.push_back("killer");
    later.cancel();  // a subscriber after this one in the same emit
  });
  later = signal.subscribe([&](int) { log.push_back("later"); });
  signal.emit(1);
  signal.emit(2);
  EXPECT_EQ(log, (Log{"self", "killer", "killer"}));
  {
    Subscription moved = std::move(killer);  // the subscription travels with the handle
  }
  signal.emit(3);
  EXPECT_EQ(log.size(), 3u);
  EXPECT_EQ(signal.subscriberCount(), 0u);
}

TEST(Signal, SubscriberAddedDuringEmitWaitsForTheNextOne) {
  Signal<int> signal;
  std::vector<int> added;
  std::vector<Subscription> subscriptions;
  Subscription adder = signal.subscribe([&](int n) {
    if (n == 1) subscriptions.push_back(signal.subscribe([&](int m) { added.push_back(m); }));
  });
  signal.emit(1);
  EXPECT_TRUE(added.empty());
  signal.emit(2);
  EXPECT_EQ(added, std::vector<int>{2});
}

TEST(Signal, OwnerDestroyedByACallback) {
  auto signal = std::make_unique<Signal<int>>();
  int calls = 0;
  Subscription first = signal->subscribe([&](int) {
    ++calls;
    signal.reset();
  });
  Subscription second = signal->subscribe([&](int) { ++calls; });
  signal->emit(1);  // the emit finishes with the subscribers it started with
  EXPECT_EQ(calls, 2);
  first.cancel();  // harmless once the signal is gone
}

TEST(Observable, SubscribersSeeTheNewValueBeforeItIsStored) {
  Observable<std::string> value("old");
  Log seen;
  Subscription s = value.subscribe([&](const std::string& incoming) { seen.push_back(incoming + "/" + value.value()); });
  value.set("new");
  value.set("new");  // published again even when equal
  EXPECT_EQ(value.value(), "new");
  EXPECT_EQ(seen, (Log{"new/old", "new/new"}));
}

}  // namespace
}  // namespace corvane
