// Audio activity of processes and devices, after the reference platform's audio object properties:
// the system object translates a process id into a process object, which tells whether the
// process is recording or playing; the system object names the default input device, which tells
// whether any process is using it.
//
// Every query may fail (the platform returns an error status); it then returns an empty optional,
// and callers count the process or device as silent.
//
// Threading: any thread. Results are values.
#pragma once

#include <cstdint>
#include <optional>
#include <sys/types.h>

namespace corvane {

// An audio object id; 0 is the unknown object (no such process or device).
using AudioObjectID = uint32_t;
constexpr AudioObjectID kAudioObjectUnknown = 0;

class Audio {
 public:
  virtual ~Audio() = default;

  // The process's audio object ('id2p' on the system object, the pid as qualifier): 0 when the
  // process has none.
  virtual std::optional<AudioObjectID> processObject(pid_t pid) = 0;
  // 'piri' of a process object: non-zero while the process takes audio input.
  virtual std::optional<uint32_t> isRunningInput(AudioObjectID process) = 0;
  // 'piro' of a process object: non-zero while the process plays audio.
  virtual std::optional<uint32_t> isRunningOutput(AudioObjectID process) = 0;
  // 'dIn ' of the system object: the default input device, 0 when there is none.
  virtual std::optional<AudioObjectID> defaultInputDevice() = 0;
  // 'gone' of a device: non-zero while some process uses the device.
  virtual std::optional<uint32_t> isRunningSomewhere(AudioObjectID device) = 0;
};

}  // namespace corvane
