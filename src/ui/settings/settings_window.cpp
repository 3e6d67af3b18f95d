#include "ui/settings/settings_window.h"

#include <algorithm>

#include "base/localization.h"
#include "platform/application.h"

namespace corvane {

namespace {

using ui::FormControl;
using ui::FormInput;

std::string controlID(std::string_view action, std::string_view key, std::string_view argument = {}) {
  std::string id(action);
  id += '|';
  id += key;
  if (!argument.empty()) {
    id += '|';
    id += argument;
  }
  return id;
}

struct ParsedID {
  std::string action, key, argument;
};

ParsedID parseID(const std::string& id) {
  ParsedID parsed;
  const size_t first = id.find('|');
  parsed.action = id.substr(0, first);
  if (first == std::string::npos) return parsed;
  const size_t second = id.find('|', first + 1);
  parsed.key = id.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
  if (second != std::string::npos) parsed.argument = id.substr(second + 1);
  return parsed;
}

FormControl control(FormControl::Kind kind, std::string text, std::string id = {}) {
  FormControl c;
  c.kind = kind;
  c.text = std::move(text);
  c.id = std::move(id);
  return c;
}

void addCaption(std::vector<FormControl>& out, const SettingsItem& item) {
  if (!item.lockedCaption) return;
  FormControl caption = control(FormControl::Kind::caption, *item.lockedCaption);
  caption.symbol = "lock.fill";
  out.push_back(std::move(caption));
}

void addAppList(std::vector<FormControl>& out, const SettingsItem& item, bool withTitle) {
  const std::string& group = item.text;
  if (withTitle) out.push_back(control(FormControl::Kind::label, item.text));
  FormControl subtitle = control(FormControl::Kind::label, item.detail);
  subtitle.muted = true;
  out.push_back(std::move(subtitle));
  for (const AppRef& app : item.apps) {
    FormControl row = control(FormControl::Kind::listRow, app.name, controlID("remove", item.id, app.bundleID));
    row.group = group;
    row.symbol = "minus.circle.fill";
    row.enabled = item.enabled;
    out.push_back(std::move(row));
  }
  if (item.apps.empty()) {
    FormControl empty = control(FormControl::Kind::label, item.emptyText);
    empty.muted = true;
    out.push_back(std::move(empty));
  }
  FormControl running = control(FormControl::Kind::menu, item.addRunningTitle, controlID("running", item.id));
  running.group = group;
  running.symbol = "plus";
  running.enabled = item.enabled;
  for (const AppRef& app : item.runningChoices) running.options.push_back(app.name);
  out.push_back(std::move(running));
  FormControl search = control(FormControl::Kind::textField, item.query, controlID("search", item.id));
  search.group = group;
  search.detail = item.searchPlaceholder;
  search.enabled = item.enabled;
  out.push_back(std::move(search));
  // The suggestions list opens while something is typed.
  if (!item.query.empty()) {
    for (const auto& s : item.suggestions) {
      FormControl suggestion = control(FormControl::Kind::button, s.title, controlID("add", item.id, s.value));
      suggestion.group = group;
      suggestion.detail = s.subtitle;
      suggestion.symbol = "plus.circle";
      suggestion.enabled = item.enabled;
      out.push_back(std::move(suggestion));
    }
  }
  if (!item.chips.empty()) {
    FormControl title = control(FormControl::Kind::label, item.suggestedTitle);
    title.muted = true;
    out.push_back(std::move(title));
    for (const auto& chip : item.chips) {
      FormControl c = control(FormControl::Kind::chip, chip.app.name, controlID("chip", item.id, chip.app.bundleID));
      c.group = group;
      c.on = chip.selected;
      c.enabled = item.enabled;
      out.push_back(std::move(c));
    }
  }
  for (const std::string* text : {&item.helpText, item.note ? &*item.note : nullptr}) {
    if (!text || text->empty()) continue;
    FormControl help = control(FormControl::Kind::label, *text);
    help.muted = true;
    out.push_back(std::move(help));
  }
  addCaption(out, item);
}

void addItem(std::vector<FormControl>& out, const SettingsItem& item, const SettingsCard& card) {
  using Kind = SettingsItem::Kind;
  switch (item.kind) {
    case Kind::heading: {
      FormControl c = control(FormControl::Kind::heading, item.text);
      c.detail = item.detail;
      c.symbol = item.symbol;
      out.push_back(std::move(c));
      break;
    }
    case Kind::text: {
      FormControl c = control(FormControl::Kind::label, item.text);
      c.muted = item.muted;
      out.push_back(std::move(c));
      break;
    }
    case Kind::banner: {
      FormControl c = control(FormControl::Kind::banner, item.text);
      c.detail = item.detail;
      c.symbol = item.symbol;
      out.push_back(std::move(c));
      break;
    }
    case Kind::toggle: {
      FormControl c = control(FormControl::Kind::toggle, item.text, controlID("toggle", item.id));
      c.on = item.on;
      c.enabled = item.enabled;
      out.push_back(std::move(c));
      addCaption(out, item);
      break;
    }
    case Kind::slider: {
      FormControl c = control(FormControl::Kind::slider, item.text, controlID("slider", item.id));
      c.value = item.value;
      c.minimum = item.minimum;
      c.maximum = item.maximum;
      c.minimumLabel = item.minimumLabel;
      c.maximumLabel = item.maximumLabel;
      c.enabled = item.enabled;
      out.push_back(std::move(c));
      addCaption(out, item);
      break;
    }
    case Kind::button: {
      FormControl c = control(FormControl::Kind::button, item.text, controlID("button", item.id));
      c.enabled = item.enabled;
      out.push_back(std::move(c));
      break;
    }
    case Kind::appList:
      addAppList(out, item, item.text != card.title);
      break;
    case Kind::permission: {
      FormControl c = control(FormControl::Kind::status, item.text);
      c.detail = item.detail;
      c.on = item.on;
      c.stateText = item.stateText;
      c.symbol = item.symbol;
      out.push_back(std::move(c));
      if (!item.actionTitle.empty()) {
        FormControl action = control(FormControl::Kind::button, item.actionTitle, controlID("permission", item.id));
        action.group = item.text;
        out.push_back(std::move(action));
      }
      if (!item.secondaryTitle.empty()) {
        FormControl second = control(FormControl::Kind::button, item.secondaryTitle, controlID("permission2", item.id));
        second.group = item.text;
        out.push_back(std::move(second));
      }
      break;
    }
    case Kind::hotKey: {
      FormControl c = control(FormControl::Kind::keyValue, item.text);
      c.detail = item.detail;
      out.push_back(std::move(c));
      break;
    }
    case Kind::callout: {
      FormControl c = control(FormControl::Kind::banner, item.text);
      c.detail = item.detail;
      c.symbol = item.symbol;
      out.push_back(std::move(c));
      FormControl step = control(FormControl::Kind::label, item.stateText);
      step.muted = true;
      out.push_back(std::move(step));
      out.push_back(control(FormControl::Kind::button, item.nextTitle, controlID("button", "next")));
      out.push_back(control(FormControl::Kind::button, item.skipTitle, controlID("button", "skipTour")));
      break;
    }
  }
}

const SettingsItem* findList(const std::vector<SettingsCard>& cards, std::string_view key) {
  for (const auto& card : cards) {
    for (const auto& item : card.items) {
      if (item.kind == SettingsItem::Kind::appList && item.id == key) return &item;
    }
  }
  return nullptr;
}

}  // namespace

std::unique_ptr<SettingsWindow> SettingsWindow::make(Preferences& preferences, const Platform& platform,
                                                     SettingsStatus status, SettingsViewModel::Environment environment,
                                                     CompanyDefaultsAccount account) {
  if (!platform.ui) return nullptr;
  ui::FormWindowStyle style;
  style.title = localized("Corvane Settings", "Settings window title");
  style.contentSize = Size{kWidth, kHeight};
  style.minimumContentSize = Size{kMinimumWidth, kMinimumHeight};
  style.styleMask = ui::StyleMask::titled | ui::StyleMask::closable | ui::StyleMask::miniaturizable;
  style.level = ui::WindowLevel::floating;
  style.collectionBehavior = ui::CollectionBehavior::canJoinAllSpaces | ui::CollectionBehavior::fullScreenAuxiliary;
  style.releasedWhenClosed = false;
  style.hidesOnDeactivate = false;
  auto window = platform.ui->makeFormWindow(style);
  if (!window) return nullptr;
  environment.hasLogo = platform.ui->assetImage("CorvaneLogo").has_value();
  auto model = std::make_unique<SettingsViewModel>(preferences, std::move(status), std::move(environment),
                                                   std::move(account));
  return std::make_unique<SettingsWindow>(std::move(window), std::move(model), platform.application);
}

SettingsWindow::SettingsWindow(std::unique_ptr<ui::FormWindow> window, std::unique_ptr<SettingsViewModel> model,
                               Application& application)
    : window_(std::move(window)), model_(std::move(model)), alive_(std::make_shared<SettingsWindow*>(this)) {
  std::weak_ptr<SettingsWindow*> weak = alive_;
  auto withWindow = [weak](auto work) {
    return [weak, work](auto&&... args) {
      auto alive = weak.lock();
      if (alive && *alive) work(**alive, args...);
    };
  };
  model_->onChange = withWindow([](SettingsWindow& w) { w.render(); });
  window_->onInput = withWindow([](SettingsWindow& w, const std::string& id, const FormInput& input) {
    w.handleInput(id, input);
  });
  becameActive_ = application.addObserver(ApplicationNotification::didBecomeActive, withWindow([](SettingsWindow& w) {
                                            w.model_->applicationDidBecomeActive();
                                          }));
  render();
}

SettingsWindow::~SettingsWindow() {
  *alive_ = nullptr;
  window_->onInput = nullptr;
  model_->onChange = nullptr;
}

void SettingsWindow::show() {
  window_->present();
  model_->windowDidShow();
}

void SettingsWindow::render() { window_->setForm(formFor(model_->cards(), model_->scrollAnchor())); }

ui::Form SettingsWindow::formFor(const std::vector<SettingsCard>& cards, const std::string& scrollAnchor) {
  ui::Form form;
  form.scrollAnchor = scrollAnchor;
  for (const auto& card : cards) {
    ui::FormSection section;
    section.anchor = card.anchor;
    section.title = card.title;
    section.highlighted = card.highlighted;
    for (const auto& item : card.items) addItem(section.controls, item, card);
    form.sections.push_back(std::move(section));
  }
  return form;
}

bool SettingsWindow::handleInput(const std::string& id, const ui::FormInput& input) {
  const ParsedID p = parseID(id);
  SettingsViewModel& m = *model_;
  if (p.action == "toggle" && input.kind == FormInput::Kind::setOn) return m.setToggle(p.key, input.on);
  if (p.action == "slider" && input.kind == FormInput::Kind::setValue) return m.setSlider(p.key, input.value);
  if (p.action == "search" && input.kind == FormInput::Kind::setText) return m.setQuery(p.key, input.text);
  if (p.action == "remove") return m.removeApp(p.key, p.argument);
  if (p.action == "add" || p.action == "chip" || p.action == "running") {
    const auto cards = m.cards();
    const SettingsItem* list = findList(cards, p.key);
    if (!list) return false;
    if (p.action == "add") {
      for (const auto& s : list->suggestions) {
        if (s.value == p.argument) return m.addApp(p.key, AppRef{s.value, s.title});
      }
      return false;
    }
    if (p.action == "chip") {
      for (const auto& chip : list->chips) {
        if (chip.app.bundleID == p.argument) return m.toggleChip(p.key, chip.app);
      }
      return false;
    }
    for (const AppRef& app : list->runningChoices) {
      if (app.name == input.text) return m.addRunningApp(p.key, app.bundleID);
    }
    return false;
  }
  if (p.action == "permission" || p.action == "permission2") {
    return m.performPermissionAction(p.key, p.action == "permission2");
  }
  if (p.action == "button") {
    if (p.key == "next") {
      m.advanceOnboarding();
      return true;
    }
    if (p.key == "skipTour") {
      m.skipTour();
      return true;
    }
    if (p.key == "pushCompanyDefaults") {
      m.pushCompanyDefaults();
      return true;
    }
  }
  return false;
}

}  // namespace corvane
