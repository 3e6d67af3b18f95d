#include "windows/conferencing.h"

#include <algorithm>

#include "base/text.h"
#include "settings/preset_tags.h"
#include "windows/window_tracker.h"

namespace corvane::Conferencing {

namespace {

bool startsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }
bool endsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// Helper suffixes that never belong to a hub's family: they run beside the application, not as a
// part of its windows.
bool isExcludedHelper(std::string_view suffix) {
  const std::string lower = text::lowercased(suffix);
  return lower.find("notification") != std::string::npos || lower.find("widget") != std::string::npos ||
         lower.find("launcher") != std::string::npos;
}

std::optional<std::string> runningBundleID(Workspace& workspace, pid_t pid) {
  auto app = workspace.application(pid);
  if (!app || app->isTerminated) return std::nullopt;
  return app->bundleIdentifier;
}

}  // namespace

const std::set<std::string>& hubBundleIDs() {
  static const std::set<std::string> ids = [] {
    std::set<std::string> hubs;
    // The hubs' bundle identifiers, and the same applications' identifiers on Linux (desktop-entry
    // ids of the vendors' and distributions' packages, and Flatpak ids).
    for (const char* hub : {"com.microsoft.teams2", "com.microsoft.teams", "com.hnc.Discord", "com.skype.skype"}) {
      for (std::string& id : PresetTags::identifiersOf(hub)) hubs.insert(std::move(id));
    }
    return hubs;
  }();
  return ids;
}

bool isHub(std::string_view bundleID) {
  if (hubBundleIDs().contains(std::string(bundleID))) return true;
  const std::string lower = text::lowercased(bundleID);
  return std::find(hubNames.begin(), hubNames.end(), lower) != hubNames.end();
}

std::string normalisedTitle(std::string_view title) { return text::trimmed(text::lowercased(title)); }

bool titleLooksLikeHub(const std::optional<std::string>& title) {
  if (!title || title->empty()) return false;
  const std::string t = normalisedTitle(*title);
  if (t.empty()) return false;
  for (auto suffix : hubTitleSuffixes) {
    if (endsWith(t, suffix)) return true;
  }
  for (auto prefix : hubTitlePrefixes) {
    if (startsWith(t, prefix)) return true;
  }
  return false;
}

bool titleLooksLikeStage(const std::optional<std::string>& title) {
  if (!title || title->empty() || titleLooksLikeHub(title)) return false;
  const std::string t = normalisedTitle(*title);
  if (t.empty()) return false;
  if (startsWith(t, stageTitlePrefix)) return true;
  for (auto phrase : stageTitlePhrases) {
    if (t.find(phrase) != std::string::npos) return true;
  }
  return false;
}

bool boundsLookLikeCompactOverlay(double width, double height) {
  if (width < 240 || width > 720 || height < 120 || height > 420) return false;
  if (WindowFilter::barShaped(Rect(0, 0, width, height))) return false;
  const double ratio = width / std::max(height, 1.0);
  return ratio > 1.15 && ratio < 2.4;
}

bool cheapStage(std::string_view bundleID, const std::optional<std::string>& title, double width, double height) {
  if (!isHub(bundleID) || titleLooksLikeHub(title)) return false;
  return WindowFilter::barShaped(Rect(0, 0, width, height)) || boundsLookLikeCompactOverlay(width, height) ||
         titleLooksLikeStage(title);
}

std::optional<std::string> hubFamilyParent(std::string_view bundleID) {
  for (const auto& hub : hubBundleIDs()) {
    if (bundleID.size() > hub.size() && startsWith(bundleID, hub) && bundleID[hub.size()] == '.') {
      if (isExcludedHelper(bundleID.substr(hub.size() + 1))) return std::nullopt;
      return hub;
    }
  }
  return std::nullopt;
}

std::optional<std::string> hubFamilyRoot(std::string_view bundleID) {
  if (isHub(bundleID)) return std::string(bundleID);
  return hubFamilyParent(bundleID);
}

