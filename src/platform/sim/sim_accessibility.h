// The simulated desktop's accessibility: element trees per application and per window, the trust
// switch, "AXManualAccessibility", observers, and counters of attribute reads.
//
// Every application has an application element ("AXApplication", titled with its name) whose
// "AXWindows" lists an element for each of its windows (front to back) and whose "AXChildren" are
// its own elements (a menu bar, say) followed by those windows. A window element has role
// "AXWindow", the window's title, its live position and size, its window number, and the children
// described for it. Positions and sizes are in window-server space (origin top-left, y down), as
// on the platform. Child elements are described relative to their window's top-left corner, so a
// tree moves with its window.
//
// Applications built on embedded web engines (SimAXApp::needsManualAccessibility) publish the
// contents of their windows only once "AXManualAccessibility" was set to true on their
// application element; until then windows have no children.
//
// Observers registered for "AXWindowCreated" or "AXTitleChanged" on an application element hear
// about a new window of that application and a change of its windows' titles; registered on a
// window element, about that window's title. Notifications are delivered on the main queue of the
// desktop's dispatcher while the observer is attached to the main run loop.
//
// Without trust (setTrusted(false)) every read reports nothing, every write fails with
// apiDisabled and no observer can be made. The desktop starts out trusted.
//
// Threading: the port is used on the main thread; tests drive it from the same thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "base/geometry.h"
#include "base/virtual_dispatcher.h"
#include "platform/accessibility.h"
#include "platform/window_server.h"

namespace corvane::sim {

class SimDesktop;
struct World;

// One element below a window (or an application's own element).
struct SimAXElement {
  std::optional<std::string> role;  // absent: no "AXRole"
  std::optional<std::string> title;
  std::optional<std::string> description;
  std::optional<std::string> help;
  std::optional<std::string> identifier;
  // Relative to the window's top-left corner (window-server orientation); for an application's own
  // elements, in window-server space. Absent: no "AXPosition" and "AXSize".
  std::optional<Rect> frame;
  std::vector<SimAXElement> children;
  // Attributes answered with a value of the wrong type: a number for the texts, text for the
  // position, size, children and window number.
  std::vector<std::string> wrongTypeAttributes;
};

// How a window appears to accessibility.
struct SimAXWindow {
  bool listed = true;  // false: missing from the application's "AXWindows"
  std::string role = "AXWindow";
  std::optional<std::string> title;  // absent: the window's own title, when the list has it as text
  bool publishesWindowNumber = true;  // false: no "AXWindowNumber"
  std::optional<Rect> frame;          // window-server space; absent: the window's bounds
  std::vector<SimAXElement> children;
  std::vector<std::string> wrongTypeAttributes;
};

struct SimAXApp {
  bool needsManualAccessibility = false;
  std::vector<SimAXElement> children;  // in "AXChildren" before the windows
};

class SimAccessibility final : public Accessibility {
 public:
  // What a desktop file's "accessibility" member describes (see scenarios/README.md).
  struct Description {
    bool trusted = true;
    std::map<pid_t, SimAXApp> apps;
    std::map<WindowID, SimAXWindow> windows;
  };

  SimAccessibility(SimDesktop& desktop, VirtualDispatcher& dispatcher);
  ~SimAccessibility() override;
  SimAccessibility(const SimAccessibility&) = delete;
  SimAccessibility& operator=(const SimAccessibility&) = delete;

  // Reads the "accessibility" member of a desktop description, checked against the world it goes
  // with. On failure returns false with a message naming the element ("accessibility.windows[0].
  // children[2].frame: expected [x, y, width, height]"). No member: the defaults.
  static bool parse(const nlohmann::json& description, const World& world, Description& out, std::string& error);
  // Replaces every description and forgets what was set on applications; observers stay.
  void reset(Description description);
  // Changes while the desktop runs, given as a desktop file's "accessibility" member (found at
  // `path`, for messages) and checked against the desktop as it stands: each window or
  // application described gets the new description in place of its old one ("AXManualAccessibility"
  // set earlier stays set); "trusted", when given, switches trust. Nothing changes on error.
  bool update(const nlohmann::json& accessibility, const std::string& path, std::string* error);

  // ---- Controls ----
  void setTrusted(bool trusted);
  void setApp(pid_t pid, SimAXApp app);
  // Describe a window after adding it: a window added under a number starts undescribed.
  void setWindow(WindowID number, SimAXWindow window);

  // ---- Observation ----
  uint64_t attributeReads() const;
  uint64_t attributeReads(std::string_view attribute) const;
  // Times "AXManualAccessibility" was set on the process's application element.
  uint64_t manualAccessibilitySets(pid_t pid) const;
  bool manualAccessibilityEnabled(pid_t pid) const;
  // Observers alive, and those of them attached to the main run loop.
  size_t observerCount() const;
  size_t attachedObserverCount() const;
  void resetCounters();

  // ---- Hooks for the desktop (called without its lock held) ----
  void windowAdded(WindowID number);
  void titleChanged(WindowID number);

  // ---- The port ----
  bool isProcessTrusted() override;
  AXUIElement applicationElement(pid_t pid) override;
  std::optional<AXValue> copyAttributeValue(AXUIElement element, std::string_view attribute) override;
  AXError setAttributeValue(AXUIElement element, std::string_view attribute, const AXValue& value) override;
  std::unique_ptr<AXObserver> createObserver(pid_t pid, AXObserverCallback callback) override;

  struct ObserverState;

 private:
  struct Node {
    pid_t pid = 0;
    WindowID window = 0;  // 0: an application's own element
    SimAXElement element;  // without its children
    std::vector<uint64_t> children;
  };
  class Observer;

  // With the lock held.
  std::vector<uint64_t> addNodes(pid_t pid, WindowID window, const std::vector<SimAXElement>& elements,
                                 std::vector<uint64_t>& owned);
  void dropNodes(std::vector<uint64_t>& owned);
  bool published(pid_t pid) const;
  std::optional<AXValue> read(AXUIElement element, std::string_view attribute);
  void notify(pid_t pid, WindowID window, std::string_view notification);
  AXError registerNotification(ObserverState& state, AXUIElement element, std::string_view notification);

  SimDesktop& desktop_;
  VirtualDispatcher& dispatcher_;
  mutable std::mutex mutex_;
  bool trusted_ = true;
  std::map<pid_t, SimAXApp> apps_;
  std::map<WindowID, SimAXWindow> windows_;
  std::map<uint64_t, Node> nodes_;
  std::map<pid_t, std::vector<uint64_t>> appRoots_;
  std::map<pid_t, std::vector<uint64_t>> appNodes_;
  std::map<WindowID, std::vector<uint64_t>> windowRoots_;
  std::map<WindowID, std::vector<uint64_t>> windowNodes_;
  uint64_t nextNode_ = 1;
  std::set<pid_t> manualEnabled_;
  std::map<pid_t, uint64_t> manualSets_;
  std::map<std::string, uint64_t, std::less<>> reads_;
  uint64_t totalReads_ = 0;
  std::vector<std::weak_ptr<ObserverState>> observers_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace corvane::sim
