// Form windows on the simulated desktop: controls found by the label the user reads, disabled
// ones refusing, the window in the window server, and the drawing scrolled to its anchor.
#include <gtest/gtest.h>

#include <cstring>

#include "base/virtual_dispatcher.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_form_window.h"
#include "platform/sim/sim_ui.h"

namespace corvane::sim {
namespace {

using ui::FormControl;
using K = FormControl::Kind;

FormControl make(K kind, std::string text, std::string id, std::string group = {}, bool on = false, bool enabled = true) {
  FormControl c;
  c.kind = kind;
  c.text = std::move(text);
  c.id = std::move(id);
  c.group = std::move(group);
  c.on = on;
  c.enabled = enabled;
  return c;
}

FormOperation op(FormOperation::Kind kind, std::string label, std::string group = {}) {
  FormOperation o;
  o.kind = kind;
  o.label = std::move(label);
  o.group = std::move(group);
  return o;
}

ui::Form sampleForm() {
  ui::Form form;
  ui::FormSection top{"top", "Apps", false, {}};
  top.controls = {make(K::listRow, "Slack", "remove-slack-protected", "Frost these apps"),
                  make(K::listRow, "Slack", "remove-slack-trigger", "Watch for"),
                  make(K::button, "Notes", "suggest-notes", "Frost these apps"),
                  make(K::chip, "Mail", "chip-mail", "Frost these apps", true),
                  make(K::chip, "Calendar", "chip-calendar", "Frost these apps"),
                  make(K::textField, "", "search", "Frost these apps")};
  FormControl menu = make(K::menu, "Add running app", "running", "Frost these apps");
  menu.options = {"Ledger"};
  top.controls.push_back(menu);
  ui::FormSection bottom{"bottom", "Also hide", true, {}};
  bottom.controls = {make(K::toggle, "Blur the desktop", "blur", {}, true),
                     make(K::toggle, "Open at login \u2014 now", "login", {}, false, false),
                     make(K::button, "Next", "next")};
  form.sections = {top, bottom};
  return form;
}

TEST(SimFormWindowTest, OperationsFindControlsByLabelAndGroup) {
  const ui::Form form = sampleForm();
  struct Case {
    FormOperation op;
    std::optional<std::string> id;
    ui::FormInput::Kind input = ui::FormInput::Kind::press;
  };
  using Op = FormOperation::Kind;
  const std::vector<Case> cases = {
      {op(Op::remove, "Slack", "Watch for"), "remove-slack-trigger"},
      {op(Op::remove, "Slack", ""), "remove-slack-protected"},
      {op(Op::add, "Notes", "Frost these apps"), "suggest-notes"},
      {op(Op::add, "Ledger", ""), "running", ui::FormInput::Kind::choose},
      {op(Op::add, "Calendar", ""), "chip-calendar"},
      {op(Op::add, "Mail", ""), std::nullopt},  // already selected: nothing adds it
      {op(Op::add, "Notes", "Watch for"), std::nullopt},
      {op(Op::toggle, "Blur the desktop"), "blur", ui::FormInput::Kind::setOn},
      {op(Op::toggle, "Open at login - now"), "login", ui::FormInput::Kind::setOn},  // as the picture spells it
      {op(Op::type, "Frost these apps"), "search", ui::FormInput::Kind::setText},
      {op(Op::press, "Next"), "next"},
      {op(Op::press, "Skip tour"), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.op.label + " in " + c.op.group);
    auto target = findFormTarget(form, c.op);
    ASSERT_EQ(target.has_value(), c.id.has_value());
    if (!target) continue;
    EXPECT_EQ(target->control->id, *c.id);
    EXPECT_EQ(target->input.kind, c.input);
  }
  auto flip = findFormTarget(form, op(Op::toggle, "Blur the desktop"));
  EXPECT_FALSE(flip->input.on) << "a toggle without a state is flipped";
  auto running = findFormTarget(form, op(Op::add, "Ledger"));
  EXPECT_EQ(running->input.text, "Ledger");
}

TEST(SimFormWindowTest, WindowIsOnScreenDrawnAndRefusesDisabledControls) {
  VirtualDispatcher dispatcher;
  SimDesktop desktop{dispatcher};
  ui::FormWindowStyle style{"Corvane Settings", {480, 600}, {460, 560}, 7, 3, 257, false, false};
  auto window = desktop.ui().makeFormWindow(style);
  ASSERT_TRUE(window);
  ASSERT_EQ(desktop.ui().formWindows().size(), 1u);
  SimFormWindow& sim = *desktop.ui().formWindows().front();
  std::vector<std::string> inputs;
  window->onInput = [&](const std::string& id, const ui::FormInput&) { inputs.push_back(id); };
  window->setForm(sampleForm());
  EXPECT_FALSE(window->isVisible());
  window->present();
  dispatcher.runUntilIdle();
  EXPECT_TRUE(window->isVisible());
  auto w = desktop.window(WindowID(window->windowNumber()));
  ASSERT_TRUE(w);
  EXPECT_EQ(w->level, 3);
  EXPECT_EQ(w->bounds.width(), 480);
  EXPECT_EQ(w->bounds.height(), 600 + SimFormWindow::kTitleBarHeight);

  EXPECT_EQ(sim.operate(op(FormOperation::Kind::toggle, "Open at login - now")), FormOperationResult::disabled);
  EXPECT_EQ(sim.operate(op(FormOperation::Kind::press, "Nothing")), FormOperationResult::noSuchControl);
  EXPECT_EQ(sim.operate(op(FormOperation::Kind::press, "Next")), FormOperationResult::done);
  EXPECT_EQ(inputs, std::vector<std::string>{"next"});

  // Scrolled to the second card, the first card's place shows the highlighted one instead.
  ui::Form form = sampleForm();
  // (A window shorter than the form, so that it can scroll.)
  const PixelBuffer atTop = drawForm(form, "T", 480, 160);
  form.scrollAnchor = "bottom";
  const PixelBuffer scrolled = drawForm(form, "T", 480, 160);
  const int x = 14, y = int(SimFormWindow::kTitleBarHeight) + 14;
  EXPECT_NE(std::memcmp(atTop.pixel(x, y), scrolled.pixel(x, y), 4), 0);
  window->close();
  EXPECT_FALSE(window->isVisible());
  window.reset();
  EXPECT_TRUE(desktop.ui().formWindows().empty());
}

}  // namespace
}  // namespace corvane::sim
