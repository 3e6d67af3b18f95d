// Fuzz target: the stored blob of an application list (and of the tab rules), as the preferences
// store reads it at start.
//
// Besides crashes and sanitizer reports it checks that a blob either decodes to the list the store
// then holds, which encodes and decodes back to itself, or leaves the store at its default.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "base/log.h"
#include "base/virtual_dispatcher.h"
#include "settings/app_ref.h"
#include "settings/memory_defaults_store.h"
#include "settings/preferences.h"

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> bytes(data, size);
  auto apps = AppRef::decodeList(bytes);
  auto rules = decodeStringList(bytes);

  static VirtualDispatcher dispatcher;
  MemoryLog log;
  MemoryDefaultsStore store;
  PlistValue::Data blob(bytes.begin(), bytes.end());
  store.set(applicationDomain, "protectedApps", blob);
  store.set(applicationDomain, "triggerApps", blob);
  store.set(applicationDomain, "sensitiveTabRules", blob);
  Preferences prefs(store, dispatcher, log);

  if (apps) {
    if (prefs.protectedApps() != *apps || prefs.triggerApps() != *apps) std::abort();
    auto roundTrip = AppRef::decodeList(AppRef::encodeList(*apps));
    if (!roundTrip || *roundTrip != *apps) std::abort();
  } else if (!prefs.protectedApps().empty() ||
             prefs.triggerApps() != std::vector<AppRef>{Preferences::defaultTriggerApp()}) {
    std::abort();
  }
  if (rules ? prefs.sensitiveTabRules() != *rules : !prefs.sensitiveTabRules().empty()) std::abort();
  (void)prefs.snapshot("protectedApps");
  (void)prefs.snapshot("sensitiveTabRules");
  return 0;
}
