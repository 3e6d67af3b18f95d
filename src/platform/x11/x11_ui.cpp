// The program's own windows on X11: override-redirect windows with a 32-bit visual, stacked
// directly above the window they cover, shaped by the content's mask (holes for windows in front),
// and drawn by the backend: a behind-window visual effect shows a strong blur of the covered
// window's own pixels (read through Composite, so what lies on top of it never leaks into the
// frost), and layer colours are laid over it. The covered window's content changes reach the
// frost through Damage.
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/shape.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>

#include "base/dispatch.h"
#include "platform/sim/sim_scene.h"
#include "platform/ui.h"
#include "platform/x11/x11_frost.h"
#include "platform/x11/x11_internal.h"

namespace corvane::x11 {

namespace {

class X11WindowPeer;

// The blur radius (pixels) a behind-window material stands for.
int blurRadius(ui::VisualEffectMaterial material) {
  switch (material) {
    case ui::VisualEffectMaterial::titlebar: return 10;
    case ui::VisualEffectMaterial::menu: return 16;
    case ui::VisualEffectMaterial::popover: return 24;
    case ui::VisualEffectMaterial::sidebar: return 30;
    case ui::VisualEffectMaterial::fullScreenUI:
    case ui::VisualEffectMaterial::hudWindow: return 40;
    default: return 24;
  }
}

struct UIState : std::enable_shared_from_this<UIState> {
  explicit UIState(State& s) : state(s) {}
  State& state;
  std::map<xcb_window_t, X11WindowPeer*> peers;
  bool commitScheduled = false;
  void scheduleCommit();
  void commitAll();
};

class X11WindowPeer final : public ui::WindowPeer {
 public:
  X11WindowPeer(std::shared_ptr<UIState> ui, ui::Window& window, const Rect& contentRect)
      : ui_(ui), window_(window), c_(ui->state.conn.xcb()) {
    Connection& conn = ui->state.conn;
    id_ = xcb_generate_id(c_);
    const bool argb = conn.argbVisual != 0;
    depth_ = argb ? conn.argbDepth : conn.screen()->root_depth;
    uint32_t mask = XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK;
    std::vector<uint32_t> values = {0, 0, 1,
                                    XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE};
    if (argb) {
      colormap_ = xcb_generate_id(c_);
      xcb_create_colormap(c_, XCB_COLORMAP_ALLOC_NONE, colormap_, conn.root(), conn.argbVisual);
      mask |= XCB_CW_COLORMAP;
      values.push_back(colormap_);
    }
    frame_ = toServer(contentRect);
    xcb_create_window(c_, depth_, id_, conn.root(), int16_t(frame_.x), int16_t(frame_.y), uint16_t(std::max(frame_.width, 1)),
                      uint16_t(std::max(frame_.height, 1)), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      argb ? conn.argbVisual : conn.screen()->root_visual, mask, values.data());
    gc_ = xcb_generate_id(c_);
    xcb_create_gc(c_, gc_, id_, 0, nullptr);
    {
      std::lock_guard<std::mutex> lock(ui->state.mutex);
      ui->state.ownWindows[id_] = OwnWindow{};
    }
    ui->peers[id_] = this;
    conn.flush();
  }
  ~X11WindowPeer() override { close(); }

