#include "platform/sim/sim_scene.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace corvane::sim {

namespace {

// ---- Shapes as spans of pixels --------------------------------------------------------------

// Runs of pixels [first, second) of one row.
using Spans = std::vector<std::pair<int, int>>;

// A rectangle in picture pixels, y down.
struct PixelRect {
  double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

// A rectangle in picture pixels with its corners rounded one by one.
struct PixelShape {
  PixelRect rect;
  double topLeft = 0, topRight = 0, bottomLeft = 0, bottomRight = 0;

  // The row's pixels [a, b) inside the shape; false when none.
  bool row(int y, int& a, int& b) const {
    const double cy = y + 0.5;
    if (cy < rect.y0 || cy >= rect.y1) return false;
    const double width = rect.x1 - rect.x0;
    const double height = rect.y1 - rect.y0;
    auto inset = [&](double top, double bottom) {
      const bool upper = cy < rect.y0 + height / 2;
      const double r = std::max(0.0, std::min({upper ? top : bottom, width / 2, height / 2}));
      if (r <= 0) return 0.0;
      const double dy = upper ? rect.y0 + r - cy : cy - (rect.y1 - r);
      return dy > 0 ? r - std::sqrt(std::max(0.0, r * r - dy * dy)) : 0.0;
    };
    a = firstPixelAtOrAfter(rect.x0 + inset(topLeft, bottomLeft));
    b = firstPixelAtOrAfter(rect.x1 - inset(topRight, bottomRight));
    return a < b;
  }
};

int firstPixel(double edge) { return firstPixelAtOrAfter(edge); }

// A region that drawing is limited to: a rounded rectangle, or a path of rectangles under a fill
// rule (a shape mask).
struct Clip {
  enum class Kind { roundedRect, path };
  Kind kind = Kind::roundedRect;
  PixelRect rect;
  double radius = 0;
  std::vector<PixelShape> shapes;
  ui::FillRule rule = ui::FillRule::nonZero;

  static Clip rounded(PixelRect r, double radius) { return {Kind::roundedRect, r, std::max(radius, 0.0), {}, {}}; }

