#include "mirrorhost/mirror_host_client.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "base/format.h"
#include "mirrorhost/mirror_host_output.h"

namespace corvane {

namespace {

std::atomic<MirrorHostClient*> sharedClient{nullptr};

bool isVisibilityCommand(MirrorHostCommandKind kind) {
  return kind == MirrorHostCommandKind::attach || kind == MirrorHostCommandKind::show ||
         kind == MirrorHostCommandKind::hide;
}

}  // namespace

// What the event reader thread shares with the client: it posts to the main queue only while the
// client lives, and only for the host it was started for.
struct MirrorHostClient::ReaderContext {
  std::mutex mutex;
  Dispatcher* dispatcher = nullptr;
  std::weak_ptr<MirrorHostClient*> client;

  static void post(const std::shared_ptr<ReaderContext>& context, uint64_t generation, std::string chunk) {
    std::lock_guard<std::mutex> lock(context->mutex);
    if (!context->dispatcher) return;
    context->dispatcher->main().async([weak = context->client, generation, chunk = std::move(chunk)] {
      auto alive = weak.lock();
      if (!alive || !*alive) return;
      MirrorHostClient& client = **alive;
      if (client.generation_ == generation && client.isRunning_) client.receive(chunk);
    });
  }
};

MirrorHostClient::MirrorHostClient(Processes& processes, Dispatcher& dispatcher, LogSink& log,
                                   EventReading reading)
    : processes_(processes), dispatcher_(dispatcher), log_(log), reading_(reading) {
  reader_ = std::make_shared<ReaderContext>();
  reader_->dispatcher = &dispatcher_;
  reader_->client = alive_;
}

MirrorHostClient::~MirrorHostClient() {
  {
    std::lock_guard<std::mutex> lock(reader_->mutex);
    reader_->dispatcher = nullptr;
  }
  scheduledStart_.cancel();
  poll_.reset();
  if (process_) process_->closeStandardInput();
  process_.reset();
  for (auto& [id, plate] : plates_) {
    (void)id;
    plate->destroyed = true;  // the host goes with the client: nothing left to destroy
  }
  MirrorHostClient* self = this;
  sharedClient.compare_exchange_strong(self, nullptr);
  *alive_ = nullptr;
}

MirrorHostClient* MirrorHostClient::shared() { return sharedClient.load(); }
void MirrorHostClient::install(MirrorHostClient* client) { sharedClient.store(client); }

double MirrorHostClient::backOff(int failures) {
  const int n = std::clamp(failures, 0, 4);
  return std::min(std::pow(2.0, n) / 2, 5.0);
}

pid_t MirrorHostClient::hostPID() const { return process_ && isRunning_ ? process_->processIdentifier() : 0; }

std::vector<std::string> MirrorHostClient::pending() const {
  std::vector<std::string> lines;
  for (const auto& p : pending_) lines.push_back(p.line);
  return lines;
}

void MirrorHostClient::bind(MirrorPlate& plate) { plates_[plate.id] = &plate; }
void MirrorHostClient::unbind(int64_t id) { plates_.erase(id); }

void MirrorHostClient::record(const MirrorHostCommand& c) {
  auto it = plates_.find(c.id);
  if (it == plates_.end()) return;
  MirrorPlate& plate = *it->second;
  const bool rect = c.x && c.y && c.w && c.h;
  switch (c.cmd) {
    case MirrorHostCommandKind::shm:
      if (c.path) plate.sharedPath = c.path;
      break;
    case MirrorHostCommandKind::place:
      if (rect) plate.frame = Rect(*c.x, *c.y, *c.w, *c.h);
      break;
    case MirrorHostCommandKind::crop:
      if (rect) plate.contentsCrop = Rect(*c.x, *c.y, *c.w, *c.h);
      break;
    case MirrorHostCommandKind::size:
      if (c.w && c.h) plate.pointSize = Size{*c.w, *c.h};
      break;
    default:
      break;
  }
}

void MirrorHostClient::send(const MirrorHostCommand& command) {
  auto line = encodeLine(command);
  if (!line) return;
  ++commandsSent_;
  ++sentByKind_[command.cmd];
  record(command);
  startIfNeeded();
  if (process_ && isRunning_ && process_->isRunning()) {
    write(*line, true);
    return;
  }
  pending_.push_back(Pending{command.id, command.cmd, std::move(*line)});
  if (pending_.size() > kMaxPending) compactPending();
}

void MirrorHostClient::compactPending() {
  // The last visibility command of each registered plate; a replay rebuilds everything else.
  std::map<int64_t, size_t> lastVisibility;
  for (size_t i = 0; i < pending_.size(); ++i) {
    if (plates_.count(pending_[i].id) && isVisibilityCommand(pending_[i].kind)) lastVisibility[pending_[i].id] = i;
  }
  std::vector<Pending> kept;
  for (size_t i = 0; i < pending_.size(); ++i) {
    auto it = lastVisibility.find(pending_[i].id);
    if (it != lastVisibility.end() && it->second == i) kept.push_back(std::move(pending_[i]));
  }
  pending_ = std::move(kept);
}

bool MirrorHostClient::write(const std::string& line, bool logFailure) {
  if (!process_) return false;
  int error = 0;
  if (MirrorHostOutput::writeAll(process_->standardInput(), line, &error)) return true;
  if (logFailure) {
    log_.log("Mirror host write failed: " + std::string(error ? std::strerror(error) : "nothing written"));
  }
  // A host that does not take its input (or lost it) cannot be trusted with the plates' state any
  // more: end it; it is started again after the back-off and every plate is replayed.
  process_->terminate();
  return false;
}

void MirrorHostClient::startIfNeeded() {
  if (process_ && process_->isRunning()) return;
  const double now = dispatcher_.clock().mediaTime();
  if (now - lastStartAt_ < backOff(startFailures_)) return;
  lastStartAt_ = now;
  scheduledStart_.cancel();
  const std::string path = processes_.executablePath();
  if (path.empty()) {
    ++startFailures_;
    return;
  }
  LaunchRequest request;
  request.arguments = {"--mirror-host"};
  request.pipeStandardInput = true;
  request.pipeStandardOutput = true;
  std::unique_ptr<ChildProcess> child = processes_.launchSelf(request);
  if (!child || child->standardInput() < 0 || child->standardOutput() < 0) {
    ++startFailures_;
    log_.log("Mirror host failed to start from " + path + ": " +
             (child ? "its standard input and output are not connected" : "the process could not be launched"));
    if (child) child->terminate();
    return;
  }
  process_ = std::move(child);
  const uint64_t generation = ++generation_;
  isRunning_ = true;
  hostBundleID_.reset();
  hidesFromZoom_ = false;
  splitter_ = LineSplitter();
  // Writes must never block the application on a host that stopped reading.
  const int in = process_->standardInput();
  ::fcntl(in, F_SETFL, ::fcntl(in, F_GETFL) | O_NONBLOCK);
  log_.log("Mirror host started pid " + std::to_string(process_->processIdentifier()) + " from " + path);
  std::weak_ptr<MirrorHostClient*> weak = alive_;
  process_->setTerminationHandler([weak, generation](int status) {
    auto alive = weak.lock();
    if (alive && *alive) (*alive)->hostExited(generation, status);
  });
  startReading(process_->standardOutput(), generation);
  // Replayed plates first, then what was issued while no host ran.
  std::vector<MirrorPlate*> plates;
  for (auto& [id, plate] : plates_) plates.push_back(plate);
  for (MirrorPlate* plate : plates) plate->replay();
  std::vector<Pending> queued = std::move(pending_);
  pending_.clear();
  for (const auto& p : queued) {
    if (!process_) break;
    write(p.line, false);
  }
}

void MirrorHostClient::startReading(int fd, uint64_t generation) {
  if (reading_ == EventReading::polled) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    poll_ = dispatcher_.makeTimer(dispatcher_.main(), [this, fd, generation] {
      char buffer[16384];
      for (;;) {
        if (generation != generation_ || !process_) return;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
          receive(std::string_view(buffer, size_t(n)));
          continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) poll_->cancel();
        return;
      }
    });
    poll_->schedule(0, kPollInterval, 0);
    return;
  }
  // The reader owns a duplicate of the descriptor, so that dropping the process never closes a
  // descriptor under a blocked read.
  const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (own < 0) return;
  auto context = reader_;
  try {
    std::thread([context, own, generation] {
      pthread_setname_np(pthread_self(), "mirror-host-out");
      char buffer[16384];
      for (;;) {
        const ssize_t n = ::read(own, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        ReaderContext::post(context, generation, std::string(buffer, size_t(n)));
      }
      ::close(own);
    }).detach();
  } catch (const std::system_error&) {
    ::close(own);
  }
}

