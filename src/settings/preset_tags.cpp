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

const std::vector<KnownApplication>& PresetTags::knownApplications() {
  // Desktop-entry ids as the packages install them: the vendor's .deb or .rpm, the distributions'
  // packages, and Flathub. Where a vendor and Flathub share an id it is listed once.
  static const std::vector<KnownApplication> apps = {
      {"Slack", "com.tinyspeck.slackmacgap", {{"slack", "Slack"}, {"com.slack.Slack", "Slack (Flatpak)"}}},
      {"Teams",
       "com.microsoft.teams2",
       {{"teams-for-linux", "Teams for Linux"},
        {"com.github.IsmaelMartinez.teams_for_linux", "Teams for Linux (Flatpak)"}}},
      {"Teams classic",
       "com.microsoft.teams",
       {{"teams", "Teams classic"}, {"teams-insiders", "Teams classic Insiders"},
        {"com.microsoft.Teams", "Teams classic (Flatpak)"}}},
      {"1Password", "com.1password.1password", {{"1password", "1Password"}}},
      {"Bitwarden", "com.bitwarden.desktop", {{"bitwarden", "Bitwarden"}, {"com.bitwarden.desktop", "Bitwarden (Flatpak)"}}},
      {"Signal", "org.whispersystems.signal-desktop", {{"signal-desktop", "Signal"}, {"org.signal.Signal", "Signal (Flatpak)"}}},
      {"Discord", "com.hnc.Discord", {{"discord", "Discord"}, {"com.discordapp.Discord", "Discord (Flatpak)"}}},
      {"Telegram", "ru.keepcoder.Telegram", {{"org.telegram.desktop", "Telegram"}, {"telegramdesktop", "Telegram"}}},
      {"Zoom", "us.zoom.xos", {{"Zoom", "Zoom"}, {"us.zoom.Zoom", "Zoom (Flatpak)"}}},
      {"Skype", "com.skype.skype", {{"skypeforlinux", "Skype"}, {"com.skype.Client", "Skype (Flatpak)"}}},
      {"Chrome", "com.google.Chrome", {{"google-chrome", "Chrome"}, {"com.google.Chrome", "Chrome (Flatpak)"}}},
      {"OBS", "com.obsproject.obs-studio", {{"com.obsproject.Studio", "OBS"}, {"obs", "OBS"}}},
      {"Firefox", "org.mozilla.firefox",
       {{"firefox", "Firefox"}, {"firefox-esr", "Firefox ESR"}, {"org.mozilla.firefox", "Firefox (Flatpak)"}}},
      {"Thunderbird", "org.mozilla.thunderbird",
       {{"thunderbird", "Thunderbird"}, {"org.mozilla.Thunderbird", "Thunderbird (Flatpak)"}}},
  };
  return apps;
}

std::vector<std::string> PresetTags::identifiersOf(std::string_view id) {
  std::vector<std::string> ids = {std::string(id)};
  auto add = [&](std::string_view other) {
    if (std::find(ids.begin(), ids.end(), other) == ids.end()) ids.emplace_back(other);
  };
  for (const auto& app : knownApplications()) {
    const bool named = app.bundleID == id || std::any_of(app.onLinux.begin(), app.onLinux.end(),
                                                         [&](const AppRef& l) { return l.bundleID == id; });
    if (!named) continue;
    add(app.bundleID);
    for (const auto& l : app.onLinux) add(l.bundleID);
  }
  return ids;
}

std::vector<AppRef> PresetTags::linuxPresets(const std::vector<AppRef>& presets) {
  std::vector<AppRef> result;
  std::set<std::string> taken;
  for (const auto& preset : presets) {
    for (const auto& app : knownApplications()) {
      if (app.bundleID != preset.bundleID) continue;
      for (const auto& l : app.onLinux) {
        if (taken.insert(l.bundleID).second) result.push_back(l);
      }
    }
  }
  return result;
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
