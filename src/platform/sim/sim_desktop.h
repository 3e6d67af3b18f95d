// The simulated desktop: one deterministic in-memory world that implements the platform ports.
//
// It holds applications, windows (front to back, banded by level), displays and the frontmost
// application, and runs in the virtual time of the dispatcher it is given. The program under test
// is one of its applications (the "self" application, whose pid currentProcessIdentifier()
// reports). Changes are plain calls, so tests and scenario scripts drive the same world.
//
// Coordinates: window bounds are kept in window-server space (origin top-left of the main display,
// y down), as the window list reports them. Display frames are in window-server space too; the
// Screens port converts them to screen space.
//
// A new world has one main display of 1512 x 982 points (menu bar 25, no Dock strip), self pid 400,
// no applications and no windows.
//
// Threading: the world is guarded by one mutex, so helper threads (capture loops run in-process)
// may read it; world edits are made from the driving thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "base/geometry.h"
#include "base/log.h"
#include "base/virtual_dispatcher.h"
#include "platform/sim/sim_motion.h"
#include "platform/application.h"
#include "platform/platform.h"
#include "platform/processes.h"
#include "platform/screens.h"
#include "platform/sim/sim_helpers.h"
#include "platform/window_server.h"
#include "platform/workspace.h"

namespace corvane::sim {

class SimAccessibility;
class SimAudio;
class SimPrivateWindowServer;
class SimUI;
class SimInput;
class SimLoginServices;
class SimSession;
struct MenuBarLook;
struct VisibilityMap;
struct WindowScene;

// Window levels as the window server numbers them.
namespace Level {
constexpr int64_t base = -2147483648;
constexpr int64_t minimum = -2147483643;
constexpr int64_t desktop = -2147483643;
constexpr int64_t desktopIcon = -2147483623;
constexpr int64_t backstopMenu = -20;
constexpr int64_t normal = 0;
constexpr int64_t floating = 3;
constexpr int64_t tornOffMenu = 3;
constexpr int64_t modalPanel = 8;
constexpr int64_t utility = 19;
constexpr int64_t dock = 20;
constexpr int64_t mainMenu = 24;
constexpr int64_t status = 25;
constexpr int64_t popUpMenu = 101;
constexpr int64_t overlay = 102;
constexpr int64_t help = 200;
constexpr int64_t dragging = 500;
constexpr int64_t screenSaver = 1000;
constexpr int64_t assistiveTechHigh = 1500;
constexpr int64_t cursor = 2147483630;
}  // namespace Level

// The level of a name as scenario files write it ("normal", "floating", "dock", "mainMenu", ...,
// the names above); absent for an unknown name.
std::optional<int64_t> levelNamed(std::string_view name);

struct SimApp {
  pid_t pid = 0;
  std::optional<std::string> bundleID;
  std::optional<std::string> name;  // localized name; also the window list's owner name
  ActivationPolicy policy = ActivationPolicy::regular;
  uint32_t color = 0x808080;  // RGB of its windows' content
  bool terminated = false;
  bool hidden = false;  // hidden by the user (Command-H): its windows are off screen
};

// A window's title as the window list may report it: missing, a string (possibly empty), or a value
// of another type.
struct SimTitle {
  enum class Kind { missing, string, wrongType } kind = Kind::missing;
  std::string text;
  static SimTitle none() { return {}; }
  static SimTitle of(std::string s) { return {Kind::string, std::move(s)}; }
  static SimTitle wrong() { return {Kind::wrongType, {}}; }
};

struct SimWindow {
  WindowID number = 0;  // 0 when adding: the world assigns the next free number
  pid_t ownerPID = 0;
  int64_t level = Level::normal;
  Rect bounds;  // window-server space
  double alpha = 1.0;
  SimTitle title;
  WindowSharingState sharingState = WindowSharingState::readOnly;
  bool onScreen = true;
  bool minimised = false;
  // Its application is hidden (kept by the desktop: hideApp, unhideApp); not drawn, not on screen.
  bool appHidden = false;
  // Left out by "exclude desktop elements". Windows at the desktop-icon level or below count as
  // desktop elements whatever this flag says.
  bool desktopElement = false;
  bool captureExcluded = false;      // the private capture-exclusion tag
  // Generated content only: a line under the label band that reads this text and a count that
  // advances once every SimDesktop::kLiveTextPeriod seconds of media time ("Inbox 12"), so that the
  // window's content changes while it stands still. Empty: no such line.
  std::string liveText;
  std::optional<uint32_t> color;     // content colour; the owner's colour when absent
  // Rounding of the window's corners (the platform's windows have rounded corners); outside them
  // the window draws nothing.
  double cornerRadius = 0;
  // The committed content of one of the program's own windows (sim_ui.h); drawn instead of the
  // generated content when present.
  std::shared_ptr<const WindowScene> scene;
  // What a window of the system draws instead of the generated content: the desktop picture, a
  // desktop icon (a rounded tile labelled with its title), or the notification service's banner
  // window, transparent but for the banner that slides in from its right edge.
  enum class Look { generated, desktopPicture, desktopIcon, banners };
  Look look = Look::generated;
  struct Banner {
    std::string app, title, body;
    double shownAt = 0;  // media time the banner began to slide in
  };
  std::optional<Banner> banner;
  // Entry keys deliberately spoiled for tests of the readers: keys listed here are left out of the
  // window-list entry ("number", "layer", "ownerPID", "alpha", "bounds", "name", ...), and keys in
  // `wrongTypeKeys` carry a string instead of their proper type.
  std::vector<std::string> missingKeys;
  std::vector<std::string> wrongTypeKeys;
};

struct SimDisplay {
  DisplayID id = 1;
  Rect frame;         // window-server space; the main display has its origin at (0, 0)
  double menuBarHeight = 25;
  double dockHeight = 0;  // the Dock's strip along the bottom edge, left out of the visible frame
};

class SimDesktop {
 public:
  explicit SimDesktop(VirtualDispatcher& dispatcher);
  ~SimDesktop();
  SimDesktop(const SimDesktop&) = delete;
  SimDesktop& operator=(const SimDesktop&) = delete;