  void spans(int y, Spans& out) const {
    out.clear();
    const double cy = y + 0.5;
    if (kind == Kind::roundedRect) {
      if (cy < rect.y0 || cy >= rect.y1) return;
      const double inset = roundedRowInset(rect.y0, rect.y1, rect.x1 - rect.x0, radius, y);
      const int a = firstPixel(rect.x0 + inset);
      const int b = firstPixel(rect.x1 - inset);
      if (a < b) out.emplace_back(a, b);
      return;
    }
    // Each rectangle that crosses the row adds one to the winding count between its edges.
    thread_local std::vector<std::pair<int, int>> events;
    events.clear();
    for (const PixelShape& shape : shapes) {
      int a = 0, b = 0;
      if (!shape.row(y, a, b)) continue;
      events.emplace_back(a, 1);
      events.emplace_back(b, -1);
    }
    std::sort(events.begin(), events.end());
    int count = 0;
    int start = 0;
    auto filled = [&](int n) { return rule == ui::FillRule::evenOdd ? (n % 2) != 0 : n > 0; };
    for (size_t i = 0; i < events.size();) {
      const int x = events[i].first;
      const bool before = filled(count);
      while (i < events.size() && events[i].first == x) count += events[i++].second;
      const bool after = filled(count);
      if (!before && after) start = x;
      if (before && !after && start < x) out.emplace_back(start, x);
    }
  }
};

void intersect(const Spans& a, const Spans& b, Spans& out) {
  out.clear();
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const int lo = std::max(a[i].first, b[j].first);
    const int hi = std::min(a[i].second, b[j].second);
    if (lo < hi) out.emplace_back(lo, hi);
    if (a[i].second < b[j].second) {
      ++i;
    } else {
      ++j;
    }
  }
}

void subtract(const Spans& a, const Spans& b, Spans& out) {
  out.clear();
  size_t j = 0;
  for (auto [lo, hi] : a) {
    while (j < b.size() && b[j].second <= lo) ++j;
    size_t k = j;
    int x = lo;
    while (k < b.size() && b[k].first < hi) {
      if (b[k].first > x) out.emplace_back(x, b[k].first);
      x = std::max(x, b[k].second);
      ++k;
    }
    if (x < hi) out.emplace_back(x, hi);
  }
}

// The pixels of row y inside `shape` and every clip, limited to [x0, x1).
void rowSpans(const Clip& shape, const std::vector<Clip>& clips, int y, int x0, int x1, Spans& out) {
  thread_local Spans a, b;
  shape.spans(y, out);
  for (const Clip& clip : clips) {
    if (out.empty()) return;
    clip.spans(y, a);
    intersect(out, a, b);
    out.swap(b);
  }
  size_t kept = 0;
  for (auto [lo, hi] : out) {
    lo = std::max(lo, x0);
    hi = std::min(hi, x1);
    if (lo < hi) out[kept++] = {lo, hi};
  }
  out.resize(kept);
}

// ---- Colours ----------------------------------------------------------------------------------

Color8 toColor8(const ui::Color& c) {
  auto channel = [](double v) { return uint8_t(std::lround(std::clamp(v, 0.0, 1.0) * 255)); };
  return {channel(c.red), channel(c.green), channel(c.blue)};
}

unsigned coverage(double opacity) { return unsigned(std::lround(std::clamp(opacity, 0.0, 1.0) * 255)); }

// The grey a material shows where it has nothing to blur (within-window blending).
constexpr Color8 kMaterialGrey{0x5C, 0x5E, 0x63};

// ---- The blur of a backdrop ---------------------------------------------------------------------

// What lies behind an area of the picture, blurred: averaged down by a factor that grows with the
// radius (a quarter of it, 2 to 8), box-blurred three times each way (close to a Gaussian), and
// read back with bilinear interpolation.
class BackdropBlur {
 public:
  BackdropBlur(const PixelBuffer& picture, int x0, int y0, int x1, int y1, double radius)
      : factor_(std::clamp(int(std::lround(radius / 4)), 2, 8)) {
    const int margin = int(std::ceil(radius));
    sx0_ = std::max(0, x0 - margin);
    sy0_ = std::max(0, y0 - margin);
    const int sx1 = std::min(picture.width, x1 + margin);
    const int sy1 = std::min(picture.height, y1 + margin);
    sw_ = std::max(1, (sx1 - sx0_ + factor_ - 1) / factor_);
    sh_ = std::max(1, (sy1 - sy0_ + factor_ - 1) / factor_);
    data_.assign(size_t(sw_) * size_t(sh_) * 4, 0.0f);
    for (int sy = 0; sy < sh_; ++sy) {
      const int py0 = sy0_ + sy * factor_;
      const int py1 = std::min(py0 + factor_, sy1);
      for (int sx = 0; sx < sw_; ++sx) {
        const int px0 = sx0_ + sx * factor_;
        const int px1 = std::min(px0 + factor_, sx1);
        uint32_t sum[4] = {0, 0, 0, 0};
        for (int py = py0; py < py1; ++py) {
          const uint8_t* p = picture.pixel(px0, py);
          for (int px = px0; px < px1; ++px, p += 4) {
            sum[0] += p[0];
            sum[1] += p[1];
            sum[2] += p[2];
            sum[3] += p[3];
          }
        }
        const float n = float(std::max(1, (py1 - py0) * (px1 - px0)));
        float* d = &data_[(size_t(sy) * size_t(sw_) + size_t(sx)) * 4];
        for (int c = 0; c < 4; ++c) d[c] = sum[c] / n;
      }
    }
    const int r = std::max(1, int(std::lround(radius / (2.0 * factor_))));
    for (int pass = 0; pass < 3; ++pass) {
      boxBlur(r, true);
      boxBlur(r, false);
    }
  }

  // Per-column (or per-row) sample positions for pixels [from, to) of the picture: the nearer
  // sample and the weight (0...256) of the next one.
  struct Axis {
    std::vector<int> index;
    std::vector<uint32_t> weight;
  };
  Axis axis(int from, int to, int origin, int size) const {
    Axis a;
    a.index.resize(size_t(std::max(0, to - from)));
    a.weight.resize(a.index.size());
    for (int p = from; p < to; ++p) {
      double s = (p + 0.5 - origin) / factor_ - 0.5;
      s = std::clamp(s, 0.0, double(size - 1));
      const int i = std::min(int(s), size - 2 < 0 ? 0 : size - 2);
      a.index[size_t(p - from)] = i;
      a.weight[size_t(p - from)] = size > 1 ? uint32_t(std::lround((s - i) * 256)) : 0;
    }
    return a;
  }
  Axis rows(int from, int to) const { return axis(from, to, sy0_, sh_); }

