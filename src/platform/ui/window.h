// Windows and panels of the program, shaped after the reference platform's.
//
// A Window is an object of the program (subclass it as the reference platform's windows are
// subclassed); the backend gives each one a peer in the window server at construction. The window
// server numbers it at once and lists it, with this process's pid and the window's level, in its
// window list; it starts off screen. Window-server state (frame, level, sharing type, alpha, order
// and visibility) changes synchronously; the content (the view tree and the window's background)
// is committed at the end of the current turn of the main queue, at UserInterface::flush() or at
// displayIfNeeded().
//
// Ordering follows the window server's rules: a window stays within its level's band. Ordering it
// above or below another window moves it next to that window only when both share a level;
// otherwise (and for relative window 0) it goes to the front (above) or back (below) of its own
// band. Changing the level puts the window at the front of the new level's band.
//
// Frames are in screen space (origin bottom-left of the main display, y up). Windows have no
// title-bar decoration in this port: the content view fills the frame.
//
// Threading: main thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "base/geometry.h"
#include "platform/screens.h"
#include "platform/ui/ui_types.h"
#include "platform/ui/view.h"

namespace corvane::ui {

class UserInterface;
class Window;

// The backend's side of one window.
class WindowPeer {
 public:
  // Destroying the peer takes the window out of the window server.
  virtual ~WindowPeer() = default;
  virtual int64_t windowNumber() const = 0;
  virtual void setFrame(const Rect& frame) = 0;
  virtual void setLevel(int64_t level) = 0;
  virtual void setSharingType(SharingType type) = 0;
  virtual void setAlphaValue(double alpha) = 0;
  // Above or below `relativeTo` (0: front or back of the band), or out of the screen.
  virtual void order(WindowOrderingMode mode, int64_t relativeTo) = 0;
  virtual bool isOnScreen() const = 0;
  // The window leaves the window server; the peer does nothing afterwards.
  virtual void close() = 0;
  // The content changed: commit it at the end of the current turn.
  virtual void setNeedsDisplay() = 0;
  // Commit the content now (after laying it out).
  virtual void display() = 0;
};

class Window {
 public:
  // The window with a content rectangle (screen space), style mask and backing store. `defer` is
  // accepted for the platform's shape; every window gets its number at once.
  Window(UserInterface& ui, const Rect& contentRect, uint64_t styleMask, BackingStoreType backing, bool defer);
  // Takes the window out of the window server.
  virtual ~Window();
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  UserInterface& ui() const { return ui_; }
  // The window server's number of this window; 0 once closed.
  int64_t windowNumber() const;
  uint64_t styleMask() const { return styleMask_; }
  BackingStoreType backingType() const { return backing_; }

  // ---- Window-server state -----------------------------------------------------------------
  int64_t level() const { return level_; }
  void setLevel(int64_t level);
  SharingType sharingType() const { return sharingType_; }
  void setSharingType(SharingType type);
  double alphaValue() const { return alpha_; }
  void setAlphaValue(double alpha);
  Rect frame() const { return frame_; }
  // `display` commits the content at once (after laying it out).
  void setFrame(const Rect& frame, bool display);
  // Gives the window server the frame last set again, for a window that something else moved
  // (frame() is the frame last set, not a reading of the window server).
  void reassertFrame();

  void order(WindowOrderingMode mode, int64_t relativeTo);
  void orderFront();
  // To the front of its band even when the application is not active.
  void orderFrontRegardless();
  virtual void orderOut();
  // Takes the window out of the window server for good; every later call does nothing.
  void close();
  bool isVisible() const;
  bool isClosed() const { return closed_; }
  // The screen that holds the largest part of the window; none when it is on no screen.
  std::optional<ScreenInfo> screen() const;
  // Lays the content out and commits it now.
  void displayIfNeeded();

  // ---- Behaviour ---------------------------------------------------------------------------
  uint64_t collectionBehavior() const { return collectionBehavior_; }
  void setCollectionBehavior(uint64_t behavior) { collectionBehavior_ = behavior; }
  bool isOpaque() const { return opaque_; }
  void setOpaque(bool opaque);
  Color backgroundColor() const { return backgroundColor_; }
  void setBackgroundColor(Color color);
  bool hasShadow() const { return hasShadow_; }
  void setHasShadow(bool shadow);
  // A window that ignores mouse events lets every click through to what lies below it.
  bool ignoresMouseEvents() const { return ignoresMouseEvents_; }
  void setIgnoresMouseEvents(bool ignores) { ignoresMouseEvents_ = ignores; }
  bool acceptsMouseMovedEvents() const { return acceptsMouseMovedEvents_; }
  void setAcceptsMouseMovedEvents(bool accepts) { acceptsMouseMovedEvents_ = accepts; }
  bool hidesOnDeactivate() const { return hidesOnDeactivate_; }
  void setHidesOnDeactivate(bool hides) { hidesOnDeactivate_ = hides; }
  // Titled windows can become key and main; subclasses decide otherwise.
  virtual bool canBecomeKey() const;
  virtual bool canBecomeMain() const;

  // ---- Content -----------------------------------------------------------------------------
  View* contentView() const { return contentView_.get(); }
  // Makes the view the window's content (it takes the window's size) and returns it.
  template <typename V>
  V& setContentView(std::unique_ptr<V> view) {
    V& content = *view;
    installContentView(std::move(view));
    return content;
  }

  Point convertPointToScreen(Point p) const;
  Point convertPointFromScreen(Point p) const;
  Rect convertRectToScreen(const Rect& r) const;
  Rect convertRectFromScreen(const Rect& r) const;

  // Called by the content's views when they change.
  void contentDidChange();

 private:
  void installContentView(std::unique_ptr<View> view);

  UserInterface& ui_;
  uint64_t styleMask_;
  BackingStoreType backing_;
  std::unique_ptr<WindowPeer> peer_;
  bool closed_ = false;
  Rect frame_;
  int64_t level_ = WindowLevel::normal;
  SharingType sharingType_ = SharingType::readOnly;
  double alpha_ = 1;
  uint64_t collectionBehavior_ = 0;
  bool opaque_ = true;
  Color backgroundColor_ = Color::calibratedWhite(0.93, 1);
  bool hasShadow_ = true;
  bool ignoresMouseEvents_ = false;
  bool acceptsMouseMovedEvents_ = false;
  bool hidesOnDeactivate_ = false;
  std::unique_ptr<View> contentView_;
};

// A panel: a window that may float, and that becomes key only when a control needs it.
class Panel : public Window {
 public:
  // Panels hide when the application is deactivated unless told otherwise.
  Panel(UserInterface& ui, const Rect& contentRect, uint64_t styleMask, BackingStoreType backing, bool defer);

  bool isFloatingPanel() const { return floatingPanel_; }
  // As on the reference platform, this also sets the level: floating (3) when true, normal (0)
  // when false.
  void setFloatingPanel(bool floating);
  bool becomesKeyOnlyIfNeeded() const { return becomesKeyOnlyIfNeeded_; }
  void setBecomesKeyOnlyIfNeeded(bool only) { becomesKeyOnlyIfNeeded_ = only; }
  // A panel never becomes the main window.
  bool canBecomeMain() const override { return false; }

 private:
  bool floatingPanel_ = false;
  bool becomesKeyOnlyIfNeeded_ = false;
};

}  // namespace corvane::ui
