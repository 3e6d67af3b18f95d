#include "mirrorhost/mirror_host_runtime.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <thread>

#include "platform/application.h"
#include "platform/processes.h"
#include "platform/workspace.h"

namespace corvane {

// What the reader thread shares with the runtime: it posts to the main queue only while the
// runtime lives.
struct MirrorHostRuntime::Feed {
  std::mutex mutex;
  Dispatcher* dispatcher = nullptr;
  MirrorHost* host = nullptr;
  std::function<void()> onEnd;

  static void post(const std::shared_ptr<Feed>& feed, std::string chunk, bool ended) {
    std::lock_guard<std::mutex> lock(feed->mutex);
    if (!feed->dispatcher) return;
    feed->dispatcher->main().async(
        [feed, chunk = std::move(chunk), ended] { feed->deliver(chunk, ended); });
  }
  void deliver(const std::string& chunk, bool ended) {
    MirrorHost* target;
    std::function<void()> end;
    {
      std::lock_guard<std::mutex> lock(mutex);
      target = host;
      if (ended) end = onEnd;
    }
    if (target && !chunk.empty()) target->receive(chunk);
    if (end) end();
  }
};

MirrorHostRuntime::MirrorHostRuntime(const Platform& platform, LogSink& log, int inputFD, int outputFD)
    : platform_(platform), inputFD_(inputFD), outputFD_(outputFD) {
  output_ = std::make_unique<MirrorHostOutput>(
      platform.dispatcher, [outputFD](std::string_view bytes) { return MirrorHostOutput::writeAll(outputFD, bytes); });
  host_ = std::make_unique<MirrorHost>(MirrorHostDependencies::from(platform, log, bundleIdentifier(platform)), *output_);
}

MirrorHostRuntime::~MirrorHostRuntime() {
  poll_.reset();
  if (feed_) {
    std::lock_guard<std::mutex> lock(feed_->mutex);
    feed_->dispatcher = nullptr;
    feed_->host = nullptr;
    feed_->onEnd = nullptr;
  }
  host_.reset();
  output_.reset();
}

std::string MirrorHostRuntime::bundleIdentifier(const Platform& platform) {
  auto app = platform.workspace.application(platform.processes.currentProcessIdentifier());
  return app && app->bundleIdentifier ? *app->bundleIdentifier : std::string();
}

void MirrorHostRuntime::start(std::function<void()> onEnd, InputReading reading) {
  host_->start();
  feed_ = std::make_shared<Feed>();
  feed_->dispatcher = &platform_.dispatcher;
  feed_->host = host_.get();
  feed_->onEnd = std::move(onEnd);
  if (reading == InputReading::polled) {
    for (int fd : {inputFD_, outputFD_}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    poll_ = platform_.dispatcher.makeTimer(platform_.dispatcher.main(), [this] {
      char buffer[16384];
      for (;;) {
        const ssize_t n = ::read(inputFD_, buffer, sizeof buffer);
        if (n > 0) {
          host_->receive(std::string_view(buffer, size_t(n)));
          continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        poll_->cancel();  // end of input (or an error that ends it)
        auto end = feed_->onEnd;
        if (end) end();
        return;
      }
    });
    poll_->schedule(0, kPollInterval, 0);
    return;
  }
  auto feed = feed_;
  auto reader = [feed, fd = inputFD_] {
    pthread_setname_np(pthread_self(), "mirror-host-std");
    char buffer[16384];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      Feed::post(feed, std::string(buffer, size_t(n)), false);
    }
    Feed::post(feed, {}, true);
  };
  try {
    std::thread(std::move(reader)).detach();
  } catch (const std::system_error&) {
    Feed::post(feed_, {}, true);
  }
}

int MirrorHostRuntime::run(const Platform& platform, LogSink& log, LogSink& err, int inputFD, int outputFD) {
  if (!platform.ui) {
    err.log("corvane: the mirror host needs windows, which this platform does not offer");
    return 1;
  }
  MirrorHostRuntime runtime(platform, log, inputFD, outputFD);
  platform.application.setActivationPolicy(ActivationPolicy::accessory);
  runtime.start([&platform] { platform.application.terminate(); });
  platform.application.run();
  return 0;
}

}  // namespace corvane
