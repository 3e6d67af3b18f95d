#include "platform/sim/sim_private_window_server.h"

#include <nlohmann/json.hpp>

#include "platform/sim/sim_desktop.h"

namespace corvane::sim {

namespace {

constexpr PrivateEntryPoint kEntryPoints[] = {
    PrivateEntryPoint::mainConnectionID, PrivateEntryPoint::newConnection, PrivateEntryPoint::getWindowBounds,
    PrivateEntryPoint::moveWindow,       PrivateEntryPoint::setWindowTags, PrivateEntryPoint::isScreenWatcherPresent,
    PrivateEntryPoint::registerConnectionNotifyProc,
};

}  // namespace

SimPrivateWindowServer::SimPrivateWindowServer(SimDesktop& desktop) : desktop_(desktop) {}

void SimPrivateWindowServer::removeEntryPoint(PrivateEntryPoint entryPoint) {
  std::lock_guard<std::mutex> lock(mutex_);
  missing_.insert(entryPoint);
}

void SimPrivateWindowServer::restoreEntryPoint(PrivateEntryPoint entryPoint) {
  std::lock_guard<std::mutex> lock(mutex_);
  missing_.erase(entryPoint);
}

void SimPrivateWindowServer::removeAllEntryPoints() {
  std::lock_guard<std::mutex> lock(mutex_);
  missing_.insert(std::begin(kEntryPoints), std::end(kEntryPoints));
}

void SimPrivateWindowServer::setScreenWatcherPresent(bool present) {
  std::lock_guard<std::mutex> lock(mutex_);
  screenWatcher_ = present;
}

bool SimPrivateWindowServer::screenWatcherPresent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return screenWatcher_;
}

void SimPrivateWindowServer::setNewConnectionStatus(WindowServerStatus status) {
  std::lock_guard<std::mutex> lock(mutex_);
  newConnectionStatus_ = status;
}

void SimPrivateWindowServer::refuseCaptureExclusion(WindowID window, bool refuse) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (refuse) {
    refused_.insert(window);
  } else {
    refused_.erase(window);
  }
}

uint64_t SimPrivateWindowServer::callCount(PrivateEntryPoint entryPoint) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = calls_.find(entryPoint);
  return it == calls_.end() ? 0 : it->second;
}

int SimPrivateWindowServer::registeredNotifyProcs() const { return registered_->load(); }

void SimPrivateWindowServer::reset() { reset(Settings()); }

void SimPrivateWindowServer::reset(const Settings& settings) {
  std::lock_guard<std::mutex> lock(mutex_);
  missing_ = settings.missing;
  screenWatcher_ = settings.screenWatcher;
  newConnectionStatus_ = WindowServerError::success;
  nextConnection_ = kMainConnection + 1;
  queryConnections_.clear();
  refused_.clear();
  refuseAll_ = settings.refuseCaptureExclusion;
  calls_.clear();
}

bool SimPrivateWindowServer::parse(const nlohmann::json& description, Settings& settings, std::string& error) {
  auto it = description.find("windowServer");
  if (it == description.end()) return true;
  const nlohmann::json& v = *it;
  auto fail = [&](const std::string& path, const std::string& what) {
    error = "windowServer" + path + ": " + what;
    return false;
  };
  if (!v.is_object()) return fail("", "expected an object");
  for (auto member = v.begin(); member != v.end(); ++member) {
    if (member.key() == "screenWatcher") {
      if (!member->is_boolean()) return fail(".screenWatcher", "expected true or false");
      settings.screenWatcher = member->get<bool>();
    } else if (member.key() == "refuseCaptureExclusion") {
      if (!member->is_boolean()) return fail(".refuseCaptureExclusion", "expected true or false");
      settings.refuseCaptureExclusion = member->get<bool>();
    } else if (member.key() == "missingEntryPoints") {
      if (!member->is_array()) return fail(".missingEntryPoints", "expected an array of entry point names");
      for (size_t i = 0; i < member->size(); ++i) {
        const nlohmann::json& name = (*member)[i];
        const std::string path = ".missingEntryPoints[" + std::to_string(i) + "]";
        bool known = false;
        for (PrivateEntryPoint entryPoint : kEntryPoints) {
          if (name.is_string() && name.get<std::string>() == symbolName(entryPoint)) {
            settings.missing.insert(entryPoint);
            known = true;
          }
        }
        if (!known) return fail(path, "expected an entry point name such as \"SLSIsScreenWatcherPresent\"");
      }
    } else {
      return fail("", "unknown member \"" + member.key() + "\"");
    }
  }
  return true;
}

