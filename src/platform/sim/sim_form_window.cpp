#include "platform/sim/sim_form_window.h"

#include <algorithm>
#include <cmath>

#include "platform/sim/sim_font.h"
#include "platform/sim/sim_render.h"
#include "platform/sim/sim_scene.h"

namespace corvane::sim {

namespace {

using ui::FormControl;

constexpr double kMargin = 12;
constexpr double kCardPadding = 10;
constexpr double kCardGap = 10;
constexpr double kTextSize = 12;
constexpr double kMutedSize = 11;
constexpr double kCaptionSize = 10;
constexpr double kTitleSize = 13;
constexpr double kHeadingSize = 17;
constexpr double kRowGap = 4;
constexpr double kControlHeight = 20;

constexpr uint32_t kWindowColor = 0xECECEE;
constexpr uint32_t kTitleBarColor = 0xDCDCE0;
constexpr uint32_t kCardColor = 0xFFFFFF;
constexpr uint32_t kCardBorder = 0xD4D4D8;
constexpr uint32_t kHighlightColor = 0xE8F0FE;
constexpr uint32_t kAccent = 0x2F7BF6;
constexpr uint32_t kTextColor = 0x1C1C1E;
constexpr uint32_t kMutedColor = 0x6E6E73;
constexpr uint32_t kDisabledColor = 0xAEAEB2;
constexpr uint32_t kCaptionColor = 0xB25000;
constexpr uint32_t kGreen = 0x34C759;
constexpr uint32_t kRed = 0xE5453A;
constexpr uint32_t kControlColor = 0xF2F2F4;
constexpr uint32_t kSwitchOff = 0xC7C7CC;

// The built-in font has printable ASCII only: the few other characters the texts use are spelled out.
std::string ascii(std::string_view text) {
  static const std::pair<std::string_view, std::string_view> replacements[] = {
      {"\u2303", "Ctrl-"}, {"\u2325", "Opt-"}, {"\u2318", "Cmd-"}, {"\u2014", "-"}, {"\u2013", "-"},
      {"\u2026", "..."},   {"\u00B7", "-"},    {"\u2019", "'"},    {"\u201C", "\""}, {"\u201D", "\""},
  };
  std::string out;
  for (size_t i = 0; i < text.size();) {
    bool replaced = false;
    for (const auto& [from, to] : replacements) {
      if (text.substr(i, from.size()) == from) {
        out += to;
        i += from.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) out += text[i++];
  }
  return out;
}

// Splits text into lines that fit `width` at `pointSize`, at blanks where it can.
std::vector<std::string> wrap(std::string_view text, double width, double pointSize, bool bold = false) {
  const std::string s = ascii(text);
  const size_t perLine = std::max<size_t>(1, size_t(width / characterAdvance(pointSize, bold)));
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < s.size()) {
    if (s.size() - start <= perLine) {
      lines.push_back(s.substr(start));
      break;
    }
    size_t cut = s.rfind(' ', start + perLine);
    if (cut == std::string::npos || cut <= start) cut = start + perLine;
    lines.push_back(s.substr(start, cut - start));
    start = cut;
    while (start < s.size() && s[start] == ' ') ++start;
  }
  if (lines.empty()) lines.emplace_back();
  return lines;
}

double lineHeight(double pointSize) { return std::ceil(pointSize * 1.2); }

class Painter {
 public:
  Painter(PixelBuffer& picture, double offsetY) : p_(picture), offsetY_(offsetY) {}

