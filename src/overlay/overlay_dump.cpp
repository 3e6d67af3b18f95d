// The diagnostic dump: when the trigger file exists, the overlay manager's state goes to a fresh
// directory next to it, as "state.json" and "report.txt".
#include <nlohmann/json.hpp>

#include "base/format.h"
#include "overlay/diagnostic_dump.h"
#include "overlay/overlay_manager.h"
#include "windows/window_tracker.h"

namespace corvane {

namespace {

std::string describeFrame(const Rect& r) {
  return format("%.0f,%.0f %.0fx%.0f", {r.minX(), r.minY(), r.width(), r.height()});
}

}  // namespace

void OverlayManager::handleDumpRequestIfNeeded() {
  const std::string trigger = dumpDirectory_ + "/corvane-clearview-dump";
  const std::string out = dumpDirectory_ + "/corvane-clearview-out";
  if (!DiagnosticDump::consumeTrigger(trigger)) return;

  const std::optional<std::string> status = clearViewStatus();
  const std::vector<MirrorStatus> plates = mirrors_ ? mirrors_->statuses() : std::vector<MirrorStatus>{};
  const std::vector<ScreenInfo> screens = ui_.screens();
  const std::optional<RunningApplication> front = workspace_.frontmostApplication();

  nlohmann::json state = nlohmann::json::object();
  state["clearViewActive"] = clearViewActive_;
  state["status"] = status ? nlohmann::json(*status) : nlohmann::json(nullptr);
  state["frontmostPID"] = front ? nlohmann::json(front->processIdentifier) : nlohmann::json(nullptr);
  nlohmann::json frost = nlohmann::json::array();
  std::string overlayLines;
  for (const auto& [key, o] : overlays_) {
    nlohmann::json holes = nlohmann::json::array();
    for (const Rect& hole : o->occlusions) holes.push_back(describeFrame(hole));
    const Rect frame = o->frame();
    const bool revealed = isRevealed(key, *o);
    frost.push_back({{"target", key},
                     {"stacking", o->stackingWindowNumber},
                     {"ownerPID", o->ownerPID ? nlohmann::json(*o->ownerPID) : nlohmann::json(nullptr)},
                     {"window", o->windowNumber()},
                     {"visible", o->isVisible()},
                     {"level", o->level()},
                     {"revealed", revealed},
                     {"clearViewMode", o->clearViewMode()},
                     {"frame", describeFrame(frame)},
                     {"holes", holes}});
    overlayLines += format(
        "overlay id=%d win=%d vis=%d level=%d revealed=%d origin=%.0f,%.0f size=%.0fx%.0f holes=%d\n",
        {key, o->windowNumber(), o->isVisible(), o->level(), revealed, frame.minX(), frame.minY(), frame.width(),
         frame.height(), int64_t(o->occlusions.size())});
  }
  state["frost"] = frost;
  nlohmann::json mirrors = nlohmann::json::array();
  std::string mirrorLines;
  for (const MirrorStatus& p : plates) {
    mirrors.push_back({{"target", p.target},
                       {"window", p.window},
                       {"visible", p.visible},
                       {"hasFrame", p.hasFrame},
                       {"level", p.level},
                       {"frame", describeFrame(p.frame)}});
    const Rect& c = p.contentsCrop;
    mirrorLines += format(
        "mirror id=%d win=%d hasFrame=%d fps=%.1f vis=%d level=%d origin=%.0f,%.0f size=%.0fx%.0f "
        "crop=%.2f,%.2f %.2fx%.2f %@\n",
        {p.plateID, p.window, p.hasFrame, p.presentationFPS, p.visible, p.level, p.frame.minX(), p.frame.minY(),
         p.frame.width(), p.frame.height(), c.minX(), c.minY(), c.width(), c.height(), p.note});
  }
  state["mirrors"] = mirrors;
  // The on-screen windows front to back, so that a reader can tell what stands directly above what.
  nlohmann::json stack = nlohmann::json::array();
  for (const WindowListRecord& r : tracker_.readList(WindowListOption::onScreenOnly)) {
    if (r.number) stack.push_back(*r.number);
  }
  state["stack"] = stack;

  std::string screenList;
  for (const ScreenInfo& s : screens) {
    if (!screenList.empty()) screenList += "; ";
    screenList += describeFrame(s.frame);
  }
  std::string report = "status=" + status.value_or("none") + "\n";
  report += "mirrors=" + std::to_string(plates.size()) + "\n";
  report += "screens=" + screenList + "\n";
  report += overlayLines + mirrorLines;
  const std::string host = mirrors_ ? mirrors_->hostDiagnostics() : std::string();
  if (!host.empty()) {
    state["mirrorHost"] = host;
    report += "mirrorHost " + host + "\n";
  }

  std::vector<std::pair<std::string, std::string>> files{{"state.json", state.dump(2) + "\n"}, {"report.txt", report}};
  // What each mirror's capture helper last wrote: the real window, as the user should see it.
  for (const MirrorStatus& p : plates) {
    if (auto png = mirrors_->sourcePNG(p.target)) {
      files.emplace_back("source-" + std::to_string(p.target) + ".png", std::string(png->begin(), png->end()));
    }
  }
  std::string error;
  if (!DiagnosticDump::replaceDirectory(out, files, &error)) {
    clearViewLog_.log("Clear View dump not written: " + error);
    return;
  }
  clearViewLog_.log("Wrote Clear View dump to " + out);
}

}  // namespace corvane
