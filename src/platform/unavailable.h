// Stand-ins for optional facilities a platform lacks, so that the core takes its fallbacks
// without checking for null: input that grants nothing (no monitors, taps or hot keys), and a user
// interface whose windows never reach a screen (no overlays are ever seen) and that has no menu bar.
//
// Threading: main thread.
#pragma once

#include <memory>

#include "platform/input.h"
#include "platform/ui/user_interface.h"

namespace corvane {

class UnavailableInput final : public Input {
 public:
  std::unique_ptr<EventMonitor> addGlobalMonitor(uint64_t, MonitorHandler) override { return nullptr; }
  std::unique_ptr<EventMonitor> addLocalMonitor(uint64_t, LocalMonitorHandler) override { return nullptr; }
  Point mouseLocation() override { return {}; }
  bool preflightListenEventAccess() override { return false; }
  bool requestListenEventAccess() override { return false; }
  std::unique_ptr<EventTap> createEventTap(uint32_t, uint32_t, uint32_t, uint64_t, TapCallback) override {
    return nullptr;
  }
  std::unique_ptr<EventHandlerRegistration> installEventHandler(std::vector<EventTypeSpec>, HotKeyHandler) override {
    return nullptr;
  }
  std::unique_ptr<HotKeyRegistration> registerEventHotKey(uint32_t, uint32_t, EventHotKeyID) override {
    return nullptr;
  }
};

class UnavailableUserInterface final : public ui::UserInterface {
 public:
  explicit UnavailableUserInterface(Dispatcher& dispatcher) : dispatcher_(dispatcher) {}
  std::unique_ptr<ui::WindowPeer> makeWindowPeer(ui::Window& window, const Rect& contentRect) override;
  Point mouseLocation() override { return {}; }
  Size measureText(std::string_view text, const ui::Font& font) override;
  void flush() override {}
  std::vector<ScreenInfo> screens() override { return {}; }
  Dispatcher& dispatcher() override { return dispatcher_; }

 private:
  Dispatcher& dispatcher_;
};

}  // namespace corvane