  void fill(const Rect& r, uint32_t rgb, double radius = 0) {
    const Color8 color = colorFromRGB(rgb);
    const double top = r.minY() - offsetY_, bottom = r.maxY() - offsetY_;
    const int x0 = std::max(0, firstPixelAtOrAfter(r.minX())), x1 = std::min(p_.width, firstPixelAtOrAfter(r.maxX()));
    const int y0 = std::max(0, firstPixelAtOrAfter(top)), y1 = std::min(p_.height, firstPixelAtOrAfter(bottom));
    for (int y = y0; y < y1; ++y) {
      const double inset = roundedRowInset(top, bottom, r.width(), radius, y);
      for (int x = x0; x < x1; ++x) {
        if (x + 0.5 < r.minX() + inset || x + 0.5 > r.maxX() - inset) continue;
        blendPixel(p_.pixel(x, y), color, 255);
      }
    }
  }
  void frame(const Rect& r, uint32_t border, uint32_t inside, double radius, double width = 1) {
    fill(r, border, radius);
    fill(Rect(r.minX() + width, r.minY() + width, r.width() - 2 * width, r.height() - 2 * width), inside,
         std::max(0.0, radius - width));
  }
  void text(std::string_view s, double left, double top, double pointSize, uint32_t rgb, bool bold = false) {
    const Color8 color = colorFromRGB(rgb);
    const std::string a = ascii(s);
    for (int pass = 0; pass < (bold ? 2 : 1); ++pass) {
      forEachTextPixel(a, left + pass, top - offsetY_, pointSize, bold, 0, 0, p_.width, p_.height,
                       [&](int x, int y) { blendPixel(p_.pixel(x, y), color, 255); });
    }
  }
  void symbol(const std::string& name, const Rect& box, uint32_t rgb) {
    const Color8 color = colorFromRGB(rgb);
    const double top = box.minY() - offsetY_;
    for (int y = std::max(0, int(top)); y < std::min(p_.height, int(std::ceil(top + box.height()))); ++y) {
      for (int x = std::max(0, int(box.minX())); x < std::min(p_.width, int(std::ceil(box.maxX()))); ++x) {
        const double nx = (x + 0.5 - box.midX()) / (box.width() / 2);
        const double ny = (y + 0.5 - (top + box.height() / 2)) / (box.height() / 2);
        if (symbolCovers(name, nx, ny)) blendPixel(p_.pixel(x, y), color, 255);
      }
    }
  }

 private:
  PixelBuffer& p_;
  double offsetY_;
};

// Lays out (and, with a painter, draws) the controls of one section from `top`; returns the bottom.
// y grows downwards, in the form's own space.
class Layout {
 public:
  Layout(double left, double width, Painter* painter) : left_(left), width_(width), painter_(painter) {}

  double wrapped(std::string_view s, double top, double pointSize, uint32_t rgb, bool bold = false, double indent = 0) {
    double y = top;
    for (const auto& line : wrap(s, width_ - indent, pointSize, bold)) {
      if (painter_) painter_->text(line, left_ + indent, y, pointSize, rgb, bold);
      y += lineHeight(pointSize);
    }
    return y;
  }

  double button(const std::string& title, double x, double top, bool enabled, bool accent, double* right) {
    const double w = std::ceil(textSize(ascii(title), kTextSize, false).width) + 16;
    if (painter_) {
      painter_->frame(Rect(x, top, w, kControlHeight), enabled ? (accent ? kAccent : kCardBorder) : kSwitchOff,
                      accent && enabled ? kAccent : kControlColor, 5);
      painter_->text(title, x + 8, top + (kControlHeight - lineHeight(kTextSize)) / 2, kTextSize,
                     !enabled ? kDisabledColor : (accent ? 0xFFFFFF : kTextColor));
    }
    *right = x + w;
    return top + kControlHeight;
  }

