// Call audio: whether a hub conferencing application is recording or playing sound (a call in
// progress that may show no call window), and whether the default microphone is in use by anyone.
//
// Threading: main thread (the audio port itself may be asked from any thread).
#pragma once

#include <string>

#include "platform/audio.h"
#include "platform/workspace.h"

namespace corvane {

class CallAudioDetector {
 public:
  // `audio` may be null (no audio facility: everything counts as silent). The workspace lists
  // the processes of a hub application's family.
  CallAudioDetector(Audio* audio, Workspace& workspace);
  CallAudioDetector(const CallAudioDetector&) = delete;
  CallAudioDetector& operator=(const CallAudioDetector&) = delete;

  // False unless the bundle identifier is a hub application (Conferencing::isHub). Otherwise true when any process of
  // its family (in pid order) has an audio object that runs input, or else output. A process
  // whose look-up or queries fail counts as silent and the next one is tried.
  // The meeting-window classifier uses this as its audio test.
  bool hubHasActiveCall(const std::string& bundleID) const;

  // True when there is a default input device and some process uses it. Errors give false.
  bool microphoneInUse() const;

 private:
  Audio* audio_;
  Workspace& workspace_;
};

}  // namespace corvane
