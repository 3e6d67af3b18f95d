#include "app/clear_view_qa.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/files.h"
#include "base/format.h"
#include "base/geometry.h"
#include "base/json_limits.h"
#include "base/png.h"

namespace corvane::ClearViewQA {

namespace {

using json = nlohmann::json;

constexpr size_t kMaxStateBytes = size_t(16) << 20;
constexpr size_t kMaxStateDepth = 32;
// Coordinates beyond this are no frame any screen could hold.
constexpr double kMaxCoordinate = 1e7;
// Frames are written rounded to whole points.
constexpr double kFrameTolerance = 1.0;
// A share pixel that differs from the window's own pixel by at most this much in every channel
// shows the window; frost (a blur under a tint of at least 15 % black) moves every pixel bright
// enough to compare (kComparableLevel) by more.
constexpr int kSameColour = 6;
constexpr int kComparableLevel = 64;
// More than this share of a frost's area showing the window is a leak.
constexpr double kMaxMatchingShare = 0.02;
// Without the window's frame, frost is told from content by its edges: a blur has none, a window's
// text and controls have many. The frost's own control (a small button) stays well below the limit.
constexpr int kSharpStep = 24;
constexpr double kMaxSharpShare = 0.02;
// Below this many square points the frost's own control would weigh too much in the edge count.
constexpr double kMinEdgeArea = 60000;
// Edge pixels of a frost's area left out of the edge count (rounded corners, the frame's rounding).
constexpr int kEdgeMargin = 3;

struct Frost {
  int64_t target = 0;
  int64_t window = 0;
  int64_t level = 0;
  bool visible = false;
  bool revealed = false;
  Rect frame;
  std::vector<Rect> holes;
};

struct Mirror {
  int64_t target = 0;
  int64_t window = 0;
  int64_t level = 0;
  bool visible = false;
  bool hasFrame = false;
  Rect frame;
};

struct Dump {
  bool clearViewActive = false;
  std::string status = "none";
  std::vector<Frost> frost;
  std::vector<Mirror> mirrors;
  // On-screen window numbers, front to back, when the dump has them.
  std::optional<std::vector<int64_t>> stack;
  // Screen frames, the main screen first, from report.txt.
  std::vector<Rect> screens;
};

// ---- Reading the dump ---------------------------------------------------------------------------

std::optional<double> parseNumber(std::string_view text) {
  double value = 0;
  const char* end = text.data() + text.size();
  auto [stop, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || stop != end || !std::isfinite(value) || std::fabs(value) > kMaxCoordinate) {
    return std::nullopt;
  }
  return value;
}

// "x,y wxh", as the dump writes frames.
std::optional<Rect> parseFrame(std::string_view text) {
  const size_t comma = text.find(',');
  const size_t space = text.find(' ', comma == std::string_view::npos ? 0 : comma);
  const size_t times = text.find('x', space == std::string_view::npos ? 0 : space);
  if (comma == std::string_view::npos || space == std::string_view::npos || times == std::string_view::npos) {
    return std::nullopt;
  }
  auto x = parseNumber(text.substr(0, comma));
  auto y = parseNumber(text.substr(comma + 1, space - comma - 1));
  auto w = parseNumber(text.substr(space + 1, times - space - 1));
  auto h = parseNumber(text.substr(times + 1));
  if (!x || !y || !w || !h || *w < 0 || *h < 0) return std::nullopt;
  return Rect(*x, *y, *w, *h);
}

std::string frameText(const Rect& r) {
  return format("%.0f,%.0f %.0fx%.0f", {r.minX(), r.minY(), r.width(), r.height()});
}

// What is wrong with the dump, and where; thrown only within loadState.
struct BadDump {
  std::string message;
};

const json& member(const json& object, const char* key, const std::string& where) {
  auto it = object.find(key);
  if (it == object.end()) throw BadDump{where + ": no \"" + key + "\""};
  return *it;
}

int64_t wholeNumber(const json& object, const char* key, const std::string& where) {
  const json& v = member(object, key, where);
  if (v.is_number_unsigned() && v.get<uint64_t>() <= uint64_t(std::numeric_limits<int64_t>::max())) {
    return int64_t(v.get<uint64_t>());
  }
  if (v.is_number_integer() && !v.is_number_unsigned()) return v.get<int64_t>();
  throw BadDump{where + "." + key + ": expected a whole number"};
}

bool flag(const json& object, const char* key, const std::string& where) {
  const json& v = member(object, key, where);
  if (!v.is_boolean()) throw BadDump{where + "." + key + ": expected true or false"};
  return v.get<bool>();
}

Rect frameOf(const json& v, const std::string& where) {
  std::optional<Rect> r = v.is_string() ? parseFrame(v.get<std::string>()) : std::nullopt;
  if (!r) throw BadDump{where + ": expected a frame \"x,y wxh\""};
  return *r;
}

const json& list(const json& object, const char* key, const std::string& where) {
  const json& v = member(object, key, where);
  if (!v.is_array()) throw BadDump{where + "." + key + ": expected a list"};
  return v;
}

Dump readState(const json& state) {
  if (!state.is_object()) throw BadDump{"expected an object"};
  Dump dump;
  if (auto it = state.find("clearViewActive"); it != state.end()) {
    if (!it->is_boolean()) throw BadDump{"clearViewActive: expected true or false"};
    dump.clearViewActive = it->get<bool>();
  }
  if (auto it = state.find("status"); it != state.end() && it->is_string()) dump.status = it->get<std::string>();
  const json& frost = list(state, "frost", "state");
  for (size_t i = 0; i < frost.size(); ++i) {
    const std::string where = "frost[" + std::to_string(i) + "]";
    const json& e = frost[i];
    if (!e.is_object()) throw BadDump{where + ": expected an object"};
    Frost f;
    f.target = wholeNumber(e, "target", where);
    f.window = wholeNumber(e, "window", where);
    f.level = wholeNumber(e, "level", where);
    f.visible = flag(e, "visible", where);
    f.revealed = flag(e, "revealed", where);
    f.frame = frameOf(member(e, "frame", where), where + ".frame");
    const json& holes = list(e, "holes", where);
    for (size_t h = 0; h < holes.size(); ++h) {
      f.holes.push_back(frameOf(holes[h], where + ".holes[" + std::to_string(h) + "]"));
    }
    dump.frost.push_back(std::move(f));
  }
  const json& mirrors = list(state, "mirrors", "state");
  for (size_t i = 0; i < mirrors.size(); ++i) {
    const std::string where = "mirrors[" + std::to_string(i) + "]";
    const json& e = mirrors[i];
    if (!e.is_object()) throw BadDump{where + ": expected an object"};
    Mirror m;
    m.target = wholeNumber(e, "target", where);
    m.window = wholeNumber(e, "window", where);
    m.level = wholeNumber(e, "level", where);
    m.visible = flag(e, "visible", where);
    m.hasFrame = flag(e, "hasFrame", where);
    m.frame = frameOf(member(e, "frame", where), where + ".frame");
    dump.mirrors.push_back(m);
  }
  if (state.contains("stack")) {
    const json& stack = list(state, "stack", "state");
    std::vector<int64_t> numbers;
    for (size_t i = 0; i < stack.size(); ++i) {
      if (!stack[i].is_number_integer()) throw BadDump{"stack[" + std::to_string(i) + "]: expected a window number"};
      numbers.push_back(stack[i].get<int64_t>());
    }
    dump.stack = std::move(numbers);
  }
  return dump;
}

// The screens of report.txt's "screens=" line ("x,y wxh; x,y wxh"); none when it has none.
std::vector<Rect> readScreens(const std::string& report) {
  std::vector<Rect> screens;
  size_t start = 0;
  while (start < report.size()) {
    size_t end = report.find('\n', start);
    if (end == std::string::npos) end = report.size();
    std::string_view line(report.data() + start, end - start);
    start = end + 1;
    if (!line.starts_with("screens=")) continue;
    line.remove_prefix(8);
    while (!line.empty()) {
      const size_t separator = line.find("; ");
      if (auto frame = parseFrame(line.substr(0, separator))) screens.push_back(*frame);
      if (separator == std::string_view::npos) break;
      line.remove_prefix(separator + 2);
    }
    break;
  }
  return screens;
}

// ---- Pictures -----------------------------------------------------------------------------------

struct PixelRect {
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  bool empty() const { return x0 >= x1 || y0 >= y1; }
  bool contains(int x, int y) const { return x >= x0 && x < x1 && y >= y0 && y < y1; }
};

// Screen space onto the pixels of the share's picture of the main screen.
struct Canvas {
  Rect screen;
  double scale = 1;
  int width = 0;
  int height = 0;