  // ---- Loading -----------------------------------------------------------------------------
  // Replaces the world with the description (see scenarios/README.md for the format). On failure
  // returns false with a message naming what is wrong, and leaves the world unchanged.
  bool load(const nlohmann::json& description, std::string* error);
  bool loadFile(const std::string& path, std::string* error);

  // ---- Applications ------------------------------------------------------------------------
  // Adds (launches) an application; pid 0 picks the next free pid. Returns the pid, or 0 when the
  // pid belongs to a running application. A terminated application of that pid is replaced.
  pid_t launchApp(SimApp app);
  // Terminates it: its windows close; the workspace no longer lists it, but app() and the
  // workspace's look-up by pid still report it (as terminated) until forgotten. When it was
  // frontmost, the owner of the frontmost normal-level window of a running regular application
  // becomes frontmost (none when there is no such window).
  void quitApp(pid_t pid);
  // Quits it if needed and removes it from every list.
  void forgetApp(pid_t pid);
  // The window server raises its windows at once; the workspace's "did deactivate" (for the
  // application that was frontmost) and "did activate" notifications, and for the program itself
  // "did become active", reach observers on a later turn of the main queue. Quitting the frontmost
  // application likewise tells observers which one is frontmost now.
  // Makes it frontmost and raises its windows (keeping their order) above the other windows of
  // their level, as the window server does on activation.
  void activateApp(pid_t pid);
  // The user hides the application (Command-H) or shows it again: its windows leave the on-screen
  // list and the pictures, and come back in their old order. The workspace's "did hide" or "did
  // unhide" reaches observers on a later turn of the main queue; hiding the frontmost application
  // passes activation on as quitting does (with "did deactivate" and "did activate"). Activating a
  // hidden application shows it again ("did unhide" before "did activate"). False for an unknown or
  // terminated application, or one already in that state.
  bool hideApp(pid_t pid);
  bool unhideApp(pid_t pid);
  std::optional<SimApp> app(pid_t pid) const;
  // Every application (terminated ones too), in launch order.
  std::vector<SimApp> apps() const;
  std::optional<pid_t> frontmostPID() const;
  // The program under test. Its pid is what the processes port reports as the current process.
  void setSelfPID(pid_t pid);
  pid_t selfPID() const;

