#include "mirrorhost/mirror_host_output.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace corvane {

MirrorHostOutput::MirrorHostOutput(Dispatcher& dispatcher, Writer writer)
    : queue_(dispatcher.makeSerialQueue("com.corvane.mirrorhost.out", QoS::normal)),
      writer_(std::make_shared<Writer>(std::move(writer))) {}

void MirrorHostOutput::send(const MirrorHostEvent& event) {
  auto line = encodeLine(event);
  if (!line) return;
  queue_->async([writer = writer_, line = std::move(*line)] { (*writer)(line); });
}

bool MirrorHostOutput::writeAll(int fd, std::string_view bytes, int* error) {
  // A reader that went away would raise SIGPIPE, which ends the process by default: block it for
  // this thread while writing and take back one that the write raised.
  sigset_t pipeOnly, previous;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  sigset_t pending;
  sigemptyset(&pending);
  const bool alreadyPending = pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous) == 0 && sigpending(&pending) == 0 &&
                              sigismember(&pending, SIGPIPE);
  bool ok = true;
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 1) {
      if (error) *error = n < 0 ? errno : 0;
      ok = false;
      break;
    }
    bytes.remove_prefix(size_t(n));
  }
  if (!ok && !alreadyPending) {
    const timespec zero{0, 0};
    while (sigtimedwait(&pipeOnly, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return ok;
}

}  // namespace corvane
