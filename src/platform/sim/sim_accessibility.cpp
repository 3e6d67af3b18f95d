#include "platform/sim/sim_accessibility.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <initializer_list>

#include <nlohmann/json.hpp>

#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_world.h"

namespace corvane::sim {

namespace {

using json = nlohmann::json;

// Element ids: the kind in the top bits, then a pid, a window number or a node's serial.
constexpr uint64_t kKindShift = 60;
constexpr uint64_t kAppKind = 1;
constexpr uint64_t kWindowKind = 2;
constexpr uint64_t kNodeKind = 3;
constexpr uint64_t kPayloadMask = (uint64_t(1) << kKindShift) - 1;

uint64_t appID(pid_t pid) { return kAppKind << kKindShift | uint32_t(pid); }
uint64_t windowID(WindowID number) { return kWindowKind << kKindShift | number; }
uint64_t kindOf(AXUIElement e) { return e.id >> kKindShift; }
uint64_t payloadOf(AXUIElement e) { return e.id & kPayloadMask; }

bool contains(const std::vector<std::string>& list, std::string_view item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

std::vector<AXUIElement> elements(const std::vector<uint64_t>& ids) {
  std::vector<AXUIElement> out;
  out.reserve(ids.size());
  for (uint64_t id : ids) out.push_back(AXUIElement{id});
  return out;
}

// A value of the wrong type for an attribute: a number where text belongs, text elsewhere.
AXValue wrongTypeFor(std::string_view attribute) {
  if (attribute == AXAttribute::role || attribute == AXAttribute::title || attribute == AXAttribute::description ||
      attribute == AXAttribute::help || attribute == AXAttribute::identifier) {
    return int64_t(1);
  }
  return std::string("wrong type");
}

constexpr std::string_view kAttributeNames[] = {AXAttribute::windows,     AXAttribute::role,     AXAttribute::title,
                                                AXAttribute::description, AXAttribute::help,     AXAttribute::identifier,
                                                AXAttribute::children,    AXAttribute::position, AXAttribute::size,
                                                AXAttribute::windowNumber};

// ---- Reading the "accessibility" member --------------------------------------------------------

class Parser {
 public:
  using AppLookup = std::function<bool(pid_t)>;
  using WindowLookup = std::function<bool(WindowID)>;
  Parser(AppLookup hasApp, WindowLookup hasWindow) : hasApp_(std::move(hasApp)), hasWindow_(std::move(hasWindow)) {}

  bool parse(const json& d, SimAccessibility::Description& out) {
    auto it = d.find("accessibility");
    if (it == d.end()) return true;
    return parseMember(*it, "accessibility", out);
  }

  // The "accessibility" member itself, found at `path`.
  bool parseMember(const json& ax, const std::string& path, SimAccessibility::Description& out) {
    if (!object(ax, path, {"trusted", "apps", "windows"})) return false;
    if (auto t = ax.find("trusted"); t != ax.end()) {
      if (!t->is_boolean()) return fail(path + ".trusted", "expected true or false");
      out.trusted = t->get<bool>();
    }
    if (auto apps = ax.find("apps"); apps != ax.end()) {
      if (!apps->is_array()) return fail(path + ".apps", "expected an array");
      for (size_t i = 0; i < apps->size(); ++i) {
        if (!app((*apps)[i], path + ".apps[" + std::to_string(i) + "]", out)) return false;
      }
    }
    if (auto windows = ax.find("windows"); windows != ax.end()) {
      if (!windows->is_array()) return fail(path + ".windows", "expected an array");
      for (size_t i = 0; i < windows->size(); ++i) {
        if (!window((*windows)[i], path + ".windows[" + std::to_string(i) + "]", out)) return false;
      }
    }
    return true;
  }

  std::string error;

 private:
  static constexpr int kMaxDepth = 64;

  bool fail(const std::string& path, const std::string& what) {
    error = path + ": " + what;
    return false;
  }

  bool object(const json& v, const std::string& path, std::initializer_list<std::string_view> allowed) {
    if (!v.is_object()) return fail(path, "expected an object");
    for (auto it = v.begin(); it != v.end(); ++it) {
      if (std::find(allowed.begin(), allowed.end(), it.key()) == allowed.end()) {
        return fail(path, "unknown member \"" + it.key() + "\"");
      }
    }
    return true;
  }

  bool text(const json& v, const std::string& path, const char* key, std::optional<std::string>& out) {
    auto it = v.find(key);
    if (it == v.end()) return true;
    if (!it->is_string()) return fail(path + "." + key, "expected a string");
    out = it->get<std::string>();
    return true;
  }

  bool flag(const json& v, const std::string& path, const char* key, bool& out) {
    auto it = v.find(key);
    if (it == v.end()) return true;
    if (!it->is_boolean()) return fail(path + "." + key, "expected true or false");
    out = it->get<bool>();
    return true;
  }

  bool rect(const json& v, const std::string& path, const char* key, std::optional<Rect>& out) {
    auto it = v.find(key);
    if (it == v.end()) return true;
    auto finite = [](const json& n) { return n.is_number() && std::isfinite(n.get<double>()); };
    if (!it->is_array() || it->size() != 4 || !std::all_of(it->begin(), it->end(), finite)) {
      return fail(path + "." + key, "expected [x, y, width, height]");
    }
    const Rect r((*it)[0].get<double>(), (*it)[1].get<double>(), (*it)[2].get<double>(), (*it)[3].get<double>());
    if (r.size.width < 0 || r.size.height < 0) return fail(path + "." + key, "width and height must not be negative");
    out = r;
    return true;
  }

  bool attributeList(const json& v, const std::string& path, std::vector<std::string>& out) {
    auto it = v.find("wrongTypeAttributes");
    if (it == v.end()) return true;
    const std::string listPath = path + ".wrongTypeAttributes";
    if (!it->is_array()) return fail(listPath, "expected an array of attribute names");
    for (size_t i = 0; i < it->size(); ++i) {
      const json& name = (*it)[i];
      const std::string itemPath = listPath + "[" + std::to_string(i) + "]";
      if (!name.is_string()) return fail(itemPath, "expected an attribute name");
      const std::string s = name.get<std::string>();
      if (std::find(std::begin(kAttributeNames), std::end(kAttributeNames), s) == std::end(kAttributeNames)) {
        return fail(itemPath, "unknown attribute \"" + s + "\"");
      }
      out.push_back(s);
    }
    return true;
  }

  bool children(const json& v, const std::string& path, int depth, std::vector<SimAXElement>& out) {
    auto it = v.find("children");
    if (it == v.end()) return true;
    if (!it->is_array()) return fail(path + ".children", "expected an array of elements");
    if (depth >= kMaxDepth) return fail(path + ".children", "nested deeper than " + std::to_string(kMaxDepth));
    for (size_t i = 0; i < it->size(); ++i) {
      SimAXElement child;
      if (!element((*it)[i], path + ".children[" + std::to_string(i) + "]", depth + 1, child)) return false;
      out.push_back(std::move(child));
    }
    return true;
  }

  bool element(const json& v, const std::string& path, int depth, SimAXElement& e) {
    return object(v, path, {"role", "title", "description", "help", "identifier", "frame", "children",
                            "wrongTypeAttributes"}) &&
           text(v, path, "role", e.role) && text(v, path, "title", e.title) &&
           text(v, path, "description", e.description) && text(v, path, "help", e.help) &&
           text(v, path, "identifier", e.identifier) && rect(v, path, "frame", e.frame) &&
           attributeList(v, path, e.wrongTypeAttributes) && children(v, path, depth, e.children);
  }

  bool pidOf(const json& v, const std::string& path, pid_t& pid) {
    auto it = v.find("pid");
    if (it == v.end()) return fail(path + ".pid", "missing");
    if (!it->is_number_integer() || it->get<int64_t>() < 1 || it->get<int64_t>() > INT32_MAX) {
      return fail(path + ".pid", "expected an integer from 1 to 2147483647");
    }
    pid = pid_t(it->get<int64_t>());
    if (!hasApp_(pid)) return fail(path + ".pid", "no application with pid " + std::to_string(pid));
    return true;
  }

  bool app(const json& v, const std::string& path, SimAccessibility::Description& out) {
    pid_t pid = 0;
    SimAXApp a;
    if (!object(v, path, {"pid", "needsManualAccessibility", "children"}) || !pidOf(v, path, pid) ||
        !flag(v, path, "needsManualAccessibility", a.needsManualAccessibility) || !children(v, path, 0, a.children)) {
      return false;
    }
    if (!out.apps.emplace(pid, std::move(a)).second) return fail(path + ".pid", "duplicate pid " + std::to_string(pid));
    return true;
  }

  bool window(const json& v, const std::string& path, SimAccessibility::Description& out) {
    if (!object(v, path, {"number", "listed", "role", "title", "windowNumber", "frame", "children",
                          "wrongTypeAttributes"})) {
      return false;
    }
    auto it = v.find("number");
    if (it == v.end()) return fail(path + ".number", "missing");
    if (!it->is_number_integer() || it->get<int64_t>() < 1 || it->get<int64_t>() > int64_t(UINT32_MAX)) {
      return fail(path + ".number", "expected an integer from 1 to 4294967295");
    }
    const WindowID number = WindowID(it->get<int64_t>());
    if (!hasWindow_(number)) return fail(path + ".number", "no window with number " + std::to_string(number));
    SimAXWindow w;
    std::optional<std::string> role;
    if (!flag(v, path, "listed", w.listed) || !text(v, path, "role", role) || !text(v, path, "title", w.title) ||
        !flag(v, path, "windowNumber", w.publishesWindowNumber) || !rect(v, path, "frame", w.frame) ||
        !attributeList(v, path, w.wrongTypeAttributes) || !children(v, path, 0, w.children)) {
      return false;
    }
    if (role) w.role = *role;
    if (!out.windows.emplace(number, std::move(w)).second) {
      return fail(path + ".number", "duplicate window number " + std::to_string(number));
    }
    return true;
  }

  AppLookup hasApp_;
  WindowLookup hasWindow_;
};

}  // namespace

// ---- Observers ---------------------------------------------------------------------------------

struct SimAccessibility::ObserverState {
  pid_t pid = 0;
  AXObserverCallback callback;
  std::set<std::pair<uint64_t, std::string>> registrations;
  bool attached = false;
};

class SimAccessibility::Observer final : public AXObserver {
 public:
  Observer(SimAccessibility& owner, std::shared_ptr<ObserverState> state)
      : owner_(owner), ownerAlive_(owner.alive_), state_(std::move(state)) {}