  int64_t windowNumber() const override { return closed_ ? 0 : int64_t(id_); }
  void setFrame(const Rect& frame) override {
    if (closed_) return;
    PixelRect f = toServer(frame);
    if (f == frame_) return;
    const bool resized = f.width != frame_.width || f.height != frame_.height;
    frame_ = f;
    const uint32_t values[] = {uint32_t(f.x), uint32_t(f.y), uint32_t(std::max(f.width, 1)), uint32_t(std::max(f.height, 1))};
    xcb_configure_window(c_, id_, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
                         values);
    ui_.lock()->state.conn.flush();
    if (resized) setNeedsDisplay();
  }
  void setLevel(int64_t level) override { updateOwn([&](OwnWindow& w) { w.level = level; }); }
  void setSharingType(ui::SharingType type) override {
    updateOwn([&](OwnWindow& w) { w.sharingState = int64_t(type); });
  }
  void setAlphaValue(double alpha) override {
    updateOwn([&](OwnWindow& w) { w.alpha = alpha; });
    if (alpha != alpha_) {
      alpha_ = alpha;
      setNeedsDisplay();
    }
  }
  void order(ui::WindowOrderingMode mode, int64_t relativeTo) override {
    if (closed_) return;
    auto ui = ui_.lock();
    if (!ui) return;
    Connection& conn = ui->state.conn;
    if (mode == ui::WindowOrderingMode::out) {
      if (mapped_) xcb_unmap_window(c_, id_);
      mapped_ = false;
      conn.flush();
      return;
    }
    xcb_window_t sibling = 0;
    if (relativeTo > 0 && relativeTo <= int64_t(UINT32_MAX)) {
      sibling = ui->state.frameOf(xcb_window_t(relativeTo));
      if (sibling == id_) sibling = 0;
    }
    if (mode == ui::WindowOrderingMode::above) watch(sibling ? xcb_window_t(relativeTo) : 0, sibling);
    const uint32_t stack = mode == ui::WindowOrderingMode::above ? XCB_STACK_MODE_ABOVE : XCB_STACK_MODE_BELOW;
    if (sibling) {
      const uint32_t values[] = {sibling, stack};
      xcb_configure_window(c_, id_, XCB_CONFIG_WINDOW_SIBLING | XCB_CONFIG_WINDOW_STACK_MODE, values);
    } else {
      xcb_configure_window(c_, id_, XCB_CONFIG_WINDOW_STACK_MODE, &stack);
    }
    if (!mapped_) {
      // The first picture is drawn before the window shows, so it never shows unfrosted.
      if (needsRender_) render();
      xcb_map_window(c_, id_);
      mapped_ = true;
    }
    conn.flush();
  }
  bool isOnScreen() const override { return !closed_ && mapped_; }
  void close() override {
    if (closed_) return;
    closed_ = true;
    auto ui = ui_.lock();
    if (!ui) return;
    watch(0, 0);
    xcb_free_gc(c_, gc_);
    xcb_destroy_window(c_, id_);
    if (colormap_) xcb_free_colormap(c_, colormap_);
    ui->state.conn.flush();
    ui->peers.erase(id_);
    std::lock_guard<std::mutex> lock(ui->state.mutex);
    ui->state.ownWindows.erase(id_);
  }
  void setNeedsDisplay() override {
    needsRender_ = true;
    if (auto ui = ui_.lock()) ui->scheduleCommit();
  }
  void display() override {
    if (!closed_) render();
  }

  bool needsRender() const { return needsRender_; }
  ui::Window& window() const { return window_; }
  xcb_damage_damage_t damage() const { return damage_; }
  void sourceDamaged() {
    if (damage_) xcb_damage_subtract(c_, damage_, XCB_NONE, XCB_NONE);
    sourceStale_ = true;
    setNeedsDisplay();
  }
  void exposed() { putCanvas(); }

 private:
  PixelRect toServer(const Rect& frame) const {
    auto ui = ui_.lock();
    const double h = ui ? ui->state.mainDisplayHeight() : 0;
    const Rect r = frame.standardized().flipped(h);
    return {int(std::lround(r.minX())), int(std::lround(r.minY())), int(std::lround(r.width())),
            int(std::lround(r.height()))};
  }

  template <typename F>
  void updateOwn(F change) {
    auto ui = ui_.lock();
    if (!ui || closed_) return;
    std::lock_guard<std::mutex> lock(ui->state.mutex);
    if (auto it = ui->state.ownWindows.find(id_); it != ui->state.ownWindows.end()) change(it->second);
  }

