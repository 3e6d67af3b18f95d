#include "platform/ui/user_interface.h"

namespace corvane::ui {

std::unique_ptr<StatusItem> UserInterface::makeStatusItem(double) { return nullptr; }

std::optional<Image> UserInterface::assetImage(const std::string&) { return std::nullopt; }

bool UserInterface::hasSystemSymbol(const std::string&) { return false; }

std::optional<int> UserInterface::runModalAlert(const Alert&) { return std::nullopt; }
std::unique_ptr<FormWindow> UserInterface::makeFormWindow(const FormWindowStyle&) { return nullptr; }

std::optional<ScreenInfo> UserInterface::mainScreen() {
  auto all = screens();
  if (all.empty()) return std::nullopt;
  return all.front();
}

std::optional<ScreenInfo> UserInterface::screen(const Rect& frame) {
  std::optional<ScreenInfo> best;
  double bestArea = 0;
  for (const auto& s : screens()) {
    const Rect overlap = s.frame.intersection(frame);
    if (overlap.isNull()) continue;
    const double area = overlap.width() * overlap.height();
    if (!best || area > bestArea) {
      best = s;
      bestArea = area;
    }
  }
  return best;
}

void UserInterface::runAnimationGroup(const std::function<void(AnimationContext&)>& changes,
                                      std::function<void()> completion) {
  AnimationContext context(dispatcher().clock().mediaTime());
  changes(context);
  if (!completion) return;
  const double delay = context.duration > 0 ? context.duration : 0;
  dispatcher().main().asyncAfter(delay, std::move(completion));
}

}  // namespace corvane::ui
