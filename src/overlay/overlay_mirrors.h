// The Clear View side of the overlay manager: one window mirror per covered window (a capture
// helper and a plate in the mirror host that shows the real window above its frost, to the user
// only). The manager decides when; an implementation of this interface does the mirror's part with
// the window mirrors and the mirror host client. Without one, every overlay shows classic frost.
//
// Threading: main thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/geometry.h"
#include "windows/window_info.h"

namespace corvane {

class OverlayWindow;

// One mirror as the status line and the diagnostic dump show it.
struct MirrorStatus {
  int64_t target = 0;     // the covered window's number
  int64_t plateID = 0;    // the plate's id in the mirror host
  int64_t window = 0;     // the plate's window number
  bool visible = false;
  bool hasFrame = false;  // the plate has shown a frame of the real window
  int64_t level = 0;
  Rect frame;             // screen space
  Rect contentsCrop;      // unit rectangle of the frame that the plate shows
  double presentationFPS = 0;
  std::optional<int> exclusionResult;  // the window server's answer to the capture exclusion; 0: confirmed
  std::string note;       // anything else worth a line in the dump
};

class OverlayMirrors {
 public:
  virtual ~OverlayMirrors() = default;

  virtual bool hasMirror(int64_t windowNumber) const = 0;
  virtual std::vector<int64_t> mirroredWindowNumbers() const = 0;
  virtual bool plateHasFrame(int64_t windowNumber) const = 0;
  virtual bool plateIsVisible(int64_t windowNumber) const = 0;

  // Keeps the mirror of `info` in step with its overlay, on each refresh while Clear View is on and
  // mirrors are not suppressed: a window of at least 80 x 80 points gets a started mirror whose
  // plate is hidden while the overlay is revealed and otherwise (placed and cropped when
  // `placeFrame`) attached directly above the overlay; a smaller window loses its mirror and its
  // overlay leaves Clear View mode.
  virtual void syncMirror(const WindowInfo& info, OverlayWindow& overlay, bool placeFrame) = 0;
  // The plate joins its overlay at `level`: it takes the level, becomes visible and is attached
  // directly above the overlay's window.
  virtual void floatPlate(int64_t windowNumber, const OverlayWindow& overlay, int64_t level) = 0;
  // Attaches the plate directly above the overlay at the overlay's level.
  virtual void attach(int64_t windowNumber, OverlayWindow& overlay) = 0;
  // The plate becomes invisible and frameless and the host hides it.
  virtual void hidePlate(int64_t windowNumber) = 0;
  // Stops the mirror's helper and destroys its plate.
  virtual void removeMirror(int64_t windowNumber) = 0;
  virtual void removeAllMirrors() = 0;
  // Pauses every mirror's capture and keeps the mirrors.
  virtual void pauseAllMirrors() = 0;

  // The geometry follower moved the covered window (`mirrorFrame`: its frame clipped to its screen).
  virtual void followMoved(int64_t windowNumber, const Rect& frame, const Rect& mirrorFrame) = 0;
  // The follower saw the covered window resized; `visible` is the frame clipped to its screen.
  virtual void followResized(int64_t windowNumber, const Rect& frame, const Rect& visible) = 0;

  virtual std::vector<MirrorStatus> statuses() const = 0;
  // The mirror's current frame as PNG, for the diagnostic dump; nothing without one.
  virtual std::optional<std::vector<uint8_t>> sourcePNG(int64_t /*windowNumber*/) { return std::nullopt; }
  // One line about the mirror host, for the diagnostic dump; empty when there is nothing to say.
  virtual std::string hostDiagnostics() const { return {}; }
};

}  // namespace corvane
