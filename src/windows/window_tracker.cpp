#include "windows/window_tracker.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <sstream>

#include "platform/processes.h"
#include "platform/screens.h"
#include "base/text.h"
#include "settings/preset_tags.h"
#include "windows/conferencing.h"
#include "windows/meeting_window_classifier.h"

namespace corvane {

std::string describe(const WindowInfo& info) {
  std::ostringstream os;
  os << "WindowInfo(windowNumber: " << info.windowNumber << ", ownerPID: " << info.ownerPID
     << ", frame: " << info.frame << ", stackingWindowNumber: " << info.stackingWindowNumber
     << ", title: ";
  if (info.title) {
    os << '"' << *info.title << '"';
  } else {
    os << "nil";
  }
  if (info.level != 0) os << ", level: " << info.level;
  os << ")";
  return os.str();
}

WindowListRecord WindowListRecord::read(const WindowListEntry& entry) {
  WindowListRecord r;
  r.number = asInteger(entry.number);
  r.ownerPID = asInt32(entry.ownerPID);
  r.layer = asInteger(entry.layer);
  r.alpha = asDouble(entry.alpha);
  r.bounds = asBounds(entry.bounds);
  if (auto title = asString(entry.name); title && !title->empty()) r.title = std::move(title);
  r.sharingState = asInteger(entry.sharingState);
  return r;
}

namespace WindowFilter {
bool layerZero(const WindowListRecord& r) { return r.layer && *r.layer == 0; }
bool visibleAlpha(const WindowListRecord& r) { return !r.alpha || *r.alpha > 0.01; }
bool nonDegenerate(const Rect& b) { return b.width() > 1 && b.height() > 1; }
bool substantial(const Rect& b) { return b.width() > 80 && b.height() > 80; }
bool barShaped(const Rect& b) {
  double w = b.width();
  double h = b.height();
  return w >= 240 && h >= 28 && h <= 140 && 3 * h < w;
}
}  // namespace WindowFilter

bool framesClose(const Rect& a, const Rect& b) {
  return std::fabs(a.midX() - b.midX()) < 48 && std::fabs(a.midY() - b.midY()) < 48 &&
         std::fabs(a.width() - b.width()) < 80 && std::fabs(a.height() - b.height()) < 80;
}

namespace {

// The bundle identifiers of the processes met during one walk of the list, each looked up once.
class BundleLookup {
 public:
  explicit BundleLookup(const WindowTracker& tracker) : tracker_(tracker) {}
  const std::optional<std::string>& operator()(pid_t pid) {
    auto it = known_.find(pid);
    if (it == known_.end()) it = known_.emplace(pid, tracker_.bundleIdentifier(pid)).first;
    return it->second;
  }

