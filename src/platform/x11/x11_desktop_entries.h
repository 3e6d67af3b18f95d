// The installed desktop entries (".desktop" files) and the identity of an application from its
// window: the entry's id is the application's identifier, the entry's Name its name.
//
// Entries are read from $XDG_DATA_HOME/applications (default ~/.local/share/applications) and from
// "applications" under each directory of $XDG_DATA_DIRS (default /usr/local/share:/usr/share);
// the first directory that holds an id wins. An id is the file's path below "applications" with
// "/" replaced by "-" and without ".desktop" (Flatpak exports keep their reverse-domain ids).
//
// Matching a window, first hit wins: an entry whose StartupWMClass equals the WM_CLASS class or
// instance; an entry whose id equals the class or the instance (ignoring case, and also the last
// dot-separated part of the id, so "org.gnome.Nautilus" matches class "nautilus"); an entry whose
// Exec program's file name equals the process's executable name. Without a match the identifier
// is the WM_CLASS class (else the instance, else the executable name) and so is the name.
//
// Threading: main thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::x11 {

struct DesktopEntry {
  std::string id;
  std::string name;
  std::string startupWMClass;
  std::string execName;  // the file name of the Exec line's program
  bool hidden = false;   // NoDisplay or Hidden entries still identify applications
};

struct AppIdentity {
  std::string identifier;
  std::string name;
};

// Parses the [Desktop Entry] group of one file's text. Absent when the text has no such group or
// no Name (a broken file is skipped, never fatal).
std::optional<DesktopEntry> parseDesktopEntry(std::string_view text, std::string id);

class DesktopEntries {
 public:
  // The entries found under the standard directories (see above), read now.
  static DesktopEntries loadStandard();
  // The entries of `applicationDirectories`, earlier directories first.
  static DesktopEntries load(const std::vector<std::string>& applicationDirectories);
  explicit DesktopEntries(std::vector<DesktopEntry> entries = {}) : entries_(std::move(entries)) {}

  AppIdentity identify(std::string_view wmInstance, std::string_view wmClass, std::string_view executable) const;
  const std::vector<DesktopEntry>& entries() const { return entries_; }

 private:
  std::vector<DesktopEntry> entries_;
};

}  // namespace corvane::x11