  // ---- Windows -----------------------------------------------------------------------------
  // Adds a window in front of the other windows of its level. Returns its number, or 0 when the
  // number is taken or the owner has terminated. An owner pid that no application has is allowed
  // (the window list then has no owner name).
  WindowID addWindow(SimWindow window);
  // Adds a window at the back of its level's band (for loading lists given front to back).
  WindowID addWindowAtBack(SimWindow window);
  // Keeps these numbers from windows added without a number (the program's own windows, the share
  // helpers' windows): numbers that a script will give windows it opens later.
  void reserveWindowNumbers(const std::vector<WindowID>& numbers);
  bool closeWindow(WindowID number);
  bool setBounds(WindowID number, Rect bounds);
  bool moveWindow(WindowID number, Point origin);
  bool resizeWindow(WindowID number, Size size);
  bool setTitle(WindowID number, SimTitle title);
  bool setAlpha(WindowID number, double alpha);
  // A window whose level changes goes to the front of its new level's band.
  bool setLevel(WindowID number, int64_t level);
  bool setMinimised(WindowID number, bool minimised);
  bool setOnScreen(WindowID number, bool onScreen);
  bool setSharingState(WindowID number, WindowSharingState state);
  bool setCaptureExcluded(WindowID number, bool excluded);
  // Brings the window to the front of its level's band.
  bool raiseWindow(WindowID number);
  // Puts `number` directly above (or below) `relativeTo` when both share a level; otherwise (also
  // for relativeTo 0) it goes to the front (or back) of its own level's band. A window never leaves
  // its level.
  bool orderWindow(WindowID number, bool above, WindowID relativeTo);
  std::optional<SimWindow> window(WindowID number) const;
  // The window's bounds as the private bounds query reports them: as they were
  // motion().boundsLatency ago.
  std::optional<Rect> queriedBounds(WindowID number) const;
  // How motion reaches the program (sim_motion.h); load() sets it from the description.
  SimMotion motion() const;
  void setMotion(const SimMotion& motion);
  // Every window, front to back.
  std::vector<SimWindow> windows() const;

  // ---- Displays ----------------------------------------------------------------------------
  void setDisplays(std::vector<SimDisplay> displays);  // the first is the main display
  std::vector<SimDisplay> displays() const;
  double mainDisplayHeight() const;
  // A display plugged in (given as in a desktop description, checked with the other displays as
  // the loader checks them) or unplugged. Unplugging moves the windows whose centre lay on that
  // display to the main display, at the same place relative to its top-left corner, kept inside it.
  // The main display cannot be unplugged. Both tell the application that the screen parameters
  // changed, on a later turn of the main queue. False, with a message naming `path`, on error.
  bool addDisplayFromDescription(const nlohmann::json& description, const std::string& path, std::string* error);
  bool removeDisplay(DisplayID id, std::string* error);

  // ---- Window content ----------------------------------------------------------------------
  static constexpr double kLiveTextPeriod = 1.0;
  // What the window's live line reads now; empty for a window without one (or an unknown one).
  std::string liveLine(WindowID number) const;
  // How much of a window's content the user sees as it really is, now. `visiblePixels`: the
  // window's pixels in the local view of the display that holds its centre, when the program's own
  // windows (frost, mirrors) are left out; `truePixels`: how many of those the real local view shows
  // the same (each channel within kFidelityTolerance). `liveLineShown`: every visible pixel of the
  // live line is shown the same; with `previousLine`, only the pixels where the line's current
  // text differs from that one count. Absent for an unknown or invisible window, or one off every
  // display.
  struct LocalFidelity {
    uint64_t visiblePixels = 0;
    uint64_t truePixels = 0;
    bool hasLiveLine = false;
    bool liveLineShown = true;
    double share() const { return visiblePixels ? double(truePixels) / double(visiblePixels) : 1.0; }
  };
  static constexpr int kFidelityTolerance = 24;
  std::optional<LocalFidelity> localFidelity(WindowID number, const std::string& previousLine = {}) const;
  // The window's own content at its current size (deterministic: the owner's colour, a label band
  // and text-like stripes), one pixel per point, opaque. Absent for an unknown window, an empty one
  // or one larger than 32768 points on a side.
  std::optional<PixelBuffer> windowContent(WindowID number) const;
  // The main display as a capture records it: windows back to front, leaving out windows of
  // sharing type none and capture-excluded ones; the desktop background elsewhere.
  PixelBuffer renderShareView() const;
  // The main display as the user sees it: every visible window.
  PixelBuffer renderLocalView() const;
  // The share view, recording in `visibility` (reset to the picture's size; its `watched` set is
  // kept) which watched window's own content shows at each pixel.
  PixelBuffer renderShareView(VisibilityMap& visibility) const;
  // The same two pictures of any display (the main display's are the ones above); empty for an
  // unknown display or one too large to draw.
  PixelBuffer renderShareView(DisplayID display) const;
  PixelBuffer renderLocalView(DisplayID display) const;
  // The local view of `display` without the windows of `owners` (what the user would see without
  // them), recording in `visibility` where each watched window shows.
  PixelBuffer renderLocalViewWithout(DisplayID display, const std::set<pid_t>& owners,
                                     VisibilityMap& visibility) const;
  // Records in `visibility` what the share view of `display` would record for the map's area (set
  // by its reset; picture pixels of that display, which must lie inside the picture), without
  // drawing: the leak probe's input. False, with nothing recorded, for an unknown display, one too
  // large to draw, or an area outside its picture.
  bool recordShareVisibility(DisplayID display, VisibilityMap& visibility) const;
  // What the program's status items show in the main display's menu bar, and the menu open there
  // (sim_menu_bar.h); SimUI keeps it up to date. Null: nothing.
  void setMenuBar(std::shared_ptr<const MenuBarLook> look);
  std::shared_ptr<const MenuBarLook> menuBar() const;
  // Replaces the committed content of a window (see SimWindow::scene).
  bool setScene(WindowID number, std::shared_ptr<const WindowScene> scene);