 private:
  const WindowTracker& tracker_;
  std::map<pid_t, std::optional<std::string>> known_;
};

// A family window that may stand for a surface in the stacking order.
struct StackingCandidate {
  int64_t number;
  pid_t ownerPID;
  int64_t level;
  Rect frame;  // screen space
};

// The record as a stacking candidate when one of `family` owns it: a window of level 0 or above
// (a surface is only ever matched with windows of its own level).
std::optional<StackingCandidate> stackingCandidate(const WindowListRecord& r, const std::set<pid_t>& family,
                                                   double height) {
  if (!r.layer || *r.layer < 0 || !r.ownerPID || !family.contains(*r.ownerPID) || !r.number ||
      !WindowFilter::visibleAlpha(r) || !r.bounds || !WindowFilter::nonDegenerate(*r.bounds)) {
    return std::nullopt;
  }
  return StackingCandidate{*r.number, *r.ownerPID, *r.layer, r.bounds->flipped(height)};
}

// The candidate (front to back) that best carries frame `f`; `fallback` when none overlaps at
// least half of it.
// Only candidates of `level` count.
int64_t bestStackingMatch(const std::vector<StackingCandidate>& candidates, const Rect& f, int64_t level,
                          int64_t fallback) {
  const double area = std::max(1.0, f.width() * f.height());
  double bestScore = -std::numeric_limits<double>::max();
  std::optional<int64_t> best;
  for (const auto& c : candidates) {
    if (c.level != level) continue;
    const Rect& w = c.frame;
    const Rect overlapRect = w.intersection(f);
    if (overlapRect.isNull() || overlapRect.isInfinite()) continue;
    const double overlap = overlapRect.width() * overlapRect.height() / area;
    if (overlap < 0.5) continue;
    const double widthRatio = std::min(w.width(), f.width()) / std::max(w.width(), f.width());
    const double heightRatio = std::min(w.height(), f.height()) / std::max(w.height(), f.height());
    const double centreDistance =
        (std::fabs(w.midX() - f.midX()) + std::fabs(w.midY() - f.midY())) / std::max(1.0, f.width() + f.height());
    const double score = overlap + widthRatio + heightRatio - centreDistance;
    // Strictly greater: on ties the frontmost window wins.
    if (score > bestScore) {
      bestScore = score;
      best = c.number;
    }
  }
  return best.value_or(fallback);
}

bool isTarget(const WindowListRecord& r, const WindowInfo& target) {
  return r.number && (*r.number == target.windowNumber || *r.number == target.stackingWindowNumber);
}

}  // namespace

WindowTracker::WindowTracker(WindowServer& windowServer, Workspace& workspace, Screens& screens, pid_t ownPID,
                             std::function<pid_t()> mirrorHostPID, MeetingWindowClassifier* classifier)
    : windowServer_(windowServer),
      workspace_(workspace),
      screens_(screens),
      ownPID_(ownPID),
      mirrorHostPID_(std::move(mirrorHostPID)),
      classifier_(classifier) {}

WindowTracker::WindowTracker(const Platform& platform, std::function<pid_t()> mirrorHostPID,
                             MeetingWindowClassifier* classifier)
    : WindowTracker(platform.windowServer, platform.workspace, platform.screens,
                    platform.processes.currentProcessIdentifier(), std::move(mirrorHostPID), classifier) {}

pid_t WindowTracker::mirrorHostPID() const { return mirrorHostPID_ ? mirrorHostPID_() : 0; }

bool WindowTracker::isOurs(pid_t ownerPID) const { return ownerPID == ownPID_ || ownerPID == mirrorHostPID(); }

WindowTracker::Snapshot::Snapshot(const WindowTracker& tracker)
    : tracker_(tracker),
      outer_(tracker.snapshot_),
      entries_(tracker.windowServer_.copyWindowInfo(kListOptions, 0)),
      records_(records(entries_)) {
  tracker_.snapshot_ = this;
}

WindowTracker::Snapshot::~Snapshot() { tracker_.snapshot_ = outer_; }

std::shared_ptr<const std::vector<WindowListRecord>> WindowTracker::records(
    const std::optional<std::vector<WindowListEntry>>& entries) {
  if (!entries) return nullptr;
  auto records = std::make_shared<std::vector<WindowListRecord>>();
  records->reserve(entries->size());
  for (const auto& entry : *entries) records->push_back(WindowListRecord::read(entry));
  return records;
}

std::shared_ptr<const std::vector<WindowListRecord>> WindowTracker::readListIfAny(uint32_t options) const {
  if (snapshot_) return snapshot_->records_;
  return records(windowServer_.copyWindowInfo(options, 0));
}

std::vector<WindowListRecord> WindowTracker::readList(uint32_t options) const {
  auto list = readListIfAny(options);
  return list ? *list : std::vector<WindowListRecord>{};
}

std::optional<Rect> WindowTracker::windowFrame(int64_t number) const {
  auto list = readListIfAny(kListOptions);
  if (!list) return std::nullopt;
  for (const auto& r : *list) {
    if (r.number && *r.number == number && r.bounds) return screenFrame(*r.bounds, mainDisplayHeight());
  }
  return std::nullopt;
}

double WindowTracker::mainDisplayHeight() const {
  Rect main = windowServer_.displayBounds(windowServer_.mainDisplayID());
  return main.isNull() ? 0 : main.height();
}

std::optional<std::string> WindowTracker::bundleIdentifier(pid_t pid) const {
  if (snapshot_) {
    if (auto known = snapshot_->bundleIDs_.find(pid); known != snapshot_->bundleIDs_.end()) return known->second;
  }
  auto app = workspace_.application(pid);
  std::optional<std::string> bundleID;
  if (app && !app->isTerminated) bundleID = app->bundleIdentifier;
  if (snapshot_) snapshot_->bundleIDs_.emplace(pid, bundleID);
  return bundleID;
}

std::set<pid_t> WindowTracker::familyOf(pid_t ownerPID) const {
  if (snapshot_) {
    if (auto known = snapshot_->families_.find(ownerPID); known != snapshot_->families_.end()) return known->second;
  }
  std::set<pid_t> family;
  if (auto bundleID = bundleIdentifier(ownerPID)) {
    if (auto root = Conferencing::hubFamilyRoot(*bundleID)) family = Conferencing::familyPIDs(workspace_, *root);
  }
  family.insert(ownerPID);
  if (snapshot_) snapshot_->families_.emplace(ownerPID, family);
  return family;
}

MeetingWindowClassifier* WindowTracker::classifier() const {
  if (classifier_) return classifier_;
  return MeetingWindowClassifier::hasShared() ? &MeetingWindowClassifier::shared() : nullptr;
}

std::optional<WindowInfo> WindowTracker::ownedWindow(const WindowListRecord& r, const std::set<pid_t>& ownedBy,
                                                     Layers layers, double height) const {
  if (!r.ownerPID || !ownedBy.contains(*r.ownerPID)) return std::nullopt;
  if (!r.layer || (layers == Layers::zeroOnly && *r.layer != 0) || (layers == Layers::zeroAndAbove && *r.layer < 0)) {
    return std::nullopt;
  }
  if (!r.number || !WindowFilter::visibleAlpha(r)) return std::nullopt;
  if (!r.bounds || !WindowFilter::nonDegenerate(*r.bounds)) return std::nullopt;
  WindowInfo info;
  info.windowNumber = *r.number;
  info.ownerPID = *r.ownerPID;
  info.frame = screenFrame(*r.bounds, height);
  info.stackingWindowNumber = *r.number;
  info.title = r.title;
  info.level = *r.layer;
  return info;
}

std::vector<WindowInfo> WindowTracker::onScreenWindows(const std::set<pid_t>& ownedBy, bool layerZeroOnly) const {
  std::vector<WindowInfo> result;
  if (ownedBy.empty()) return result;
  auto list = readListIfAny(kListOptions);
  if (!list) return result;
  const double height = mainDisplayHeight();
  for (const auto& r : *list) {
    if (auto info = ownedWindow(r, ownedBy, layerZeroOnly ? Layers::zeroOnly : Layers::any, height)) {
      result.push_back(std::move(*info));
    }
  }
  return result;
}

std::vector<WindowInfo> WindowTracker::protectedWindows(const std::vector<AppRef>& apps) const {
  if (apps.empty()) return {};
  std::set<std::string> bundleIDs;
  std::set<std::string> names;
  for (const auto& app : apps) {
    // An application chosen on one platform protects it on the others too.
    for (std::string& id : PresetTags::identifiersOf(app.bundleID)) bundleIDs.insert(std::move(id));
    names.insert(text::lowercased(app.name));
  }

  const std::vector<RunningApplication> running = workspace_.runningApplications();
  std::map<pid_t, std::string> bundleOf;
  for (const auto& app : running) {
    if (!app.bundleIdentifier || app.isTerminated) continue;
    if (bundleIDs.contains(*app.bundleIdentifier) ||
        (app.localizedName && names.contains(text::lowercased(*app.localizedName)))) {
      bundleOf.emplace(app.processIdentifier, *app.bundleIdentifier);
    }
  }
  if (bundleOf.empty()) return {};
  std::set<pid_t> pids;
  // The families of the protected hubs, whose windows may stand for a hub window in the stacking
  // order; gathered in the same walk of the list.
  std::map<std::string, std::set<pid_t>> families;
  std::set<pid_t> familyMembers;
  for (const auto& [pid, bundleID] : bundleOf) {
    pids.insert(pid);
    if (Conferencing::isHub(bundleID) && !families.contains(bundleID)) {
      const auto& family = families[bundleID] = Conferencing::familyPIDs(running, bundleID);
      familyMembers.insert(family.begin(), family.end());
    }
  }

  auto list = readListIfAny(kListOptions);
  if (!list) return {};
  const double height = mainDisplayHeight();

  // Grouped by owner, groups in the order their first window appears (front to back).
  std::vector<std::pair<pid_t, std::vector<WindowInfo>>> groups;
  std::vector<StackingCandidate> familyWindows;
  for (const auto& r : *list) {
    if (auto candidate = stackingCandidate(r, familyMembers, height)) familyWindows.push_back(*candidate);
    auto info = ownedWindow(r, pids, Layers::zeroAndAbove, height);
    if (!info) continue;
    auto it = std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.first == info->ownerPID; });
    if (it == groups.end()) it = groups.insert(groups.end(), {info->ownerPID, {}});
    it->second.push_back(std::move(*info));
  }

  std::vector<WindowInfo> result;
  MeetingWindowClassifier* sorter = classifier();
  for (auto& [pid, group] : groups) {
    const std::string& bundleID = bundleOf.at(pid);
    if (Conferencing::isHub(bundleID)) {
      if (sorter) group = sorter->windowsToProtect(group, bundleID);
      const std::set<pid_t>& family = families.at(bundleID);
      std::vector<StackingCandidate> candidates;
      for (const auto& c : familyWindows) {
        if (family.contains(c.ownerPID)) candidates.push_back(c);
      }
      for (auto& w : group) {
        w.stackingWindowNumber = bestStackingMatch(candidates, w.frame, w.level, w.windowNumber);
      }
    }
    result.insert(result.end(), std::make_move_iterator(group.begin()), std::make_move_iterator(group.end()));
  }
  return result;
}

