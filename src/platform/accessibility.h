// The accessibility interface: trust, application and UI elements, attributes and observers.
//
// Shaped after the reference platform's accessibility calls (AXIsProcessTrusted,
// AXUIElementCreateApplication, AXUIElementCopyAttributeValue, AXUIElementSetAttributeValue,
// AXObserverCreate, AXObserverAddNotification and the observer's run-loop source). Attribute values
// are loosely typed, as on the platform: any attribute may be missing or hold a value of an
// unexpected type, and readers must cope (see the typed readers below).
//
// Positions and sizes are in the accessibility space, which is the window server's: origin at the
// top-left of the main display, y down. Convert with the main display's height to screen space.
//
// Threading: main thread only. Element handles are plain values; the port owns the elements they
// name. A handle whose element has gone (its window closed, its application quit) stays safe to
// use: every read on it reports nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <variant>
#include <vector>

#include "base/geometry.h"

namespace corvane {

// A handle on one accessibility element. The zero id names no element.
struct AXUIElement {
  uint64_t id = 0;
  bool isValid() const { return id != 0; }
  friend bool operator==(const AXUIElement&, const AXUIElement&) = default;
  friend auto operator<=>(const AXUIElement&, const AXUIElement&) = default;
};

// One attribute value: a flag, a number, text, a point or size (the platform's AXValue kinds), an
// element, or a list of elements.
using AXValue = std::variant<bool, int64_t, double, std::string, Point, Size, AXUIElement, std::vector<AXUIElement>>;

// The platform's error codes.
enum class AXError : int32_t {
  success = 0,
  failure = -25200,
  illegalArgument = -25201,
  invalidUIElement = -25202,
  invalidUIElementObserver = -25203,
  cannotComplete = -25204,
  attributeUnsupported = -25205,
  actionUnsupported = -25206,
  notificationUnsupported = -25207,
  notImplemented = -25208,
  notificationAlreadyRegistered = -25209,
  notificationNotRegistered = -25210,
  apiDisabled = -25211,
  noValue = -25212,
};

namespace AXAttribute {
inline constexpr std::string_view windows = "AXWindows";
inline constexpr std::string_view role = "AXRole";
inline constexpr std::string_view title = "AXTitle";
inline constexpr std::string_view description = "AXDescription";
inline constexpr std::string_view help = "AXHelp";
inline constexpr std::string_view identifier = "AXIdentifier";
inline constexpr std::string_view children = "AXChildren";
inline constexpr std::string_view position = "AXPosition";
inline constexpr std::string_view size = "AXSize";
inline constexpr std::string_view windowNumber = "AXWindowNumber";
// Set to true on an application element: applications built on embedded web engines publish their
// accessibility tree only once someone asks for it this way.
inline constexpr std::string_view manualAccessibility = "AXManualAccessibility";
}  // namespace AXAttribute

namespace AXRole {
inline constexpr std::string_view application = "AXApplication";
inline constexpr std::string_view window = "AXWindow";
inline constexpr std::string_view button = "AXButton";
inline constexpr std::string_view checkBox = "AXCheckBox";
inline constexpr std::string_view menuButton = "AXMenuButton";
inline constexpr std::string_view menuBar = "AXMenuBar";
inline constexpr std::string_view menu = "AXMenu";
inline constexpr std::string_view menuItem = "AXMenuItem";
inline constexpr std::string_view image = "AXImage";
inline constexpr std::string_view staticText = "AXStaticText";
inline constexpr std::string_view group = "AXGroup";
}  // namespace AXRole

namespace AXNotification {
inline constexpr std::string_view windowCreated = "AXWindowCreated";
inline constexpr std::string_view titleChanged = "AXTitleChanged";
}  // namespace AXNotification

// Typed reads of an attribute value; anything else (or a missing value) reads as absent.
std::optional<std::string> axString(const std::optional<AXValue>& value);
// An integer, or a double with an integral value.
std::optional<int64_t> axInteger(const std::optional<AXValue>& value);
std::optional<Point> axPoint(const std::optional<AXValue>& value);
std::optional<Size> axSize(const std::optional<AXValue>& value);
std::optional<std::vector<AXUIElement>> axElements(const std::optional<AXValue>& value);

// Receives the notifications registered on it. Destroying the observer detaches it: nothing is
// delivered afterwards, not even a notification already on its way.
class AXObserver {
 public:
  virtual ~AXObserver() = default;
  // Registers `notification` on `element` (an application element reports it for all its windows).
  virtual AXError addNotification(AXUIElement element, std::string_view notification) = 0;
  // The observer's run-loop source on the main run loop (common modes): while attached, each
  // notification is delivered to the callback on the main queue; while detached, none is.
  virtual void attachToMainRunLoop() = 0;
  virtual void detachFromMainRunLoop() = 0;
};

// Called on the main queue with the element the notification is about and the notification's name.
using AXObserverCallback = std::function<void(AXUIElement element, const std::string& notification)>;

class Accessibility {
 public:
  virtual ~Accessibility() = default;

  // AXIsProcessTrusted: whether the user granted this process accessibility access. Without it
  // every other call fails.
  virtual bool isProcessTrusted() = 0;
  // AXUIElementCreateApplication: the application element of a process (a valid handle even for a
  // pid that has no application; reads on it then report nothing).
  virtual AXUIElement applicationElement(pid_t pid) = 0;
  // AXUIElementCopyAttributeValue: absent when the element is gone, the attribute unsupported or
  // without value, or access not granted.
  virtual std::optional<AXValue> copyAttributeValue(AXUIElement element, std::string_view attribute) = 0;
  // AXUIElementSetAttributeValue.
  virtual AXError setAttributeValue(AXUIElement element, std::string_view attribute, const AXValue& value) = 0;
  // AXObserverCreate for the process: null when no observer can be made. The caller owns it.
  virtual std::unique_ptr<AXObserver> createObserver(pid_t pid, AXObserverCallback callback) = 0;
};

}  // namespace corvane
