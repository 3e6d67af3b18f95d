#include "platform/sim/sim_audio.h"

#include <nlohmann/json.hpp>

#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_world.h"

namespace corvane::sim {

SimAudio::SimAudio(SimDesktop& desktop) : desktop_(desktop) {}

void SimAudio::setProcessAudio(pid_t pid, ProcessActivity activity) {
  std::lock_guard<std::mutex> lock(mutex_);
  Process& process = processes_[pid];
  if (process.object == 0) process.object = nextObject_++;
  process.activity = activity;
}

void SimAudio::setMicrophoneInUse(bool inUse) {
  std::lock_guard<std::mutex> lock(mutex_);
  microphoneInUse_ = inUse;
}

void SimAudio::setInputDeviceAvailable(bool available) {
  std::lock_guard<std::mutex> lock(mutex_);
  inputDevice_ = available;
}

void SimAudio::setQueryFails(Query query, bool fails) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fails) {
    failing_.insert(query);
  } else {
    failing_.erase(query);
  }
}

void SimAudio::reset() { reset(Settings()); }

void SimAudio::reset(const Settings& settings) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    processes_.clear();
    nextObject_ = 200;
    inputDevice_ = settings.inputDevice;
    microphoneInUse_ = settings.microphoneInUse;
    failing_.clear();
  }
  for (const auto& [pid, activity] : settings.processes) setProcessAudio(pid, activity);
}

bool SimAudio::parse(const nlohmann::json& description, const World& world, Settings& settings, std::string& error) {
  auto it = description.find("audio");
  if (it == description.end()) return true;
  const nlohmann::json& v = *it;
  auto fail = [&](const std::string& path, const std::string& what) {
    error = "audio" + path + ": " + what;
    return false;
  };
  auto flag = [&](const nlohmann::json& object, const std::string& path, const char* key, bool& out) {
    auto member = object.find(key);
    if (member == object.end()) return true;
    if (!member->is_boolean()) return fail(path + "." + key, "expected true or false");
    out = member->get<bool>();
    return true;
  };
  if (!v.is_object()) return fail("", "expected an object");
  for (auto member = v.begin(); member != v.end(); ++member) {
    if (member.key() != "inputDevice" && member.key() != "microphoneInUse" && member.key() != "processes") {
      return fail("", "unknown member \"" + member.key() + "\"");
    }
  }
  if (!flag(v, "", "inputDevice", settings.inputDevice) || !flag(v, "", "microphoneInUse", settings.microphoneInUse)) {
    return false;
  }
  auto processes = v.find("processes");
  if (processes == v.end()) return true;
  if (!processes->is_array()) return fail(".processes", "expected an array");
  for (size_t i = 0; i < processes->size(); ++i) {
    const nlohmann::json& p = (*processes)[i];
    const std::string path = ".processes[" + std::to_string(i) + "]";
    if (!p.is_object()) return fail(path, "expected an object");
    for (auto member = p.begin(); member != p.end(); ++member) {
      if (member.key() != "pid" && member.key() != "input" && member.key() != "output") {
        return fail(path, "unknown member \"" + member.key() + "\"");
      }
    }
    auto pid = p.find("pid");
    if (pid == p.end()) return fail(path + ".pid", "missing");
    if (!pid->is_number_integer() || pid->get<int64_t>() < 1 || pid->get<int64_t>() > INT32_MAX ||
        !world.findApp(pid_t(pid->get<int64_t>()))) {
      return fail(path + ".pid", "expected the pid of one of the applications");
    }
    ProcessActivity activity;
    if (!flag(p, path, "input", activity.input) || !flag(p, path, "output", activity.output)) return false;
    settings.processes[pid_t(pid->get<int64_t>())] = activity;
  }
  return true;
}

bool SimAudio::isRunning(pid_t pid) const {
  auto app = desktop_.app(pid);
  return !app || !app->terminated;
}

bool SimAudio::fails(Query query) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failing_.contains(query);
}

std::optional<SimAudio::ProcessActivity> SimAudio::activityOf(AudioObjectID object) {
  pid_t pid = 0;
  ProcessActivity activity;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [p, process] : processes_) {
      if (object != 0 && process.object == object) {
        pid = p;
        activity = process.activity;
      }
    }
  }
  if (pid == 0 || !isRunning(pid)) return std::nullopt;
  return activity;
}

std::optional<AudioObjectID> SimAudio::processObject(pid_t pid) {
  if (fails(Query::processObject)) return std::nullopt;
  AudioObjectID object = kAudioObjectUnknown;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = processes_.find(pid);
    if (it != processes_.end()) object = it->second.object;
  }
  return object != kAudioObjectUnknown && isRunning(pid) ? object : kAudioObjectUnknown;
}

std::optional<uint32_t> SimAudio::isRunningInput(AudioObjectID process) {
  if (fails(Query::runningInput)) return std::nullopt;
  auto activity = activityOf(process);
  if (!activity) return std::nullopt;
  return activity->input ? 1 : 0;
}

std::optional<uint32_t> SimAudio::isRunningOutput(AudioObjectID process) {
  if (fails(Query::runningOutput)) return std::nullopt;
  auto activity = activityOf(process);
  if (!activity) return std::nullopt;
  return activity->output ? 1 : 0;
}

std::optional<AudioObjectID> SimAudio::defaultInputDevice() {
  if (fails(Query::defaultInputDevice)) return std::nullopt;
  std::lock_guard<std::mutex> lock(mutex_);
  return inputDevice_ ? kInputDevice : kAudioObjectUnknown;
}

std::optional<uint32_t> SimAudio::isRunningSomewhere(AudioObjectID device) {
  if (fails(Query::runningSomewhere)) return std::nullopt;
  std::map<pid_t, Process> processes;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!inputDevice_ || device != kInputDevice) return std::nullopt;
    if (microphoneInUse_) return 1;
    processes = processes_;
  }
  for (const auto& [pid, process] : processes) {
    if (process.activity.input && isRunning(pid)) return 1;
  }
  return 0;
}

}  // namespace corvane::sim