  // The rectangle's place in pixels, unclipped: x, y (top-left), width, height.
  void place(const Rect& r, double& x, double& y, double& w, double& h) const {
    x = (r.minX() - screen.minX()) * scale;
    y = (screen.maxY() - r.maxY()) * scale;
    w = r.width() * scale;
    h = r.height() * scale;
  }
  PixelRect pixels(const Rect& r) const {
    double x, y, w, h;
    place(r, x, y, w, h);
    auto clampX = [&](double v) { return int(std::lround(std::clamp(v, 0.0, double(width)))); };
    auto clampY = [&](double v) { return int(std::lround(std::clamp(v, 0.0, double(height)))); };
    return {clampX(x), clampY(y), clampX(x + w), clampY(y + h)};
  }
};

bool inAny(const std::vector<PixelRect>& rects, int x, int y) {
  return std::any_of(rects.begin(), rects.end(), [&](const PixelRect& r) { return r.contains(x, y); });
}

// Maps a picture pixel onto a source frame laid over `onto` (screen space); false outside it.
struct SourceMapping {
  const PixelBuffer* source = nullptr;
  double x = 0, y = 0, w = 0, h = 0;

  SourceMapping(const Canvas& canvas, const PixelBuffer& frame, const Rect& onto) : source(&frame) {
    canvas.place(onto, x, y, w, h);
  }
  const uint8_t* at(int px, int py) const {
    if (w <= 0 || h <= 0) return nullptr;
    const double sx = std::floor((px + 0.5 - x) / w * source->width);
    const double sy = std::floor((py + 0.5 - y) / h * source->height);
    if (sx < 0 || sy < 0 || sx >= source->width || sy >= source->height) return nullptr;
    return source->pixel(int(sx), int(sy));
  }
};

int channelDistance(const uint8_t* a, const uint8_t* b) {
  return std::max({std::abs(int(a[0]) - int(b[0])), std::abs(int(a[1]) - int(b[1])), std::abs(int(a[2]) - int(b[2]))});
}

struct Share {
  int64_t counted = 0;
  int64_t hits = 0;
  double fraction() const { return counted ? double(hits) / double(counted) : 0; }
};

// Of the pixels of `area` outside `holes` where the window's frame is bright enough to tell from
// frost, how many the share shows unchanged.
Share matchingShare(const PixelBuffer& share, const SourceMapping& source, const PixelRect& area,
                    const std::vector<PixelRect>& holes) {
  Share result;
  for (int y = area.y0; y < area.y1; ++y) {
    for (int x = area.x0; x < area.x1; ++x) {
      if (inAny(holes, x, y)) continue;
      const uint8_t* s = source.at(x, y);
      if (!s || s[3] < 250 || std::max({s[0], s[1], s[2]}) < kComparableLevel) continue;
      ++result.counted;
      if (channelDistance(share.pixel(x, y), s) <= kSameColour) ++result.hits;
    }
  }
  return result;
}

// Of the pixels of `area` (less a margin) outside `holes`, how many differ sharply from the next
// pixel to the right or below.
Share sharpShare(const PixelBuffer& share, PixelRect area, const std::vector<PixelRect>& holes) {
  area.x0 += kEdgeMargin;
  area.y0 += kEdgeMargin;
  area.x1 -= kEdgeMargin;
  area.y1 -= kEdgeMargin;
  Share result;
  for (int y = area.y0; y + 1 < area.y1; ++y) {
    for (int x = area.x0; x + 1 < area.x1; ++x) {
      if (inAny(holes, x, y) || inAny(holes, x + 1, y) || inAny(holes, x, y + 1)) continue;
      ++result.counted;
      const uint8_t* p = share.pixel(x, y);
      if (channelDistance(p, share.pixel(x + 1, y)) > kSharpStep || channelDistance(p, share.pixel(x, y + 1)) > kSharpStep) {
        ++result.hits;
      }
    }
  }
  return result;
}

// Draws the source frame over `area` less `holes`, source over destination (premultiplied).
void drawPlate(PixelBuffer& picture, const SourceMapping& source, const PixelRect& area,
               const std::vector<PixelRect>& holes) {
  for (int y = area.y0; y < area.y1; ++y) {
    for (int x = area.x0; x < area.x1; ++x) {
      if (inAny(holes, x, y)) continue;
      const uint8_t* s = source.at(x, y);
      if (!s) continue;
      uint8_t* d = picture.pixel(x, y);
      const int keep = 255 - s[3];
      for (int c = 0; c < 4; ++c) d[c] = uint8_t(std::min(255, int(s[c]) + (int(d[c]) * keep + 127) / 255));
    }
  }
}

std::string percent(double fraction) { return format("%.1f%%", {fraction * 100}); }

// ---- The checks ---------------------------------------------------------------------------------

class Checker {
 public:
  Checker(const Dump& dump, const Canvas& canvas, const PixelBuffer& share,
          const std::map<int64_t, PixelBuffer>& sources)
      : dump_(dump), canvas_(canvas), share_(share), sources_(sources) {}