  // One control; `flow` carries the x of the next inline control (buttons and chips share rows).
  double control(const FormControl& c, double top, double& flowX, double& flowBottom) {
    const bool inlineKind = c.kind == FormControl::Kind::button || c.kind == FormControl::Kind::chip;
    if (!inlineKind && flowX > 0) {
      top = flowBottom + kRowGap;
      flowX = 0;
    }
    const uint32_t textColor = c.enabled ? kTextColor : kDisabledColor;
    switch (c.kind) {
      case FormControl::Kind::heading: {
        if (painter_) {
          painter_->symbol(c.symbol, Rect(left_, top, 32, 32), kAccent);
          painter_->text(c.text, left_ + 40, top, kHeadingSize, kTextColor, true);
        }
        Layout inner(left_ + 40, width_ - 40, painter_);
        return std::max(top + 34, inner.wrapped(c.detail, top + lineHeight(kHeadingSize) + 2, kMutedSize, kMutedColor)) +
               kRowGap;
      }
      case FormControl::Kind::label:
        return wrapped(c.text, top, c.muted ? kMutedSize : kTextSize, c.muted ? kMutedColor : kTextColor) + kRowGap;
      case FormControl::Kind::caption: {
        if (painter_) painter_->symbol(c.symbol, Rect(left_, top + 1, 10, 10), kCaptionColor);
        return wrapped(c.text, top, kCaptionSize, kCaptionColor, false, 14) + kRowGap;
      }
      case FormControl::Kind::banner: {
        if (painter_) painter_->symbol(c.symbol, Rect(left_, top + 1, 14, 14), kAccent);
        double y = wrapped(c.text, top, kTextSize, kTextColor, true, 20);
        if (!c.detail.empty()) y = wrapped(c.detail, y + 1, kMutedSize, kMutedColor, false, 20);
        return y + kRowGap;
      }
      case FormControl::Kind::toggle: {
        const double bottom = wrapped(c.text, top + 3, kTextSize, textColor, false) ;
        if (painter_) {
          const Rect track(left_ + width_ - 34, top + 2, 34, 18);
          painter_->fill(track, !c.enabled ? kSwitchOff : (c.on ? kGreen : kSwitchOff), 9);
          const double knobX = c.on ? track.maxX() - 16 : track.minX() + 2;
          painter_->fill(Rect(knobX, top + 4, 14, 14), 0xFFFFFF, 7);
        }
        return std::max(bottom, top + 22) + kRowGap;
      }
      case FormControl::Kind::slider: {
        const double minW = std::ceil(textSize(ascii(c.minimumLabel), kMutedSize, false).width);
        const double maxW = std::ceil(textSize(ascii(c.maximumLabel), kMutedSize, false).width);
        if (painter_) {
          painter_->text(c.minimumLabel, left_, top + 4, kMutedSize, kMutedColor);
          painter_->text(c.maximumLabel, left_ + width_ - maxW, top + 4, kMutedSize, kMutedColor);
          const double x0 = left_ + minW + 10, x1 = left_ + width_ - maxW - 10;
          const double span = c.maximum > c.minimum ? c.maximum - c.minimum : 1;
          const double f = std::clamp((c.value - c.minimum) / span, 0.0, 1.0);
          painter_->fill(Rect(x0, top + 9, x1 - x0, 4), kSwitchOff, 2);
          painter_->fill(Rect(x0, top + 9, (x1 - x0) * f, 4), c.enabled ? kAccent : kDisabledColor, 2);
          painter_->frame(Rect(x0 + (x1 - x0) * f - 7, top + 4, 14, 14), kCardBorder, 0xFFFFFF, 7);
        }
        return top + 22 + kRowGap;
      }
      case FormControl::Kind::button:
      case FormControl::Kind::chip: {
        const double w = std::ceil(textSize(ascii(c.text), kTextSize, false).width) + 16;
        double x = left_ + flowX;
        if (flowX > 0 && flowX + w > width_) {
          top = flowBottom + kRowGap;
          x = left_;
        } else if (flowX > 0) {
          top = flowBottom - kControlHeight;
        }
        double right = x;
        if (c.kind == FormControl::Kind::button) {
          const std::string title = c.symbol == "plus.circle" ? "+ " + c.text : c.text;
          button(title, x, top, c.enabled, c.id.ends_with("|next"), &right);
        } else {
          if (painter_) {
            painter_->frame(Rect(x, top, w, kControlHeight), c.on ? kAccent : kCardBorder, c.on ? kAccent : kCardColor,
                            10);
            painter_->text(c.text, x + 8, top + (kControlHeight - lineHeight(kTextSize)) / 2, kTextSize,
                           c.on ? 0xFFFFFF : textColor);
          }
          right = x + w;
        }
        flowX = right - left_ + 6;
        flowBottom = top + kControlHeight;
        return flowBottom + kRowGap;
      }
      case FormControl::Kind::textField: {
        if (painter_) {
          painter_->frame(Rect(left_, top, width_, kControlHeight), kCardBorder, c.enabled ? 0xFFFFFF : kControlColor, 4);
          const bool placeholder = c.text.empty();
          painter_->text(placeholder ? c.detail : c.text, left_ + 6, top + (kControlHeight - lineHeight(kTextSize)) / 2,
                         kTextSize, placeholder ? kDisabledColor : kTextColor);
        }
        return top + kControlHeight + kRowGap;
      }
      case FormControl::Kind::listRow: {
        if (painter_) {
          painter_->fill(Rect(left_, top + 3, 12, 12), c.enabled ? kRed : kDisabledColor, 6);
          painter_->fill(Rect(left_ + 3, top + 8, 6, 2), 0xFFFFFF);
          painter_->text(c.text, left_ + 18, top + 1, kTextSize, textColor);
        }
        return top + 18;
      }
      case FormControl::Kind::menu: {
        double right = 0;
        return button("+ " + c.text + " v", left_, top, c.enabled, false, &right) + kRowGap;
      }
      case FormControl::Kind::keyValue: {
        const double keysWidth = std::ceil(textSize(ascii(c.detail), kMutedSize, true).width) + 12;
        Layout inner(left_, width_ - keysWidth, painter_);
        const double bottom = inner.wrapped(c.text, top, kMutedSize, kTextColor);
        if (painter_) painter_->text(c.detail, left_ + width_ - keysWidth + 4, top, kMutedSize, kMutedColor, true);
        return bottom + 2;
      }
      case FormControl::Kind::status: {
        if (painter_) {
          if (c.on) {
            painter_->fill(Rect(left_, top + 1, 14, 14), kGreen, 7);
          } else {
            painter_->frame(Rect(left_, top + 1, 14, 14), kDisabledColor, kCardColor, 7, 2);
          }
          painter_->text(c.text, left_ + 20, top, kTextSize, kTextColor, true);
        }
        double y = wrapped(c.stateText, top + lineHeight(kTextSize), kMutedSize, c.on ? 0x248A3D : kCaptionColor, false, 20);
        y = wrapped(c.detail, y, kMutedSize, kMutedColor, false, 20);
        return y + kRowGap;
      }
    }
    return top;
  }