std::set<pid_t> familyPIDs(const std::vector<RunningApplication>& running, std::string_view hubBundleID) {
  std::set<pid_t> pids;
  for (const auto& app : running) {
    if (!app.bundleIdentifier || app.isTerminated) continue;
    if (*app.bundleIdentifier == hubBundleID || hubFamilyParent(*app.bundleIdentifier) == hubBundleID) {
      pids.insert(app.processIdentifier);
    }
  }
  return pids;
}

std::set<pid_t> familyPIDs(Workspace& workspace, std::string_view hubBundleID) {
  return familyPIDs(workspace.runningApplications(), hubBundleID);
}

bool isSameHubFamily(Workspace& workspace, pid_t pid, pid_t otherPID) {
  if (pid == otherPID) return true;
  auto a = runningBundleID(workspace, pid);
  auto b = runningBundleID(workspace, otherPID);
  if (!a || !b) return false;
  auto rootA = hubFamilyRoot(*a);
  auto rootB = hubFamilyRoot(*b);
  return rootA && rootB && *rootA == *rootB;
}

std::vector<AppRef> hubs(const std::vector<AppRef>& apps) {
  std::vector<AppRef> result;
  for (const auto& app : apps) {
    if (isHub(app.bundleID)) result.push_back(app);
  }
  return result;
}

std::vector<std::string> dualRoleNames(const std::vector<AppRef>& protectedApps, const std::vector<AppRef>& trigger) {
  std::set<std::string> triggerIDs;
  for (const auto& app : hubs(trigger)) triggerIDs.insert(app.bundleID);
  std::vector<std::string> names;
  std::set<std::string> seen;
  for (const auto& app : protectedApps) {
    if (!isHub(app.bundleID) || !triggerIDs.contains(app.bundleID)) continue;
    if (seen.insert(text::lowercased(app.name)).second) names.push_back(app.name);
  }
  return names;
}

std::vector<std::string> uniqueNames(const std::vector<AppRef>& apps) {
  std::vector<std::string> names;
  std::set<std::string> seen;
  for (const auto& app : apps) {
    if (seen.insert(text::lowercased(app.name)).second) names.push_back(app.name);
  }
  return names;
}

std::string joinAnd(const std::vector<std::string>& names) {
  switch (names.size()) {
    case 0:
      return {};
    case 1:
      return names[0];
    case 2:
      return names[0] + " and " + names[1];
    default: {
      std::string joined;
      for (size_t i = 0; i + 1 < names.size(); ++i) joined += names[i] + ", ";
      return joined + "and " + names.back();
    }
  }
}

std::optional<std::string> settingsNote(const std::vector<AppRef>& protectedApps, const std::vector<AppRef>& trigger) {
  const auto protectedHubs = hubs(protectedApps);
  const auto triggerHubs = hubs(trigger);
  if (protectedHubs.empty() && triggerHubs.empty()) return std::nullopt;
  if (auto dual = dualRoleNames(protectedApps, trigger); !dual.empty()) {
    return joinAnd(dual) +
           " can be a trigger and a protected app at the same time. "
           "Chat and hub windows stay frosted; meeting and call windows stay clear. "
           "Privacy auto-on waits until a call is in progress, not merely because the app is open.";
  }
  if (!protectedHubs.empty() && !triggerHubs.empty()) {
    return std::string(
        "Chat and hub windows stay frosted; meeting and call windows stay clear. "
        "Teams and Discord only trigger privacy while a call is in progress.");
  }
  if (!protectedHubs.empty()) {
    return joinAnd(uniqueNames(protectedHubs)) + " meeting and call windows stay clear; chat and hub windows still frost.";
  }
  return joinAnd(uniqueNames(triggerHubs)) +
         " will turn privacy on when a call starts \u2014 not while you're only chatting.";
}

}  // namespace corvane::Conferencing