  // Follows the content of the window this one covers.
  void watch(xcb_window_t client, xcb_window_t topLevel) {
    if (client == source_ && damage_) return;
    auto ui = ui_.lock();
    if (damage_) {
      xcb_damage_destroy(c_, damage_);
      damage_ = 0;
    }
    source_ = client;
    sourceStale_ = true;
    if (client && ui && ui->state.conn.damageEventBase) {
      damage_ = xcb_generate_id(c_);
      xcb_damage_create(c_, damage_, topLevel, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    }
    if (client) setNeedsDisplay();
  }

  // What lies behind the window: the covered window's own pixels where it is, mid grey elsewhere.
  PixelBuffer backdrop(State& state) {
    PixelBuffer out(frame_.width, frame_.height);
    for (size_t i = 0; i < out.bytes.size(); ++i) out.bytes[i] = (i % 4 == 3) ? 255 : 128;
    if (!source_) return out;
    if (sourceStale_ || !sourceImage_) {
      xcb_window_t top = topLevelOf(c_, state.conn.root(), source_);
      auto g = top ? reply(xcb_get_geometry_reply(c_, xcb_get_geometry(c_, top), nullptr)) : reply<xcb_get_geometry_reply_t>(nullptr);
      sourceImage_.reset();
      if (g) {
        sourceOrigin_ = {g->x, g->y, g->width + 2 * g->border_width, g->height + 2 * g->border_width};
        xcb_pixmap_t pixmap = xcb_generate_id(c_);
        bool named = false;
        if (state.conn.hasComposite) {
          if (xcb_generic_error_t* e = xcb_request_check(c_, xcb_composite_name_window_pixmap_checked(c_, top, pixmap))) {
            std::free(e);
          } else {
            named = true;
          }
        }
        auto img = imageToPixels(c_, named ? pixmap : top, 0, 0, sourceOrigin_.width, sourceOrigin_.height, g->depth);
        if (named) xcb_free_pixmap(c_, pixmap);
        if (img) sourceImage_ = std::move(*img);
      }
      sourceStale_ = false;
    } else {
      // The covered window may have moved since its pixels were read.
      xcb_window_t top = topLevelOf(c_, state.conn.root(), source_);
      if (auto g = top ? reply(xcb_get_geometry_reply(c_, xcb_get_geometry(c_, top), nullptr)) : reply<xcb_get_geometry_reply_t>(nullptr)) {
        sourceOrigin_.x = g->x;
        sourceOrigin_.y = g->y;
      }
    }
    if (!sourceImage_) return out;
    const PixelBuffer& src = *sourceImage_;
    for (int y = 0; y < out.height; ++y) {
      const int sy = frame_.y + y - sourceOrigin_.y;
      if (sy < 0 || sy >= src.height) continue;
      for (int x = 0; x < out.width; ++x) {
        const int sx = frame_.x + x - sourceOrigin_.x;
        if (sx < 0 || sx >= src.width) continue;
        std::copy_n(src.pixel(sx, sy), 4, out.pixel(x, y));
      }
    }
    return out;
  }

  PixelRect pixelRectOf(const ui::View& view, const Rect& bounds) const {
    const Rect r = view.convertToWindow(bounds);
    return {int(std::floor(r.minX())), int(std::floor(frame_.height - r.maxY())), int(std::ceil(r.width())),
            int(std::ceil(r.height()))};
  }

  void draw(const ui::View& view, double alpha, PixelBuffer& canvas, State& state, std::optional<PixelBuffer>& frosted,
            int& frostRadius) {
    if (view.isHidden()) return;
    const double a = alpha * view.alphaValue();
    const PixelRect area = pixelRectOf(view, view.bounds());
    if (const auto* effect = dynamic_cast<const ui::VisualEffectView*>(&view)) {
      if (effect->blendingMode() == ui::VisualEffectBlendingMode::behindWindow) {
        const int radius = blurRadius(effect->material());
        if (!frosted || frostRadius != radius) {
          frosted = frost(backdrop(state), radius);
          frostRadius = radius;
        }
        drawOver(canvas, *frosted, area, a);
      } else {
        fillOver(canvas, area, 0.5, 0.5, 0.5, a);
      }
    }
    if (const ui::Layer* layer = view.layer()) {
      if (layer->backgroundColor()) {
        const ui::Color c = *layer->backgroundColor();
        if (layer->cornerRadius() > 0) {
          fillRoundedOver(canvas, area, layer->cornerRadius(), c.red, c.green, c.blue, c.alpha * a);
        } else {
          fillOver(canvas, area, c.red, c.green, c.blue, c.alpha * a);
        }
      }
      if (layer->borderWidth() > 0) {
        const ui::Color c = layer->borderColor();
        fillRoundedOver(canvas, area, layer->cornerRadius(), c.red, c.green, c.blue, c.alpha * a, layer->borderWidth());
      }
    }
    if (const auto* button = dynamic_cast<const ui::Button*>(&view)) drawButton(*button, area, a, canvas);
    for (const auto& child : view.subviews()) draw(*child, a, canvas, state, frosted, frostRadius);
  }

  // A button's symbol and title, side by side and centred in its area, in its tint colour.
  static void drawButton(const ui::Button& button, const PixelRect& area, double alpha, PixelBuffer& canvas) {
    const ui::Color ink = button.contentTintColor().value_or(ui::Color::black());
    const double a = alpha * ink.alpha;
    if (a <= 0) return;
    const double size = button.font().pointSize;
    const bool bold = button.font().weight >= ui::FontWeight::semibold;
    const bool hasImage = button.image() && button.imagePosition() != ui::ImagePosition::noImage;
    const bool hasTitle = !button.title().empty() && button.imagePosition() != ui::ImagePosition::imageOnly;
    const Size text = hasTitle ? sim::textSize(button.title(), size, bold) : Size{};
    const double side = hasImage ? std::round(size * 1.15) : 0;
    const double gap = hasImage && hasTitle ? 4 : 0;
    const bool imageFirst = button.imagePosition() != ui::ImagePosition::imageTrailing &&
                            button.imagePosition() != ui::ImagePosition::imageRight;
    const double start = area.x + (area.width - (side + gap + text.width)) / 2;
    const double middle = area.y + area.height / 2.0;
    const int x0 = std::max(area.x, 0), y0 = std::max(area.y, 0);
    const int x1 = std::min(area.x + area.width, canvas.width), y1 = std::min(area.y + area.height, canvas.height);
    auto paint = [&](int x, int y) { blendOver(canvas, x, y, ink.red, ink.green, ink.blue, a); };
    if (hasTitle) {
      sim::forEachTextPixel(button.title(), imageFirst ? start + side + gap : start, middle - text.height / 2, size, bold,
                            x0, y0, x1, y1, paint);
    }
    if (hasImage && side > 0) {
      const double left = imageFirst ? start : start + text.width + gap, top = middle - side / 2;
      for (int y = std::max(y0, int(std::floor(top))); y < std::min(y1, int(std::ceil(top + side))); ++y) {
        for (int x = std::max(x0, int(std::floor(left))); x < std::min(x1, int(std::ceil(left + side))); ++x) {
          const double nx = (x + 0.5 - left) / side * 2 - 1, ny = (y + 0.5 - top) / side * 2 - 1;
          if (sim::symbolCovers(button.image()->symbolName(), nx, ny)) paint(x, y);
        }
      }
    }
  }

  // The left and right pixel edges of every visible view, for sampling the hit test between them.
  void columnEdges(const ui::View& view, std::vector<int>& edges) const {
    if (view.isHidden()) return;
    const PixelRect r = pixelRectOf(view, view.bounds());
    edges.push_back(r.x);
    edges.push_back(r.x + r.width);
    for (const auto& child : view.subviews()) columnEdges(*child, edges);
  }

  // The points whose clicks the window takes (see the top of this file), as rectangles: the hit
  // test is asked once per row and column of views, which is exact for views' rectangles and for
  // tests that depend on the height alone (the frost's title-bar strip).
  std::vector<PixelRect> inputRectangles(const ui::View* content, const std::vector<PixelRect>& shape) {
    if (!content || (window_.ignoresMouseEvents() && !window_.acceptsMouseMovedEvents())) return {};
    std::vector<int> edges = {0, frame_.width};
    columnEdges(*content, edges);
    std::erase_if(edges, [&](int x) { return x < 0 || x > frame_.width; });
    std::sort(edges.begin(), edges.end());
    edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
    std::vector<int> columnOf(size_t(frame_.width), 0);
    for (size_t i = 0; i + 1 < edges.size(); ++i) {
      for (int x = edges[i]; x < edges[i + 1]; ++x) columnOf[size_t(x)] = int(i);
    }
    std::vector<uint8_t> inShape(size_t(frame_.width) * size_t(frame_.height), 0);
    for (const PixelRect& r : shape) {
      for (int y = r.y; y < r.y + r.height; ++y) std::fill_n(inShape.begin() + y * frame_.width + r.x, r.width, 1);
    }
    ui::View* hitView = const_cast<ui::View*>(content);
    int cachedRow = -1;
    std::vector<uint8_t> hits;
    return shapeRectangles(frame_.width, frame_.height, [&](double x, double y) {
      const int px = int(x), py = int(y);
      if (!inShape[size_t(py) * size_t(frame_.width) + size_t(px)]) return false;
      if (py != cachedRow) {
        cachedRow = py;
        hits.assign(edges.size(), 0);
        for (size_t i = 0; i + 1 < edges.size(); ++i) {
          const Point p{(edges[i] + edges[i + 1]) / 2.0, frame_.height - y};
          hits[i] = hitView->hitTest(p) != nullptr;
        }
      }
      return hits[size_t(columnOf[size_t(px)])] != 0;
    });
  }

  void render() {
    auto ui = ui_.lock();
    if (ui) ui->state.checkMainThread("WindowPeer::display");
    if (!ui || closed_ || frame_.width <= 0 || frame_.height <= 0) return;
    needsRender_ = false;
    State& state = ui->state;
    PixelBuffer canvas(frame_.width, frame_.height);
    if (window_.isOpaque()) {
      const ui::Color bg = window_.backgroundColor();
      fillOver(canvas, {0, 0, frame_.width, frame_.height}, bg.red, bg.green, bg.blue, 1);
    }
    std::optional<PixelBuffer> frosted;
    int frostRadius = 0;
    const ui::View* content = window_.contentView();
    if (content) draw(*content, 1, canvas, state, frosted, frostRadius);
    // The window's opacity: premultiplied pixels scale as a whole.
    if (alpha_ < 1) {
      for (uint8_t& b : canvas.bytes) b = uint8_t(std::lround(b * std::clamp(alpha_, 0.0, 1.0)));
    }
    canvas_ = std::move(canvas);
    applyShape(content, state);
    putCanvas();
  }

  // The bounding (and input) shape: what the content's layer mask covers.
  void applyShape(const ui::View* content, State& state) {
    if (!state.conn.hasShape) return;
    std::vector<PixelRect> rects;
    const ui::Layer* layer = content ? content->layer() : nullptr;
    if (layer && layer->mask()) {
      const ui::ShapeMask& mask = *layer->mask();
      const double h = frame_.height;
      rects = shapeRectangles(frame_.width, frame_.height, [&](double x, double y) {
        return mask.covers(Point{x - mask.frame.minX(), h - y - mask.frame.minY()});
      });
    } else {
      rects.push_back({0, 0, frame_.width, frame_.height});
    }
    std::vector<PixelRect> input = inputRectangles(content, rects);
    auto set = [&](xcb_shape_kind_t kind, const std::vector<PixelRect>& list) {
      std::vector<xcb_rectangle_t> xr;
      for (const PixelRect& r : list) xr.push_back({int16_t(r.x), int16_t(r.y), uint16_t(r.width), uint16_t(r.height)});
      xcb_shape_rectangles(c_, XCB_SHAPE_SO_SET, kind, XCB_CLIP_ORDERING_UNSORTED, id_, 0, 0, uint32_t(xr.size()),
                           xr.data());
    };
    if (rects != shape_) set(XCB_SHAPE_SK_BOUNDING, rects);
    if (!input_ || input != *input_) set(XCB_SHAPE_SK_INPUT, input);
    shape_ = std::move(rects);
    input_ = std::move(input);
  }

  void putCanvas() {
    auto ui = ui_.lock();
    if (!ui || closed_ || !canvas_ || canvas_->isEmpty()) return;
    const PixelBuffer& img = *canvas_;
    // Rows in strips that fit the server's largest request.
    const size_t maxBytes = size_t(xcb_get_maximum_request_length(c_)) * 4 - 64;
    const int rowsPerStrip = std::max(1, int(maxBytes / img.bytesPerRow));
    for (int y = 0; y < img.height; y += rowsPerStrip) {
      const int rows = std::min(rowsPerStrip, img.height - y);
      xcb_put_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, id_, gc_, uint16_t(img.width), uint16_t(rows), 0, int16_t(y), 0, depth_,
                    uint32_t(img.bytesPerRow * size_t(rows)), img.pixel(0, y));
    }
    ui->state.conn.flush();
  }

