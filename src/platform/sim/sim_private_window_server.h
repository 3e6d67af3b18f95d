// The simulated desktop's private window-server entry points.
//
// Every entry point is present until a test removes it, so each caller's fallback can be
// exercised. What they do:
// - mainConnectionID(): the program's own connection. newConnection(): a further connection, or
//   the status set with setNewConnectionStatus() (and no connection) when that is not 0.
// - getWindowBounds(): on the main connection or one that newConnection() made, the window's
//   bounds in window-server space, as they were the desktop's motion().boundsLatency ago (live by
//   default); an unknown connection gives 1002, an unknown window 1001.
// - moveWindow(): on the main connection only (1002 otherwise), puts the window's top-left corner
//   at the point; an unknown window gives 1001. The simulated window server does not check that
//   the window belongs to the program, since its helper roles may run in-process under other
//   pids.
// - setWindowTags(): on the main connection, with a 64-bit tag word: the capture-exclusion bit
//   keeps the window out of every capture (the share view, window images) and reports 0, unless
//   the test (or the desktop description, for every window) refused exclusion for that window
//   (1000, nothing changes). Other bits are accepted
//   and ignored.
// - isScreenWatcherPresent(): the flag a test sets (a screen share or recording in progress).
// - registerConnectionNotifyProc(): on the main connection or one that newConnection() made (1002
//   otherwise). The desktop reports every change of a window that can uncover what lay behind it
//   (windowChanged()): closed, also with its application; moved; resized; minimised, hidden or
//   ordered out; raised, lowered, brought back on screen or given another level; made more or less
//   opaque; given another sharing type. Each notice reaches the registered procs on the main queue,
//   at the same virtual instant, on a later turn than the change: the share view sampled after
//   that instant has seen what they did. Changes that the caller's own windows go through are
//   reported too.
//
// Threading: any thread; its own state has a mutex of its own, and the world is reached through
// SimDesktop's locked calls. Registering, dropping a registration and the delivery happen on the
// main thread (the thread that drives the virtual dispatcher).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "platform/window_server_private.h"

namespace corvane::sim {

class SimDesktop;

class SimPrivateWindowServer final : public WindowServerPrivate {
 public:
  static constexpr WindowServerConnection kMainConnection = 0x6203;

  // What a desktop description sets (its "windowServer" member).
  struct Settings {
    bool screenWatcher = false;
    std::set<PrivateEntryPoint> missing;
    // Every capture exclusion is refused (status 1000), as on a window server that no longer
    // honours the tag.
    bool refuseCaptureExclusion = false;
  };

  explicit SimPrivateWindowServer(SimDesktop& desktop);
  SimPrivateWindowServer(const SimPrivateWindowServer&) = delete;
  SimPrivateWindowServer& operator=(const SimPrivateWindowServer&) = delete;

  // ---- Test controls -------------------------------------------------------------------------
  // A removed entry point answers has() with false and every call with nothing.
  void removeEntryPoint(PrivateEntryPoint entryPoint);
  void restoreEntryPoint(PrivateEntryPoint entryPoint);
  void removeAllEntryPoints();
  void setScreenWatcherPresent(bool present);
  bool screenWatcherPresent() const;
  void setNewConnectionStatus(WindowServerStatus status);
  void refuseCaptureExclusion(WindowID window, bool refuse);
  // Calls made to the entry point so far (also while it is removed).
  uint64_t callCount(PrivateEntryPoint entryPoint) const;
  // Notify procs registered and not yet dropped.
  int registeredNotifyProcs() const;
  // Back to a fresh window server with the given settings: counters, refusals and connections
  // made so far are forgotten.
  void reset();
  void reset(const Settings& settings);

  // ---- For the desktop -------------------------------------------------------------------------
  // A window changed (see registerConnectionNotifyProc above): posts the notice to the main queue
  // when some proc is registered. Never call it with the desktop's lock held.
  void windowChanged(const WindowNotice& notice);

  // Reads the "windowServer" member of a desktop description, if any. False with a message
  // naming the element on an error.
  static bool parse(const nlohmann::json& description, Settings& settings, std::string& error);

  // ---- WindowServerPrivate -----------------------------------------------------------------------
  bool has(PrivateEntryPoint entryPoint) override;
  std::optional<WindowServerConnection> mainConnectionID() override;
  std::optional<NewConnection> newConnection() override;
  std::optional<WindowBounds> getWindowBounds(WindowServerConnection connection, WindowID window) override;
  std::optional<WindowServerStatus> moveWindow(WindowServerConnection connection, WindowID window,
                                               Point topLeft) override;
  std::optional<WindowServerStatus> setWindowTags(WindowServerConnection connection, WindowID window, uint64_t tags,
                                                  int32_t tagBits) override;
  std::optional<bool> isScreenWatcherPresent() override;
  std::optional<NotifyRegistration> registerConnectionNotifyProc(WindowServerConnection connection,
                                                                 NotifyProc proc) override;

 private:
  // Counts the call; false when the entry point is removed.
  bool enter(PrivateEntryPoint entryPoint);

  SimDesktop& desktop_;
  mutable std::mutex mutex_;
  std::set<PrivateEntryPoint> missing_;
  bool screenWatcher_ = false;
  WindowServerStatus newConnectionStatus_ = WindowServerError::success;
  WindowServerConnection nextConnection_ = kMainConnection + 1;
  std::set<WindowServerConnection> queryConnections_;
  std::set<WindowID> refused_;
  bool refuseAll_ = false;
  std::map<PrivateEntryPoint, uint64_t> calls_;
  // The registered procs; queued deliveries hold it weakly, so none runs once the server is gone.
  std::shared_ptr<Signal<WindowNotice>> notices_ = std::make_shared<Signal<WindowNotice>>();
  std::shared_ptr<std::atomic<int>> registered_ = std::make_shared<std::atomic<int>>(0);
};

}  // namespace corvane::sim
