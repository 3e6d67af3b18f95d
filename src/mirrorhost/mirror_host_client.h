// The application's side of the mirror host: one client starts the host process on demand,
// restarts it with a growing back-off when it dies, writes commands to it and turns its events into
// state on MirrorPlate objects, the application's handles on plates.
//
// Starting: the first send() launches the host (this program's own executable with --mirror-host).
// After a launch failure or a host exit the next launch waits 0.5, 1, 2, 4 and then 5 seconds
// (a "hello" from the host resets the count). After a host exit while plates exist, a launch is
// also scheduled for the end of the back-off, so the plates come back without waiting for the next
// command. Every launch replays every plate (its "create" and its crop, frame and size), then
// writes the commands that were issued while no host ran.
//
// Commands issued while no host runs wait in `pending`. The list never grows without bound: past
// kMaxPending lines it is compacted to what a replay does not already rebuild (for each plate
// still registered, its last "attach", "show" or "hide"; nothing for plates that are gone), since
// the client records each plate's file, frame, crop and size as the commands pass.
//
// Writes never block the application: a host that stops reading fills its pipe, the write fails,
// is logged as "Mirror host write failed: …" and the host is ended; it is started again after the
// back-off with every plate replayed. A host that died never raises SIGPIPE here.
//
// The host's events are read by a thread that only hands the bytes to the main queue; on a virtual
// clock, where nothing may block or race the clock, they are read without blocking by a timer on
// the main queue instead (EventReading::polled).
//
// Threading: main thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/dispatch.h"
#include "base/geometry.h"
#include "base/log.h"
#include "mirrorhost/mirror_host_protocol.h"
#include "platform/processes.h"

namespace corvane {

class MirrorPlate;

class MirrorHostClient {
 public:
  static constexpr size_t kMaxPending = 256;
  static constexpr const char* kZoomSkippedIdentity = "us.zoom.CptHost";

  enum class EventReading { thread, polled };
  static constexpr double kPollInterval = 1.0 / 240;

  // `log` is the Clear View log. All three outlive the client.
  MirrorHostClient(Processes& processes, Dispatcher& dispatcher, LogSink& log,
                   EventReading reading = EventReading::thread);
  // Ends the host (it sees its input close) and stops listening to it.
  ~MirrorHostClient();
  MirrorHostClient(const MirrorHostClient&) = delete;
  MirrorHostClient& operator=(const MirrorHostClient&) = delete;

  // The instance start-up installs (null when none).
  static MirrorHostClient* shared();
  static void install(MirrorHostClient* client);

  void send(const MirrorHostCommand& command);
  // Launches the host unless it runs or the back-off since the last launch has not passed.
  void startIfNeeded();
  // Commands issued through send() so far: all of them, or those of one kind.
  uint64_t commandsSent() const { return commandsSent_; }
  uint64_t commandsSent(MirrorHostCommandKind kind) const {
    auto it = sentByKind_.find(kind);
    return it == sentByKind_.end() ? 0 : it->second;
  }
  // "host=1 pid=4242 identity=us.zoom.CptHost hidesFromZoom=1 plates=2".
  std::string diagnostics() const;
  void unbind(int64_t id);

  // The running host's pid; 0 while none runs (the window list's "not ours" seam).
  pid_t hostPID() const;

  const std::optional<std::string>& hostBundleID() const { return hostBundleID_; }
  bool hidesFromZoom() const { return hidesFromZoom_; }
  bool isRunning() const { return isRunning_; }
  int startFailures() const { return startFailures_; }
  double lastStartAt() const { return lastStartAt_; }
  std::vector<std::string> pending() const;
  const std::map<int64_t, MirrorPlate*>& plates() const { return plates_; }
  // The pause a launch waits after `failures` failures: 0.5, 1, 2, 4, then 5 seconds.
  static double backOff(int failures);

  // The host's output as it arrives, in chunks of any size (the reader hands them over on the main
  // queue): every complete line is decoded and dispatched; invalid lines are dropped.
  void receive(std::string_view chunk);
  void dispatch(const MirrorHostEvent& event);

 private:
  friend class MirrorPlate;
  struct Pending {
    int64_t id;
    MirrorHostCommandKind kind;
    std::string line;
  };
  struct ReaderContext;

  int64_t takeID() { return nextID_++; }
  void bind(MirrorPlate& plate);
  void hostExited(uint64_t generation, int status);
  // Writes one line to the running host; false (logged) when it could not.
  bool write(const std::string& line, bool logFailure);
  void record(const MirrorHostCommand& command);
  void compactPending();
  void startReading(int fd, uint64_t generation);

  Processes& processes_;
  Dispatcher& dispatcher_;
  LogSink& log_;
  EventReading reading_;
  std::unique_ptr<Timer> poll_;
  std::optional<std::string> hostBundleID_;
  bool hidesFromZoom_ = false;
  bool isRunning_ = false;
  std::unique_ptr<ChildProcess> process_;
  int64_t nextID_ = 1;
  uint64_t commandsSent_ = 0;
  std::map<MirrorHostCommandKind, uint64_t> sentByKind_;
  std::map<int64_t, MirrorPlate*> plates_;
  double lastStartAt_ = 0;
  int startFailures_ = 0;
  std::vector<Pending> pending_;
  uint64_t generation_ = 0;
  LineSplitter splitter_;
  TaskHandle scheduledStart_;
  std::shared_ptr<ReaderContext> reader_;
  std::shared_ptr<MirrorHostClient*> alive_ = std::make_shared<MirrorHostClient*>(this);
};

class MirrorPlate {
 public:
  // Takes the next id, registers with the client and sends "create". The client outlives the plate.
  MirrorPlate(MirrorHostClient& client, std::optional<int64_t> source, int64_t level);
  // Destroys the plate if that has not been done.
  ~MirrorPlate();
  MirrorPlate(const MirrorPlate&) = delete;
  MirrorPlate& operator=(const MirrorPlate&) = delete;

  void setContentPointSize(Size size);
  // After a host (re)start: rebuilds the plate in the host. It is shown again only when its owner
  // next attaches or shows it.
  void replay();
  void handle(const MirrorHostEvent& event);
  // Once only: sends "destroy" and unbinds from the client.
  void destroy();
  // "plate=3 win=812 exclusion=0 frames=120" ("exclusion=pending" until known).
  std::string diagnostics() const;

  const int64_t id;
  int64_t windowNumber = 0;
  bool isVisible = false;
  int64_t level;
  Rect frame;
  Rect contentsCrop{0, 0, 1, 1};
  bool hasFrame = false;
  double presentationFPS = 0;
  int64_t totalFrames = 0;
  std::optional<int64_t> exclusionResult;
  const std::optional<int64_t> source;
  std::optional<std::string> sharedPath;
  std::optional<Size> pointSize;
  bool destroyed = false;

 private:
  MirrorHostClient& client_;
};

}  // namespace corvane