int64_t WindowTracker::stackingWindowNumber(const Rect& matching, const std::set<pid_t>& familyPIDs,
                                            int64_t fallback) const {
  if (familyPIDs.empty()) return fallback;
  auto list = readListIfAny(kListOptions);
  if (!list) return fallback;
  const double height = mainDisplayHeight();
  std::vector<StackingCandidate> candidates;
  for (const auto& r : *list) {
    if (auto candidate = stackingCandidate(r, familyPIDs, height)) candidates.push_back(*candidate);
  }
  return bestStackingMatch(candidates, matching, 0, fallback);
}

bool WindowTracker::isFrontmostProtectedSurface(const WindowInfo& info) const {
  auto frontmost = workspace_.frontmostApplication();
  if (!frontmost) return false;
  const pid_t front = frontmost->processIdentifier;
  const std::set<pid_t> family = familyOf(info.ownerPID);
  if (!family.contains(front)) return false;
  auto list = readListIfAny(kListOptions);
  if (!list) return info.ownerPID == front;
  for (const auto& r : *list) {
    if (!WindowFilter::layerZero(r) || !r.ownerPID || !family.contains(*r.ownerPID) || !r.number ||
        !WindowFilter::visibleAlpha(r) || !r.bounds || !WindowFilter::substantial(*r.bounds) ||
        WindowFilter::barShaped(*r.bounds)) {
      continue;
    }
    return isTarget(r, info);
  }
  return false;
}

