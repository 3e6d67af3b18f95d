// Fuzz target: a settings file, from raw bytes through the property-list store and the preferences
// read from it, then one write and a second start that reads the file back.
//
// Besides crashes, hangs and sanitizer reports it checks the round trip: after the write, every
// setting reads back at the next start as it was before, except the one written, which reads back
// as written. (A file nested deeper than the writer could encode failed exactly here.)
#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "base/files.h"
#include "base/log.h"
#include "base/virtual_dispatcher.h"
#include "settings/plist_defaults_store.h"
#include "settings/preferences.h"

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static PrivateDirectory dir(std::filesystem::temp_directory_path().string(), "corvane-fuzz-settings-");
  static VirtualDispatcher dispatcher(0, 1'800'000'000.0);
  if (dir.path().empty()) std::abort();
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path(), ec)) std::filesystem::remove_all(entry, ec);
  const std::string file = dir.path() + "/" + std::string(applicationDomain) + ".plist";
  std::string error;
  if (!writeFileBytes(std::vector<uint8_t>(data, data + size), file, &error)) std::abort();

  MemoryLog log;
  std::array<std::string, Preferences::managedKeys.size()> before;
  double written = 0;
  bool policyBookkeeping = false;
  {
    PlistDefaultsStore store(dir.path(), "", log, dispatcher);
    for (const char* key : {"companyPolicyVersion", "companyPolicyLockedKeys", "companyPolicyAppliedDefaults",
                            "companyPolicyCache"}) {
      if (store.object(applicationDomain, key)) policyBookkeeping = true;
    }
    Preferences prefs(store, dispatcher, log);
    for (size_t i = 0; i < std::size(Preferences::managedKeys); ++i) before[i] = prefs.snapshot(Preferences::managedKeys[i]);
    if (!(prefs.blurIntensity() >= 0 && prefs.blurIntensity() <= Preferences::maxBlurIntensity)) std::abort();
    if (!(prefs.blurTint() >= 0 && prefs.blurTint() <= Preferences::maxBlurTint)) std::abort();
    prefs.blurIntensity.set(prefs.blurIntensity() > 0.5 ? 0.25 : 0.75);
    written = prefs.blurIntensity();  // unchanged when the file's policy bookkeeping locks it
    if (!store.synchronize(applicationDomain)) std::abort();  // a regular file we made is always writable
  }
  PlistDefaultsStore store(dir.path(), "", log, dispatcher);
  Preferences next(store, dispatcher, log);
  // A file that carries the organisation's policy bookkeeping may have values put back by it at the
  // next start; the round trip is compared for files without it.
  if (policyBookkeeping) return 0;
  for (size_t i = 0; i < std::size(Preferences::managedKeys); ++i) {
    const std::string_view key = Preferences::managedKeys[i];
    if (key == "blurIntensity") {
      if (next.blurIntensity() != written) std::abort();
    } else if (next.snapshot(key) != before[i]) {
      std::abort();
    }
  }
  return 0;
}
