// The simulated desktop's audio: per-process activity (input, output) and the default microphone.
//
// A process gets an audio object when a test first sets its activity, and keeps it while it runs
// (a pid that no application has counts as running; a terminated application's object is gone).
// The default input device is present unless a test takes it away; it runs somewhere while a
// running process takes audio input or while the test says another process uses it
// (setMicrophoneInUse). Any kind of query can be made to fail, as the platform's calls may.
//
// Threading: any thread.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <sys/types.h>

#include <nlohmann/json_fwd.hpp>

#include "platform/audio.h"

namespace corvane::sim {

class SimDesktop;
struct World;

class SimAudio final : public Audio {
 public:
  static constexpr AudioObjectID kInputDevice = 73;

  enum class Query { processObject, runningInput, runningOutput, defaultInputDevice, runningSomewhere };

  struct ProcessActivity {
    bool input = false;
    bool output = false;
  };
  // What a desktop description sets (its "audio" member).
  struct Settings {
    bool inputDevice = true;
    bool microphoneInUse = false;
    std::map<pid_t, ProcessActivity> processes;
  };

  explicit SimAudio(SimDesktop& desktop);
  SimAudio(const SimAudio&) = delete;
  SimAudio& operator=(const SimAudio&) = delete;

  // ---- Test controls -------------------------------------------------------------------------
  void setProcessAudio(pid_t pid, ProcessActivity activity);
  // Another process (outside the simulated applications) uses the default input device.
  void setMicrophoneInUse(bool inUse);
  // Without an input device the default input device is 0.
  void setInputDeviceAvailable(bool available);
  // Queries of this kind report an error status while set.
  void setQueryFails(Query query, bool fails);
  void reset();
  void reset(const Settings& settings);

  // Reads the "audio" member of a desktop description, if any; pids must name applications of
  // `world`. False with a message naming the element on an error.
  static bool parse(const nlohmann::json& description, const World& world, Settings& settings, std::string& error);

  // ---- Audio ---------------------------------------------------------------------------------
  std::optional<AudioObjectID> processObject(pid_t pid) override;
  std::optional<uint32_t> isRunningInput(AudioObjectID process) override;
  std::optional<uint32_t> isRunningOutput(AudioObjectID process) override;
  std::optional<AudioObjectID> defaultInputDevice() override;
  std::optional<uint32_t> isRunningSomewhere(AudioObjectID device) override;

 private:
  struct Process {
    AudioObjectID object = 0;
    ProcessActivity activity;
  };
  bool isRunning(pid_t pid) const;
  bool fails(Query query) const;
  // The live process behind an audio object; absent for an unknown object or a process gone.
  std::optional<ProcessActivity> activityOf(AudioObjectID object);

  SimDesktop& desktop_;
  mutable std::mutex mutex_;
  std::map<pid_t, Process> processes_;
  AudioObjectID nextObject_ = 200;
  bool inputDevice_ = true;
  bool microphoneInUse_ = false;
  std::set<Query> failing_;
};

}  // namespace corvane::sim