void MirrorHostClient::receive(std::string_view chunk) {
  splitter_.append(chunk, [this](std::string_view line) {
    if (auto event = decodeEvent(line)) dispatch(*event);
  });
}

void MirrorHostClient::dispatch(const MirrorHostEvent& event) {
  switch (event.ev) {
    case MirrorHostEventKind::ready:
    case MirrorHostEventKind::exclusion:
    case MirrorHostEventKind::frame:
    case MirrorHostEventKind::stats: {
      auto it = plates_.find(event.id);
      if (it != plates_.end()) it->second->handle(event);
      break;
    }
    case MirrorHostEventKind::log:
      log_.log("Mirror host: " + event.message.value_or(""));
      break;
    case MirrorHostEventKind::hello:
      hostBundleID_ = event.message;
      hidesFromZoom_ = event.message == std::string(kZoomSkippedIdentity);
      startFailures_ = 0;
      log_.log("Mirror host ready as " + event.message.value_or("?") +
               (hidesFromZoom_ ? " (Zoom skips its windows)" : " (Zoom WILL show its windows)"));
      break;
  }
}

void MirrorHostClient::hostExited(uint64_t generation, int status) {
  if (generation != generation_ || !process_) return;
  log_.log("Mirror host pid " + std::to_string(process_->processIdentifier()) + " exited status " +
           std::to_string(status));
  isRunning_ = false;
  // Whatever the host wrote before it ended is still taken.
  if (poll_ && reading_ == EventReading::polled && process_) {
    char buffer[16384];
    ssize_t n;
    while ((n = ::read(process_->standardOutput(), buffer, sizeof buffer)) > 0) receive(std::string_view(buffer, size_t(n)));
  }
  poll_.reset();
  process_.reset();
  hostBundleID_.reset();
  hidesFromZoom_ = false;
  ++startFailures_;
  if (plates_.empty()) return;
  // Bring the plates back once the back-off has passed, even if no command comes to do it.
  const double wait = std::max(0.0, lastStartAt_ + backOff(startFailures_) - dispatcher_.clock().mediaTime());
  scheduledStart_.cancel();
  std::weak_ptr<MirrorHostClient*> weak = alive_;
  scheduledStart_ = dispatcher_.main().asyncAfter(wait, [weak] {
    auto alive = weak.lock();
    if (alive && *alive && !(*alive)->plates_.empty()) (*alive)->startIfNeeded();
  });
}