  // Every row of the blurred image widened to pixels [x0, x1) of the picture (horizontal
  // interpolation done once here), as channel values times 256.
  void widen(int x0, int x1) {
    const Axis columns = axis(x0, x1, sx0_, sw_);
    wideWidth_ = size_t(x1 - x0);
    wide_.assign(size_t(sh_) * wideWidth_ * 4, 0);
    for (int r = 0; r < sh_; ++r) {
      const float* small = &data_[size_t(r) * size_t(sw_) * 4];
      uint32_t* out = &wide_[size_t(r) * wideWidth_ * 4];
      for (size_t x = 0; x < wideWidth_; ++x) {
        const int xi = columns.index[x];
        const float w = float(columns.weight[x]) / 256.0f;
        const float* a = small + size_t(xi) * 4;
        const float* b = small + size_t(std::min(xi + 1, sw_ - 1)) * 4;
        for (int c = 0; c < 4; ++c) {
          out[x * 4 + size_t(c)] = uint32_t(std::clamp((a[c] + (b[c] - a[c]) * w) * 256.0f + 0.5f, 0.0f, 65280.0f));
        }
      }
    }
  }
  // Blends pixels [lo, hi) (offsets from the widened x0) of one picture row with the blurred image
  // at row position (yi, wy), at opacity a (0...256).
  void blend(uint8_t* row, size_t lo, size_t hi, int yi, uint32_t wy, uint32_t a) const {
    const int yj = std::min(yi + 1, sh_ - 1);
    const uint32_t* top = &wide_[(size_t(yi) * wideWidth_ + lo) * 4];
    const uint32_t* bottom = &wide_[(size_t(yj) * wideWidth_ + lo) * 4];
    const uint32_t keep = (256 - a) * 256;
    const size_t n = (hi - lo) * 4;
    for (size_t k = 0; k < n; ++k) {
      // The blurred value times 256, then blended: all in 1/65536 steps.
      const uint32_t s = (top[k] * (256 - wy) + bottom[k] * wy) >> 8;
      row[k] = uint8_t((s * a + uint32_t(row[k]) * keep + 32768) >> 16);
    }
  }

 private:
  const int factor_;

  // One box-blur pass of radius r along rows (horizontal) or columns, edges clamped. Each line is
  // copied into a buffer padded by r copies of its end pixels, so the running sum reads no clamps.
  void boxBlur(int r, bool horizontal) {
    const int length = horizontal ? sw_ : sh_;
    const int lines = horizontal ? sh_ : sw_;
    const size_t step = horizontal ? 4 : size_t(sw_) * 4;
    std::vector<float> line(size_t(length + 2 * r + 1) * 4);
    const float scale = 1.0f / float(2 * r + 1);
    for (int l = 0; l < lines; ++l) {
      float* base = horizontal ? &data_[size_t(l) * size_t(sw_) * 4] : &data_[size_t(l) * 4];
      for (int i = -r; i <= length + r; ++i) {
        const float* from = base + size_t(std::clamp(i, 0, length - 1)) * step;
        float* to = &line[size_t(i + r) * 4];
        to[0] = from[0];
        to[1] = from[1];
        to[2] = from[2];
        to[3] = from[3];
      }
      float sum[4] = {0, 0, 0, 0};
      for (int i = 0; i <= 2 * r; ++i) {
        for (int c = 0; c < 4; ++c) sum[c] += line[size_t(i) * 4 + size_t(c)];
      }
      for (int i = 0; i < length; ++i) {
        float* out = base + size_t(i) * step;
        const float* enter = &line[size_t(i + 2 * r + 1) * 4];
        const float* leave = &line[size_t(i) * 4];
        for (int c = 0; c < 4; ++c) {
          out[c] = sum[c] * scale;
          sum[c] += enter[c] - leave[c];
        }
      }
    }
  }

  int sx0_ = 0, sy0_ = 0, sw_ = 1, sh_ = 1;
  std::vector<float> data_;
  size_t wideWidth_ = 0;
  std::vector<uint32_t> wide_;
};

}  // namespace

// ---- Symbols ------------------------------------------------------------------------------------

