#include "detect/call_audio_detector.h"

#include "windows/conferencing.h"

namespace corvane {

CallAudioDetector::CallAudioDetector(Audio* audio, Workspace& workspace) : audio_(audio), workspace_(workspace) {}

bool CallAudioDetector::hubHasActiveCall(const std::string& bundleID) const {
  if (!audio_ || !Conferencing::isHub(bundleID)) return false;
  for (pid_t pid : Conferencing::familyPIDs(workspace_, bundleID)) {
    auto process = audio_->processObject(pid);
    if (!process || *process == kAudioObjectUnknown) continue;
    if (auto input = audio_->isRunningInput(*process); input && *input != 0) return true;
    if (auto output = audio_->isRunningOutput(*process); output && *output != 0) return true;
  }
  return false;
}

bool CallAudioDetector::microphoneInUse() const {
  if (!audio_) return false;
  auto device = audio_->defaultInputDevice();
  if (!device || *device == kAudioObjectUnknown) return false;
  auto running = audio_->isRunningSomewhere(*device);
  return running && *running != 0;
}

}  // namespace corvane
