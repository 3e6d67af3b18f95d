// Settings, managed settings and policy files that someone made to hurt: nested without end, larger
// than any settings file, not files at all, or in a directory of another user. Each must leave the
// user's own values in use and never hang, crash or lose a later write.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "base/log.h"
#include "base/virtual_dispatcher.h"
#include "settings/company_policy.h"
#include "settings/memory_defaults_store.h"
#include "settings/plist_defaults_store.h"
#include "settings/policy_file_watcher.h"
#include "settings/preferences.h"
#include "settings/settings_test_support.h"

namespace corvane {
namespace {

using nlohmann::json;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

std::string xmlWithDeepValue(int depth) {
  std::string s = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>keep</key><string>mine</string>";
  s += "<key>deep</key>";
  for (int i = 0; i < depth; ++i) s += "<array>";
  for (int i = 0; i < depth; ++i) s += "</array>";
  return s + "<key>alsoKeep</key><integer>7</integer></dict></plist>";
}

// A binary property list from objects already encoded, with four-byte references; object 0 is the
// top. arrayOf() encodes an array of references.
std::string binaryList(const std::vector<std::string>& objects) {
  std::string out = "bplist00";
  std::vector<uint32_t> offsets;
  for (const auto& o : objects) {
    offsets.push_back(uint32_t(out.size()));
    out += o;
  }
  auto be = [](uint64_t v, int width) {
    std::string s;
    for (int i = width - 1; i >= 0; --i) s.push_back(char((v >> (8 * i)) & 0xFF));
    return s;
  };
  const uint64_t table = out.size();
  for (uint32_t o : offsets) out += be(o, 4);
  out += std::string(6, '\0') + char(4) + char(4) + be(objects.size(), 8) + be(0, 8) + be(table, 8);
  return out;
}

std::string ref(uint32_t r) { return {char(r >> 24), char(r >> 16), char(r >> 8), char(r)}; }
std::string arrayOf(const std::vector<uint32_t>& refs) {
  std::string s(1, char(0xA0 | refs.size()));
  for (uint32_t r : refs) s += ref(r);
  return s;
}
const std::string kOne = std::string(1, char(0x10)) + char(1);

class HostileSettingsTest : public ::testing::Test {
 protected:
  std::unique_ptr<PlistDefaultsStore> open(const std::string& managed = "") {
    return std::make_unique<PlistDefaultsStore>(dir.path(), managed, log, clock);
  }
  std::string appFile() const { return dir / (std::string(applicationDomain) + ".plist"); }