  double section(const ui::FormSection& s, double top) {
    double y = top + kCardPadding;
    if (!s.title.empty()) y = wrapped(s.title, y, kTitleSize, kTextColor, true) + kRowGap;
    double flowX = 0, flowBottom = 0;
    for (const auto& c : s.controls) y = control(c, y, flowX, flowBottom);
    if (flowX > 0) y = flowBottom + kRowGap;
    return y + kCardPadding - kRowGap;
  }

 private:
  double left_;
  double width_;
  Painter* painter_;
};

bool sameText(const std::string& a, const std::string& b) { return a == b || ascii(a) == b; }

}  // namespace

PixelBuffer drawForm(const ui::Form& form, const std::string& title, int width, int height,
                     std::optional<size_t> topSection) {
  PixelBuffer picture(width, height);
  if (picture.isEmpty()) return picture;
  Painter whole(picture, 0);
  whole.fill(Rect(0, 0, width, height), kWindowColor);
  // The scroll position: the anchored section at the top.
  const double cardLeft = kMargin, cardWidth = width - 2 * kMargin;
  double scroll = 0;
  {
    Layout measure(cardLeft + kCardPadding, cardWidth - 2 * kCardPadding, nullptr);
    double y = SimFormWindow::kTitleBarHeight + kMargin;
    for (size_t i = 0; i < form.sections.size(); ++i) {
      const auto& s = form.sections[i];
      if (topSection ? i == *topSection : !form.scrollAnchor.empty() && s.anchor == form.scrollAnchor) {
        scroll = y - SimFormWindow::kTitleBarHeight - kMargin;
      }
      y = measure.section(s, y) + kCardGap;
    }
    // As a scroll view does, never past the end of the content.
    scroll = std::max(0.0, std::min(scroll, y - kCardGap + kMargin - height));
  }
  Painter painter(picture, scroll);
  double y = SimFormWindow::kTitleBarHeight + kMargin;
  for (const auto& s : form.sections) {
    Layout measure(cardLeft + kCardPadding, cardWidth - 2 * kCardPadding, nullptr);
    const double bottom = measure.section(s, y);
    if (bottom - scroll > SimFormWindow::kTitleBarHeight && y - scroll < height) {
      if (s.highlighted) {
        painter.frame(Rect(cardLeft, y, cardWidth, bottom - y), kAccent, kHighlightColor, 8, 2);
      } else {
        painter.frame(Rect(cardLeft, y, cardWidth, bottom - y), kCardBorder, kCardColor, 8);
      }
      Layout draw(cardLeft + kCardPadding, cardWidth - 2 * kCardPadding, &painter);
      draw.section(s, y);
    }
    y = bottom + kCardGap;
  }
  // The title bar stays on top of the scrolled content.
  whole.fill(Rect(0, 0, width, SimFormWindow::kTitleBarHeight), kTitleBarColor);
  for (int i = 0; i < 3; ++i) whole.fill(Rect(8 + i * 16, 6, 10, 10), i == 0 ? kRed : kSwitchOff, 5);
  const double titleWidth = textSize(ascii(title), kTitleSize, true).width;
  whole.text(title, (width - titleWidth) / 2, (SimFormWindow::kTitleBarHeight - lineHeight(kTitleSize)) / 2, kTitleSize,
             kTextColor, true);
  return picture;
}

std::optional<FormTarget> findFormTarget(const ui::Form& form, const FormOperation& op) {
  using Kind = FormControl::Kind;
  auto inGroup = [&](const FormControl& c) { return op.group.empty() || sameText(c.group, op.group); };
  auto find = [&](const std::function<bool(const FormControl&)>& match) -> const FormControl* {
    for (const auto& s : form.sections) {
      for (const auto& c : s.controls) {
        if (!c.id.empty() && match(c)) return &c;
      }
    }
    return nullptr;
  };
  FormTarget target;
  switch (op.kind) {
    case FormOperation::Kind::toggle:
      target.control = find([&](const FormControl& c) { return c.kind == Kind::toggle && sameText(c.text, op.label); });
      if (!target.control) return std::nullopt;
      target.input.kind = ui::FormInput::Kind::setOn;
      target.input.on = op.on.value_or(!target.control->on);
      return target;
    case FormOperation::Kind::slider:
      target.control = find([&](const FormControl& c) { return c.kind == Kind::slider && sameText(c.text, op.label); });
      if (!target.control) return std::nullopt;
      target.input.kind = ui::FormInput::Kind::setValue;
      target.input.value = op.value;
      return target;
    case FormOperation::Kind::type:
      target.control = find([&](const FormControl& c) {
        return c.kind == Kind::textField && (sameText(c.group, op.label) || sameText(c.detail, op.label));
      });
      if (!target.control) return std::nullopt;
      target.input.kind = ui::FormInput::Kind::setText;
      target.input.text = op.text;
      return target;
    case FormOperation::Kind::remove:
      target.control = find([&](const FormControl& c) {
        return c.kind == Kind::listRow && inGroup(c) && sameText(c.text, op.label);
      });
      if (!target.control) return std::nullopt;
      return target;
    case FormOperation::Kind::press:
      target.control = find([&](const FormControl& c) { return c.kind == Kind::button && sameText(c.text, op.label); });
      if (!target.control) return std::nullopt;
      return target;
    case FormOperation::Kind::add: {
      // A suggestion first, then the running applications' pop-up, then a chip not yet selected.
      target.control = find([&](const FormControl& c) {
        return c.kind == Kind::button && !c.group.empty() && inGroup(c) && sameText(c.text, op.label);
      });
      if (target.control) return target;
      target.control = find([&](const FormControl& c) {
        return c.kind == Kind::menu && inGroup(c) &&
               std::any_of(c.options.begin(), c.options.end(), [&](const std::string& o) { return sameText(o, op.label); });
      });
      if (target.control) {
        target.input.kind = ui::FormInput::Kind::choose;
        for (const auto& o : target.control->options) {
          if (sameText(o, op.label)) target.input.text = o;
        }
        return target;
      }
      target.control = find([&](const FormControl& c) {
        return c.kind == Kind::chip && !c.on && inGroup(c) && sameText(c.text, op.label);
      });
      if (!target.control) return std::nullopt;
      return target;
    }
  }
  return std::nullopt;
}

SimFormWindow::SimFormWindow(ui::UserInterface& ui, const ui::FormWindowStyle& style, std::function<void()> onDestroy)
    : ui_(ui), style_(style), onDestroy_(std::move(onDestroy)) {
  const Size size{style.contentSize.width, style.contentSize.height + kTitleBarHeight};
  window_ = std::make_unique<ui::Window>(ui, Rect(Point{}, size), style.styleMask, ui::BackingStoreType::buffered, false);
  window_->setLevel(style.level);
  window_->setCollectionBehavior(style.collectionBehavior);
  window_->setHidesOnDeactivate(style.hidesOnDeactivate);
  // The drawn form is shown as the content's one image.
  auto view = std::make_unique<ui::VideoDisplayView>(Rect(Point{}, size));
  view_ = &window_->setContentView(std::move(view));
}

SimFormWindow::~SimFormWindow() {
  if (onDestroy_) onDestroy_();
}

void SimFormWindow::setForm(ui::Form form) {
  if (form.scrollAnchor != form_.scrollAnchor) userScroll_.reset();
  form_ = std::move(form);
  redraw();
}

void SimFormWindow::redraw() {
  const Size size = window_->frame().size;
  auto picture = std::make_shared<PixelBuffer>(
      drawForm(form_, style_.title, int(std::lround(size.width)), int(std::lround(size.height)), userScroll_));
  view_->enqueue(ui::VideoSample{std::move(picture), ui_.dispatcher().clock().mediaTime(), true});
}

void SimFormWindow::present() {
  const Size size = window_->frame().size;
  if (auto screen = ui_.mainScreen()) {
    const Rect& f = screen->visibleFrame.isNull() ? screen->frame : screen->visibleFrame;
    window_->setFrame(Rect(std::round(f.midX() - size.width / 2), std::round(f.midY() - size.height / 2), size.width,
                           size.height),
                      false);
  }
  window_->orderFrontRegardless();
}

void SimFormWindow::close() {
  if (!window_->isVisible()) return;
  window_->orderOut();
  if (onClose) onClose();
}

bool SimFormWindow::isVisible() const { return window_->isVisible(); }

int64_t SimFormWindow::windowNumber() const { return window_->windowNumber(); }

FormOperationResult SimFormWindow::operate(const FormOperation& operation) {
  auto target = findFormTarget(form_, operation);
  if (!target) return FormOperationResult::noSuchControl;
  for (size_t i = 0; i < form_.sections.size(); ++i) {
    const auto& controls = form_.sections[i].controls;
    if (!controls.empty() && target->control >= &controls.front() && target->control <= &controls.back()) {
      userScroll_ = i;
    }
  }
  redraw();
  if (!target->control->enabled) return FormOperationResult::disabled;
  // The control may go away with the form it belongs to: keep what the input needs.
  const std::string id = target->control->id;
  if (onInput) onInput(id, target->input);
  return FormOperationResult::done;
}

}  // namespace corvane::sim