// Whether a symbol covers the point (nx, ny) of its square box, both -1...1 (y down).
bool symbolCovers(const std::string& name, double nx, double ny) {
  const bool eye = name.rfind("eye", 0) == 0;
  const bool slash = name.find("slash") != std::string::npos;
  if (!eye) return std::fabs(nx) < 0.7 && std::fabs(ny) < 0.7;  // an unknown symbol: a square
  if (slash) {
    const double d = std::fabs(nx - ny) / std::sqrt(2.0);
    if (std::fabs(nx) < 0.95 && std::fabs(ny) < 0.95) {
      if (d < 0.1) return true;
      if (d < 0.22) return false;  // the gap around the slash
    }
  }
  if (std::fabs(nx) > 1) return false;
  if (std::fabs(ny) > 0.62 * (1 - nx * nx)) return false;  // the almond
  const double r = std::sqrt(nx * nx + ny * ny);
  return !(r > 0.26 && r < 0.4);  // the ring around the pupil
}

namespace {

// ---- Drawing a scene ----------------------------------------------------------------------------

class SceneDrawer {
 public:
  SceneDrawer(Compositor& compositor, WindowID number, const Rect& bounds, double now)
      : picture_(compositor.target()),
        area_(compositor.area()),
        visibility_(compositor.visibility()),
        number_(number),
        watched_(visibility_ && visibility_->isWatched(number)),
        now_(now) {
    const Rect b = bounds.standardized();
    left_ = b.minX() - compositor.origin().x;
    top_ = b.minY() - compositor.origin().y;
    height_ = b.height();
  }

  void drawBackground(const Rect& bounds, const ui::Color& color, double alpha) {
    if (!(color.alpha > 0)) return;
    const Rect b = bounds.standardized();
    fill(Clip::rounded(toPixels(Rect(0, 0, b.width(), b.height())), 0), {}, toColor8(color), alpha * color.alpha);
  }

  void draw(const SceneNode& node, Point parentOrigin, double groupAlpha, const std::vector<Clip>& clips) {
    if (node.hidden) return;
    const double alpha = groupAlpha * ui::presentationValue(node.alpha, node.alphaAnimation, now_);
    if (!(alpha > 0)) return;
    const Rect frame = ui::presentationValue(node.frame, node.frameAnimation, now_).standardized();
    const Rect absolute(Point{parentOrigin.x + frame.minX(), parentOrigin.y + frame.minY()}, frame.size);
    const PixelRect box = toPixels(absolute);
    const Clip shape = Clip::rounded(box, node.layerBacked ? node.cornerRadius : 0);

    // The layer's masks limit everything it draws, its sublayers included.
    std::vector<Clip> layerClips = clips;
    if (node.mask) layerClips.push_back(maskClip(*node.mask, absolute));
    if (node.kind == SceneNode::Kind::visualEffect && node.maskImage) {
      layerClips.push_back(Clip::rounded(box, maskImageRadius(*node.maskImage, frame.size)));
    }

    if (node.background && node.background->alpha > 0) {
      fill(shape, layerClips, toColor8(*node.background), alpha * node.background->alpha);
    }
    std::vector<Clip> contentClips = layerClips;
    if (node.masksToBounds) contentClips.push_back(shape);
    if (node.kind == SceneNode::Kind::visualEffect) drawEffect(node, shape, contentClips, alpha);
    if (node.kind == SceneNode::Kind::button) drawButton(node, box, shape, contentClips, alpha);
    if (node.kind == SceneNode::Kind::video && node.video) drawVideo(*node.video, box, shape, contentClips, alpha);
    for (const SceneNode& child : node.children) draw(child, absolute.origin, alpha, contentClips);
    if (node.layerBacked && node.borderWidth > 0 && node.borderColor.alpha > 0) {
      const double w = node.borderWidth;
      PixelRect inner{box.x0 + w, box.y0 + w, box.x1 - w, box.y1 - w};
      if (inner.x1 < inner.x0) inner.x1 = inner.x0;
      if (inner.y1 < inner.y0) inner.y1 = inner.y0;
      ring(shape, Clip::rounded(inner, node.cornerRadius - w), layerClips, toColor8(node.borderColor),
           alpha * node.borderColor.alpha);
    }
  }

 private:
  // Window coordinates (y up, origin at the window's bottom-left) to picture pixels.
  PixelRect toPixels(const Rect& r) const {
    return {left_ + r.minX(), top_ + height_ - r.maxY(), left_ + r.maxX(), top_ + height_ - r.minY()};
  }