  // ---- Observation -------------------------------------------------------------------------
  // Number of window-list reads (copyWindowInfo calls) so far.
  uint64_t windowListReads() const;
  void resetCounters();
  // Makes copyWindowInfo report that the window server cannot be reached.
  void setWindowListAvailable(bool available);
  // Commands run through the processes port (program and arguments joined by blanks). They are
  // only recorded, never run, and report status 0 with no output.
  std::vector<std::string> commandsRun() const;
  // Programs started detached through the processes port (the relauncher): recorded with the media
  // time of the start, never run.
  struct DetachedStart {
    std::string program;
    std::vector<std::string> arguments;
    double at = 0;
  };
  std::vector<DetachedStart> detachedStarts() const;
  // The executable that launchSelf() starts and executablePath() reports; by default the running
  // one. Tests point it at another program.
  void setExecutablePath(std::string path);
  // Runs the helper role started by `flag` ("--capture-loop", "--mirror-host", ...) inside this
  // process on the desktop's own ports and virtual clock whenever launchSelf() is asked for it,
  // instead of starting the executable (see sim_helpers.h); an empty role removes it. A launch
  // whose arguments hold no registered flag starts the executable as before.
  void runInProcess(const std::string& flag, InProcessRole role);
  InProcessLauncher& inProcessLauncher();

  // ---- Shares and calls (sim_shares.cpp) ---------------------------------------------------
  // The private window-server entry points and the audio activity, with their test controls (see
  // sim_private_window_server.h and sim_audio.h). load() resets both to the description.
  SimPrivateWindowServer& privateWindowServer();
  const SimPrivateWindowServer& privateWindowServer() const;
  SimAudio& audio();
  // A screen share or recording that the window server's watcher flag reports.
  void startScreenWatcherShare();
  void stopScreenWatcherShare();
  // The system's content-sharing picker: a window of "Control Center" (launched when it does not
  // run) titled "SharedContentPicker…". Returns its number.
  WindowID openSharePicker();
  void closeSharePicker();
  // A framebuffer share of the Zoom client `zoomPID` ("zoom.us"): its capture host process
  // "CptHost" (launched) with a transparent window over the main display, and the client's
  // "zoom share toolbar window" and "zoom share statusbar window". All are of sharing type none.
  struct ZoomShareWindows {
    pid_t captureHostPID = 0;
    WindowID captureHost = 0;
    WindowID toolbar = 0;
    WindowID statusBar = 0;
  };
  ZoomShareWindows startZoomFramebufferShare(pid_t zoomPID);
  // Closes the client's share windows and quits every "CptHost".
  void stopZoomFramebufferShare(pid_t zoomPID);
  // The client's chooser "Select a window or an application that you want to share".
  WindowID openZoomShareChooser(pid_t zoomPID);
  // Whether something records the screen right now: the watcher flag is set, or a framebuffer
  // share's capture host window is on screen. (The share picker alone records nothing yet.)
  bool shareInProgress() const;

