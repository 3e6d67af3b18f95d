#include "mirrorhost/mapped_read_guard.h"

#include <setjmp.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstring>
#include <mutex>

namespace corvane {

namespace {

thread_local sigjmp_buf* guardJump = nullptr;
struct sigaction previousAction;
std::once_flag installed;

void onBusError(int signal, siginfo_t* info, void* context) {
  if (sigjmp_buf* jump = guardJump) {
    guardJump = nullptr;
    siglongjmp(*jump, 1);
  }
  if (previousAction.sa_flags & SA_SIGINFO) {
    if (previousAction.sa_sigaction) {
      previousAction.sa_sigaction(signal, info, context);
      return;
    }
  } else if (previousAction.sa_handler != SIG_DFL && previousAction.sa_handler != SIG_IGN) {
    previousAction.sa_handler(signal);
    return;
  }
  ::signal(SIGBUS, SIG_DFL);
  ::raise(SIGBUS);
}

void installHandler() {
  std::call_once(installed, [] {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = onBusError;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, &previousAction);
  });
}

bool longEnough(const ClearViewSharedFrame& frame) {
  struct stat info {};
  return ::fstat(frame.fileDescriptor(), &info) == 0 && size_t(info.st_size) >= ClearViewSharedFrame::FileSize;
}

}  // namespace

// The guarded sections hold no object with a destructor, so leaving them by siglongjmp is sound.
bool readSharedFrameHeader(const ClearViewSharedFrame& frame, SharedFrameHeader& header) {
  if (!longEnough(frame)) return false;
  installHandler();
  sigjmp_buf jump;
  if (sigsetjmp(jump, 1) != 0) return false;
  guardJump = &jump;
  header.paused = frame.paused();
  header.frameSequence = frame.frameSequence();
  header.width = frame.width();
  header.height = frame.height();
  guardJump = nullptr;
  return true;
}

bool fillFromSharedFrame(const ClearViewSharedFrame& frame, PixelBuffer& buffer, bool& copied) {
  if (!longEnough(frame)) return false;
  installHandler();
  sigjmp_buf jump;
  if (sigsetjmp(jump, 1) != 0) return false;
  guardJump = &jump;
  copied = frame.fill(buffer);
  guardJump = nullptr;
  return true;
}

}  // namespace corvane