bool SimPrivateWindowServer::enter(PrivateEntryPoint entryPoint) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++calls_[entryPoint];
  return !missing_.contains(entryPoint);
}

bool SimPrivateWindowServer::has(PrivateEntryPoint entryPoint) {
  std::lock_guard<std::mutex> lock(mutex_);
  return !missing_.contains(entryPoint);
}

std::optional<WindowServerConnection> SimPrivateWindowServer::mainConnectionID() {
  if (!enter(PrivateEntryPoint::mainConnectionID)) return std::nullopt;
  return kMainConnection;
}

std::optional<WindowServerPrivate::NewConnection> SimPrivateWindowServer::newConnection() {
  if (!enter(PrivateEntryPoint::newConnection)) return std::nullopt;
  std::lock_guard<std::mutex> lock(mutex_);
  if (newConnectionStatus_ != WindowServerError::success) return NewConnection{newConnectionStatus_, 0};
  const WindowServerConnection made = nextConnection_++;
  queryConnections_.insert(made);
  return NewConnection{WindowServerError::success, made};
}

std::optional<WindowServerPrivate::WindowBounds> SimPrivateWindowServer::getWindowBounds(
    WindowServerConnection connection, WindowID window) {
  if (!enter(PrivateEntryPoint::getWindowBounds)) return std::nullopt;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (connection != kMainConnection && !queryConnections_.contains(connection)) {
      return WindowBounds{WindowServerError::invalidConnection, {}};
    }
  }
  auto bounds = desktop_.queriedBounds(window);
  if (!bounds) return WindowBounds{WindowServerError::illegalArgument, {}};
  return WindowBounds{WindowServerError::success, *bounds};
}

std::optional<WindowServerStatus> SimPrivateWindowServer::moveWindow(WindowServerConnection connection,
                                                                     WindowID window, Point topLeft) {
  if (!enter(PrivateEntryPoint::moveWindow)) return std::nullopt;
  if (connection != kMainConnection) return WindowServerError::invalidConnection;
  return desktop_.moveWindow(window, topLeft) ? WindowServerError::success : WindowServerError::illegalArgument;
}

std::optional<WindowServerStatus> SimPrivateWindowServer::setWindowTags(WindowServerConnection connection,
                                                                        WindowID window, uint64_t tags,
                                                                        int32_t tagBits) {
  if (!enter(PrivateEntryPoint::setWindowTags)) return std::nullopt;
  if (connection != kMainConnection) return WindowServerError::invalidConnection;
  if (tagBits != WindowTag::wordBits || !desktop_.window(window)) return WindowServerError::illegalArgument;
  if (!(tags & WindowTag::captureExcluded)) return WindowServerError::success;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (refuseAll_ || refused_.contains(window)) return WindowServerError::failure;
  }
  return desktop_.setCaptureExcluded(window, true) ? WindowServerError::success : WindowServerError::illegalArgument;
}

std::optional<bool> SimPrivateWindowServer::isScreenWatcherPresent() {
  if (!enter(PrivateEntryPoint::isScreenWatcherPresent)) return std::nullopt;
  std::lock_guard<std::mutex> lock(mutex_);
  return screenWatcher_;
}

std::optional<SimPrivateWindowServer::NotifyRegistration> SimPrivateWindowServer::registerConnectionNotifyProc(
    WindowServerConnection connection, NotifyProc proc) {
  if (!enter(PrivateEntryPoint::registerConnectionNotifyProc)) return std::nullopt;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (connection != kMainConnection && !queryConnections_.contains(connection)) {
      return NotifyRegistration{WindowServerError::invalidConnection, {}};
    }
  }
  if (!proc) return NotifyRegistration{WindowServerError::illegalArgument, {}};
  auto slot = std::make_shared<Subscription>(notices_->subscribe(std::move(proc)));
  registered_->fetch_add(1);
  return NotifyRegistration{WindowServerError::success, Subscription([slot, registered = registered_] {
                              slot->cancel();
                              registered->fetch_sub(1);
                            })};
}

void SimPrivateWindowServer::windowChanged(const WindowNotice& notice) {
  if (registered_->load() == 0) return;
  desktop_.dispatcher().main().async([weak = std::weak_ptr<Signal<WindowNotice>>(notices_), notice] {
    if (auto notices = weak.lock()) notices->emit(notice);
  });
}

}  // namespace corvane::sim
