#include "platform/x11/x11_desktop_entries.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <system_error>

namespace corvane::x11 {

namespace {

constexpr size_t kMaxEntryBytes = 256 * 1024;

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// The file name of the first word of an Exec line, quotes and "env VAR=..." prefixes skipped.
std::string execProgram(std::string_view exec) {
  std::istringstream words{std::string(exec)};
  std::string word;
  bool afterEnv = false;
  while (words >> word) {
    if (!word.empty() && (word.front() == '"' || word.front() == '\'')) word.erase(0, 1);
    if (!word.empty() && (word.back() == '"' || word.back() == '\'')) word.pop_back();
    if (word == "env") {
      afterEnv = true;
      continue;
    }
    if (afterEnv && word.find('=') != std::string::npos) continue;
    auto slash = word.rfind('/');
    return slash == std::string::npos ? word : word.substr(slash + 1);
  }
  return {};
}

std::vector<std::string> splitPaths(const char* value, const char* fallback) {
  std::string text = value && *value ? value : fallback;
  std::vector<std::string> out;
  std::string piece;
  std::istringstream in(text);
  while (std::getline(in, piece, ':')) {
    if (!piece.empty() && piece.front() == '/') out.push_back(piece);
  }
  return out;
}

}  // namespace

std::optional<DesktopEntry> parseDesktopEntry(std::string_view text, std::string id) {
  DesktopEntry entry;
  entry.id = std::move(id);
  bool inGroup = false;
  bool sawGroup = false;
  bool hasName = false;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = trim(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      inGroup = line == "[Desktop Entry]";
      sawGroup = sawGroup || inGroup;
      continue;
    }
    if (!inGroup) continue;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view key = trim(line.substr(0, eq));
    std::string_view value = trim(line.substr(eq + 1));
    // Localised keys ("Name[de]") are left out: the identity uses the untranslated name.
    if (key == "Name") {
      entry.name = std::string(value);
      hasName = !value.empty();
    } else if (key == "StartupWMClass") {
      entry.startupWMClass = std::string(value);
    } else if (key == "Exec") {
      entry.execName = execProgram(value);
    } else if (key == "NoDisplay" || key == "Hidden") {
      entry.hidden = entry.hidden || value == "true";
    }
  }
  if (!sawGroup || !hasName) return std::nullopt;
  return entry;
}

DesktopEntries DesktopEntries::loadStandard() {
  std::vector<std::string> dirs;
  const char* home = std::getenv("HOME");
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  if (dataHome && *dataHome == '/') {
    dirs.push_back(std::string(dataHome) + "/applications");
  } else if (home && *home == '/') {
    dirs.push_back(std::string(home) + "/.local/share/applications");
  }
  for (const std::string& d : splitPaths(std::getenv("XDG_DATA_DIRS"), "/usr/local/share:/usr/share")) {
    dirs.push_back(d + "/applications");
  }
  return load(dirs);
}

DesktopEntries DesktopEntries::load(const std::vector<std::string>& applicationDirectories) {
  namespace fs = std::filesystem;
  std::vector<DesktopEntry> entries;
  std::set<std::string> seen;
  for (const std::string& dir : applicationDirectories) {
    std::error_code ec;
    fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec), end;
    std::vector<fs::path> files;
    for (; !ec && it != end; it.increment(ec)) {
      if (it->path().extension() == ".desktop" && it->is_regular_file(ec)) files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
      std::string id = fs::relative(file, dir, ec).replace_extension().generic_string();
      if (ec || id.empty()) continue;
      std::replace(id.begin(), id.end(), '/', '-');
      if (seen.count(id)) continue;
      std::ifstream in(file, std::ios::binary);
      std::string text(kMaxEntryBytes, '\0');
      in.read(text.data(), std::streamsize(text.size()));
      text.resize(size_t(in.gcount()));
      if (auto entry = parseDesktopEntry(text, id)) {
        seen.insert(id);
        entries.push_back(std::move(*entry));
      }
    }
  }
  return DesktopEntries(std::move(entries));
}

AppIdentity DesktopEntries::identify(std::string_view wmInstance, std::string_view wmClass,
                                     std::string_view executable) const {
  auto identity = [](const DesktopEntry& e) { return AppIdentity{e.id, e.name}; };
  for (const DesktopEntry& e : entries_) {
    if (!e.startupWMClass.empty() && (e.startupWMClass == wmClass || e.startupWMClass == wmInstance)) return identity(e);
  }
  auto idMatches = [&](std::string_view id, std::string_view name) {
    if (name.empty()) return false;
    if (equalsIgnoringCase(id, name)) return true;
    auto dot = id.rfind('.');
    return dot != std::string_view::npos && equalsIgnoringCase(id.substr(dot + 1), name);
  };
  for (const DesktopEntry& e : entries_) {
    if (idMatches(e.id, wmClass) || idMatches(e.id, wmInstance)) return identity(e);
  }
  if (!executable.empty()) {
    for (const DesktopEntry& e : entries_) {
      if (e.execName == executable) return identity(e);
    }
  }
  std::string fallback(!wmClass.empty() ? wmClass : !wmInstance.empty() ? wmInstance : executable);
  return {fallback, fallback};
}

}  // namespace corvane::x11