  // ---- Accessibility (sim_accessibility.h) ---------------------------------------------------
  // Element trees of applications and windows, the trust switch and the observers, with their
  // test controls. load() resets it to the description's "accessibility" member.
  SimAccessibility& accessibility();

  // ---- The program's windows and views (sim_ui.h) ------------------------------------------
  SimUI& ui();
  // Input: monitors, taps, the pointer and hot keys, with scriptable user actions (sim_input.h).
  SimInput& input();
  // The keep-alive service and login item, as recorded (sim_login_services.h).
  SimLoginServices& loginServices();
  // The login session: idle time, screen lock and wake from sleep (sim_session.h).
  SimSession& session();
  // The system log's lines also go to standard error (the live application's log).
  void setSystemLogToStandardError(bool echo);
  // The per-user defaults store the platform bundle hands out: by default the real property-list
  // store in a private temporary directory of this desktop's (removed with it); a test may put
  // another store in its place (null goes back to the desktop's own). The store outlives its use.
  void setDefaultsStore(DefaultsStore* store);
  DefaultsStore& defaultsStore();

  // The user switched to another space (the workspace tells observers on a later turn).
  void changeActiveSpace();
  // URLs opened through the workspace, in order.
  std::vector<std::string> openedURLs() const;
  // An application or a window given as in a desktop description (scenarios/README.md), checked
  // against the world as it stands; nothing, with a message naming `path`, when it does not fit.
  std::optional<pid_t> launchAppFromDescription(const nlohmann::json& description, const std::string& path,
                                                std::string* error);
  std::optional<WindowID> addWindowFromDescription(const nlohmann::json& description, const std::string& path,
                                                   std::string* error);

  // ---- The desktop picture and the notification service (sim_notifications.cpp) --------------
  // The desktop picture of every display (a window of "Dock" named "Wallpaper-<display id>" at the
  // desktop level, in `rgb`) and the icons on the main display (windows of "Finder" at the
  // desktop-icon level, named after the files, down the left edge). Replaces an earlier picture.
  void setDesktopPicture(uint32_t rgb, const std::vector<std::string>& icons);
  // The desktop picture's and the icons' windows.
  std::vector<WindowID> desktopWindows() const;
  // The notification service: the process "Notification Center"
  // (com.apple.notificationcenterui) with one banner window over the top-right corner of the main
  // display, 480 points wide and 400 high from the display's top edge, at level 23 above the Dock.
  // The window stays off screen until a banner is posted; started on first use.
  WindowID startNotificationService();
  // A banner: the window comes on screen at once, transparent, and the banner (356 x 76 points,
  // 16 points from the right edge, 10 below the menu bar) slides in from the right in
  // kBannerSlideSeconds; after `seconds` the window leaves the screen. A newer banner replaces it.
  static constexpr double kBannerSlideSeconds = 0.3;
  static constexpr int64_t kBannerLevel = 23;
  WindowID postNotification(const std::string& app, const std::string& title, const std::string& body,
                            double seconds);
  bool setBanner(WindowID number, std::optional<SimWindow::Banner> banner);

  // ---- Ports -------------------------------------------------------------------------------
  // The window list: front to back, banded by level. "On-screen only" drops off-screen and
  // minimised windows. "Above" and "below" list the on-screen windows in front of or behind the
  // relative window (every on-screen window when it is 0, none when no such window exists);
  // "including window" adds the relative window itself, and alone it lists only that window.
  // "Exclude desktop elements" drops desktop elements. Window images of a window of sharing type
  // none or a capture-excluded one are absent, as for any capture.
  //
  // Application::run() runs the dispatcher's tasks in time order, jumping virtual time to each,
  // until terminate() is called (also before run()) or nothing is pending. Paced in real time
  // (setRealTimePacing), it lets virtual time follow the real clock instead and waits for work
  // (posted from other threads too) until terminate() is called, from any thread: the live
  // application on a desktop file, or a helper role run as its own process.
  VirtualDispatcher& dispatcher();
  void setRealTimePacing(bool paced);
  WindowServer& windowServer();
  Workspace& workspace();
  Screens& screens();
  Processes& processes();
  Application& application();
  MemoryLog& systemLog();
  // The bundle over all of the above, with the private window server and the audio.
  Platform platform();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvane::sim
