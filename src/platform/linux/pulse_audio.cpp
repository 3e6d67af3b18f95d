#include "platform/linux/pulse_audio.h"

#include <pulse/pulseaudio.h>
#include <sys/time.h>

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string_view>

#include "base/dispatch.h"
#include "base/log.h"

namespace corvane::pulse {

namespace {

// A process id property: decimal digits only, positive.
pid_t parsePid(const char* text) {
  if (!text) return 0;
  const std::string_view s(text);
  long value = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size() || value <= 0 || value > 0x7fffffff) return 0;
  return pid_t(value);
}

constexpr int kMaxAncestors = 64;
constexpr pa_usec_t kRetryMicroseconds = 1000000;

}  // namespace

Activity summarize(const std::vector<Stream>& streams, const std::function<pid_t(pid_t)>& parentOf) {
  Activity a;
  a.connected = true;
  std::map<pid_t, pid_t> parents;  // each process's parent is read once per summary
  auto parent = [&](pid_t pid) {
    auto it = parents.find(pid);
    if (it == parents.end()) it = parents.emplace(pid, parentOf(pid)).first;
    return it->second;
  };
  for (const Stream& s : streams) {
    if (s.corked || s.pid <= 0) continue;
    pid_t pid = s.pid;
    for (int step = 0; pid > 0 && step < kMaxAncestors; ++step) {
      Activity::Process& p = a.processes[pid];
      (s.input ? p.input : p.output) = true;
      if (pid == 1) break;
      pid = parent(pid);
    }
  }
  return a;
}

pid_t parentProcess(pid_t pid) {
  if (pid <= 0) return 0;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return 0;
  // "pid (command) state ppid ...": the command may hold blanks and parentheses, so the fields
  // are read after its last closing parenthesis.
  const size_t close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(line.substr(close + 1));
  std::string state;
  long ppid = 0;
  if (!(rest >> state >> ppid) || ppid <= 0) return 0;
  return pid_t(ppid);
}

// What the main queue and the queries share.
struct PulseAudio::Shared {
  Shared(Dispatcher& d, LogSink& l) : dispatcher(d), log(l) {}
  Dispatcher& dispatcher;
  LogSink& log;
  mutable std::mutex mutex;
  Activity activity;  // guarded by mutex; replaced on the main queue
  // Main queue only.
  std::function<void()> onChange;
  bool reported = false;  // a line about the connection was logged, and which state it named
  bool reportedConnected = false;

  // Main queue: the new activity replaces the old one.
  void install(Activity next) {
#ifndef NDEBUG
    if (!dispatcher.main().isCurrent()) {
      log.log("Linux audio: activity installed off the main queue");
      std::abort();
    }
#endif
    const bool connected = next.connected;
    {
      std::lock_guard<std::mutex> lock(mutex);
      activity = std::move(next);
    }
    if (connected && (!reported || !reportedConnected)) {
      log.log("Corvane: audio activity from the sound server");
    } else if (!connected && reported && reportedConnected) {
      log.log("Corvane: the sound server went away; audio counts as silent until it is back");
    }
    if (connected || reported) {
      reported = true;
      reportedConnected = connected;
    }
    if (onChange) onChange();
  }
};

// The connection, on the library's own thread. Every member is touched only there (or, before the
// loop starts and after it stops, by the owner).
struct PulseAudio::Loop {
  explicit Loop(std::shared_ptr<Shared> s) : shared(std::move(s)) {}

  std::shared_ptr<Shared> shared;
  pa_threaded_mainloop* mainloop = nullptr;
  pa_context* context = nullptr;
  pa_time_event* retry = nullptr;
  bool wasConnected = false;

  // One reading of the activity in progress.
  int pending = 0;
  bool dirty = false;
  std::string defaultSource;
  std::map<std::string, std::pair<uint32_t, bool>> sources;  // name -> index, running
  std::vector<Stream> streams;

  void post(Activity a) {
    shared->dispatcher.main().async([weak = std::weak_ptr<Shared>(shared), a = std::move(a)]() mutable {
      if (auto s = weak.lock()) s->install(std::move(a));
    });
  }