std::vector<Rect> WindowTracker::framesInFront(const WindowInfo& target, const std::set<std::string>& excludingBundleIDs,
                                               const std::optional<std::set<std::string>>& includingBundleIDs) const {
  std::vector<Rect> gathered;
  auto list = readListIfAny(kListOptions);
  if (!list || target.frame.isNull()) return gathered;
  std::optional<std::set<pid_t>> family;  // looked up once a window in front needs it
  const double height = mainDisplayHeight();
  const bool filterByBundle = !excludingBundleIDs.empty() || includingBundleIDs.has_value();
  BundleLookup bundleOf(*this);
  const Rect t = target.frame.standardized();
  for (const auto& r : *list) {
    // The target ends the walk whatever its own size or alpha: everything after it is behind it.
    if (isTarget(r, target)) return gathered;
    if (!WindowFilter::layerZero(r) || !r.ownerPID || isOurs(*r.ownerPID) || !r.number ||
        !WindowFilter::visibleAlpha(r) || !r.bounds || !WindowFilter::substantial(*r.bounds) ||
        WindowFilter::barShaped(*r.bounds) || r.sharingState == int64_t(WindowSharingState::none) ||
        (r.alpha && *r.alpha < 1)) {
      continue;
    }
    // Only a window that overlaps the target by more than a point each way counts; tested before
    // the bundle look-ups, which cost more.
    const Rect frame = screenFrame(*r.bounds, height);
    if (std::min(frame.maxX(), t.maxX()) - std::max(frame.minX(), t.minX()) <= 1 ||
        std::min(frame.maxY(), t.maxY()) - std::max(frame.minY(), t.minY()) <= 1) {
      continue;
    }
    const auto& bundleID = bundleOf(*r.ownerPID);
    if (bundleID) {
      if (*bundleID == "com.apple.WindowManager") continue;
      if (*bundleID == "com.apple.dock" && r.bounds->width() > 200 && r.bounds->height() > 200) continue;
    }
    if (filterByBundle) {
      if (bundleID) {
        if (excludingBundleIDs.contains(*bundleID)) continue;
        if (includingBundleIDs && !includingBundleIDs->contains(*bundleID)) continue;
      } else if (includingBundleIDs) {
        continue;
      }
    }
    if (!family) family = familyOf(target.ownerPID);
    if (family->contains(*r.ownerPID) && framesClose(frame, target.frame)) continue;
    gathered.push_back(frame);
  }
  return gathered;
}

