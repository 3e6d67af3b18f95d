#include "windows/meeting_window_classifier.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "base/text.h"
#include "windows/accessibility_window.h"
#include "windows/conferencing.h"
#include "windows/window_tracker.h"

namespace corvane {

namespace {

std::unique_ptr<MeetingWindowClassifier>& sharedSlot() {
  static std::unique_ptr<MeetingWindowClassifier> instance;
  return instance;
}

// A control label as the walk compares it: trimmed and lower-cased, then cut at the first separator
// ("Leave (⌘⇧H)" reads "leave") unless nothing would be left before it.
std::string normalisedLabel(std::string_view label) {
  std::string normalised = text::lowercased(text::trimmed(label));
  if (normalised.empty()) return normalised;
  size_t cut = std::string::npos;
  for (auto separator : Conferencing::controlNameSeparators) cut = std::min(cut, normalised.find(separator));
  if (cut != std::string::npos) {
    std::string head = text::trimmed(std::string_view(normalised).substr(0, cut));
    if (!head.empty()) return head;
  }
  return normalised;
}

bool isCallControlName(const std::string& label) {
  auto matches = [&](const auto& names) { return std::find(names.begin(), names.end(), label) != names.end(); };
  return matches(Conferencing::stageControlNames) || matches(Conferencing::inCallControlNames);
}

// The width a hub window keeps frosted while it shows a call inside itself: its chat sidebar.
double sidebarWidth(double width) { return std::min(width, std::min(448.0, std::max(260.0, 0.34 * width))); }

}  // namespace

MeetingWindowClassifier::MeetingWindowClassifier(const WindowTracker& tracker, Accessibility* accessibility,
                                                 Dispatcher& dispatcher)
    : tracker_(tracker), accessibility_(accessibility), dispatcher_(dispatcher) {}

MeetingWindowClassifier::~MeetingWindowClassifier() { removeChromeObservers(); }

MeetingWindowClassifier& MeetingWindowClassifier::shared() {
  auto& instance = sharedSlot();
  if (!instance) {
    std::fputs("Corvane: MeetingWindowClassifier::shared() used before start-up installed it\n", stderr);
    std::abort();
  }
  return *instance;
}

bool MeetingWindowClassifier::hasShared() { return sharedSlot() != nullptr; }

std::unique_ptr<MeetingWindowClassifier> MeetingWindowClassifier::installShared(
    std::unique_ptr<MeetingWindowClassifier> classifier) {
  return std::exchange(sharedSlot(), std::move(classifier));
}

void MeetingWindowClassifier::setHubHasActiveCall(AudioCallTest test) { hubHasActiveCall_ = std::move(test); }

double MeetingWindowClassifier::now() const { return dispatcher_.clock().mediaTime(); }

bool MeetingWindowClassifier::isTrusted() const { return accessibility_ && accessibility_->isProcessTrusted(); }

std::optional<std::string> MeetingWindowClassifier::bundleIdentifier(pid_t pid) const {
  return tracker_.bundleIdentifier(pid);
}

const MeetingWindowClassifier::CacheEntry* MeetingWindowClassifier::validCallEntry(int64_t windowNumber) const {
  auto it = callCache_.find(windowNumber);
  return it != callCache_.end() && it->second.expiresAt > now() ? &it->second : nullptr;
}

void MeetingWindowClassifier::cacheWalkResult(int64_t windowNumber, bool indicatesCall) {
  callCache_[windowNumber] = CacheEntry{indicatesCall, now() + (indicatesCall ? stageCacheTTL : hubCacheTTL)};
  pruneCaches();
}

void MeetingWindowClassifier::pruneCaches() {
  const double t = now();
  auto expired = [t](const auto& entry) { return entry.second.expiresAt <= t; };
  if (callCache_.size() > cachePruneSize) std::erase_if(callCache_, expired);
  if (titleCache_.size() > cachePruneSize) std::erase_if(titleCache_, expired);
}

// ---- Titles and accessibility windows -------------------------------------------------------

std::optional<std::string> MeetingWindowClassifier::resolvedTitle(const WindowInfo& info) {
  if (info.title && !info.title->empty()) {
    titleCache_[info.windowNumber] = TitleEntry{*info.title, now() + hubCacheTTL};
    pruneCaches();
    return info.title;
  }
  return title(info.ownerPID, info.windowNumber, info.frame);
}

std::optional<std::string> MeetingWindowClassifier::title(pid_t pid, int64_t windowNumber, const Rect& frame) {
  if (auto it = titleCache_.find(windowNumber); it != titleCache_.end() && it->second.expiresAt > now()) {
    if (it->second.title.empty()) return std::nullopt;
    return it->second.title;
  }
  if (!isTrusted()) return std::nullopt;
  if (auto window = axWindow(pid, windowNumber, frame)) {
    auto axTitle = axString(accessibility_->copyAttributeValue(*window, AXAttribute::title));
    if (axTitle && !axTitle->empty()) {
      titleCache_[windowNumber] = TitleEntry{*axTitle, now() + hubCacheTTL};
      return axTitle;
    }
  }
  titleCache_[windowNumber] = TitleEntry{std::string(), now() + titleMissTTL};
  pruneCaches();
  return std::nullopt;
}

std::optional<AXUIElement> MeetingWindowClassifier::axWindow(pid_t pid, int64_t windowNumber, const Rect& frame) {
  if (!accessibility_) return std::nullopt;
  const auto candidates = AccessibilityWindow::candidatePIDs(tracker_, pid);
  for (pid_t candidate : candidates) {
    if (axEnabledPIDs_.insert(candidate).second) {
      AccessibilityWindow::enableManualAccessibility(*accessibility_, candidate);
    }
  }
  return AccessibilityWindow::find(*accessibility_, candidates, windowNumber, frame, tracker_.mainDisplayHeight());
}

// ---- The walk ------------------------------------------------------------------------------

bool MeetingWindowClassifier::walkForHangUp(AXUIElement element, int depth, int& visited) {
  ++visited;
  if (visited > walkElementLimit || depth > walkDepthLimit) return false;
  const auto role = axString(accessibility_->copyAttributeValue(element, AXAttribute::role));
  if (role == AXRole::menuBar || role == AXRole::menu || role == AXRole::menuItem) return false;
  if (!role || role == AXRole::button || role == AXRole::checkBox || role == AXRole::menuButton) {
    for (auto attribute : {AXAttribute::title, AXAttribute::description, AXAttribute::help, AXAttribute::identifier}) {
      auto label = axString(accessibility_->copyAttributeValue(element, attribute));
      if (!label) continue;
      const std::string normalised = normalisedLabel(*label);
      if (!normalised.empty() && isCallControlName(normalised)) return true;
    }
  }
  if (depth >= walkDepthLimit) return false;
  auto children = axElements(accessibility_->copyAttributeValue(element, AXAttribute::children));
  if (!children) return false;
  for (AXUIElement child : *children) {
    if (walkForHangUp(child, depth + 1, visited)) return true;
    if (visited >= walkElementLimit) break;
  }
  return false;
}

bool MeetingWindowClassifier::walkWindow(AXUIElement window) {
  int visited = 0;
  return walkForHangUp(window, 0, visited);
}

// ---- Classification ------------------------------------------------------------------------

bool MeetingWindowClassifier::indicatesCall(const WindowInfo& info, const std::string& bundleID, bool allowSyncWalk) {
  if (!Conferencing::isHub(bundleID)) return false;
  const auto t = resolvedTitle(info);
  if (Conferencing::cheapStage(bundleID, t, info.frame.width(), info.frame.height()) ||
      Conferencing::titleLooksLikeStage(t)) {
    return true;
  }
  if (const CacheEntry* entry = validCallEntry(info.windowNumber)) return entry->indicatesCall;
  if (allowSyncWalk && isTrusted()) {
    bool result = false;
    if (auto window = axWindow(info.ownerPID, info.windowNumber, info.frame)) result = walkWindow(*window);
    cacheWalkResult(info.windowNumber, result);
    return result;
  }
  queueClassify(info);
  return false;
}

void MeetingWindowClassifier::queueClassify(const WindowInfo& info) {
  if (axWalkInFlight_ || !isTrusted() || validCallEntry(info.windowNumber)) return;
  axWalkInFlight_ = true;
  std::weak_ptr<bool> alive = alive_;
  dispatcher_.main().async([this, alive, info] {
    if (alive.expired()) return;
    classifyNow(info);
  });
}

void MeetingWindowClassifier::classifyNow(const WindowInfo& info) {
  std::optional<AXUIElement> window;
  bool windowLookedUp = false;
  auto findWindow = [&] {
    if (!windowLookedUp) {
      window = axWindow(info.ownerPID, info.windowNumber, info.frame);
      windowLookedUp = true;
    }
    return window;
  };

  std::optional<std::string> t = info.title;
  if (!t || t->empty()) {
    t.reset();
    if (auto w = findWindow(); w && accessibility_) {
      auto axTitle = axString(accessibility_->copyAttributeValue(*w, AXAttribute::title));
      if (axTitle && !axTitle->empty()) t = std::move(axTitle);
    }
  }
  if (t) titleCache_[info.windowNumber] = TitleEntry{*t, now() + hubCacheTTL};

  const std::string bundleID = bundleIdentifier(info.ownerPID).value_or(std::string());
  bool result = false;
  if (Conferencing::cheapStage(bundleID, t, info.frame.width(), info.frame.height())) {
    result = true;
  } else if (auto w = findWindow()) {
    result = walkWindow(*w);
  }
  cacheWalkResult(info.windowNumber, result);
  axWalkInFlight_ = false;
}

bool MeetingWindowClassifier::isStageWindow(const WindowInfo& info, const std::string& bundleID,
                                            const std::vector<WindowInfo>& siblings) {
  if (!Conferencing::isHub(bundleID)) return false;
  const auto t = resolvedTitle(info);
  if (Conferencing::titleLooksLikeHub(t)) return false;
  if (Conferencing::cheapStage(bundleID, t, info.frame.width(), info.frame.height())) return true;
  if (t && !t->empty()) {
    queueClassify(info);
    const CacheEntry* entry = validCallEntry(info.windowNumber);
    return entry && entry->indicatesCall;
  }
  for (const auto& sibling : siblings) {
    if (sibling.windowNumber == info.windowNumber) continue;
    if (Conferencing::titleLooksLikeHub(resolvedTitle(sibling))) return true;
  }
  return false;
}

std::vector<WindowInfo> MeetingWindowClassifier::windowsToProtect(const std::vector<WindowInfo>& windows,
                                                                  const std::string& bundleID) {
  std::set<int64_t> stage;
  for (const auto& w : windows) {
    if (isStageWindow(w, bundleID, windows)) stage.insert(w.windowNumber);
  }
  std::vector<WindowInfo> result;
  if (!stage.empty()) {
    for (const auto& w : windows) {
      if (!stage.contains(w.windowNumber)) result.push_back(w);
    }
    return result;
  }
  for (const auto& w : windows) {
    result.push_back(w);
    if (w.frame.width() < sidebarMinWindowWidth) continue;
    const auto t = resolvedTitle(w);
    if (t && !t->empty() && !Conferencing::titleLooksLikeHub(t)) continue;
    if (indicatesCall(w, bundleID, false)) {
      Rect& frame = result.back().frame;
      frame = Rect(frame.minX(), frame.minY(), sidebarWidth(frame.width()), frame.height());
    }
  }
  return result;
}

bool MeetingWindowClassifier::siblingLooksLikeMeeting(const std::vector<WindowInfo>& windows) {
  if (windows.size() < 2) return false;
  bool hub = false;
  bool other = false;
  for (const auto& w : windows) {
    if (Conferencing::titleLooksLikeHub(resolvedTitle(w))) {
      hub = true;
    } else {
      other = true;
    }
  }
  return hub && other;
}

bool MeetingWindowClassifier::hubHasVisualCallUncached(const std::vector<WindowInfo>& familyWindows,
                                                       const std::string& bundleID) {
  for (const auto& w : familyWindows) {
    if (Conferencing::cheapStage(bundleID, resolvedTitle(w), w.frame.width(), w.frame.height())) return true;
  }
  std::optional<pid_t> mainPID;
  for (const auto& app : tracker_.workspace().runningApplications()) {
    if (app.bundleIdentifier == bundleID) {
      mainPID = app.processIdentifier;
      break;
    }
  }
  std::vector<WindowInfo> candidates;
  for (const auto& w : familyWindows) {
    if (w.frame.width() * w.frame.height() >= 30000 && (!mainPID || w.ownerPID == *mainPID)) candidates.push_back(w);
  }
  for (const auto& c : candidates) {
    if (isStageWindow(c, bundleID, candidates)) return true;
  }
  if (siblingLooksLikeMeeting(candidates)) return true;
  for (const auto& c : candidates) {
    if (indicatesCall(c, bundleID, true)) return true;
  }
  return false;
}

MeetingWindowClassifier::HubCall MeetingWindowClassifier::evaluateHubCall(const std::string& bundleID) {
  if (!Conferencing::isHub(bundleID)) return {};
  const auto windows = tracker_.onScreenWindows(Conferencing::familyPIDs(tracker_.workspace(), bundleID), false);
  std::vector<int64_t> fingerprint;
  for (const auto& w : windows) fingerprint.push_back(w.windowNumber);
  std::sort(fingerprint.begin(), fingerprint.end());
  if (auto it = hubCallCache_.find(bundleID);
      it != hubCallCache_.end() && it->second.expiresAt > now() && it->second.fingerprint == fingerprint) {
    return {it->second.inCall, it->second.visual};
  }
  const bool visual = hubHasVisualCallUncached(windows, bundleID);
  const bool inCall = visual || (hubHasActiveCall_ && hubHasActiveCall_(bundleID));
  hubCallCache_[bundleID] = HubCallEntry{inCall, visual, std::move(fingerprint), now() + hubCallCacheTTL};
  return {inCall, visual};
}

// ---- Change watch --------------------------------------------------------------------------

void MeetingWindowClassifier::watchCallChrome(const std::vector<std::string>& bundleIDs, std::function<void()> onChange) {
  std::vector<std::string> hubs;
  for (const auto& id : bundleIDs) {
    if (Conferencing::isHub(id) && std::find(hubs.begin(), hubs.end(), id) == hubs.end()) hubs.push_back(id);
  }
  watchingBundleIDs_ = std::move(hubs);
  onChromeChange_ = std::move(onChange);
  syncChromeObservers();
}

void MeetingWindowClassifier::syncChromeObservers() {
  if (!isTrusted()) return;
  const auto running = tracker_.workspace().runningApplications();
  std::set<pid_t> wanted;
  for (const auto& id : watchingBundleIDs_) wanted.merge(Conferencing::familyPIDs(running, id));
  for (auto it = chromeObservers_.begin(); it != chromeObservers_.end();) {
    if (wanted.contains(it->first)) {
      ++it;
      continue;
    }
    it->second->detachFromMainRunLoop();
    it = chromeObservers_.erase(it);
  }
  std::weak_ptr<bool> alive = alive_;
  for (pid_t pid : wanted) {
    if (chromeObservers_.contains(pid)) continue;
    auto observer = accessibility_->createObserver(pid, [this, alive](AXUIElement, const std::string&) {
      if (!alive.expired()) noteChromeChange();
    });
    if (!observer) continue;
    const AXUIElement app = accessibility_->applicationElement(pid);
    const bool created = observer->addNotification(app, AXNotification::windowCreated) == AXError::success;
    const bool titled = observer->addNotification(app, AXNotification::titleChanged) == AXError::success;
    if (!created && !titled) continue;
    observer->attachToMainRunLoop();
    chromeObservers_.emplace(pid, std::move(observer));
  }
}

void MeetingWindowClassifier::removeChromeObservers() {
  for (auto& [pid, observer] : chromeObservers_) observer->detachFromMainRunLoop();
  chromeObservers_.clear();
}

std::set<pid_t> MeetingWindowClassifier::observedPIDs() const {
  std::set<pid_t> pids;
  for (const auto& entry : chromeObservers_) pids.insert(entry.first);
  return pids;
}

void MeetingWindowClassifier::noteChromeChange() {
  // A new window is often titled and filled in a moment later: report the change once more then.
  std::weak_ptr<bool> alive = alive_;
  dispatcher_.main().asyncAfter(chromeChangeRepeatDelay, [this, alive] {
    if (!alive.expired()) reportChromeChange();
  });
  reportChromeChange();
}

void MeetingWindowClassifier::reportChromeChange() {
  hubCallCache_.clear();
  // A copy: the callback may replace it, or destroy the classifier.
  if (auto onChange = onChromeChange_) onChange();
}

}  // namespace corvane
