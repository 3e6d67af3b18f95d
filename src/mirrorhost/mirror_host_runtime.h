// The mirror host as a process role (--mirror-host): commands come on a descriptor (the process's
// standard input), events go to another (its standard output), and the role ends with status 0
// when its input ends.
//
// As a process of its own, a blocking reader thread ("mirror-host-stdin") only hands the bytes it
// reads to the main queue, where the host splits them into lines; the output queue writes the
// events. Run inside another process on a virtual clock (the simulated desktop's in-process
// helpers), nothing may block: the input is then read without blocking by a timer on the main
// queue, 240 times a second, and an event that finds the output pipe full is dropped.
#pragma once

#include <memory>
#include <string>

#include "base/log.h"
#include "mirrorhost/mirror_host.h"
#include "platform/platform.h"

namespace corvane {

class MirrorHostRuntime {
 public:
  // `log` takes the Clear View lines of the host. The platform must have a user interface.
  MirrorHostRuntime(const Platform& platform, LogSink& log, int inputFD, int outputFD);
  ~MirrorHostRuntime();
  MirrorHostRuntime(const MirrorHostRuntime&) = delete;
  MirrorHostRuntime& operator=(const MirrorHostRuntime&) = delete;

  enum class InputReading { blockingThread, polled };
  static constexpr double kPollInterval = 1.0 / 240;

  // Sends "hello" and starts reading; `onEnd` runs on the main queue once the input has ended (or
  // could not be read).
  void start(std::function<void()> onEnd, InputReading reading = InputReading::blockingThread);
  MirrorHost& host() { return *host_; }

  // The whole role on this platform: runs its event loop until the input ends. Returns the exit
  // status (1, with a message on `err`, when the platform has no user interface).
  static int run(const Platform& platform, LogSink& log, LogSink& err, int inputFD = 0, int outputFD = 1);

  // The bundle identifier the host announces: that of the application this process belongs to,
  // "" when it has none.
  static std::string bundleIdentifier(const Platform& platform);

 private:
  struct Feed;
  const Platform platform_;
  int inputFD_;
  int outputFD_;
  std::unique_ptr<MirrorHostOutput> output_;
  std::unique_ptr<MirrorHost> host_;
  std::shared_ptr<Feed> feed_;
  std::unique_ptr<Timer> poll_;
};

}  // namespace corvane
