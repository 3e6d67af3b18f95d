// The windows-and-views port: what the backend provides for the program's own windows (window
// peers in the window server, text measurement, the mouse location, the transaction flush), plus
// the animation groups that every backend shares.
//
// Threading: main thread. Windows and views are objects of the program (see window.h, view.h).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/dispatch.h"
#include "base/geometry.h"
#include "platform/screens.h"
#include "platform/ui/animation.h"
#include "platform/ui/form_window.h"
#include "platform/ui/image.h"
#include "platform/ui/menu.h"
#include "platform/ui/ui_types.h"

namespace corvane::ui {

class Window;
class WindowPeer;

// A modal informational alert: a message, a line or two below it, and its buttons (the first is the
// default one).
struct Alert {
  std::string messageText;
  std::string informativeText;
  std::vector<std::string> buttons;
};

class UserInterface {
 public:
  virtual ~UserInterface() = default;

  // A new window in the window server for `window` (owned by this process, at the window's level,
  // off screen, at `contentRect` in screen space).
  virtual std::unique_ptr<WindowPeer> makeWindowPeer(Window& window, const Rect& contentRect) = 0;
  // The mouse pointer's location in screen space.
  virtual Point mouseLocation() = 0;
  // The size a single line of text takes in the font.
  virtual Size measureText(std::string_view text, const Font& font) = 0;
  // Commits every pending change of every window now, instead of at the end of the turn.
  virtual void flush() = 0;
  virtual std::vector<ScreenInfo> screens() = 0;
  virtual Dispatcher& dispatcher() = 0;

  // A new item in the system menu bar (see menu.h); none where the platform has no menu bar.
  virtual std::unique_ptr<StatusItem> makeStatusItem(double length);
  // An image of the application's own assets by name; none when the asset is missing.
  virtual std::optional<Image> assetImage(const std::string& name);
  // Whether the system offers the symbol image of that name.
  virtual bool hasSystemSymbol(const std::string& name);
  // Shows the alert and waits for the user: the index of the button chosen; none where the platform
  // cannot show one.
  virtual std::optional<int> runModalAlert(const Alert& alert);
  // A new, hidden form window (see form_window.h); none where the platform cannot show one.
  virtual std::unique_ptr<FormWindow> makeFormWindow(const FormWindowStyle& style);

  // The application's main menu (the edit menu that text fields need lives there); none at first.
  std::shared_ptr<Menu> mainMenu() const { return mainMenu_; }
  void setMainMenu(std::shared_ptr<Menu> menu) { mainMenu_ = std::move(menu); }

  // The main screen (the first); none when there is no screen.
  std::optional<ScreenInfo> mainScreen();
  // The screen that holds the largest part of `frame`; none when it meets no screen.
  std::optional<ScreenInfo> screen(const Rect& frame);

  // Runs `changes` with a fresh context (begin time: now). Properties set through the context's
  // animators animate; `completion` runs on the main queue once the context's duration has passed.
  void runAnimationGroup(const std::function<void(AnimationContext&)>& changes,
                         std::function<void()> completion = {});

 private:
  std::shared_ptr<Menu> mainMenu_;
};

}  // namespace corvane::ui
