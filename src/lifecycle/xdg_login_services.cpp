#include "lifecycle/xdg_login_services.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "base/files.h"
#include "platform/processes.h"

namespace corvane {

namespace {

bool hasControlCharacter(const std::string& s) {
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7f) return true;
  }
  return false;
}

// A systemd command-line word: quoted, backslash and quote escaped, specifiers and variables
// doubled.
std::string systemdWord(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '%') out += '%';
    if (c == '$') out += '$';
    out += c;
  }
  return out + "\"";
}

void setError(std::string* error, std::string message) {
  if (error) *error = std::move(message);
}

bool removeFile(const std::string& path) {
  std::error_code ec;
  return std::filesystem::remove(path, ec);
}

}  // namespace

std::optional<std::string> XdgLoginServices::standardConfigHome() {
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/') return std::string(config);
  if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/.config";
  return std::nullopt;
}

XdgLoginServices::XdgLoginServices(Processes& processes, std::string configHome)
    : processes_(processes), configHome_(std::move(configHome)) {}

std::string XdgLoginServices::unitPath(const std::string& label) const {
  return configHome_ + "/systemd/user/" + label + ".service";
}

std::string XdgLoginServices::autostartPath() const { return configHome_ + "/autostart/corvane.desktop"; }

std::optional<std::string> XdgLoginServices::unitText(const std::string& label, const std::string& executablePath,
                                                      std::string* error) {
  if (executablePath.empty() || hasControlCharacter(executablePath) || hasControlCharacter(label)) {
    setError(error, "the executable path cannot be written into a service unit");
    return std::nullopt;
  }
  return "# Keeps Corvane running while your organization requires it. Written by Corvane.\n"
         "[Unit]\n"
         "Description=Corvane (required by your organization)\n"
         "StartLimitIntervalSec=0\n"
         "\n"
         "[Service]\n"
         "Type=simple\n"
         "ExecStart=" + systemdWord(executablePath) + "\n"
         "Environment=" + systemdWord(std::string(kUnitMarker) + "=" + label) + "\n"
         "Restart=always\n"
         "RestartSec=4\n"
         "\n"
         "[Install]\n"
         "WantedBy=default.target\n";
}

std::optional<std::string> XdgLoginServices::autostartText(const std::string& executablePath, std::string* error) {
  if (executablePath.empty() || hasControlCharacter(executablePath) ||
      executablePath.find_first_of("\"`$\\") != std::string::npos) {
    setError(error, "the executable path cannot be written into an autostart entry");
    return std::nullopt;
  }
  std::string exec;
  for (char c : executablePath) {
    if (c == '%') exec += '%';
    exec += c;
  }
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Corvane\n"
         "Comment=Keeps chosen applications private while you share your screen\n"
         "Exec=\"" + exec + "\"\n"
         "Terminal=false\n"
         "NoDisplay=true\n"
         "X-GNOME-Autostart-enabled=true\n";
}

int XdgLoginServices::systemctl(const std::vector<std::string>& arguments) {
  std::vector<std::string> all = {"--user"};
  all.insert(all.end(), arguments.begin(), arguments.end());
  return processes_.runCommand("systemctl", all).status;
}

bool XdgLoginServices::installKeepAlive(const std::string& label, const std::string& executablePath,
                                        std::string* error) {
  auto text = unitText(label, executablePath, error);
  if (!text) return false;
  const std::string path = unitPath(label);
  if (!makeDirectories(std::filesystem::path(path).parent_path().string(), error)) return false;
  if (!writeFileText(*text, path, error)) return false;
  // Without systemctl (status -1) the unit waits for the next login of a systemd session.
  if (systemctl({"daemon-reload"}) != -1) systemctl({"enable", "--now", label + ".service"});
  return true;
}

void XdgLoginServices::removeKeepAlive(const std::string& label) {
  const char* marker = std::getenv(kUnitMarker);
  const bool runningUnderUnit = marker && label == marker;
  const std::string unit = label + ".service";
  // Stopping the unit would end this process when it runs under it; it then just ends with it.
  const int disabled = runningUnderUnit ? systemctl({"disable", unit}) : systemctl({"disable", "--now", unit});
  // What `disable` removes, in case systemctl is missing or failed.
  removeFile(configHome_ + "/systemd/user/default.target.wants/" + unit);
  const bool hadFile = removeFile(unitPath(label));
  if (hadFile && disabled != -1) systemctl({"daemon-reload"});
}

bool XdgLoginServices::setLoginItem(bool enabled, const std::string& executablePath, std::string* error) {
  const std::string path = autostartPath();
  if (!enabled) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
    if (ec) setError(error, "cannot remove " + path + ": " + ec.message());
    return !ec;
  }
  auto text = autostartText(executablePath, error);
  if (!text) return false;
  if (!makeDirectories(std::filesystem::path(path).parent_path().string(), error)) return false;
  return writeFileText(*text, path, error);
}

}  // namespace corvane