  std::vector<std::string> lines;
  int failures = 0;

  void run() {
    std::set<int64_t> targets;
    for (const Frost& f : dump_.frost) targets.insert(f.target);
    for (const Mirror& m : dump_.mirrors) targets.insert(m.target);
    info(format("dump: Clear View %@, %d frost, %d mirrors, status: %@",
                {dump_.clearViewActive ? "on" : "off", int64_t(dump_.frost.size()), int64_t(dump_.mirrors.size()),
                 dump_.status}));
    info(format("share picture %dx%d pixels over the main screen %@ (%.2f pixels per point)",
                {canvas_.width, canvas_.height, frameText(canvas_.screen), canvas_.scale}));
    if (!dump_.stack) info("the dump holds no window order: plates are checked by level only");
    for (int64_t target : targets) {
      const Frost* frost = find(dump_.frost, target);
      const Mirror* mirror = find(dump_.mirrors, target);
      if (mirror) checkPlate(target, *mirror, frost);
      checkShare(target, frost, mirror);
    }
  }

 private:
  template <class T>
  static const T* find(const std::vector<T>& entries, int64_t target) {
    auto it = std::find_if(entries.begin(), entries.end(), [&](const T& e) { return e.target == target; });
    return it == entries.end() ? nullptr : &*it;
  }