  void connect() {
    pending = 0;
    dirty = false;
    context = pa_context_new(pa_threaded_mainloop_get_api(mainloop), "Corvane");
    if (!context) {
      scheduleRetry();
      return;
    }
    pa_context_set_state_callback(context, &Loop::onState, this);
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) lost();
  }

  void lost() {
    if (wasConnected) post(Activity{});
    wasConnected = false;
    scheduleRetry();
  }

  void scheduleRetry() {
    if (retry) return;
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop);
    timeval when;
    pa_gettimeofday(&when);
    pa_timeval_add(&when, kRetryMicroseconds);
    retry = api->time_new(api, &when, &Loop::onRetry, this);
  }

  static void onRetry(pa_mainloop_api* api, pa_time_event* event, const timeval*, void* userdata) {
    auto* self = static_cast<Loop*>(userdata);
    api->time_free(event);
    self->retry = nullptr;
    self->dropContext();
    self->connect();
  }

  void dropContext() {
    if (!context) return;
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_set_subscribe_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
    context = nullptr;
  }

  static void onState(pa_context* c, void* userdata) {
    auto* self = static_cast<Loop*>(userdata);
    if (c != self->context) return;
    switch (pa_context_get_state(c)) {
      case PA_CONTEXT_READY: {
        pa_context_set_subscribe_callback(c, &Loop::onEvent, self);
        const auto mask = pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SINK_INPUT | PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT |
                                                 PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER);
        if (pa_operation* op = pa_context_subscribe(c, mask, nullptr, nullptr)) pa_operation_unref(op);
        self->read();
        break;
      }
      case PA_CONTEXT_FAILED:
      case PA_CONTEXT_TERMINATED:
        self->lost();
        break;
      default:
        break;
    }
  }

  static void onEvent(pa_context* c, pa_subscription_event_type_t, uint32_t, void* userdata) {
    auto* self = static_cast<Loop*>(userdata);
    if (c == self->context) self->read();
  }

  // Reads the whole activity again; changes that arrive meanwhile ask for one more reading.
  void read() {
    if (pending > 0) {
      dirty = true;
      return;
    }
    dirty = false;
    defaultSource.clear();
    sources.clear();
    streams.clear();
    auto start = [&](pa_operation* op) {
      if (!op) return;
      ++pending;
      pa_operation_unref(op);
    };
    start(pa_context_get_server_info(context, &Loop::onServer, this));
    start(pa_context_get_source_info_list(context, &Loop::onSource, this));
    start(pa_context_get_source_output_info_list(context, &Loop::onSourceOutput, this));
    start(pa_context_get_sink_input_info_list(context, &Loop::onSinkInput, this));
  }

  void finishOne(pa_context* c) {
    if (c != context || --pending > 0) return;
    Activity a = summarize(streams, parentProcess);
    if (auto it = sources.find(defaultSource); it != sources.end()) {
      a.defaultInput = it->second.first + 1;
      a.defaultInputRunning = it->second.second;
    }
    wasConnected = true;
    post(std::move(a));
    if (dirty) read();
  }

  static void onServer(pa_context* c, const pa_server_info* info, void* userdata) {
    auto* self = static_cast<Loop*>(userdata);
    if (c == self->context && info && info->default_source_name) self->defaultSource = info->default_source_name;
    self->finishOne(c);
  }
  static void onSource(pa_context* c, const pa_source_info* info, int eol, void* userdata) {
    auto* self = static_cast<Loop*>(userdata);
    if (eol != 0) return self->finishOne(c);
    if (c == self->context && info && info->name) {
      self->sources[info->name] = {info->index, info->state == PA_SOURCE_RUNNING};
    }
  }
  static void onSourceOutput(pa_context* c, const pa_source_output_info* info, int eol, void* userdata) {
    auto* self = static_cast<Loop*>(userdata);
    if (eol != 0) return self->finishOne(c);
    if (c == self->context && info) {
      self->streams.push_back({parsePid(pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID)), true,
                               info->corked != 0});
    }
  }
  static void onSinkInput(pa_context* c, const pa_sink_input_info* info, int eol, void* userdata) {
    auto* self = static_cast<Loop*>(userdata);
    if (eol != 0) return self->finishOne(c);
    if (c == self->context && info) {
      self->streams.push_back({parsePid(pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID)), false,
                               info->corked != 0});
    }
  }
};

std::unique_ptr<PulseAudio> PulseAudio::start(Dispatcher& dispatcher, LogSink& log) {
  std::unique_ptr<PulseAudio> audio(new PulseAudio);
  audio->shared_ = std::make_shared<Shared>(dispatcher, log);
  audio->loop_ = std::make_unique<Loop>(audio->shared_);
  Loop& loop = *audio->loop_;
  loop.mainloop = pa_threaded_mainloop_new();
  if (!loop.mainloop) return nullptr;
  pa_threaded_mainloop_lock(loop.mainloop);
  loop.connect();
  pa_threaded_mainloop_unlock(loop.mainloop);
  if (pa_threaded_mainloop_start(loop.mainloop) < 0) return nullptr;
  return audio;
}

PulseAudio::~PulseAudio() {
  if (!loop_ || !loop_->mainloop) return;
  Loop& loop = *loop_;
  // Stopped, the loop's thread is gone: what follows runs alone.
  pa_threaded_mainloop_stop(loop.mainloop);
  if (loop.retry) {
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop.mainloop);
    api->time_free(loop.retry);
    loop.retry = nullptr;
  }
  loop.dropContext();
  pa_threaded_mainloop_free(loop.mainloop);
}

void PulseAudio::setOnChange(std::function<void()> onChange) { shared_->onChange = std::move(onChange); }

Activity PulseAudio::activity() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->activity;
}

std::optional<AudioObjectID> PulseAudio::processObject(pid_t pid) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  const Activity& a = shared_->activity;
  if (!a.connected) return std::nullopt;
  return pid > 0 && a.processes.contains(pid) ? AudioObjectID(pid) : kAudioObjectUnknown;
}

std::optional<uint32_t> PulseAudio::isRunningInput(AudioObjectID process) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  const Activity& a = shared_->activity;
  auto it = a.connected ? a.processes.find(pid_t(process)) : a.processes.end();
  if (process == kAudioObjectUnknown || process > 0x7fffffffu || it == a.processes.end()) return std::nullopt;
  return it->second.input ? 1 : 0;
}

std::optional<uint32_t> PulseAudio::isRunningOutput(AudioObjectID process) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  const Activity& a = shared_->activity;
  auto it = a.connected ? a.processes.find(pid_t(process)) : a.processes.end();
  if (process == kAudioObjectUnknown || process > 0x7fffffffu || it == a.processes.end()) return std::nullopt;
  return it->second.output ? 1 : 0;
}

std::optional<AudioObjectID> PulseAudio::defaultInputDevice() {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  const Activity& a = shared_->activity;
  if (!a.connected) return std::nullopt;
  return a.defaultInput;
}

std::optional<uint32_t> PulseAudio::isRunningSomewhere(AudioObjectID device) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  const Activity& a = shared_->activity;
  if (!a.connected || device == kAudioObjectUnknown || device != a.defaultInput) return std::nullopt;
  return a.defaultInputRunning ? 1 : 0;
}

}  // namespace corvane::pulse
