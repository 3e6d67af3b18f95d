// The Clear View log: every Clear View, mirror host and follower line goes to the system log as
// "[Corvane] <message>" and is appended to the Clear View log file as "<ISO 8601 date> <message>".
//
// The file lives under the user's state directory, $XDG_STATE_HOME/corvane/clearview.log (by
// default ~/.local/state/corvane/clearview.log). The first line creates it (mode 0600) and the
// corvane directory (mode 0700) with any missing parents. It is never written through a symbolic
// link: a link at the file's place or at the corvane directory's makes the line go to the system
// log only. Every error of the file is ignored; the system log always gets the line.
//
// Threading: any thread; lines are written one at a time, whole.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "base/clock.h"
#include "base/log.h"

namespace corvane {

class ClearViewLog final : public LogSink {
 public:
  // `filePath` empty: system log only. The sink and the clock outlive the log.
  ClearViewLog(LogSink& systemLog, const Clock& clock, std::string filePath);
  ClearViewLog(const ClearViewLog&) = delete;
  ClearViewLog& operator=(const ClearViewLog&) = delete;

  // The file's place for this environment (XDG_STATE_HOME, else HOME/.local/state); empty when
  // neither is set to an absolute path.
  static std::string defaultPath(const std::map<std::string, std::string>& environment);
  // The same from the process's own environment.
  static std::string defaultPath();

  // The process-wide log that start-up installs (null before, and after uninstall).
  static ClearViewLog* shared();
  static void install(ClearViewLog* log);

  void line(std::string_view message);
  void log(std::string_view message) override { line(message); }

  const std::string& filePath() const { return filePath_; }

  // "2026-12-06T15:26:34Z" for the wall time in seconds (UTC, whole seconds).
  static std::string iso8601(double wallTime);

 private:
  void append(const std::string& text);

  LogSink& systemLog_;
  const Clock& clock_;
  std::string filePath_;
  std::mutex mutex_;
};

}  // namespace corvane