  Clip maskClip(const ui::ShapeMask& mask, const Rect& layerRect) const {
    Clip clip;
    clip.kind = Clip::Kind::path;
    clip.rule = mask.fillRule;
    const Rect frame = mask.frame.standardized();
    for (const ui::PathShape& shape : mask.path) {
      const Rect s = shape.rect.standardized();
      PixelShape pixels;
      pixels.rect = toPixels(s.offsetBy(layerRect.minX() + frame.minX(), layerRect.minY() + frame.minY()));
      // Window coordinates have y up, pixels y down: the top corners are the high-y ones.
      pixels.topLeft = shape.radii.topLeft;
      pixels.topRight = shape.radii.topRight;
      pixels.bottomLeft = shape.radii.bottomLeft;
      pixels.bottomRight = shape.radii.bottomRight;
      clip.shapes.push_back(pixels);
    }
    return clip;
  }

  // A rounded-rectangle mask image stretched over a view of `size`: corners that the cap insets
  // keep keep their radius; otherwise the radius scales with the image.
  static double maskImageRadius(const ui::Image& image, Size size) {
    if (image.kind() != ui::Image::Kind::roundedRect) return 0;
    const double r = image.cornerRadius();
    const ui::EdgeInsets caps = image.capInsets();
    if (std::min({caps.top, caps.left, caps.bottom, caps.right}) >= r) return r;
    const Size s = image.size();
    if (!(s.width > 0 && s.height > 0)) return r;
    return r * std::min(size.width / s.width, size.height / s.height);
  }

  void cover(int y, int x0, int x1, double opacity) {
    if (visibility_) visibility_->cover(y, x0, x1, number_, watched_, float(opacity));
  }

  void fill(const Clip& shape, const std::vector<Clip>& clips, Color8 color, double opacity) {
    const unsigned a = coverage(opacity);
    if (a == 0) return;
    const int y0 = std::max(area_.y0, firstPixel(shape.rect.y0));
    const int y1 = std::min(area_.y1, firstPixel(shape.rect.y1));
    thread_local Spans spans;
    for (int y = y0; y < y1; ++y) {
      rowSpans(shape, clips, y, area_.x0, area_.x1, spans);
      for (auto [lo, hi] : spans) {
        if (picture_) {
          uint8_t* p = picture_->pixel(lo, y);
          for (int x = lo; x < hi; ++x, p += 4) blendPixel(p, color, a);
        }
        cover(y, lo, hi, a / 255.0);
      }
    }
  }

  void ring(const Clip& outer, const Clip& inner, const std::vector<Clip>& clips, Color8 color, double opacity) {
    const unsigned a = coverage(opacity);
    if (a == 0) return;
    const int y0 = std::max(area_.y0, firstPixel(outer.rect.y0));
    const int y1 = std::min(area_.y1, firstPixel(outer.rect.y1));
    Spans outside, within, band;
    for (int y = y0; y < y1; ++y) {
      rowSpans(outer, clips, y, area_.x0, area_.x1, outside);
      inner.spans(y, within);
      subtract(outside, within, band);
      for (auto [lo, hi] : band) {
        for (int x = lo; picture_ && x < hi; ++x) blendPixel(picture_->pixel(x, y), color, a);
        cover(y, lo, hi, a / 255.0);
      }
    }
  }

  void drawEffect(const SceneNode& node, const Clip& shape, const std::vector<Clip>& clips, double opacity) {
    if (node.blendingMode == ui::VisualEffectBlendingMode::withinWindow) {
      fill(shape, clips, kMaterialGrey, opacity);
      return;
    }
    const uint32_t a = uint32_t(std::lround(std::clamp(opacity, 0.0, 1.0) * 256));
    if (a == 0) return;
    const int x0 = std::max(area_.x0, firstPixel(shape.rect.x0));
    const int x1 = std::min(area_.x1, firstPixel(shape.rect.x1));
    const int y0 = std::max(area_.y0, firstPixel(shape.rect.y0));
    const int y1 = std::min(area_.y1, firstPixel(shape.rect.y1));
    if (x0 >= x1 || y0 >= y1) return;
    const double radius = blurRadius(node.material);
    const bool hides = radius >= kHidingBlurRadius && opacity >= kHidingOpacity;
    // Without a picture there is nothing to blur; what the frost covers does not depend on it.
    std::optional<BackdropBlur> blur;
    BackdropBlur::Axis rows;
    if (picture_) {
      blur.emplace(*picture_, x0, y0, x1, y1, radius);
      blur->widen(x0, x1);
      rows = blur->rows(y0, y1);
    }
    thread_local Spans spans;
    for (int y = y0; y < y1; ++y) {
      rowSpans(shape, clips, y, area_.x0, area_.x1, spans);
      for (auto [lo, hi] : spans) {
        lo = std::max(lo, x0);
        hi = std::min(hi, x1);
        if (lo >= hi) continue;
        if (blur) {
          blur->blend(picture_->pixel(lo, y), size_t(lo - x0), size_t(hi - x0), rows.index[size_t(y - y0)],
                      rows.weight[size_t(y - y0)], a);
        }
        if (hides) cover(y, lo, hi, a / 256.0);
      }
    }
  }

