// An in-memory defaults store for tests: the same rules as the file-backed store, no files.
//
// Tests can force keys of the application's domain (the managed layer), make a domain impossible
// to open, make writes fail, and read back every write in order.
//
// Threading: any thread (one mutex).
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/defaults_store.h"

namespace corvane {

class MemoryDefaultsStore final : public DefaultsStore {
 public:
  struct Write {
    std::string domain;
    std::string key;
    std::optional<PlistValue> value;  // nothing for a removal
  };

  MemoryDefaultsStore() = default;
  MemoryDefaultsStore(const MemoryDefaultsStore&) = delete;
  MemoryDefaultsStore& operator=(const MemoryDefaultsStore&) = delete;

  bool canOpen(std::string_view domain) override;
  std::optional<PlistValue> object(std::string_view domain, std::string_view key) override;
  bool set(std::string_view domain, std::string_view key, PlistValue value) override;
  bool setValues(std::string_view domain, PlistValue::Dictionary values) override;
  bool remove(std::string_view domain, std::string_view key) override;
  bool synchronize(std::string_view domain) override;
  bool isForced(std::string_view key) override;

  // ---- Test controls ------------------------------------------------------------------------
  void setForced(std::string_view key, PlistValue value);
  void setUnopenable(std::string_view domain);
  // While set, writes change the values but report failure (as a file that cannot be saved does).
  void setFailWrites(bool fail);
  // Every write and removal so far, in order (failed ones included).
  std::vector<Write> writes() const;
  void clearWrites();
  // Every key of a domain.
  PlistValue::Dictionary contents(std::string_view domain) const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, PlistValue::Dictionary, std::less<>> domains_;
  PlistValue::Dictionary forced_;
  std::set<std::string, std::less<>> unopenable_;
  bool failWrites_ = false;
  std::vector<Write> writes_;
};

}  // namespace corvane
