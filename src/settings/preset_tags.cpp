#include "settings/preset_tags.h"

#include <algorithm>
#include <set>
#include <string>

#include "platform/workspace.h"
#include "base/text.h"

namespace corvane {

const std::vector<AppRef>& PresetTags::protectedAppPresets() {
  static const std::vector<AppRef> presets = {
      {"com.tinyspeck.slackmacgap", "Slack"},
      {"com.microsoft.teams2", "Teams"},
      {"com.microsoft.teams", "Teams classic"},
      {"com.apple.MobileSMS", "Messages"},
      {"com.apple.mail", "Mail"},
      {"com.apple.Notes", "Notes"},
      {"com.apple.reminders", "Reminders"},
      {"com.apple.iCal", "Calendar"},
      {"com.1password.1password", "1Password"},
      {"com.bitwarden.desktop", "Bitwarden"},
      {"org.whispersystems.signal-desktop", "Signal"},
      {"net.whatsapp.WhatsApp", "WhatsApp"},
      {"com.hnc.Discord", "Discord"},
      {"ru.keepcoder.Telegram", "Telegram"},
      {"notion.id", "Notion"},
      {"com.apple.finder", "Finder"},
  };
  return presets;
}

const std::vector<AppRef>& PresetTags::triggerAppPresets() {
  static const std::vector<AppRef> presets = {
      {"us.zoom.xos", "Zoom"},
      {"com.microsoft.teams2", "Teams"},
      {"com.microsoft.teams", "Teams classic"},
      {"com.cisco.webexmeetingsapp", "Webex"},
      {"com.apple.FaceTime", "FaceTime"},
      {"com.skype.skype", "Skype"},
      {"com.hnc.Discord", "Discord"},
      {"com.google.Chrome", "Chrome"},
      {"com.obsproject.obs-studio", "OBS"},
      {"com.apple.quicktimeplayerx", "QuickTime"},
  };
  return presets;
}

std::vector<AppRef> PresetTags::suggestApps(std::string_view query, const std::vector<AppRef>& presets,
                                            const std::vector<AppRef>& running, const std::vector<AppRef>& excluding,
                                            size_t limit) {
  std::set<std::string> taken;
  for (const auto& app : excluding) taken.insert(app.bundleID);
  std::string q = text::lowercased(text::trimmed(query));

  std::vector<const AppRef*> candidates;
  if (q.empty()) {
    for (const auto& app : presets) candidates.push_back(&app);
  } else {
    auto matches = [&q](const AppRef& app) {
      return text::lowercased(app.name).find(q) != std::string::npos ||
             text::lowercased(app.bundleID).find(q) != std::string::npos;
    };
    for (const auto* list : {&presets, &running}) {
      for (const auto& app : *list) {
        if (matches(app)) candidates.push_back(&app);
      }
    }
  }

  std::vector<AppRef> result;
  for (const AppRef* app : candidates) {
    if (result.size() >= limit) break;
    if (!taken.insert(app->bundleID).second) continue;  // excluded, or already suggested
    result.push_back(*app);
  }
  return result;
}

std::vector<AppRef> PresetTags::runningApps(Workspace& workspace) {
  std::vector<AppRef> apps;
  std::set<std::string> seen;
  for (const auto& app : workspace.runningApplications()) {
    if (app.isTerminated || app.activationPolicy != ActivationPolicy::regular) continue;
    if (!app.bundleIdentifier || app.bundleIdentifier->empty()) continue;
    if (!seen.insert(*app.bundleIdentifier).second) continue;
    std::string name = app.localizedName && !app.localizedName->empty() ? *app.localizedName : *app.bundleIdentifier;
    apps.push_back(AppRef{*app.bundleIdentifier, std::move(name)});
  }
  std::stable_sort(apps.begin(), apps.end(), [](const AppRef& a, const AppRef& b) {
    return text::lowercased(a.name) < text::lowercased(b.name);
  });
  return apps;
}

}  // namespace corvane
