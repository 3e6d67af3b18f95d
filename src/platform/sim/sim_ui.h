// The windows-and-views port on the simulated desktop.
//
// The program's windows are real windows of the simulated world: each gets its number from the
// world, belongs to the self application's pid, keeps its level, frame, alpha, sharing type and
// place in the stacking order there (so window-list readers, the share view and the leak probe see
// it like any other window), and its committed content is drawn by the desktop's renderer.
// Commits happen at the end of the current turn of the main queue (a task queued on the
// dispatcher's main queue), at flush() and at displayIfNeeded().
//
// The mouse is wherever setMouseLocation put it; click() delivers a left click as the window server
// would. Text is measured with the built-in bitmap font's metrics (sim_font.h).
//
// Status items are drawn in the main display's menu bar (sim_menu_bar.h); the simulated desktop
// knows the "eye" system symbols and has no asset images. A script opens a status item's menu
// (its menuWillOpen runs first), looks at it, and chooses an item by title as the user would.
//
// SimDesktop::load replaces the whole world, the program's windows included: load first, then make
// windows.
//
// Threading: main thread (the thread that drives the virtual dispatcher).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/sim_menu_bar.h"
#include "platform/ui.h"
#include "platform/window_server.h"

namespace corvane::sim {

class SimDesktop;
class SimFormWindow;

class SimUI final : public ui::UserInterface {
 public:
  explicit SimUI(SimDesktop& desktop);
  ~SimUI() override;
  SimUI(const SimUI&) = delete;
  SimUI& operator=(const SimUI&) = delete;

  std::unique_ptr<ui::WindowPeer> makeWindowPeer(ui::Window& window, const Rect& contentRect) override;
  Point mouseLocation() override;
  Size measureText(std::string_view text, const ui::Font& font) override;
  void flush() override;
  std::vector<ScreenInfo> screens() override;
  Dispatcher& dispatcher() override;
  std::unique_ptr<ui::StatusItem> makeStatusItem(double length) override;
  bool hasSystemSymbol(const std::string& name) override;
  // The user reads the alert and presses its first button at once; the alert is recorded.
  std::optional<int> runModalAlert(const ui::Alert& alert) override;
  std::vector<ui::Alert> alertsShown() const { return alerts_; }
  // Form windows are drawn plainly with the built-in font (sim_form_window.h).
  std::unique_ptr<ui::FormWindow> makeFormWindow(const ui::FormWindowStyle& style) override;
  // The form windows that exist, in creation order.
  std::vector<SimFormWindow*> formWindows() const;

  // ---- Status items and their menus --------------------------------------------------------
  size_t statusItemCount() const;
  // What status item `index` (in creation order) shows; none when there is no such item.
  std::optional<StatusItemLook> statusItem(size_t index = 0) const;
  // The user clicks the status item: its menu's menuWillOpen runs, then the menu is open. False
  // when there is no such visible item or it has no menu.
  bool openStatusMenu(size_t index = 0);
  void closeStatusMenu();
  // The open menu; null when none is open.
  std::shared_ptr<ui::Menu> openMenu() const;
  enum class Choice { chosen, noOpenMenu, noSuchItem, disabled };
  // The user chooses the first item of the open menu with this title: the menu closes, then the
  // item's action runs. A disabled item (or a separator) leaves the menu open and does nothing.
  Choice chooseMenuItem(const std::string& title);

  void setMouseLocation(Point location);
  // The program's window with this number; null when there is none.
  ui::Window* window(WindowID number) const;

  struct Click {
    WindowID window = 0;               // the window that takes the click; 0: the desktop
    ui::Window* ownWindow = nullptr;   // that window, when it is one of the program's
    ui::View* view = nullptr;          // the view its hit test names (may be null)
    bool performed = false;            // a button performed its action
  };
  // Where a left click at `point` (screen space) lands, without acting on it: the frontmost
  // on-screen window under the point, passing over the program's windows that ignore mouse events.
  Click hitTest(Point point);
  // Moves the mouse there and clicks: a button that the click reaches performs its action when it
  // accepts the first mouse (the program's windows here never become key).
  Click click(Point point);

  struct State;

 private:
  std::shared_ptr<State> state_;
  std::vector<ui::Alert> alerts_;
};

}  // namespace corvane::sim