std::string MirrorHostClient::diagnostics() const {
  return "host=" + std::string(isRunning_ ? "1" : "0") + " pid=" +
         std::to_string(process_ ? process_->processIdentifier() : 0) + " identity=" + hostBundleID_.value_or("-") +
         " hidesFromZoom=" + (hidesFromZoom_ ? "1" : "0") + " plates=" + std::to_string(plates_.size());
}

// ---- MirrorPlate --------------------------------------------------------------------------------

MirrorPlate::MirrorPlate(MirrorHostClient& client, std::optional<int64_t> sourceWindow, int64_t windowLevel)
    : id(client.takeID()), level(windowLevel), source(sourceWindow), client_(client) {
  client_.bind(*this);
  client_.send(MirrorHostCommand{.cmd = MirrorHostCommandKind::create, .id = id, .path = sharedPath, .source = source,
                                 .level = level});
}

MirrorPlate::~MirrorPlate() { destroy(); }

void MirrorPlate::setContentPointSize(Size size) {
  if (pointSize == size) return;
  pointSize = size;
  client_.send(MirrorHostCommand{.cmd = MirrorHostCommandKind::size, .id = id, .w = size.width, .h = size.height});
}

void MirrorPlate::replay() {
  windowNumber = 0;
  isVisible = false;
  hasFrame = false;
  exclusionResult.reset();
  auto rect = [this](MirrorHostCommandKind kind, const Rect& r) {
    client_.send(MirrorHostCommand{.cmd = kind, .id = id, .x = r.minX(), .y = r.minY(), .w = r.width(), .h = r.height()});
  };
  client_.send(MirrorHostCommand{.cmd = MirrorHostCommandKind::create, .id = id, .path = sharedPath, .source = source,
                                 .level = level});
  if (contentsCrop != Rect(0, 0, 1, 1)) rect(MirrorHostCommandKind::crop, contentsCrop);
  if (frame != Rect::zero()) rect(MirrorHostCommandKind::place, frame);
  if (pointSize && pointSize->width > 1) {
    client_.send(MirrorHostCommand{.cmd = MirrorHostCommandKind::size, .id = id, .w = pointSize->width,
                                   .h = pointSize->height});
  }
}

void MirrorPlate::handle(const MirrorHostEvent& event) {
  switch (event.ev) {
    case MirrorHostEventKind::ready:
      windowNumber = event.window.value_or(0);
      break;
    case MirrorHostEventKind::exclusion:
      exclusionResult = event.result;
      if (event.result && *event.result != 0) {
        isVisible = false;
        hasFrame = false;
      }
      break;
    case MirrorHostEventKind::frame:
      hasFrame = true;
      break;
    case MirrorHostEventKind::stats:
      presentationFPS = event.fps.value_or(0);
      totalFrames = event.frames.value_or(0);
      break;
    default:
      break;
  }
}

void MirrorPlate::destroy() {
  if (destroyed) return;
  destroyed = true;
  isVisible = false;
  hasFrame = false;
  client_.send(MirrorHostCommand{.cmd = MirrorHostCommandKind::destroy, .id = id});
  client_.unbind(id);
}

std::string MirrorPlate::diagnostics() const {
  return "plate=" + std::to_string(id) + " win=" + std::to_string(windowNumber) + " exclusion=" +
         (exclusionResult ? std::to_string(*exclusionResult) : std::string("pending")) +
         " frames=" + std::to_string(totalFrames);
}

}  // namespace corvane
