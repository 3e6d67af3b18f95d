// The seam between the application and its update machinery: whether a share is in progress (the
// updater waits for a safe moment) and whether the process is quitting to restart for an update
// (then termination is never refused). Until an updater exists nothing restarts for an update, so
// isRestartingForUpdate stays false.
//
// Threading: main thread.
#pragma once

#include <functional>

namespace corvane {

class SafeRestart {
 public:
  // The process-wide instance.
  static SafeRestart& shared();

  // Set by the application at start: whether a share or recording is in progress.
  std::function<bool()> isSharing;
  bool isRestartingForUpdate() const { return restartingForUpdate_; }

 private:
  bool restartingForUpdate_ = false;
};

}  // namespace corvane
