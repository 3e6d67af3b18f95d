// The line protocol between the application and the mirror host: commands on the host's standard
// input, events on its standard output, one compact JSON object per line.
//
// Encoding writes the keys in a fixed order (the kind and the plate id first, then the optional
// fields in declaration order below), leaves absent optionals out, never escapes slashes and ends
// the line with a newline byte. Decoding accepts any key order and ignores unknown keys; a line
// that is not a JSON object, lacks the kind or the id, names an unknown kind or holds a value of
// the wrong type is invalid (nothing comes back) and the reader goes on with the next line.
//
// Threading: any thread; pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

enum class MirrorHostCommandKind { create, shm, attach, show, place, crop, size, hide, destroy };
enum class MirrorHostEventKind { hello, ready, exclusion, frame, stats, log };

// A line longer than this is refused by both readers without being kept whole (the longest
// command, a "create" with a path, is a few hundred bytes).
inline constexpr size_t kMirrorHostMaxLineBytes = 64 * 1024;

struct MirrorHostCommand {
  MirrorHostCommandKind cmd = MirrorHostCommandKind::create;
  int64_t id = 0;
  std::optional<std::string> path{};
  std::optional<int64_t> source{};
  std::optional<int64_t> above{};
  std::optional<int64_t> level{};
  std::optional<double> x{};
  std::optional<double> y{};
  std::optional<double> w{};
  std::optional<double> h{};

  friend bool operator==(const MirrorHostCommand&, const MirrorHostCommand&) = default;
};

struct MirrorHostEvent {
  MirrorHostEventKind ev = MirrorHostEventKind::hello;
  int64_t id = 0;
  std::optional<int64_t> window{};
  std::optional<int64_t> result{};
  std::optional<double> fps{};
  std::optional<int64_t> frames{};
  std::optional<std::string> message{};

  friend bool operator==(const MirrorHostEvent&, const MirrorHostEvent&) = default;
};

std::string_view kindName(MirrorHostCommandKind kind);
std::string_view kindName(MirrorHostEventKind kind);

// The message as one line with its newline; nothing when it cannot be encoded (a number that is
// not finite, text that is not UTF-8).
std::optional<std::string> encodeLine(const MirrorHostCommand& command);
std::optional<std::string> encodeLine(const MirrorHostEvent& event);

// One line without its newline (a trailing carriage return is not stripped: it is not JSON).
std::optional<MirrorHostCommand> decodeCommand(std::string_view line);
std::optional<MirrorHostEvent> decodeEvent(std::string_view line);

// Splits a byte stream into lines. Bytes are appended in chunks of any size; every complete line
// comes out once, without its newline. A line that grows past kMirrorHostMaxLineBytes is dropped
// whole (its bytes are discarded as they come, up to its newline), so a peer that never sends a
// newline cannot make the reader hold more than that.
class LineSplitter {
 public:
  template <typename OnLine>
  void append(std::string_view chunk, OnLine&& onLine) {
    while (!chunk.empty()) {
      const size_t newline = chunk.find('\n');
      const std::string_view part = chunk.substr(0, newline);
      if (!discarding_) {
        if (buffer_.size() + part.size() > kMirrorHostMaxLineBytes) {
          buffer_.clear();
          discarding_ = true;
        } else {
          buffer_.append(part);
        }
      }
      if (newline == std::string_view::npos) return;
      if (!discarding_) {
        std::string line;
        line.swap(buffer_);
        onLine(std::string_view(line));
      }
      discarding_ = false;
      chunk.remove_prefix(newline + 1);
    }
  }
  // Bytes of the incomplete line kept so far.
  size_t pendingBytes() const { return buffer_.size(); }

 private:
  std::string buffer_;
  bool discarding_ = false;
};

}  // namespace corvane
