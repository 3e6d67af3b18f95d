// Process audio activity on Linux, from the sound server's PulseAudio interface (PulseAudio itself,
// or PipeWire through pipewire-pulse).
//
// A process takes audio input while it holds an uncorked recording stream (a source output) and
// plays while it holds an uncorked playback stream (a sink input); streams name their process by
// the "application.process.id" property. Applications that record or play from a helper process
// (browsers and Electron applications do) count through that helper: a stream counts for its own
// process and for every ancestor of it, so the application's main process, which owns the windows,
// is seen in the call. The default input device is the server's default source; it runs somewhere
// while its state is running.
//
// The connection lives on a thread of its own (the library's threaded main loop): it subscribes
// to changes of streams, sources and the server, reads the whole activity again after each batch
// of changes, and posts the result to the main queue, where it replaces what the queries answer.
// Until the first answer, and while no server answers, every query fails (callers count processes
// and devices as silent); a lost server is asked again every second.
//
// Process objects are the process ids themselves; the default input device is the source's index
// plus one (0 stays "no device").
//
// Threading: the queries may be called on any thread; the change callback runs on the main queue.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio.h"

namespace corvane {
class Dispatcher;
class LogSink;
}  // namespace corvane

namespace corvane::pulse {

// One stream as the server reports it.
struct Stream {
  pid_t pid = 0;
  bool input = false;  // a recording stream (source output); else a playback stream (sink input)
  bool corked = false;
};

// What the queries answer.
struct Activity {
  struct Process {
    bool input = false;
    bool output = false;
  };
  bool connected = false;
  std::map<pid_t, Process> processes;
  AudioObjectID defaultInput = kAudioObjectUnknown;
  bool defaultInputRunning = false;
};

// The activity of `streams`: each uncorked stream counts for its process and for that process's
// ancestors, found with `parentOf` (0 or a non-positive pid ends the walk; a chain is followed at
// most 64 steps, so a loop in bad data ends too).
Activity summarize(const std::vector<Stream>& streams, const std::function<pid_t(pid_t)>& parentOf);

// The parent of a running process, read from /proc; 0 when it is gone or unreadable.
pid_t parentProcess(pid_t pid);

class PulseAudio final : public Audio {
 public:
  // Starts connecting to the server the environment names (PULSE_SERVER, else the user's runtime
  // directory), never spawning one. `log` receives one line when the server is first reached and
  // one when it is lost (on the main queue).
  static std::unique_ptr<PulseAudio> start(Dispatcher& dispatcher, LogSink& log);
  ~PulseAudio() override;
  PulseAudio(const PulseAudio&) = delete;
  PulseAudio& operator=(const PulseAudio&) = delete;

  // Called on the main queue after each change of what the queries answer.
  void setOnChange(std::function<void()> onChange);
  // The activity the queries answer now.
  Activity activity() const;

  std::optional<AudioObjectID> processObject(pid_t pid) override;
  std::optional<uint32_t> isRunningInput(AudioObjectID process) override;
  std::optional<uint32_t> isRunningOutput(AudioObjectID process) override;
  std::optional<AudioObjectID> defaultInputDevice() override;
  std::optional<uint32_t> isRunningSomewhere(AudioObjectID device) override;

  struct Shared;
  struct Loop;

 private:
  PulseAudio() = default;
  std::shared_ptr<Shared> shared_;
  std::unique_ptr<Loop> loop_;  // last: stopped first, so no callback outlives what it touches
};

}  // namespace corvane::pulse
