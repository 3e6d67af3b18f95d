#include "app/hot_key_manager.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "base/virtual_dispatcher.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_input.h"

namespace corvane {
namespace {

constexpr uint32_t kCmdOptCtrl = HotKeyModifier::command | HotKeyModifier::option | HotKeyModifier::control;

// The hot key service alone, so that tests can hand the manager's event handler any event, also
// ones the service would not produce.
class ScriptedHotKeyInput final : public Input {
 public:
  struct Registration {
    uint32_t keyCode;
    uint32_t modifiers;
    EventHotKeyID id;
  };
  std::vector<EventTypeSpec> kinds;
  HotKeyHandler handler;
  std::vector<Registration> registrations;
  bool refuseRegistrations = false;
  bool handlerRemoved = false;

  class Token final : public EventHandlerRegistration {
   public:
    explicit Token(bool& removed) : removed_(removed) {}
    ~Token() override { removed_ = true; }

   private:
    bool& removed_;
  };
  class Key final : public HotKeyRegistration {};

  std::unique_ptr<EventMonitor> addGlobalMonitor(uint64_t, MonitorHandler) override { return nullptr; }
  std::unique_ptr<EventMonitor> addLocalMonitor(uint64_t, LocalMonitorHandler) override { return nullptr; }
  Point mouseLocation() override { return {}; }
  bool preflightListenEventAccess() override { return false; }
  bool requestListenEventAccess() override { return false; }
  std::unique_ptr<EventTap> createEventTap(uint32_t, uint32_t, uint32_t, uint64_t, TapCallback) override {
    return nullptr;
  }
  std::unique_ptr<EventHandlerRegistration> installEventHandler(std::vector<EventTypeSpec> k, HotKeyHandler h) override {
    kinds = std::move(k);
    handler = std::move(h);
    return std::make_unique<Token>(handlerRemoved);
  }
  std::unique_ptr<HotKeyRegistration> registerEventHotKey(uint32_t keyCode, uint32_t modifiers, EventHotKeyID id) override {
    registrations.push_back({keyCode, modifiers, id});
    if (refuseRegistrations) return nullptr;
    return std::make_unique<Key>();
  }

