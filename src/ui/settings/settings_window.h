// The settings window: the model's cards shown in the platform's form window ("Corvane Settings",
// 480 x 600 points, floating, on every space), kept in step with the preferences, with what the
// user does to a control handed back to the model.
//
// Controls are known to the form window by ids of the form "ACTION|KEY|ARGUMENT" (see the .cpp).
//
// Threading: main thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/ui.h"
#include "ui/settings/settings_view_model.h"

namespace corvane {

class SettingsWindow {
 public:
  static constexpr double kWidth = 480;
  static constexpr double kHeight = 600;
  static constexpr double kMinimumWidth = 460;
  static constexpr double kMinimumHeight = 560;

  // None when the platform cannot show a form window.
  static std::unique_ptr<SettingsWindow> make(Preferences& preferences, const Platform& platform,
                                              SettingsStatus status, SettingsViewModel::Environment environment,
                                              CompanyDefaultsAccount account = {});
  SettingsWindow(std::unique_ptr<ui::FormWindow> window, std::unique_ptr<SettingsViewModel> model,
                 Application& application);
  ~SettingsWindow();
  SettingsWindow(const SettingsWindow&) = delete;
  SettingsWindow& operator=(const SettingsWindow&) = delete;

  // Brings the window to the front and starts the tour when onboarding is not completed.
  void show();
  bool isVisible() const { return window_->isVisible(); }

  SettingsViewModel& model() { return *model_; }
  ui::FormWindow& window() { return *window_; }

  // The form that shows these cards.
  static ui::Form formFor(const std::vector<SettingsCard>& cards, const std::string& scrollAnchor);
  // Hands a control's input to the model; false when it was refused (a locked or unknown control).
  bool handleInput(const std::string& id, const ui::FormInput& input);

 private:
  void render();

  std::unique_ptr<ui::FormWindow> window_;
  std::unique_ptr<SettingsViewModel> model_;
  Subscription becameActive_;
  // Last: callbacks handed out check it.
  std::shared_ptr<SettingsWindow*> alive_;
};

}  // namespace corvane
