// The overlay manager's Clear View side over window mirrors and the mirror host client: one
// WindowMirror per covered window of at least 80 x 80 points, its plate placed over the window's
// on-screen part, cropped to match, and attached directly above the window's frost.
//
// Every command to the mirror host is sent only for a real change (a plate's frame, crop, size,
// level or visibility), so a refresh that finds nothing changed sends none.
//
// Threading: main thread.
#pragma once

#include <functional>
#include <map>
#include <memory>

#include "clearview/window_mirror.h"
#include "overlay/overlay_mirrors.h"
#include "platform/ui.h"

namespace corvane {

class WindowMirrorSet final : public OverlayMirrors {
 public:
  // Windows narrower or lower than this get no mirror.
  static constexpr double minimumSide = 80;

  // Whether plate window `upper` stands directly above overlay window `lower` (the refresh's read
  // of the window list); without it every attach is sent.
  using Seated = std::function<bool(int64_t upper, int64_t lower)>;

  // The dependencies and the user interface (its screens) outlive the set.
  WindowMirrorSet(WindowMirror::Dependencies dependencies, ui::UserInterface& ui, Seated isSeated = {});
  ~WindowMirrorSet() override;

  bool hasMirror(int64_t windowNumber) const override;
  std::vector<int64_t> mirroredWindowNumbers() const override;
  bool plateHasFrame(int64_t windowNumber) const override;
  bool plateIsVisible(int64_t windowNumber) const override;
  void syncMirror(const WindowInfo& info, OverlayWindow& overlay, bool placeFrame) override;
  void floatPlate(int64_t windowNumber, const OverlayWindow& overlay, int64_t level) override;
  void attach(int64_t windowNumber, OverlayWindow& overlay) override;
  void hidePlate(int64_t windowNumber) override;
  void removeMirror(int64_t windowNumber) override;
  void removeAllMirrors() override;
  void pauseAllMirrors() override;
  void followMoved(int64_t windowNumber, const Rect& frame, const Rect& mirrorFrame) override;
  void followResized(int64_t windowNumber, const Rect& frame, const Rect& visible) override;
  std::vector<MirrorStatus> statuses() const override;
  std::optional<std::vector<uint8_t>> sourcePNG(int64_t windowNumber) override;
  std::string hostDiagnostics() const override;

  // The unit rectangle of `windowFrame` that `visible` shows; the whole when the window is not
  // wider and higher than 1 point.
  static Rect contentsCrop(const Rect& windowFrame, const Rect& visible);

  WindowMirror* mirror(int64_t windowNumber) const;

 private:
  void place(MirrorPlate& plate, const Rect& frame);
  void crop(MirrorPlate& plate, const Rect& crop);
  Rect onScreenFrame(const Rect& frame) const;

  WindowMirror::Dependencies dependencies_;
  ui::UserInterface& ui_;
  Seated isSeated_;
  std::map<int64_t, std::unique_ptr<WindowMirror>> mirrors_;
};

}  // namespace corvane