  AXError addNotification(AXUIElement element, std::string_view notification) override {
    if (ownerAlive_.expired()) return AXError::invalidUIElementObserver;
    return owner_.registerNotification(*state_, element, notification);
  }
  void attachToMainRunLoop() override { setAttached(true); }
  void detachFromMainRunLoop() override { setAttached(false); }

 private:
  void setAttached(bool attached) {
    if (ownerAlive_.expired()) return;
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    state_->attached = attached;
  }

  SimAccessibility& owner_;
  std::weak_ptr<bool> ownerAlive_;
  std::shared_ptr<ObserverState> state_;
};

// ---- SimAccessibility ----------------------------------------------------------------------------

SimAccessibility::SimAccessibility(SimDesktop& desktop, VirtualDispatcher& dispatcher)
    : desktop_(desktop), dispatcher_(dispatcher) {}

SimAccessibility::~SimAccessibility() = default;

bool SimAccessibility::parse(const nlohmann::json& description, const World& world, Description& out,
                             std::string& error) {
  out = Description();
  Parser parser([&world](pid_t pid) { return world.findApp(pid) != nullptr; },
                [&world](WindowID number) { return world.findWindow(number) != nullptr; });
  if (parser.parse(description, out)) return true;
  error = parser.error;
  return false;
}

bool SimAccessibility::update(const nlohmann::json& accessibility, const std::string& path, std::string* error) {
  Description parsed;
  Parser parser([this](pid_t pid) { return desktop_.app(pid).has_value(); },
                [this](WindowID number) { return desktop_.window(number).has_value(); });
  if (!parser.parseMember(accessibility, path, parsed)) {
    if (error) *error = parser.error;
    return false;
  }
  if (accessibility.contains("trusted")) setTrusted(parsed.trusted);
  for (auto& [pid, app] : parsed.apps) setApp(pid, std::move(app));
  for (auto& [number, window] : parsed.windows) setWindow(number, std::move(window));
  return true;
}

void SimAccessibility::reset(Description description) {
  std::lock_guard<std::mutex> lock(mutex_);
  trusted_ = description.trusted;
  apps_.clear();
  windows_.clear();
  nodes_.clear();
  appRoots_.clear();
  appNodes_.clear();
  windowRoots_.clear();
  windowNodes_.clear();
  manualEnabled_.clear();
  manualSets_.clear();
  for (auto& [pid, app] : description.apps) {
    appRoots_[pid] = addNodes(pid, 0, app.children, appNodes_[pid]);
    apps_[pid] = std::move(app);
  }
  for (auto& [number, window] : description.windows) {
    const auto record = desktop_.window(number);
    const pid_t pid = record ? record->ownerPID : 0;
    windowRoots_[number] = addNodes(pid, number, window.children, windowNodes_[number]);
    windows_[number] = std::move(window);
  }
}

std::vector<uint64_t> SimAccessibility::addNodes(pid_t pid, WindowID window, const std::vector<SimAXElement>& list,
                                                 std::vector<uint64_t>& owned) {
  std::vector<uint64_t> ids;
  for (const auto& e : list) {
    const uint64_t id = kNodeKind << kKindShift | nextNode_++;
    owned.push_back(id);
    ids.push_back(id);
    Node node;
    node.pid = pid;
    node.window = window;
    node.element = e;
    node.element.children.clear();
    node.children = addNodes(pid, window, e.children, owned);
    nodes_[id] = std::move(node);
  }
  return ids;
}

void SimAccessibility::dropNodes(std::vector<uint64_t>& owned) {
  for (uint64_t id : owned) nodes_.erase(id);
  owned.clear();
}

void SimAccessibility::setTrusted(bool trusted) {
  std::lock_guard<std::mutex> lock(mutex_);
  trusted_ = trusted;
}

void SimAccessibility::setApp(pid_t pid, SimAXApp app) {
  std::lock_guard<std::mutex> lock(mutex_);
  dropNodes(appNodes_[pid]);
  appRoots_[pid] = addNodes(pid, 0, app.children, appNodes_[pid]);
  apps_[pid] = std::move(app);
}

void SimAccessibility::setWindow(WindowID number, SimAXWindow window) {
  const auto record = desktop_.window(number);
  std::lock_guard<std::mutex> lock(mutex_);
  dropNodes(windowNodes_[number]);
  windowRoots_[number] = addNodes(record ? record->ownerPID : 0, number, window.children, windowNodes_[number]);
  windows_[number] = std::move(window);
}

uint64_t SimAccessibility::attributeReads() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return totalReads_;
}

uint64_t SimAccessibility::attributeReads(std::string_view attribute) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = reads_.find(attribute);
  return it == reads_.end() ? 0 : it->second;
}

