#include "platform/window_server_private.h"

namespace corvane {

std::string_view symbolName(PrivateEntryPoint entryPoint) {
  switch (entryPoint) {
    case PrivateEntryPoint::mainConnectionID:
      return "SLSMainConnectionID";
    case PrivateEntryPoint::newConnection:
      return "SLSNewConnection";
    case PrivateEntryPoint::getWindowBounds:
      return "SLSGetWindowBounds";
    case PrivateEntryPoint::moveWindow:
      return "SLSMoveWindow";
    case PrivateEntryPoint::setWindowTags:
      return "SLSSetWindowTags";
    case PrivateEntryPoint::isScreenWatcherPresent:
      return "SLSIsScreenWatcherPresent";
    case PrivateEntryPoint::registerConnectionNotifyProc:
      return "SLSRegisterConnectionNotifyProc";
  }
  return "";
}

}  // namespace corvane
