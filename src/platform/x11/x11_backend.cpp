#include <cstdlib>
#include <memory>
#include <string>

#include "base/log.h"
#include "base/real_dispatcher.h"
#include "platform/backend.h"
#include "platform/posix/curl_http_transport.h"
#include "platform/x11/x11_desktop.h"
#include "settings/plist_defaults_store.h"
#ifdef CORVANE_HAVE_PULSE
#include "platform/linux/pulse_audio.h"
#endif

namespace corvane {

namespace {

class X11Backend final : public Backend {
 public:
  std::string name() const override { return "x11"; }
  Platform platform() override {
    Platform p = desktop->platform();
    p.http = &http;
    return p;
  }

  RealDispatcher dispatcher;
  CurlHttpTransport http{dispatcher};  // the organisation's server, when the managed settings name one
  StderrLog log;
  std::unique_ptr<PlistDefaultsStore> defaults;
  std::unique_ptr<Audio> audio;  // process audio activity from the sound server, when it is built in
  std::unique_ptr<x11::X11Desktop> desktop;  // last: built after and destroyed before what it uses
};

}  // namespace

std::unique_ptr<Backend> makeX11Backend(std::string* error) {
  auto backend = std::make_unique<X11Backend>();
  std::string openError;
  backend->desktop = x11::X11Desktop::open(backend->dispatcher, nullptr, backend->log, &openError);
  if (!backend->desktop) {
    if (error) *error = "corvane: " + openError;
    return nullptr;
  }
  backend->defaults = PlistDefaultsStore::makeStandard(backend->log, backend->dispatcher.clock());
  backend->desktop->setDefaultsStore(backend->defaults.get());
#ifdef CORVANE_HAVE_PULSE
  backend->audio = pulse::PulseAudio::start(backend->dispatcher, backend->log);
  backend->desktop->setAudio(backend->audio.get());
#endif
  X11Backend* b = backend.get();
  backend->desktop->setRunLoop(
      [b] {
        b->desktop->startEventThread();
        b->dispatcher.runMainLoop();
      },
      [b] { b->dispatcher.stopMainLoop(); });
  return backend;
}

}  // namespace corvane