  // The frame stretched over the box (nearest pixel), drawn over what is there by its own alpha.
  void drawVideo(const PixelBuffer& frame, const PixelRect& box, const Clip& shape, const std::vector<Clip>& clips,
                 double opacity) {
    const unsigned a = coverage(opacity);
    if (a == 0 || frame.isEmpty() || !(box.x1 > box.x0 && box.y1 > box.y0)) return;
    const double sx = frame.width / (box.x1 - box.x0);
    const double sy = frame.height / (box.y1 - box.y0);
    const int y0 = std::max(area_.y0, firstPixel(shape.rect.y0));
    const int y1 = std::min(area_.y1, firstPixel(shape.rect.y1));
    thread_local Spans spans;
    for (int y = y0; y < y1; ++y) {
      rowSpans(shape, clips, y, area_.x0, area_.x1, spans);
      const int fy = std::clamp(int((y + 0.5 - box.y0) * sy), 0, frame.height - 1);
      for (auto [lo, hi] : spans) {
        for (int x = lo; picture_ && x < hi; ++x) {
          const int fx = std::clamp(int((x + 0.5 - box.x0) * sx), 0, frame.width - 1);
          const uint8_t* src = frame.pixel(fx, fy);
          uint8_t* p = picture_->pixel(x, y);
          // Premultiplied source over: the source's own alpha, scaled by the view's opacity.
          const unsigned sa = src[3] * a / 255;
          const unsigned keep = 255 - sa;
          for (int c = 0; c < 3; ++c) p[c] = uint8_t(std::min(255u, (src[c] * a + p[c] * keep + 127) / 255));
          p[3] = uint8_t(std::min(255u, sa + (p[3] * keep + 127) / 255));
        }
        cover(y, lo, hi, a / 255.0);
      }
    }
  }

  void drawButton(const SceneNode& node, const PixelRect& box, const Clip& shape, const std::vector<Clip>& clips,
                  double opacity) {
    const ui::Color ink = node.tint.value_or(ui::Color::black());
    const unsigned a = coverage(opacity * ink.alpha);
    if (a == 0) return;
    const Color8 color = toColor8(ink);
    const double size = node.font.pointSize;
    const bool bold = node.font.weight >= ui::FontWeight::semibold;
    const bool hasImage = node.image && node.imagePosition != ui::ImagePosition::noImage;
    const bool hasTitle = !node.title.empty() && node.imagePosition != ui::ImagePosition::imageOnly;
    const Size text = hasTitle ? textSize(node.title, size, bold) : Size{};
    const double side = hasImage ? std::round(size * 1.15) : 0;
    const double gap = hasImage && hasTitle ? 4 : 0;
    const double total = side + gap + text.width;
    const bool imageFirst = node.imagePosition != ui::ImagePosition::imageTrailing &&
                            node.imagePosition != ui::ImagePosition::imageRight;
    const double start = (box.x0 + box.x1 - total) / 2;
    const double middle = (box.y0 + box.y1) / 2;
    const double imageLeft = imageFirst ? start : start + text.width + gap;
    const double textLeft = imageFirst ? start + side + gap : start;

    // Rows of the button's own area (its shape within the clips), for clipping the glyphs.
    const int y0 = std::max(area_.y0, firstPixel(box.y0));
    const int y1 = std::min(area_.y1, firstPixel(box.y1));
    if (y0 >= y1) return;
    std::vector<Spans> area(size_t(y1 - y0));
    for (int y = y0; y < y1; ++y) rowSpans(shape, clips, y, area_.x0, area_.x1, area[size_t(y - y0)]);
    auto paint = [&](int x, int y) {
      if (y < y0 || y >= y1) return;
      for (auto [lo, hi] : area[size_t(y - y0)]) {
        if (x >= lo && x < hi) {
          if (picture_) blendPixel(picture_->pixel(x, y), color, a);
          cover(y, x, x + 1, a / 255.0);
          return;
        }
      }
    };
    if (hasTitle) {
      forEachTextPixel(node.title, textLeft, middle - text.height / 2, size, bold, area_.x0, area_.y0, area_.x1,
                       area_.y1, paint);
    }
    if (hasImage && side > 0) {
      const double top = middle - side / 2;
      const int ix0 = std::max(area_.x0, int(std::floor(imageLeft)));
      const int ix1 = std::min(area_.x1, int(std::ceil(imageLeft + side)));
      const int iy0 = std::max(area_.y0, int(std::floor(top)));
      const int iy1 = std::min(area_.y1, int(std::ceil(top + side)));
      for (int y = iy0; y < iy1; ++y) {
        for (int x = ix0; x < ix1; ++x) {
          const double nx = (x + 0.5 - imageLeft) / side * 2 - 1;
          const double ny = (y + 0.5 - top) / side * 2 - 1;
          if (symbolCovers(node.image->symbolName(), nx, ny)) paint(x, y);
        }
      }
    }
  }