uint64_t SimAccessibility::manualAccessibilitySets(pid_t pid) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = manualSets_.find(pid);
  return it == manualSets_.end() ? 0 : it->second;
}

bool SimAccessibility::manualAccessibilityEnabled(pid_t pid) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return manualEnabled_.contains(pid);
}

size_t SimAccessibility::observerCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return size_t(std::count_if(observers_.begin(), observers_.end(), [](const auto& w) { return !w.expired(); }));
}

size_t SimAccessibility::attachedObserverCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t count = 0;
  for (const auto& weak : observers_) {
    if (auto state = weak.lock(); state && state->attached) ++count;
  }
  return count;
}

void SimAccessibility::resetCounters() {
  std::lock_guard<std::mutex> lock(mutex_);
  reads_.clear();
  totalReads_ = 0;
  manualSets_.clear();
}

bool SimAccessibility::published(pid_t pid) const {
  auto it = apps_.find(pid);
  return it == apps_.end() || !it->second.needsManualAccessibility || manualEnabled_.contains(pid);
}

// ---- The port -----------------------------------------------------------------------------------

bool SimAccessibility::isProcessTrusted() {
  std::lock_guard<std::mutex> lock(mutex_);
  return trusted_;
}

AXUIElement SimAccessibility::applicationElement(pid_t pid) { return AXUIElement{appID(pid)}; }

