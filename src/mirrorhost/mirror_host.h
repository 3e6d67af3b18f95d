// The mirror host: the process that owns the plates, the windows in which Clear View mirrors are
// shown. It takes commands (one line each, see mirror_host_protocol.h), reads frames from shared
// frame files, shows them in capture-excluded MirrorWindows, keeps each plate on its dragged
// source with its own follower, and reports back with events.
//
// A plate shows a frame only while the window server has confirmed its capture exclusion and its
// window is on screen; a plate whose exclusion fails is hidden and stays hidden, so the share never
// records one.
//
// The host does not know where its lines come from or go to: the runtime (mirror_host_runtime.h)
// wires it to the process's standard input and output, and the simulated desktop can run it
// in-process over the same bytes.
//
// Threading: main thread, except what each plate's reader and the follower do on their own queues.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/dispatch.h"
#include "base/log.h"
#include "clearview/mirror_window.h"
#include "clearview/raw_sample_factory.h"
#include "clearview/window_server_capture_exclusion.h"
#include "clearview/window_server_geometry.h"
#include "mirrorhost/host_follower.h"
#include "mirrorhost/mirror_host_output.h"
#include "mirrorhost/mirror_host_protocol.h"
#include "platform/platform.h"

namespace corvane {

class ClearViewSharedFrame;

// What the host needs of the platform; every reference outlives the host.
struct MirrorHostDependencies {
  Dispatcher& dispatcher;
  ui::UserInterface& ui;
  WindowServer& windowServer;
  WindowServerPrivate* windowServerPrivate;  // null: no capture exclusion, no follower
  Screens& screens;
  LogSink& log;
  std::string bundleIdentifier;  // "" when the host has none

  // From a backend's bundle (which must have a user interface).
  static MirrorHostDependencies from(const Platform& platform, LogSink& log, std::string bundleIdentifier);
};

class MirrorHost;

// The reading side of one plate, used on the plate's queue: the reader's protocol over a shared
// frame file, into pooled buffers, cropped when the plate shows part of the source, as a sample
// ready to be shown.
class PlateFrameReader {
 public:
  enum class Outcome {
    none,   // no new frame (no file, paused, already consumed, out of limits, or dropped)
    frame,  // a sample to present
    lost,   // the file was cut short under its mapping; it has been let go
  };

  explicit PlateFrameReader(const Clock& clock) : samples_(clock) {}
  // A new file (or none); the next frame of it is read whatever its sequence number.
  void setFile(std::shared_ptr<ClearViewSharedFrame> file);
  const std::shared_ptr<ClearViewSharedFrame>& file() const { return file_; }
  void setCrop(const Rect& crop) { crop_ = crop; }
  Outcome read(std::optional<ui::VideoSample>& sample);

 private:
  std::shared_ptr<ClearViewSharedFrame> file_;
  uint32_t lastReadSequence_ = 0;
  RawSampleFactory samples_;
  Rect crop_{0, 0, 1, 1};
};

class HostPlate : public std::enable_shared_from_this<HostPlate> {
 public:
  static constexpr double kReadIntervalWithSource = 1.0 / 60;
  static constexpr double kReadIntervalWithoutSource = 1.0 / 30;
  static constexpr int kMaxWidth = 2560;
  static constexpr int kMaxHeight = 1600;
  static constexpr int kMinSide = 2;

  // Makes the panel and sends "ready"; use make().
  static std::shared_ptr<HostPlate> make(MirrorHost& host, int64_t id, std::optional<int64_t> source,
                                         std::optional<int64_t> level);
  ~HostPlate();
  HostPlate(const HostPlate&) = delete;
  HostPlate& operator=(const HostPlate&) = delete;

  int64_t id() const { return id_; }
  const std::optional<int64_t>& source() const { return source_; }
  MirrorWindow& panel() { return *panel_; }
  bool exclusionConfirmed() const { return exclusionConfirmed_; }
  bool hasFrame() const { return hasFrame_; }
  const Rect& placedFrame() const { return placedFrame_; }
  Size targetPointSize() const { return targetPointSize_; }
  void setTargetPointSize(Size size) { targetPointSize_ = size; }
  uint64_t totalFrames() const { return totalFrames_; }
  bool isReading() const { return readTimer_ != nullptr; }

  void openShared(const std::string& path);
  void applyExclusion();
  void place(const Rect& rect);
  void setContentsCrop(const Rect& crop);
  // Hides the panel and clears its picture.
  void hide();
  void destroy();

 private:
  struct Reader;
  HostPlate(MirrorHost& host, int64_t id, std::optional<int64_t> source, std::optional<int64_t> level);
  void startReadingIfNeeded();
  static void readFrame(const std::shared_ptr<Reader>& reader);
  void present(ui::VideoSample sample);

  MirrorHost& host_;
  int64_t id_;
  std::optional<int64_t> source_;
  std::unique_ptr<MirrorWindow> panel_;
  bool exclusionConfirmed_ = false;
  bool hasFrame_ = false;
  Rect placedFrame_;
  Size targetPointSize_;
  std::optional<int32_t> reportedExclusion_;
  bool destroyed_ = false;
  double statsStartedAt_ = 0;
  uint64_t statsFrames_ = 0;
  uint64_t totalFrames_ = 0;
  std::unique_ptr<DispatchQueue> queue_;
  std::unique_ptr<Timer> readTimer_;
  // Everything the reader touches; used on the plate's queue only (destroyed flag aside).
  std::shared_ptr<Reader> reader_;
};

class MirrorHost {
 public:
  MirrorHost(MirrorHostDependencies dependencies, MirrorHostOutput& output);
  ~MirrorHost();
  MirrorHost(const MirrorHost&) = delete;
  MirrorHost& operator=(const MirrorHost&) = delete;

  // Sends "hello".
  void start();
  // Bytes as they come from the input, in chunks of any size: every complete line is decoded and
  // handled; invalid lines are skipped.
  void receive(std::string_view chunk);
  void handleLine(std::string_view line);
  void handle(const MirrorHostCommand& command);

  HostPlate* plate(int64_t id) const;
  size_t plateCount() const { return plates_.size(); }
  HostFollower& follower() { return *follower_; }

  // For the plates.
  const MirrorHostDependencies& dependencies() const { return deps_; }
  MirrorHostOutput& output() { return output_; }
  WindowServerCaptureExclusion& exclusion() { return exclusion_; }

 private:
  MirrorHostDependencies deps_;
  MirrorHostOutput& output_;
  WindowServerCaptureExclusion exclusion_;
  WindowServerGeometry geometry_;
  std::unique_ptr<HostFollower> follower_;
  LineSplitter splitter_;
  std::map<int64_t, std::shared_ptr<HostPlate>> plates_;
};

}  // namespace corvane