  int32_t deliver(uint32_t kind, std::optional<EventHotKeyID> id) {
    HotKeyEvent event;
    event.kind = kind;
    event.directObject = id;
    return handler(&event);
  }
};

using Calls = std::vector<std::pair<int, bool>>;  // which handler, pressed

TEST(HotKeyManagerTest, InstallsOneHandlerForPressAndReleaseAndRemovesItWithTheManager) {
  ScriptedHotKeyInput input;
  {
    HotKeyManager manager(input);
    ASSERT_EQ(input.kinds.size(), 2u);
    EXPECT_EQ(input.kinds[0].eventClass, fourCharCode("keyb"));
    EXPECT_EQ(input.kinds[0].eventKind, 5u);
    EXPECT_EQ(input.kinds[1].eventClass, fourCharCode("keyb"));
    EXPECT_EQ(input.kinds[1].eventKind, 6u);
    EXPECT_FALSE(input.handlerRemoved);
  }
  EXPECT_TRUE(input.handlerRemoved);
}

TEST(HotKeyManagerTest, IdsCountFromOneAndEveryRegistrationIsKept) {
  ScriptedHotKeyInput input;
  HotKeyManager manager(input);
  EXPECT_EQ(manager.registerHotKey({KeyCode::b, kCmdOptCtrl}, [](bool) {}), 1u);
  EXPECT_EQ(manager.registerHotKey({KeyCode::p, kCmdOptCtrl}, [](bool) {}), 2u);
  // The same combination again is a registration of its own.
  EXPECT_EQ(manager.registerHotKey({KeyCode::p, kCmdOptCtrl}, [](bool) {}), 3u);
  // A refused one still uses up its id and its place in the list.
  input.refuseRegistrations = true;
  EXPECT_EQ(manager.registerHotKey({KeyCode::r, kCmdOptCtrl}, [](bool) {}), 4u);
  EXPECT_EQ(manager.registrationCount(), 4u);

  ASSERT_EQ(input.registrations.size(), 4u);
  for (size_t i = 0; i < input.registrations.size(); ++i) {
    EXPECT_EQ(input.registrations[i].id.id, i + 1);
    EXPECT_EQ(input.registrations[i].id.signature, HotKeyManager::kSignature);
    EXPECT_EQ(input.registrations[i].modifiers, kCmdOptCtrl);
  }
  EXPECT_EQ(input.registrations[2].keyCode, KeyCode::p);
}

TEST(HotKeyManagerTest, EventsReachTheHandlerOfTheirIdOnly) {
  ScriptedHotKeyInput input;
  HotKeyManager manager(input);
  Calls calls;
  manager.registerHotKey({KeyCode::b, kCmdOptCtrl}, [&](bool pressed) { calls.emplace_back(1, pressed); });
  manager.registerHotKey({KeyCode::p, kCmdOptCtrl}, [&](bool pressed) { calls.emplace_back(2, pressed); });

  EXPECT_EQ(input.deliver(HotKeyEventKind::pressed, EventHotKeyID{HotKeyManager::kSignature, 2}), 0);
  EXPECT_EQ(input.deliver(HotKeyEventKind::released, EventHotKeyID{HotKeyManager::kSignature, 2}), 0);
  // The signature is not compared.
  input.deliver(HotKeyEventKind::pressed, EventHotKeyID{fourCharCode("othr"), 1});
  EXPECT_EQ(calls, (Calls{{2, true}, {2, false}, {1, true}}));

  // No handler under that id, no parameter (id 0), no event at all: nothing, and no error.
  calls.clear();
  EXPECT_EQ(input.deliver(HotKeyEventKind::pressed, EventHotKeyID{HotKeyManager::kSignature, 9}), 0);
  EXPECT_EQ(input.deliver(HotKeyEventKind::pressed, std::nullopt), 0);
  EXPECT_EQ(input.handler(nullptr), 0);
  EXPECT_TRUE(calls.empty());
}

TEST(HotKeyManagerTest, HandlerMayRegisterFurtherHotKeys) {
  ScriptedHotKeyInput input;
  HotKeyManager manager(input);
  Calls calls;
  manager.registerHotKey({KeyCode::b, kCmdOptCtrl}, [&](bool pressed) {
    calls.emplace_back(1, pressed);
    for (int i = 0; i < 20; ++i) manager.registerHotKey({KeyCode::a, kCmdOptCtrl}, [&](bool p) { calls.emplace_back(2, p); });
  });
  input.deliver(HotKeyEventKind::pressed, EventHotKeyID{HotKeyManager::kSignature, 1});
  input.deliver(HotKeyEventKind::pressed, EventHotKeyID{HotKeyManager::kSignature, 21});
  EXPECT_EQ(calls, (Calls{{1, true}, {2, true}}));
}

// ---- On the simulated desktop ----------------------------------------------------------------

class HotKeyManagerSimTest : public ::testing::Test {
 protected:
  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop{dispatcher};
  sim::SimInput& input = desktop.input();
};

TEST_F(HotKeyManagerSimTest, PressAndReleaseOfEachCombination) {
  HotKeyManager manager(input);
  Calls calls;
  const int keys[] = {KeyCode::b, KeyCode::p, KeyCode::r};
  for (int i = 0; i < 3; ++i) {
    manager.registerHotKey({uint32_t(keys[i]), kCmdOptCtrl}, [&calls, i](bool pressed) { calls.emplace_back(i, pressed); });
  }
  for (int key : keys) {
    input.hotKey(uint32_t(key), kCmdOptCtrl, true);
    input.hotKey(uint32_t(key), kCmdOptCtrl, false);
  }
  input.hotKey(KeyCode::b, HotKeyModifier::command, true);  // not a registered combination
  dispatcher.runUntilIdle();
  EXPECT_EQ(calls, (Calls{{0, true}, {0, false}, {1, true}, {1, false}, {2, true}, {2, false}}));
}

TEST_F(HotKeyManagerSimTest, CombinationHeldElsewhereGetsAnIdButNeverFires) {
  input.reserveHotKeyElsewhere(KeyCode::r, kCmdOptCtrl);
  HotKeyManager manager(input);
  int calls = 0;
  EXPECT_EQ(manager.registerHotKey({KeyCode::r, kCmdOptCtrl}, [&](bool) { ++calls; }), 1u);
  EXPECT_EQ(manager.registerHotKey({KeyCode::b, kCmdOptCtrl}, [&](bool) { ++calls; }), 2u);
  EXPECT_EQ(manager.registrationCount(), 2u);
  input.hotKey(KeyCode::r, kCmdOptCtrl, true);
  dispatcher.runUntilIdle();
  EXPECT_EQ(calls, 0);
}

TEST_F(HotKeyManagerSimTest, EventOnItsWayWhenTheManagerGoesIsDropped) {
  int calls = 0;
  auto manager = std::make_unique<HotKeyManager>(input);
  manager->registerHotKey({KeyCode::b, kCmdOptCtrl}, [&](bool) { ++calls; });
  input.hotKey(KeyCode::b, kCmdOptCtrl, true);
  manager.reset();
  dispatcher.runUntilIdle();
  EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace corvane
