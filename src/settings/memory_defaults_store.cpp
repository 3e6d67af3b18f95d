#include "settings/memory_defaults_store.h"

namespace corvane {

bool MemoryDefaultsStore::canOpen(std::string_view domain) {
  std::lock_guard<std::mutex> lock(mutex_);
  return !domain.empty() && !unopenable_.contains(domain);
}

std::optional<PlistValue> MemoryDefaultsStore::object(std::string_view domain, std::string_view key) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (domain.empty() || unopenable_.contains(domain)) return std::nullopt;
  if (domain == applicationDomain) {
    if (auto it = forced_.find(key); it != forced_.end()) return it->second;
  }
  auto d = domains_.find(domain);
  if (d == domains_.end()) return std::nullopt;
  auto it = d->second.find(key);
  if (it == d->second.end()) return std::nullopt;
  return it->second;
}

bool MemoryDefaultsStore::set(std::string_view domain, std::string_view key, PlistValue value) {
  PlistValue::Dictionary values;
  values.emplace(std::string(key), std::move(value));
  return setValues(domain, std::move(values));
}

bool MemoryDefaultsStore::setValues(std::string_view domain, PlistValue::Dictionary values) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (domain.empty() || unopenable_.contains(domain)) return false;
  auto& d = domains_[std::string(domain)];
  for (auto& [key, value] : values) {
    writes_.push_back(Write{std::string(domain), key, value});
    d[key] = std::move(value);
  }
  return !failWrites_;
}

bool MemoryDefaultsStore::remove(std::string_view domain, std::string_view key) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (domain.empty() || unopenable_.contains(domain)) return false;
  writes_.push_back(Write{std::string(domain), std::string(key), std::nullopt});
  if (auto d = domains_.find(domain); d != domains_.end()) {
    if (auto it = d->second.find(key); it != d->second.end()) d->second.erase(it);
  }
  return !failWrites_;
}

bool MemoryDefaultsStore::synchronize(std::string_view domain) {
  std::lock_guard<std::mutex> lock(mutex_);
  return !domain.empty() && !unopenable_.contains(domain) && !failWrites_;
}

bool MemoryDefaultsStore::isForced(std::string_view key) {
  std::lock_guard<std::mutex> lock(mutex_);
  return forced_.contains(key);
}

void MemoryDefaultsStore::setForced(std::string_view key, PlistValue value) {
  std::lock_guard<std::mutex> lock(mutex_);
  forced_[std::string(key)] = std::move(value);
}

void MemoryDefaultsStore::setUnopenable(std::string_view domain) {
  std::lock_guard<std::mutex> lock(mutex_);
  unopenable_.emplace(domain);
}

void MemoryDefaultsStore::setFailWrites(bool fail) {
  std::lock_guard<std::mutex> lock(mutex_);
  failWrites_ = fail;
}

std::vector<MemoryDefaultsStore::Write> MemoryDefaultsStore::writes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return writes_;
}

void MemoryDefaultsStore::clearWrites() {
  std::lock_guard<std::mutex> lock(mutex_);
  writes_.clear();
}

PlistValue::Dictionary MemoryDefaultsStore::contents(std::string_view domain) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto d = domains_.find(domain);
  return d == domains_.end() ? PlistValue::Dictionary{} : d->second;
}

}  // namespace corvane