std::optional<AXValue> SimAccessibility::copyAttributeValue(AXUIElement element, std::string_view attribute) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++totalReads_;
  auto it = reads_.find(attribute);
  if (it == reads_.end()) it = reads_.emplace(std::string(attribute), 0).first;
  ++it->second;
  if (!trusted_) return std::nullopt;
  return read(element, attribute);
}

std::optional<AXValue> SimAccessibility::read(AXUIElement element, std::string_view attribute) {
  switch (kindOf(element)) {
    case kAppKind: {
      const pid_t pid = pid_t(payloadOf(element));
      const auto app = desktop_.app(pid);
      if (!app || app->terminated) return std::nullopt;
      if (attribute == AXAttribute::role) return std::string(AXRole::application);
      if (attribute == AXAttribute::title) {
        if (app->name) return *app->name;
        return std::nullopt;
      }
      if (attribute != AXAttribute::windows && attribute != AXAttribute::children) return std::nullopt;
      std::vector<AXUIElement> list;
      if (attribute == AXAttribute::children && published(pid)) list = elements(appRoots_[pid]);
      for (const auto& w : desktop_.windows()) {
        if (w.ownerPID != pid) continue;
        auto config = windows_.find(w.number);
        if (config != windows_.end() && !config->second.listed) continue;
        list.push_back(AXUIElement{windowID(w.number)});
      }
      return list;
    }
    case kWindowKind: {
      const WindowID number = WindowID(payloadOf(element));
      const auto window = desktop_.window(number);
      if (!window) return std::nullopt;
      const auto owner = desktop_.app(window->ownerPID);
      if (owner && owner->terminated) return std::nullopt;
      static const SimAXWindow kPlain;
      auto configIt = windows_.find(number);
      const SimAXWindow& config = configIt == windows_.end() ? kPlain : configIt->second;
      if (contains(config.wrongTypeAttributes, attribute)) return wrongTypeFor(attribute);
      const Rect frame = config.frame.value_or(window->bounds);
      if (attribute == AXAttribute::role) return config.role;
      if (attribute == AXAttribute::title) {
        if (config.title) return *config.title;
        if (window->title.kind == SimTitle::Kind::string) return window->title.text;
        return std::nullopt;
      }
      if (attribute == AXAttribute::position) return frame.origin;
      if (attribute == AXAttribute::size) return frame.size;
      if (attribute == AXAttribute::windowNumber) {
        if (config.publishesWindowNumber) return int64_t(number);
        return std::nullopt;
      }
      if (attribute == AXAttribute::children) {
        if (!published(window->ownerPID)) return std::vector<AXUIElement>{};
        return elements(windowRoots_[number]);
      }
      return std::nullopt;
    }
    case kNodeKind: {
      auto nodeIt = nodes_.find(element.id);
      if (nodeIt == nodes_.end()) return std::nullopt;
      const Node& node = nodeIt->second;
      Point origin{0, 0};
      if (node.window != 0) {
        const auto window = desktop_.window(node.window);
        if (!window) return std::nullopt;
        auto configIt = windows_.find(node.window);
        origin = (configIt != windows_.end() && configIt->second.frame) ? configIt->second.frame->origin
                                                                          : window->bounds.origin;
      }
      const SimAXElement& e = node.element;
      if (contains(e.wrongTypeAttributes, attribute)) return wrongTypeFor(attribute);
      auto textValue = [](const std::optional<std::string>& s) -> std::optional<AXValue> {
        if (s) return *s;
        return std::nullopt;
      };
      if (attribute == AXAttribute::role) return textValue(e.role);
      if (attribute == AXAttribute::title) return textValue(e.title);
      if (attribute == AXAttribute::description) return textValue(e.description);
      if (attribute == AXAttribute::help) return textValue(e.help);
      if (attribute == AXAttribute::identifier) return textValue(e.identifier);
      if (attribute == AXAttribute::position) {
        if (e.frame) return Point{origin.x + e.frame->origin.x, origin.y + e.frame->origin.y};
        return std::nullopt;
      }
      if (attribute == AXAttribute::size) {
        if (e.frame) return e.frame->size;
        return std::nullopt;
      }
      if (attribute == AXAttribute::children) return elements(node.children);
      return std::nullopt;
    }
    default:
      return std::nullopt;
  }
}

