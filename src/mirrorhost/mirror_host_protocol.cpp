#include "mirrorhost/mirror_host_protocol.h"

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "base/json_limits.h"

namespace corvane {

namespace {

using ordered_json = nlohmann::ordered_json;

constexpr std::string_view kCommandNames[] = {"create", "shm",  "attach", "show",   "place",
                                              "crop",   "size", "hide",   "destroy"};
constexpr std::string_view kEventNames[] = {"hello", "ready", "exclusion", "frame", "stats", "log"};

template <typename Kind, size_t N>
std::optional<Kind> kindFromName(const std::string& name, const std::string_view (&names)[N]) {
  for (size_t i = 0; i < N; ++i) {
    if (names[i] == name) return Kind(i);
  }
  return std::nullopt;
}

bool putNumber(ordered_json& object, const char* key, const std::optional<double>& value) {
  if (!value) return true;
  if (!std::isfinite(*value)) return false;
  object[key] = *value;
  return true;
}

template <typename T>
void putValue(ordered_json& object, const char* key, const std::optional<T>& value) {
  if (value) object[key] = *value;
}

std::optional<std::string> finish(const ordered_json& object) {
  try {
    // Compact, UTF-8 kept as it is (strict: text that is not UTF-8 fails), slashes unescaped.
    std::string line = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    line.push_back('\n');
    return line;
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

// Reads one member; false when it is present with the wrong type. A null member counts as absent.
class Reader {
 public:
  explicit Reader(const nlohmann::json& object) : object_(object) {}

  bool integer(const char* key, std::optional<int64_t>& out) const {
    auto it = object_.find(key);
    if (it == object_.end() || it->is_null()) return true;
    if (it->is_number_unsigned()) {
      const uint64_t v = it->get<uint64_t>();
      if (v > uint64_t(std::numeric_limits<int64_t>::max())) return false;
      out = int64_t(v);
      return true;
    }
    if (!it->is_number_integer()) return false;
    out = it->get<int64_t>();
    return true;
  }
  bool number(const char* key, std::optional<double>& out) const {
    auto it = object_.find(key);
    if (it == object_.end() || it->is_null()) return true;
    if (!it->is_number()) return false;
    out = it->get<double>();
    return std::isfinite(*out);
  }
  bool text(const char* key, std::optional<std::string>& out) const {
    auto it = object_.find(key);
    if (it == object_.end() || it->is_null()) return true;
    if (!it->is_string()) return false;
    out = it->get<std::string>();
    return true;
  }
  // The kind and the id, both required.
  template <typename Kind, size_t N>
  bool head(const char* kindKey, const std::string_view (&names)[N], Kind& kind, int64_t& id) const {
    auto it = object_.find(kindKey);
    if (it == object_.end() || !it->is_string()) return false;
    auto found = kindFromName<Kind>(it->get<std::string>(), names);
    if (!found) return false;
    kind = *found;
    std::optional<int64_t> value;
    if (!object_.contains("id") || !integer("id", value) || !value) return false;
    id = *value;
    return true;
  }

 private:
  const nlohmann::json& object_;
};

std::optional<nlohmann::json> parseObject(std::string_view line) {
  if (line.size() > kMirrorHostMaxLineBytes) return std::nullopt;
  nlohmann::json value = nlohmann::json::parse(line.begin(), line.end(), nullptr, false);
  // Messages are flat objects; anything nested deeper is not one of ours.
  if (value.is_discarded() || !value.is_object() || jsonDeeperThan(value, 8)) return std::nullopt;
  return value;
}

}  // namespace

std::string_view kindName(MirrorHostCommandKind kind) { return kCommandNames[size_t(kind)]; }
std::string_view kindName(MirrorHostEventKind kind) { return kEventNames[size_t(kind)]; }

std::optional<std::string> encodeLine(const MirrorHostCommand& c) {
  ordered_json o = ordered_json::object();
  o["cmd"] = std::string(kindName(c.cmd));
  o["id"] = c.id;
  putValue(o, "path", c.path);
  putValue(o, "source", c.source);
  putValue(o, "above", c.above);
  putValue(o, "level", c.level);
  if (!putNumber(o, "x", c.x) || !putNumber(o, "y", c.y) || !putNumber(o, "w", c.w) || !putNumber(o, "h", c.h)) {
    return std::nullopt;
  }
  return finish(o);
}

std::optional<std::string> encodeLine(const MirrorHostEvent& e) {
  ordered_json o = ordered_json::object();
  o["ev"] = std::string(kindName(e.ev));
  o["id"] = e.id;
  putValue(o, "window", e.window);
  putValue(o, "result", e.result);
  if (!putNumber(o, "fps", e.fps)) return std::nullopt;
  putValue(o, "frames", e.frames);
  putValue(o, "message", e.message);
  return finish(o);
}

std::optional<MirrorHostCommand> decodeCommand(std::string_view line) {
  auto object = parseObject(line);
  if (!object) return std::nullopt;
  const Reader r(*object);
  MirrorHostCommand c;
  if (!r.head("cmd", kCommandNames, c.cmd, c.id) || !r.text("path", c.path) || !r.integer("source", c.source) ||
      !r.integer("above", c.above) || !r.integer("level", c.level) || !r.number("x", c.x) || !r.number("y", c.y) ||
      !r.number("w", c.w) || !r.number("h", c.h)) {
    return std::nullopt;
  }
  return c;
}

std::optional<MirrorHostEvent> decodeEvent(std::string_view line) {
  auto object = parseObject(line);
  if (!object) return std::nullopt;
  const Reader r(*object);
  MirrorHostEvent e;
  if (!r.head("ev", kEventNames, e.ev, e.id) || !r.integer("window", e.window) || !r.integer("result", e.result) ||
      !r.number("fps", e.fps) || !r.integer("frames", e.frames) || !r.text("message", e.message)) {
    return std::nullopt;
  }
  return e;
}

}  // namespace corvane