  void pass(const std::string& text) { lines.push_back("PASS " + text); }
  void fail(const std::string& text) {
    lines.push_back("FAIL " + text);
    ++failures;
  }
  void info(const std::string& text) { lines.push_back("INFO " + text); }

  std::optional<size_t> stackIndex(int64_t window) const {
    const auto& stack = *dump_.stack;
    auto it = std::find(stack.begin(), stack.end(), window);
    if (it == stack.end()) return std::nullopt;
    return size_t(it - stack.begin());
  }

  void checkPlate(int64_t target, const Mirror& mirror, const Frost* frost) {
    const std::string plate = "plate of window " + std::to_string(target);
    if (!mirror.visible) {
      info(plate + " is hidden" + (mirror.hasFrame ? "" : ", without a frame"));
      return;
    }
    if (!frost) {
      fail(plate + " is visible but the window has no frost");
      return;
    }
    if (!frost->visible) {
      fail(plate + " is visible but its frost is not");
      return;
    }
    // Level and place in the window order.
    bool stacked = true;
    if (mirror.level != frost->level) {
      fail(format("%@ stands at level %d, its frost at level %d", {plate, mirror.level, frost->level}));
      stacked = false;
    }
    if (dump_.stack) {
      const auto plateAt = stackIndex(mirror.window);
      const auto frostAt = stackIndex(frost->window);
      if (!plateAt || !frostAt) {
        fail(format("%@: %@ %d is not in the window order", {plate, plateAt ? "frost window" : "plate window",
                                                             plateAt ? frost->window : mirror.window}));
        stacked = false;
      } else if (*plateAt > *frostAt) {
        fail(format("%@ is below its frost (window %d under window %d)", {plate, mirror.window, frost->window}));
        stacked = false;
      } else if (*frostAt - *plateAt > 1) {
        const int64_t between = int64_t(*frostAt - *plateAt - 1);
        fail(format("%@ is not directly above its frost (%d %@ between them)",
                    {plate, between, between == 1 ? "window" : "windows"}));
        stacked = false;
      }
    }
    if (stacked) {
      pass(format(dump_.stack ? "%@ stands directly above its frost at level %d" : "%@ stands at its frost's level %d",
                  {plate, frost->level}));
    }
    const Rect& p = mirror.frame;
    const Rect& f = frost->frame;
    if (p.minX() < f.minX() - kFrameTolerance || p.minY() < f.minY() - kFrameTolerance ||
        p.maxX() > f.maxX() + kFrameTolerance || p.maxY() > f.maxY() + kFrameTolerance) {
      fail(plate + " reaches outside its frost: plate " + frameText(p) + ", frost " + frameText(f));
    } else {
      pass(plate + " lies within its frost");
    }
  }