  PixelBuffer* picture_;  // null: only visibility is recorded
  PixelArea area_;
  VisibilityMap* visibility_;
  WindowID number_;
  bool watched_;
  double now_;
  double left_ = 0;
  double top_ = 0;
  double height_ = 0;
};

SceneNode snapshot(const ui::View& view) {
  SceneNode node;
  node.frame = view.frame();
  node.frameAnimation = view.frameAnimation();
  node.alpha = view.alphaValue();
  node.alphaAnimation = view.alphaAnimation();
  node.hidden = view.isHidden();
  if (const ui::Layer* layer = view.layer()) {
    node.layerBacked = true;
    node.cornerRadius = layer->cornerRadius();
    node.masksToBounds = layer->masksToBounds();
    node.background = layer->backgroundColor();
    node.borderWidth = layer->borderWidth();
    node.borderColor = layer->borderColor();
    node.mask = layer->mask();
  }
  if (const auto* effect = dynamic_cast<const ui::VisualEffectView*>(&view)) {
    node.kind = SceneNode::Kind::visualEffect;
    node.material = effect->material();
    node.blendingMode = effect->blendingMode();
    node.state = effect->state();
    node.maskImage = effect->maskImage();
  } else if (const auto* video = dynamic_cast<const ui::VideoDisplayView*>(&view)) {
    node.kind = SceneNode::Kind::video;
    node.video = video->displayedImage();
  } else if (const auto* button = dynamic_cast<const ui::Button*>(&view)) {
    node.kind = SceneNode::Kind::button;
    node.title = button->title();
    node.font = button->font();
    node.image = button->image();
    node.imagePosition = button->imagePosition();
    node.tint = button->contentTintColor();
  }
  node.children.reserve(view.subviews().size());
  for (const auto& subview : view.subviews()) node.children.push_back(snapshot(*subview));
  return node;
}

}  // namespace

std::shared_ptr<const WindowScene> makeScene(const ui::Window& window) {
  auto scene = std::make_shared<WindowScene>();
  scene->background = window.backgroundColor();
  if (const ui::View* content = window.contentView()) scene->content = snapshot(*content);
  return scene;
}

double blurRadius(ui::VisualEffectMaterial material) {
  switch (material) {
    case ui::VisualEffectMaterial::titlebar:
      return 8;
    case ui::VisualEffectMaterial::menu:
      return 12;
    case ui::VisualEffectMaterial::popover:
      return 16;
    case ui::VisualEffectMaterial::sidebar:
      return 22;
    case ui::VisualEffectMaterial::fullScreenUI:
      return 30;
    default:
      return 20;
  }
}

void drawScene(Compositor& compositor, const WindowScene& scene, WindowID number, const Rect& bounds, double alpha,
               double now) {
  if (!(alpha > 0) || bounds.isNull()) return;
  SceneDrawer drawer(compositor, number, bounds, now);
  drawer.drawBackground(bounds, scene.background, alpha);
  if (scene.content) drawer.draw(*scene.content, Point{}, alpha, {});
}

}  // namespace corvane::sim
