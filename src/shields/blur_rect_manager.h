// Frost over areas of the screen that the user draws.
//
// Tapping Command three times in quick succession (three lone presses within 0.55 s) enters draw
// mode: every display gets a transparent panel, a press starts a rectangle, the drag shows it as a
// frosted preview and letting go keeps it when it is at least 24 x 24 points. Draw mode stays on for
// the next rectangle until Command is tapped three times again or Escape is pressed. Tapping Control
// three times clears every rectangle, in draw mode or not. Shift held does not disturb either
// gesture; Command pressed with Control or Option counts for neither, and a key typed while a
// modifier is held (Command-Z three times) makes no tap at all.
//
// A rectangle is an ordinary frost window that the share records (the frost look of the window
// frost, with its strength floor), above every application window, on every space. It stays until
// the user removes it (its close button, shown while the pointer is over it outside draw mode, or a
// double-click) or clears all. Rectangles live in memory only, and do not depend on Privacy Mode.
//
// The manager hears the keyboard and the pointer through the application's event monitors: global
// ones for events aimed at other applications, local ones for those aimed at its own panels. The
// window server gives a press to the rectangles (level 1001) before the draw panels (level 1000),
// so a press inside a rectangle is the rectangle's (a double-click removes it) and any other press
// on a draw panel draws.
//
// Threading: main thread. Monitors hold the manager through a liveness token.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/geometry.h"
#include "platform/input.h"
#include "shields/blur_rect_windows.h"

namespace corvane {

struct StoredRect {
  std::string id;  // a random UUID
  Rect frame;      // screen space
};

class BlurRectManager {
 public:
  static constexpr double tripleTapWindow = 0.55;
  static constexpr double minRectSize = 24;
  static constexpr uint64_t flagsChangedMask = 0x1000;
  static constexpr uint64_t keyDownMask = 0x400;
  // Left and right mouse down, mouse moved.
  static constexpr uint64_t hoverMask = 0x2A;
  // Left mouse down, up and dragged: what the panels' own views take.
  static constexpr uint64_t drawMask = 0x46;

  // The user interface and the input outlive the manager.
  BlurRectManager(ui::UserInterface& ui, Input& input, const Clock& clock);
  ~BlurRectManager();
  BlurRectManager(const BlurRectManager&) = delete;
  BlurRectManager& operator=(const BlurRectManager&) = delete;

  // Installs the monitors; once (a second call does nothing).
  void start();

  // The frost appearance; applyAppearance() hands it to the preview and every rectangle.
  double tintAlpha() const { return tintAlpha_; }
  void setTintAlpha(double alpha) { tintAlpha_ = alpha; }
  double blurIntensity() const { return blurIntensity_; }
  void setBlurIntensity(double strength) { blurIntensity_ = strength; }
  void applyAppearance();

  const std::vector<StoredRect>& rects() const { return rects_; }
  bool isDrawMode() const { return isDrawMode_; }
  bool isDrawing() const { return isDrawing_; }
  // Called after draw mode or the set of rectangles changed.
  std::function<void()> onChange;

  void enterDrawMode();
  // Nothing unless in draw mode.
  void leaveDrawMode();
  // Ends a drag in progress and removes every rectangle; draw mode stays as it is.
  void clearAll();
  // A rectangle at `frame` (screen space), kept as it is (the 24-point minimum is the drawing's).
  void addRect(const Rect& frame);
  void removeRect(std::string id);

  // The windows, for looking at them.
  BlurRectWindow* window(const std::string& id) const;
  BlurRectWindow* previewWindow() const { return previewWindow_.get(); }
  size_t drawOverlayCount() const { return drawOverlayWindows_.size(); }

  // Appends the press at `t` (seconds); keeps the last three. True, and the list emptied, when the
  // three lie within `tripleTapWindow`.
  static bool registerTripleTap(std::vector<double>& times, double t);
  // The rectangle spanned by two points.
  static Rect spannedRect(Point a, Point b);

 private:
  struct RectWindow {
    std::string id;
    std::unique_ptr<BlurRectWindow> window;
  };

  double eventTime(const InputEvent& event) const;
  void handleFlagsChanged(const InputEvent& event);
  void handleKeyDown(const InputEvent& event);
  void handlePointer(const InputEvent& event);
  void showDrawOverlays();
  void hideDrawOverlays();
  void hideAllRemoveControls();
  void restoreRemoveControls();
  void updateHoverStates();
  void showPreview(const Rect& frame);
  void updatePreview(Point from, Point to);
  void finishDrawing(Point from, Point to);
  void dropPreview();
  std::unique_ptr<BlurRectWindow> makeWindow(const Rect& frame, bool showsRemoveControl);
  void changed();

  ui::UserInterface& ui_;
  Input& input_;
  const Clock& clock_;
  std::vector<StoredRect> rects_;
  std::vector<RectWindow> windows_;  // in creation order, like rects_
  std::unique_ptr<BlurRectWindow> previewWindow_;
  std::vector<std::unique_ptr<DrawModeOverlayWindow>> drawOverlayWindows_;
  std::unique_ptr<EventMonitor> globalFlagsMonitor_, localFlagsMonitor_;
  std::unique_ptr<EventMonitor> globalKeyMonitor_, localKeyMonitor_;
  std::unique_ptr<EventMonitor> hoverGlobalMonitor_, hoverLocalMonitor_;
  std::unique_ptr<EventMonitor> drawLocalMonitor_;
  bool started_ = false;
  std::optional<Point> drawStart_;
  bool isDrawing_ = false;
  bool isDrawMode_ = false;
  bool commandWasDown_ = false;
  bool controlWasDown_ = false;
  std::vector<double> commandTapTimes_;
  std::vector<double> controlTapTimes_;
  double tintAlpha_ = 0.3;
  double blurIntensity_ = 0.5;
  // Last: every monitor checks it.
  std::shared_ptr<BlurRectManager*> alive_;
};

}  // namespace corvane