  // Where the share must show frost: the frost's frame, or for a window whose frost is missing, its
  // plate's frame (the window's place on screen).
  void checkShare(int64_t target, const Frost* frost, const Mirror* mirror) {
    const std::string window = "window " + std::to_string(target);
    if (frost && frost->revealed) {
      info(window + " is shown to the meeting: its share is not checked");
      return;
    }
    const Rect area = frost ? frost->frame : mirror->frame;
    const PixelRect pixels = canvas_.pixels(area);
    if (pixels.empty()) {
      info(window + " lies off the shared screen: its share is not checked");
      return;
    }
    std::vector<PixelRect> holes;
    if (frost) {
      for (const Rect& hole : frost->holes) holes.push_back(canvas_.pixels(hole));
    }
    const auto source = sources_.find(target);
    if (source != sources_.end()) {
      const Share matching = matchingShare(share_, SourceMapping(canvas_, source->second, area), pixels, holes);
      if (matching.counted == 0) {
        info(window + ": its source frame has nothing bright enough to compare");
      } else if (matching.fraction() > kMaxMatchingShare) {
        fail("share shows " + window + " where its frost should be (" + percent(matching.fraction()) +
             " of the area matches the window)");
      } else {
        pass("share shows frost over " + window + " (" + percent(matching.fraction()) + " of the area matches the window)");
      }
      return;
    }
    if (frost && !frost->visible) {
      info(window + ": its frost is hidden and there is no source frame: its share is not checked");
      return;
    }
    const Share sharp = sharpShare(share_, pixels, holes);
    if (double(sharp.counted) < kMinEdgeArea * canvas_.scale * canvas_.scale) {
      info(window + ": too little of its frost is on the shared screen to judge without a source frame");
    } else if (sharp.fraction() > kMaxSharpShare) {
      fail("share shows sharp content over " + window + " where its frost should be (" + percent(sharp.fraction()) +
           " sharp edges; no source frame to compare)");
    } else {
      pass("share shows soft frost over " + window + " (" + percent(sharp.fraction()) +
           " sharp edges; no source frame to compare)");
    }
  }

