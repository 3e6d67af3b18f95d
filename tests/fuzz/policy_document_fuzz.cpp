// Fuzz target: a company policy document, from raw bytes through decoding, parsing and applying.
//
// Besides crashes and sanitizer reports it checks that applying never leaves a value outside its
// allowed range, that only managed keys get locked, and that the cached copy of the policy, applied
// at the next start, gives the same locks and values.
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "base/log.h"
#include "base/virtual_dispatcher.h"
#include "settings/company_policy.h"
#include "settings/memory_defaults_store.h"
#include "settings/preferences.h"

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto document = nlohmann::json::parse(data, data + size, nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded()) return 0;
  MemoryLog log;
  auto policy = CompanyPolicy::parse(document, &log);
  if (!policy) return 0;

  static VirtualDispatcher dispatcher;
  MemoryDefaultsStore store;
  Preferences prefs(store, dispatcher, log);
  auto result = policy->apply(prefs);
  if (result.lockedKeys != prefs.lockedKeys() || prefs.applyingPolicy) std::abort();
  for (const auto& key : result.lockedKeys) {
    bool managed = false;
    for (auto k : Preferences::managedKeys) managed = managed || k == key;
    if (!managed) std::abort();
  }
  if (!(prefs.blurTint() >= 0 && prefs.blurTint() <= 0.6) ||
      !(prefs.blurIntensity() >= 0 && prefs.blurIntensity() <= 1)) {
    std::abort();
  }

  Preferences nextStart(store, dispatcher, log);
  auto again = CompanyPolicy::applyCached(nextStart);
  if (again.lockedKeys != result.lockedKeys) std::abort();
  for (auto key : Preferences::managedKeys) {
    if (nextStart.snapshot(key) != prefs.snapshot(key)) std::abort();
  }
  (void)CompanyPolicy::snapshotForPush(prefs).dump();
  return 0;
}
