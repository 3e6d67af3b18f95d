// The catalogue of conferencing applications that are both chat tools and call tools ("hubs").
//
// A hub's main window shows chats, calendars and files; a call opens a separate meeting window or a
// compact floating one. When a hub is protected its hub windows are frosted and its meeting windows
// stay clear; when it is a trigger it turns Privacy Mode on only during a call. This catalogue
// answers which bundle identifiers are hubs, which processes belong to one hub's family, and cheap
// title and size tests that tell a hub window from a meeting window without walking the
// accessibility tree (the meeting-window classifier walks only when these do not decide).
//
// Titles are tested in their normalised form: lower-cased, then stripped of leading and trailing
// white space and line breaks. An absent or empty title is never a hub title nor a stage title.
//
// Threading: main thread. Everything is pure except the functions that take the workspace, which
// read the list of running applications on each call.
#pragma once

#include <array>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "platform/workspace.h"
#include "settings/app_ref.h"

namespace corvane::Conferencing {

// The hub applications' bundle identifiers, and the same applications' desktop-entry ids on Linux
// (PresetTags::identifiersOf).
const std::set<std::string>& hubBundleIDs();

// Other-platform identifiers of the four hubs; a bundle identifier whose lower-cased form is one of
// these whole words counts as a hub too (company policies name applications this way).
inline constexpr std::array<std::string_view, 4> hubNames = {"ms-teams", "teams", "discord", "skype"};

// Endings and beginnings of a hub window's normalised title.
inline constexpr std::array<std::string_view, 4> hubTitleSuffixes = {" - discord", " \u2013 discord", " - skype",
                                                                     " \u2013 skype"};
inline constexpr std::array<std::string_view, 9> hubTitlePrefixes = {
    "chat |", "calendar |", "activity |", "calls |", "communities |", "meet |", "files |", "one |", "copilot |"};

inline constexpr std::string_view stageTitlePrefix = "meeting |";
// Phrases of a meeting, call or sharing window's normalised title.
inline constexpr std::array<std::string_view, 21> stageTitlePhrases = {
    "meeting compact overlay", "compact overlay",         "sharing control bar",   "sharing toolbar",
    "you're sharing",          "you\u2019re sharing",     "you are sharing",       "you're presenting",
    "you\u2019re presenting",  "you are presenting",      "stop sharing",          "stop presenting",
    "presenting to",           "discord overlay",         "waiting in the lobby",  "waiting to be admitted",
    "waiting to be let in",    "waiting to join",         "call with ",            "meeting with ",
    "your call with"};

// Labels of controls that only a live call shows.
inline constexpr std::array<std::string_view, 19> stageControlNames = {
    "leave",  "leave meeting", "leave call", "leave hangout", "end call", "end meeting", "hang up",
    "disconnect", "leave voice", "leave voice channel", "verlassen", "quitter", "salir", "uscire",
    "sair",   "l\u00e4mna",    "forlad",     "sluiten",       "opustit"};
// Labels of the controls of a call in progress.
inline constexpr std::array<std::string_view, 9> inCallControlNames = {
    "mute", "unmute", "raise hand", "lower hand", "turn camera on", "turn camera off", "turn mic on", "turn mic off",
    "share content"};
// A control label is cut at the first of these characters ("Leave (⌘⇧H)" reads as "leave").
inline constexpr std::array<std::string_view, 6> controlNameSeparators = {"(", ")", "\u00b7", "|", "\u2014", "-"};

// In hubBundleIDs (exact), or lower-cased one of hubNames.
bool isHub(std::string_view bundleID);

// The title lower-cased and trimmed.
std::string normalisedTitle(std::string_view title);

// Ends with a hub suffix or starts with a hub prefix.
bool titleLooksLikeHub(const std::optional<std::string>& title);
// Not a hub title, and starts with "meeting |" or contains a stage phrase.
bool titleLooksLikeStage(const std::optional<std::string>& title);
// 240 ≤ w ≤ 720, 120 ≤ h ≤ 420, not bar-shaped, and 1.15 < w / max(h, 1) < 2.4.
bool boundsLookLikeCompactOverlay(double width, double height);
// A hub window whose title is not a hub title and which is bar-shaped, a compact overlay, or has a
// stage title.
bool cheapStage(std::string_view bundleID, const std::optional<std::string>& title, double width, double height);

// The hub H whose helper this is (the identifier is H + "." + suffix); none for notification,
// widget and launcher helpers.
std::optional<std::string> hubFamilyParent(std::string_view bundleID);
// The identifier itself when it is a hub, else its hub family parent.
std::optional<std::string> hubFamilyRoot(std::string_view bundleID);

// Pids of the running applications whose bundle identifier is `hubBundleID` or whose hub family
// parent it is. Applications without a bundle identifier are skipped.
std::set<pid_t> familyPIDs(Workspace& workspace, std::string_view hubBundleID);
std::set<pid_t> familyPIDs(const std::vector<RunningApplication>& running, std::string_view hubBundleID);
// Equal pids, or two running applications whose hub family roots exist and are equal.
bool isSameHubFamily(Workspace& workspace, pid_t pid, pid_t otherPID);

// The entries whose bundle identifier is a hub, in order.
std::vector<AppRef> hubs(const std::vector<AppRef>& apps);

// Names of the protected hubs that are triggers too, in the protected list's order, each name once
// (compared lower-cased).
std::vector<std::string> dualRoleNames(const std::vector<AppRef>& protectedApps, const std::vector<AppRef>& trigger);
// The names in order, each once (compared lower-cased).
std::vector<std::string> uniqueNames(const std::vector<AppRef>& apps);
// "A", "A and B", "A, B, and C".
std::string joinAnd(const std::vector<std::string>& names);
// The note the settings window shows when hubs are protected or triggers; none when neither list
// holds a hub.
std::optional<std::string> settingsNote(const std::vector<AppRef>& protectedApps, const std::vector<AppRef>& trigger);

}  // namespace corvane::Conferencing