  const Dump& dump_;
  const Canvas& canvas_;
  const PixelBuffer& share_;
  const std::map<int64_t, PixelBuffer>& sources_;
};

// What the user sees: the share's picture with every visible plate that has a frame drawn from its
// source frame, back to front, less the holes of its frost (windows in front stay in front).
PixelBuffer composite(const Dump& dump, const Canvas& canvas, const PixelBuffer& share,
                      const std::map<int64_t, PixelBuffer>& sources) {
  PixelBuffer picture = share;
  std::vector<const Mirror*> plates;
  for (const Mirror& m : dump.mirrors) {
    if (m.visible && m.hasFrame && sources.contains(m.target)) plates.push_back(&m);
  }
  if (dump.stack) {
    auto order = [&](const Mirror* m) {
      auto it = std::find(dump.stack->begin(), dump.stack->end(), m->window);
      return it - dump.stack->begin();
    };
    std::stable_sort(plates.begin(), plates.end(), [&](const Mirror* a, const Mirror* b) { return order(a) > order(b); });
  }
  for (const Mirror* m : plates) {
    auto frost = std::find_if(dump.frost.begin(), dump.frost.end(), [&](const Frost& f) { return f.target == m->target; });
    std::vector<PixelRect> holes;
    Rect onto = m->frame;
    if (frost != dump.frost.end()) {
      onto = frost->frame;
      for (const Rect& hole : frost->holes) holes.push_back(canvas.pixels(hole));
    }
    drawPlate(picture, SourceMapping(canvas, sources.at(m->target), onto), canvas.pixels(m->frame), holes);
  }
  return picture;
}

int cannotRead(const std::string& path, const std::string& why, std::ostream& err) {
  err << "qa: cannot read " << path << std::endl;
  if (!why.empty()) err << "qa: " << path << ": " << why << std::endl;
  return 1;
}

}  // namespace

int run(const std::string& dumpDir, const std::string& sharePath, const std::string& outDir, std::ostream& out,
        std::ostream& err) {
  // The dump.
  const std::string statePath = dumpDir + "/state.json";
  FileContents stateFile = readRegularFile(statePath, kMaxStateBytes);
  if (stateFile.status == FileContents::Status::missing) {
    err << "qa: no state.json in " << dumpDir << std::endl;
    return 1;
  }
  if (stateFile.status != FileContents::Status::ok) return cannotRead(statePath, stateFile.error, err);
  std::string error;
  std::optional<json> state = parseBoundedJSON(stateFile.bytes, kMaxStateDepth, &error);
  if (!state) return cannotRead(statePath, error, err);
  Dump dump;
  try {
    dump = readState(*state);
  } catch (const BadDump& bad) {
    return cannotRead(statePath, bad.message, err);
  }
  const std::string reportPath = dumpDir + "/report.txt";
  FileContents reportFile = readRegularFile(reportPath, kMaxStateBytes);
  if (reportFile.status == FileContents::Status::ok) {
    dump.screens = readScreens(reportFile.bytes);
  } else if (reportFile.status != FileContents::Status::missing) {
    return cannotRead(reportPath, reportFile.error, err);
  }

  // The share's picture, and where the main screen lies in it.
  std::optional<PixelBuffer> share = readPNG(sharePath, &error);
  if (!share) return cannotRead(sharePath, error, err);
  Canvas canvas;
  canvas.width = share->width;
  canvas.height = share->height;
  std::vector<std::string> notes;
  if (dump.screens.empty()) {
    canvas.screen = Rect(0, 0, share->width, share->height);
    notes.push_back("INFO the dump names no screens: the share picture is taken as the main screen at 1 pixel per point");
  } else {
    canvas.screen = dump.screens.front();
    const double sx = canvas.screen.width() > 0 ? share->width / canvas.screen.width() : 0;
    const double sy = canvas.screen.height() > 0 ? share->height / canvas.screen.height() : 0;
    if (sx <= 0 || std::fabs(sx - sy) > 0.01 * sx) {
      err << "qa: " << sharePath << ": a picture of " << share->width << "x" << share->height
          << " pixels does not fit the main screen " << frameText(canvas.screen) << std::endl;
      return 1;
    }
    canvas.scale = sx;
  }

  // The mirrors' source frames.
  std::map<int64_t, PixelBuffer> sources;
  std::set<int64_t> targets;
  for (const Frost& f : dump.frost) targets.insert(f.target);
  for (const Mirror& m : dump.mirrors) targets.insert(m.target);
  for (int64_t target : targets) {
    const std::string path = dumpDir + "/source-" + std::to_string(target) + ".png";
    FileContents file = readRegularFile(path, kMaxStateBytes * 16);
    if (file.status == FileContents::Status::missing) continue;
    if (file.status != FileContents::Status::ok) return cannotRead(path, file.error, err);
    auto frame = decodePNG(reinterpret_cast<const uint8_t*>(file.bytes.data()), file.bytes.size(), &error);
    if (!frame) return cannotRead(path, error, err);
    sources.emplace(target, std::move(*frame));
  }

  Checker checker(dump, canvas, *share, sources);
  checker.run();
  std::vector<std::string> lines = notes;
  lines.insert(lines.end(), checker.lines.begin(), checker.lines.end());
  for (const Mirror& m : dump.mirrors) {
    if (m.visible && m.hasFrame && !sources.contains(m.target)) {
      lines.push_back("INFO plate of window " + std::to_string(m.target) +
                      " has a frame but the dump holds no source frame: the composite shows the share there");
    }
  }
  lines.push_back(format("INFO result: %d PASS, %d FAIL", {
      int64_t(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.starts_with("PASS "); })),
      checker.failures}));

  // The findings and pictures.
  std::string text;
  for (const std::string& line : lines) {
    out << line << "\n";
    text += line + "\n";
  }
  out << std::flush;
  if (!makeDirectories(outDir, &error) || !writeFileText(text, outDir + "/checks.txt", &error) ||
      !writePNG(composite(dump, canvas, *share, sources), outDir + "/local-composite.png", &error)) {
    err << "qa: cannot write to " << outDir << ": " << error << std::endl;
    return 1;
  }
  for (const auto& [target, frame] : sources) {
    if (!writePNG(frame, outDir + "/source-" + std::to_string(target) + ".png", &error)) {
      err << "qa: cannot write to " << outDir << ": " << error << std::endl;
      return 1;
    }
  }
  return checker.failures == 0 ? 0 : 1;
}

}  // namespace corvane::ClearViewQA