std::optional<WindowInFront> WindowTracker::familyWindowInFront(const WindowInfo& target) const {
  auto list = readListIfAny(kListOptions);
  if (!list) return std::nullopt;
  const std::set<pid_t> family = familyOf(target.ownerPID);
  const double height = mainDisplayHeight();
  for (const auto& r : *list) {
    // Reaching the target (whatever its size) means no family window is in front of it.
    if (isTarget(r, target)) return std::nullopt;
    if (!WindowFilter::layerZero(r) || !r.ownerPID || !family.contains(*r.ownerPID) || !r.number ||
        !WindowFilter::visibleAlpha(r) || !r.bounds || !WindowFilter::substantial(*r.bounds) ||
        WindowFilter::barShaped(*r.bounds)) {
      continue;
    }
    const Rect frame = screenFrame(*r.bounds, height);
    if (framesClose(frame, target.frame)) continue;
    return WindowInFront{*r.number, frame};
  }
  return std::nullopt;
}

bool WindowTracker::isSeated(int64_t frost, int64_t directlyAbove, std::optional<int64_t> below) const {
  auto list = readListIfAny(kSeatedListOptions);
  if (!list) return false;
  const ptrdiff_t count = ptrdiff_t(list->size());
  ptrdiff_t f = -1;
  ptrdiff_t t = -1;
  ptrdiff_t b = -1;
  for (ptrdiff_t i = 0; i < count; ++i) {
    const auto& number = (*list)[size_t(i)].number;
    if (!number) continue;
    if (f < 0 && *number == frost) f = i;
    if (t < 0 && *number == directlyAbove) t = i;
    if (below && b < 0 && *number == *below) b = i;
  }
  auto allOursBetween = [&](ptrdiff_t from, ptrdiff_t to) {
    for (ptrdiff_t i = from + 1; i < to; ++i) {
      if (!isOurs((*list)[size_t(i)].ownerPID.value_or(0))) return false;
    }
    return true;
  };
  if (f < 0 || t < 0 || f >= t) return false;
  if (!below) return allOursBetween(f, t);
  if (b < 0 || b >= f) return false;
  return allOursBetween(b, f);
}

bool WindowTracker::pointHitsDock(Point point) const {
  for (const auto& screen : screens_.screens()) {
    if (!screen.frame.contains(point)) continue;
    const Rect& visible = screen.visibleFrame;
    if (point.x < visible.minX() || point.x >= visible.maxX()) return true;
    return visible.minY() > point.y;
  }
  return false;
}

std::optional<WindowUnderPoint> WindowTracker::windowUnderPoint(Point point) const {
  auto list = readListIfAny(kListOptions);
  if (!list) return std::nullopt;
  const double height = mainDisplayHeight();
  for (const auto& r : *list) {
    if (!r.ownerPID || isOurs(*r.ownerPID) || !r.number || !r.layer || *r.layer > 19) continue;
    if (!WindowFilter::visibleAlpha(r) || !r.bounds || !WindowFilter::nonDegenerate(*r.bounds)) continue;
    if (screenFrame(*r.bounds, height).contains(point)) return WindowUnderPoint{*r.number, *r.ownerPID, *r.layer};
  }
  return std::nullopt;
}

}  // namespace corvane