AXError SimAccessibility::setAttributeValue(AXUIElement element, std::string_view attribute, const AXValue& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!trusted_) return AXError::apiDisabled;
  if (kindOf(element) != kAppKind || attribute != AXAttribute::manualAccessibility) {
    return AXError::attributeUnsupported;
  }
  const pid_t pid = pid_t(payloadOf(element));
  const auto app = desktop_.app(pid);
  if (!app || app->terminated) return AXError::invalidUIElement;
  ++manualSets_[pid];
  const bool* on = std::get_if<bool>(&value);
  if (!on) return AXError::illegalArgument;
  if (*on) {
    manualEnabled_.insert(pid);
  } else {
    manualEnabled_.erase(pid);
  }
  return AXError::success;
}

std::unique_ptr<AXObserver> SimAccessibility::createObserver(pid_t pid, AXObserverCallback callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!trusted_ || !callback) return nullptr;
  auto state = std::make_shared<ObserverState>();
  state->pid = pid;
  state->callback = std::move(callback);
  std::erase_if(observers_, [](const auto& w) { return w.expired(); });
  observers_.push_back(state);
  return std::make_unique<Observer>(*this, std::move(state));
}

AXError SimAccessibility::registerNotification(ObserverState& state, AXUIElement element,
                                               std::string_view notification) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!trusted_) return AXError::apiDisabled;
  if (notification != AXNotification::windowCreated && notification != AXNotification::titleChanged) {
    return AXError::notificationUnsupported;
  }
  pid_t owner = 0;
  if (kindOf(element) == kAppKind) {
    owner = pid_t(payloadOf(element));
  } else if (kindOf(element) == kWindowKind) {
    const auto window = desktop_.window(WindowID(payloadOf(element)));
    if (!window) return AXError::invalidUIElement;
    owner = window->ownerPID;
  } else {
    return AXError::notificationUnsupported;
  }
  const auto app = desktop_.app(owner);
  if (owner != state.pid || !app || app->terminated) return AXError::invalidUIElement;
  if (!state.registrations.emplace(element.id, std::string(notification)).second) {
    return AXError::notificationAlreadyRegistered;
  }
  return AXError::success;
}