  VirtualDispatcher clock{0, 1'800'000'000.0};
  MemoryLog log;
  TempDir dir;
};

TEST_F(HostileSettingsTest, AValueNestedWithoutEndIsLeftOutAndEveryOtherValueAndLaterWriteSurvive) {
  writeFile(appFile(), xmlWithDeepValue(50000));
  {
    auto store = open();
    EXPECT_EQ(store->stringValue(applicationDomain, "keep"), "mine");
    EXPECT_EQ(store->integerValue(applicationDomain, "alsoKeep"), 7);
    EXPECT_FALSE(store->object(applicationDomain, "deep"));
    EXPECT_TRUE(log.contains("\"deep\" is nested too deeply"));
    // The write that used to overflow the stack while encoding the file.
    ASSERT_TRUE(store->set(applicationDomain, "blurIntensity", 0.8));
  }
  const std::string rewritten = readFile(appFile());
  EXPECT_EQ(rewritten.find("<key>deep</key>"), std::string::npos);
  auto store = open();
  EXPECT_EQ(store->stringValue(applicationDomain, "keep"), "mine");
  EXPECT_EQ(store->doubleValue(applicationDomain, "blurIntensity"), 0.8);

  // Far deeper, near the size limit, and with the deep value as the whole root: no crash either.
  writeFile(appFile(), xmlWithDeepValue(1000000));
  auto again = open();
  EXPECT_EQ(again->stringValue(applicationDomain, "keep"), "mine");
  EXPECT_TRUE(again->set(applicationDomain, "x", true));
  std::string rootArray = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
  for (int i = 0; i < 500000; ++i) rootArray += "<array>";
  for (int i = 0; i < 500000; ++i) rootArray += "</array>";
  writeFile(dir / "com.example.other.plist", rootArray + "</plist>");
  auto other = open();
  EXPECT_FALSE(other->object("com.example.other", "x"));
}

TEST_F(HostileSettingsTest, AValueTooDeepToStoreIsRefusedAndTheFileStaysAsItWas) {
  auto store = open();
  ASSERT_TRUE(store->set(applicationDomain, "keep", "mine"));
  const std::string before = readFile(appFile());
  PlistValue deep("leaf");
  for (int i = 0; i < 100; ++i) deep = PlistValue(PlistValue::Array{deep});
  EXPECT_FALSE(store->set(applicationDomain, "deep", deep));
  EXPECT_FALSE(store->setValues(applicationDomain, {{"fine", PlistValue(1)}, {"deep", deep}}));
  EXPECT_EQ(readFile(appFile()), before);
  EXPECT_FALSE(store->object(applicationDomain, "fine"));
  EXPECT_TRUE(log.contains("nested too deeply to be saved"));
  PlistValue shallow("leaf");
  for (int i = 0; i < 64; ++i) shallow = PlistValue(PlistValue::Array{shallow});
  EXPECT_TRUE(store->set(applicationDomain, "shallow", shallow));
  EXPECT_EQ(open()->object(applicationDomain, "shallow"), shallow);
}

TEST_F(HostileSettingsTest, BinaryListsThatWouldTakeForeverExplodeOrAbortAreRefusedBeforeParsing) {
  // 100,000 arrays in a chain: the parser's time grows with the square of the depth.
  std::vector<std::string> chain;
  for (uint32_t i = 0; i < 100000; ++i) chain.push_back(arrayOf({i + 1}));
  chain.push_back(kOne);
  // 48 arrays, each holding the next twice: 2^48 nodes once the parser copies shared objects out.
  std::vector<std::string> shared;
  for (uint32_t i = 0; i < 48; ++i) shared.push_back(arrayOf({i + 1, i + 1}));
  shared.push_back(kOne);
  // A cycle.
  std::vector<std::string> cycle{arrayOf({1}), arrayOf({0})};
  // A key holding a NUL character, on which the library's key reader aborts the process.
  std::vector<std::string> nulKey{std::string(1, char(0xD1)) + ref(1) + ref(2), std::string("\x53" "a\0b", 4), kOne};
  for (const auto& bytes : {binaryList(chain), binaryList(shared), binaryList(cycle), binaryList(nulKey)}) {
    writeFile(appFile(), bytes);
    auto store = open();
    EXPECT_FALSE(store->object(applicationDomain, "x"));
    EXPECT_TRUE(store->set(applicationDomain, "x", true));  // the file was set aside, a new one written
    EXPECT_EQ(open()->boolValue(applicationDomain, "x"), true);
  }

  // A moderately deep value in an ordinary binary dictionary is left out like in an XML file.
  std::vector<std::string> dict;
  dict.push_back(std::string(1, char(0xD2)) + ref(1) + ref(2) + ref(3) + ref(4));  // {keep: "mine", deep: [...]}
  dict.push_back(std::string(1, char(0x54)) + "keep");
  dict.push_back(std::string(1, char(0x54)) + "deep");
  dict.push_back(std::string(1, char(0x54)) + "mine");
  for (uint32_t i = 0; i < 100; ++i) dict.push_back(arrayOf({uint32_t(dict.size() + 1)}));
  dict.push_back(kOne);
  writeFile(appFile(), binaryList(dict));
  auto store = open();
  EXPECT_EQ(store->stringValue(applicationDomain, "keep"), "mine");
  EXPECT_FALSE(store->object(applicationDomain, "deep"));
}

TEST_F(HostileSettingsTest, AFifoOrDeviceInPlaceOfASettingsFileIsNeverWaitedOnOrRead) {
  ASSERT_EQ(::mkfifo(appFile().c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((dir / "managed.plist").c_str(), 0600), 0);
  auto store = open(dir / "managed.plist");
  EXPECT_FALSE(store->object(applicationDomain, "x"));
  EXPECT_FALSE(store->isForced("x"));
  EXPECT_FALSE(store->set(applicationDomain, "x", true)) << "a FIFO is never overwritten";
  EXPECT_TRUE(log.contains("not a regular file"));

  auto fromDevice = std::make_unique<PlistDefaultsStore>(dir / "sub", "/dev/zero", log, clock);
  EXPECT_FALSE(fromDevice->isForced("x"));
}

TEST_F(HostileSettingsTest, ASettingsDirectoryAnotherUserMadeIsNotUsed) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can hand a directory to another user";
  const std::string planted = dir / "planted";
  ASSERT_EQ(::mkdir(planted.c_str(), 0777), 0);
  ASSERT_EQ(::chown(planted.c_str(), 65534, 65534), 0);
  PlistDefaultsStore store(planted, "", log, clock);
  EXPECT_FALSE(store.set(applicationDomain, "x", true));
  EXPECT_TRUE(log.contains("belongs to another user"));
  EXPECT_TRUE(dir.names("planted").empty());
}

TEST(StoredNumbersTest, StoredFrostNumbersAreClampedToTheirRangesWhenRead) {
  VirtualDispatcher dispatcher;
  MemoryLog log;
  MemoryDefaultsStore store;
  store.set(applicationDomain, "blurIntensity", 7.0);
  store.set(applicationDomain, "blurTint", -2.0);
  {
    Preferences prefs(store, dispatcher, log);
    EXPECT_EQ(prefs.blurIntensity(), 1.0);
    EXPECT_EQ(prefs.blurTint(), 0.0);
    EXPECT_TRUE(log.contains("\"blurIntensity\" is outside 0.0 ... 1.0"));
  }
  store.set(applicationDomain, "blurIntensity", -std::numeric_limits<double>::infinity());
  store.set(applicationDomain, "blurTint", std::numeric_limits<double>::quiet_NaN());
  Preferences prefs(store, dispatcher, log);
  EXPECT_EQ(prefs.blurIntensity(), 0.0);
  EXPECT_EQ(prefs.blurTint(), 0.3);
}

TEST(PolicySizeTest, APolicyLargerThanTheLimitIsRefusedBeforeAnythingIsCached) {
  VirtualDispatcher dispatcher;
  MemoryLog log;
  TempDir dir;
  PlistDefaultsStore store(dir.path(), "", log, dispatcher);
  Preferences prefs(store, dispatcher, log);
  const std::string filler(CompanyPolicy::maxDocumentBytes, 'x');
  json big = {{"version", 1},
              {"modes", {{"blurTint", "locked"}}},
              {"settings", {{"blurTint", 0.5}, {"sensitiveTabRules", {filler}}}}};
  EXPECT_FALSE(CompanyPolicy::parse(big, &log));
  EXPECT_TRUE(log.contains("larger than 1048576 bytes"));
  big["settings"]["sensitiveTabRules"] = {std::string(CompanyPolicy::maxDocumentBytes - 200, 'x')};
  auto fits = CompanyPolicy::parse(big, &log);
  ASSERT_TRUE(fits);
  fits->apply(prefs);

  // The settings file holding it is read again at the next start, locks and all.
  Preferences next(store, dispatcher, log);
  EXPECT_EQ(next.lockedKeys(), std::set<std::string>{"blurTint"});
  EXPECT_EQ(next.policyCache(), fits->cacheJSON);

  // The file watcher refuses a larger file before reading it, and a FIFO without waiting.
  const std::string path = dir / "policy.json";
  writeFile(path, big.dump() + std::string(CompanyPolicy::maxDocumentBytes, ' '));
  std::vector<json> delivered;
  PolicyFileWatcher watcher(path, dispatcher, log, [&](const json& d) { delivered.push_back(d); });
  watcher.checkNow();
  EXPECT_TRUE(delivered.empty());
  EXPECT_TRUE(log.contains("larger than 1048576 bytes"));
  ASSERT_EQ(::unlink(path.c_str()), 0);
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  watcher.checkNow();
  EXPECT_TRUE(delivered.empty());
  EXPECT_TRUE(log.contains("not a regular file"));
}

}  // namespace
}  // namespace corvane
