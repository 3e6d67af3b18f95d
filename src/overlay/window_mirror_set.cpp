#include "overlay/window_mirror_set.h"

#include <cmath>

#include "overlay/overlay_manager.h"
#include "overlay/overlay_window.h"

namespace corvane {

WindowMirrorSet::WindowMirrorSet(WindowMirror::Dependencies dependencies, ui::UserInterface& ui, Seated isSeated)
    : dependencies_(std::move(dependencies)), ui_(ui), isSeated_(std::move(isSeated)) {}

WindowMirrorSet::~WindowMirrorSet() { removeAllMirrors(); }

WindowMirror* WindowMirrorSet::mirror(int64_t windowNumber) const {
  auto it = mirrors_.find(windowNumber);
  return it == mirrors_.end() ? nullptr : it->second.get();
}

bool WindowMirrorSet::hasMirror(int64_t windowNumber) const { return mirrors_.contains(windowNumber); }

std::vector<int64_t> WindowMirrorSet::mirroredWindowNumbers() const {
  std::vector<int64_t> numbers;
  for (const auto& [key, m] : mirrors_) numbers.push_back(key);
  return numbers;
}

bool WindowMirrorSet::plateHasFrame(int64_t windowNumber) const {
  const WindowMirror* m = mirror(windowNumber);
  return m && m->panel().hasFrame;
}

bool WindowMirrorSet::plateIsVisible(int64_t windowNumber) const {
  const WindowMirror* m = mirror(windowNumber);
  return m && m->panel().isVisible;
}

Rect WindowMirrorSet::contentsCrop(const Rect& w, const Rect& v) {
  if (!(w.width() > 1 && w.height() > 1)) return Rect(0, 0, 1, 1);
  return Rect((v.minX() - w.minX()) / w.width(), (v.minY() - w.minY()) / w.height(), v.width() / w.width(),
              v.height() / w.height());
}

Rect WindowMirrorSet::onScreenFrame(const Rect& frame) const {
  std::vector<Rect> screens;
  for (const ScreenInfo& s : ui_.screens()) screens.push_back(s.frame);
  const std::optional<Rect> main = screens.empty() ? std::nullopt : std::optional<Rect>(screens.front());
  return OverlayManager::onScreenFrame(frame, screens, main);
}

void WindowMirrorSet::place(MirrorPlate& plate, const Rect& frame) {
  plate.frame = frame;
  dependencies_.client.send(MirrorHostCommand{.cmd = MirrorHostCommandKind::place,
                                              .id = plate.id,
                                              .x = frame.minX(),
                                              .y = frame.minY(),
                                              .w = frame.width(),
                                              .h = frame.height()});
}

void WindowMirrorSet::crop(MirrorPlate& plate, const Rect& c) {
  if (c == plate.contentsCrop) return;
  plate.contentsCrop = c;
  dependencies_.client.send(MirrorHostCommand{
      .cmd = MirrorHostCommandKind::crop, .id = plate.id, .x = c.minX(), .y = c.minY(), .w = c.width(), .h = c.height()});
}

void WindowMirrorSet::syncMirror(const WindowInfo& info, OverlayWindow& overlay, bool placeFrame) {
  const Rect& frame = info.frame;
  if (!(frame.width() >= minimumSide && frame.height() >= minimumSide)) {
    removeMirror(info.windowNumber);
    overlay.setClearViewMode(false);
    return;
  }
  std::unique_ptr<WindowMirror>& slot = mirrors_[info.windowNumber];
  if (!slot) slot = std::make_unique<WindowMirror>(dependencies_, uint32_t(info.windowNumber), frame.size);
  WindowMirror& m = *slot;
  m.startIfNeeded();
  MirrorPlate& plate = m.panel();
  if (overlay.content().isRevealed()) {
    // The share sees the real window; the plate has nothing to add. Hidden once, not every refresh.
    if (plate.isVisible) hidePlate(info.windowNumber);
    return;
  }
  if (placeFrame) {
    const Rect visible = onScreenFrame(frame);
    if (visible != plate.frame) place(plate, visible);
    crop(plate, contentsCrop(frame, visible));
  }
  const bool seated = plate.windowNumber != 0 && isSeated_ && isSeated_(plate.windowNumber, overlay.windowNumber());
  m.attach(overlay, seated);
  if (frame.width() > 1 && frame.height() > 1) plate.setContentPointSize(frame.size);
}

void WindowMirrorSet::floatPlate(int64_t windowNumber, const OverlayWindow& overlay, int64_t level) {
  WindowMirror* m = mirror(windowNumber);
  if (!m) return;
  MirrorPlate& plate = m->panel();
  plate.level = level;
  plate.isVisible = true;
  dependencies_.client.send(MirrorHostCommand{
      .cmd = MirrorHostCommandKind::attach, .id = plate.id, .above = overlay.windowNumber(), .level = level});
}

void WindowMirrorSet::attach(int64_t windowNumber, OverlayWindow& overlay) {
  if (WindowMirror* m = mirror(windowNumber)) m->attach(overlay);
}

void WindowMirrorSet::hidePlate(int64_t windowNumber) {
  WindowMirror* m = mirror(windowNumber);
  if (!m) return;
  MirrorPlate& plate = m->panel();
  plate.isVisible = false;
  plate.hasFrame = false;
  dependencies_.client.send(MirrorHostCommand{.cmd = MirrorHostCommandKind::hide, .id = plate.id});
  m->loggedRaise = false;
}

void WindowMirrorSet::removeMirror(int64_t windowNumber) {
  auto node = mirrors_.extract(windowNumber);
  if (node.empty()) return;
  WindowMirror& m = *node.mapped();
  m.stopped = true;
  m.stopHelper();
  m.panel().destroy();
}

void WindowMirrorSet::removeAllMirrors() {
  while (!mirrors_.empty()) removeMirror(mirrors_.begin()->first);
}

void WindowMirrorSet::pauseAllMirrors() {
  for (auto& [key, m] : mirrors_) m->pauseCapture();
}

void WindowMirrorSet::followMoved(int64_t windowNumber, const Rect& frame, const Rect& mirrorFrame) {
  WindowMirror* m = mirror(windowNumber);
  if (!m) return;
  MirrorPlate& plate = m->panel();
  if (std::abs(mirrorFrame.width() - plate.frame.width()) >= 0.5 ||
      std::abs(mirrorFrame.height() - plate.frame.height()) >= 0.5) {
    place(plate, mirrorFrame);
  }
  crop(plate, contentsCrop(frame, mirrorFrame));
}

void WindowMirrorSet::followResized(int64_t windowNumber, const Rect& frame, const Rect& visible) {
  WindowMirror* m = mirror(windowNumber);
  if (!m) return;
  MirrorPlate& plate = m->panel();
  if (visible != plate.frame) place(plate, visible);
  crop(plate, contentsCrop(frame, visible));
  if (frame.width() > 1 && frame.height() > 1) plate.setContentPointSize(frame.size);
}

std::vector<MirrorStatus> WindowMirrorSet::statuses() const {
  std::vector<MirrorStatus> out;
  for (const auto& [key, m] : mirrors_) {
    const MirrorPlate& p = m->panel();
    MirrorStatus s;
    s.target = key;
    s.plateID = p.id;
    s.window = p.windowNumber;
    s.visible = p.isVisible;
    s.hasFrame = p.hasFrame;
    s.level = p.level;
    s.frame = p.frame;
    s.contentsCrop = p.contentsCrop;
    s.presentationFPS = p.presentationFPS;
    if (p.exclusionResult) s.exclusionResult = int(*p.exclusionResult);
    s.note = m->captureDiagnostics();
    out.push_back(std::move(s));
  }
  return out;
}

std::optional<std::vector<uint8_t>> WindowMirrorSet::sourcePNG(int64_t windowNumber) {
  WindowMirror* m = mirror(windowNumber);
  return m ? m->sourcePNG() : std::nullopt;
}

std::string WindowMirrorSet::hostDiagnostics() const { return dependencies_.client.diagnostics(); }

}  // namespace corvane