// ---- Hooks ----------------------------------------------------------------------------------------

void SimAccessibility::windowAdded(WindowID number) {
  const auto window = desktop_.window(number);
  if (!window) return;
  {
    // A new window under a number used before starts without the old window's description.
    std::lock_guard<std::mutex> lock(mutex_);
    dropNodes(windowNodes_[number]);
    windowRoots_.erase(number);
    windows_.erase(number);
  }
  notify(window->ownerPID, number, AXNotification::windowCreated);
}

void SimAccessibility::titleChanged(WindowID number) {
  const auto window = desktop_.window(number);
  if (!window) return;
  notify(window->ownerPID, number, AXNotification::titleChanged);
}

void SimAccessibility::notify(pid_t pid, WindowID window, std::string_view notification) {
  std::vector<std::weak_ptr<ObserverState>> targets;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!trusted_) return;
    for (const auto& weak : observers_) {
      auto state = weak.lock();
      if (!state || state->pid != pid || !state->attached) continue;
      const std::string name(notification);
      if (state->registrations.contains({appID(pid), name}) || state->registrations.contains({windowID(window), name})) {
        targets.push_back(weak);
      }
    }
  }
  const AXUIElement element{windowID(window)};
  const std::string name(notification);
  std::weak_ptr<bool> alive = alive_;
  for (auto& weak : targets) {
    dispatcher_.main().async([this, alive, weak, element, name] {
      if (alive.expired()) return;
      std::shared_ptr<ObserverState> state = weak.lock();
      if (!state) return;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!state->attached) return;
      }
      // A copy: the callback may destroy its observer.
      AXObserverCallback callback = state->callback;
      state.reset();
      callback(element, name);
    });
  }
}

}  // namespace corvane::sim