  std::weak_ptr<UIState> ui_;
  ui::Window& window_;
  xcb_connection_t* c_;
  xcb_window_t id_ = 0;
  xcb_gcontext_t gc_ = 0;
  xcb_colormap_t colormap_ = 0;
  uint8_t depth_ = 24;
  PixelRect frame_;
  double alpha_ = 1;
  bool mapped_ = false;
  bool closed_ = false;
  bool needsRender_ = true;
  xcb_window_t source_ = 0;
  xcb_damage_damage_t damage_ = 0;
  bool sourceStale_ = true;
  std::optional<PixelBuffer> sourceImage_;
  PixelRect sourceOrigin_;
  std::optional<PixelBuffer> canvas_;
  std::vector<PixelRect> shape_;
  std::optional<std::vector<PixelRect>> input_;  // none until first set
};

void UIState::scheduleCommit() {
  if (commitScheduled) return;
  commitScheduled = true;
  state.dispatcher.main().async([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->commitAll();
  });
}

void UIState::commitAll() {
  commitScheduled = false;
  std::vector<X11WindowPeer*> dirty;
  for (auto& [id, peer] : peers) {
    if (peer->needsRender()) dirty.push_back(peer);
  }
  for (X11WindowPeer* peer : dirty) {
    if (std::find_if(peers.begin(), peers.end(), [&](const auto& p) { return p.second == peer; }) == peers.end()) continue;
    peer->window().displayIfNeeded();
  }
}

class X11UserInterface final : public ui::UserInterface {
 public:
  explicit X11UserInterface(State& s) : state_(std::make_shared<UIState>(s)) {
    events_ = s.conn.addEventHandler([weak = std::weak_ptr<UIState>(state_)](const xcb_generic_event_t& e) {
      auto ui = weak.lock();
      if (!ui) return;
      const uint8_t type = e.response_type & 0x7f;
      if (ui->state.conn.damageEventBase && type == *ui->state.conn.damageEventBase + XCB_DAMAGE_NOTIFY) {
        const auto& ev = reinterpret_cast<const xcb_damage_notify_event_t&>(e);
        for (auto& [id, peer] : ui->peers) {
          if (peer->damage() == ev.damage) peer->sourceDamaged();
        }
      } else if (type == XCB_BUTTON_PRESS) {
        // A click with the left button on one of the program's windows works its button.
        const auto& ev = reinterpret_cast<const xcb_button_press_event_t&>(e);
        auto it = ui->peers.find(ev.event);
        if (it == ui->peers.end() || ev.detail != 1) return;
        ui::Window& window = it->second->window();
        if (window.ignoresMouseEvents() || !window.contentView()) return;
        const Point screen{double(ev.root_x), ui->state.mainDisplayHeight() - ev.root_y};
        ui::View* view = window.contentView()->hitTest(window.convertPointFromScreen(screen));
        if (auto* button = dynamic_cast<ui::Button*>(view); button && button->acceptsFirstMouse()) {
          // On a later turn: the click may close the very window it came from.
          ui->state.dispatcher.main().async([weak = std::weak_ptr<UIState>(ui), id = ev.event, screen] {
            auto self = weak.lock();
            if (!self) return;
            auto peer = self->peers.find(id);
            if (peer == self->peers.end()) return;
            ui::Window& w = peer->second->window();
            ui::View* v = w.contentView() ? w.contentView()->hitTest(w.convertPointFromScreen(screen)) : nullptr;
            if (auto* b = dynamic_cast<ui::Button*>(v)) b->performClick();
          });
        }
      } else if (type == XCB_EXPOSE) {
        const auto& ev = reinterpret_cast<const xcb_expose_event_t&>(e);
        if (auto it = ui->peers.find(ev.window); it != ui->peers.end() && ev.count == 0) it->second->exposed();
      }
    });
  }
  std::unique_ptr<ui::WindowPeer> makeWindowPeer(ui::Window& window, const Rect& contentRect) override {
    state_->state.checkMainThread("UserInterface::makeWindowPeer");
    return std::make_unique<X11WindowPeer>(state_, window, contentRect);
  }
  Point mouseLocation() override {
    xcb_connection_t* c = state_->state.conn.xcb();
    auto p = reply(xcb_query_pointer_reply(c, xcb_query_pointer(c, state_->state.conn.root()), nullptr));
    if (!p) return {};
    return {double(p->root_x), state_->state.mainDisplayHeight() - p->root_y};
  }
  Size measureText(std::string_view text, const ui::Font& font) override {
    return sim::textSize(text, font.pointSize, font.weight >= ui::FontWeight::semibold);
  }
  void flush() override { state_->commitAll(); }
  std::vector<ScreenInfo> screens() override {
    auto displays = state_->state.displays();
    const double h = displays.front().second.height();
    std::vector<ScreenInfo> out;
    for (const auto& [id, bounds] : displays) out.push_back({bounds.flipped(h), bounds.flipped(h), id});
    return out;
  }
  Dispatcher& dispatcher() override { return state_->state.dispatcher; }

 private:
  std::shared_ptr<UIState> state_;
  Subscription events_;
};

}  // namespace

std::unique_ptr<ui::UserInterface> makeUserInterface(State& state) { return std::make_unique<X11UserInterface>(state); }

}  // namespace corvane::x11
