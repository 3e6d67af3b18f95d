#include "settings/plist_defaults_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "base/log.h"
#include "base/virtual_dispatcher.h"
#include "settings/settings_test_support.h"

namespace corvane {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::writeFile;

constexpr std::string_view dock = "com.apple.dock";

class PlistDefaultsStoreTest : public ::testing::Test {
 protected:
  std::unique_ptr<PlistDefaultsStore> open(const std::string& directory = "") {
    return std::make_unique<PlistDefaultsStore>(directory.empty() ? dir.path() : directory, dir / "managed.plist", log,
                                                clock);
  }
  std::string appFile() const { return dir / (std::string(applicationDomain) + ".plist"); }
  std::vector<std::string> corruptCopies() const {
    std::vector<std::string> copies;
    for (const auto& name : dir.names()) {
      if (name.find(".corrupt-") != std::string::npos) copies.push_back(name);
    }
    return copies;
  }

  VirtualDispatcher clock{0, 1'800'000'000.0};  // 2027-01-15T08:00:00Z
  MemoryLog log;
  TempDir dir;
};

TEST_F(PlistDefaultsStoreTest, EveryValueTypeSurvivesANewProcessAndTypedLookupsAreStrict) {
  PlistValue::Dictionary nested{{"a", PlistValue("x")}, {"b", PlistValue(int64_t{-7})}};
  {
    auto store = open();
    ASSERT_TRUE(store->set(applicationDomain, "flag", true));
    ASSERT_TRUE(store->set(applicationDomain, "count", int64_t{-42}));
    ASSERT_TRUE(store->set(applicationDomain, "tint", 0.3));
    ASSERT_TRUE(store->set(applicationDomain, "name", "a <b> & \"c\" é"));
    ASSERT_TRUE(store->set(applicationDomain, "blob", PlistValue::Data{0, 1, 0xFF}));
    ASSERT_TRUE(store->set(applicationDomain, "when", PlistDate{86400}));
    ASSERT_TRUE(store->set(applicationDomain, "list", PlistValue::Array{PlistValue("p"), PlistValue("q")}));
    ASSERT_TRUE(store->set(applicationDomain, "mixed", PlistValue::Array{PlistValue("p"), PlistValue(1)}));
    ASSERT_TRUE(store->set(applicationDomain, "dict", nested));
    ASSERT_TRUE(store->set(dock, "autohide-delay", 0.5));
  }
  auto store = open();
  EXPECT_EQ(store->boolValue(applicationDomain, "flag"), true);
  EXPECT_EQ(store->integerValue(applicationDomain, "count"), -42);
  EXPECT_EQ(store->doubleValue(applicationDomain, "tint"), 0.3);
  EXPECT_EQ(store->stringValue(applicationDomain, "name"), "a <b> & \"c\" é");
  EXPECT_EQ(store->dataValue(applicationDomain, "blob"), (PlistValue::Data{0, 1, 0xFF}));
  EXPECT_EQ(store->object(applicationDomain, "when"), PlistValue(PlistDate{86400}));
  EXPECT_EQ(store->stringArrayValue(applicationDomain, "list"), (std::vector<std::string>{"p", "q"}));
  EXPECT_EQ(store->object(applicationDomain, "dict"), PlistValue(nested));
  EXPECT_EQ(store->doubleValue(dock, "autohide-delay"), 0.5);
  EXPECT_FALSE(store->object(dock, "tint"));  // domains are separate files

  // A value of another type reads as missing; an integer is still a number.
  EXPECT_FALSE(store->boolValue(applicationDomain, "count"));
  EXPECT_FALSE(store->integerValue(applicationDomain, "tint"));
  EXPECT_FALSE(store->stringValue(applicationDomain, "blob"));
  EXPECT_FALSE(store->stringArrayValue(applicationDomain, "mixed"));
  EXPECT_FALSE(store->stringDictionaryValue(applicationDomain, "dict"));
  EXPECT_EQ(store->doubleValue(applicationDomain, "count"), -42.0);

  ASSERT_TRUE(store->remove(applicationDomain, "flag"));
  EXPECT_FALSE(open()->object(applicationDomain, "flag"));
  EXPECT_EQ(log.lines().size(), 0u);
}

TEST_F(PlistDefaultsStoreTest, FilesArePrivateAndLeaveNoTemporariesBehind) {
  auto store = open(dir / "config/corvane");
  ASSERT_TRUE(store->set(applicationDomain, "k", 1));
  struct stat st {};
  ASSERT_EQ(::stat((dir / "config/corvane").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat((dir / ("config/corvane/" + std::string(applicationDomain) + ".plist")).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A temporary file left by a writer that was killed is cleaned up by the next write.
  std::string stale = dir / ("config/corvane/." + std::string(applicationDomain) + ".plist.tmp-dead00");
  writeFile(stale, "<?xml half");
  ASSERT_TRUE(store->set(applicationDomain, "k", 2));
  EXPECT_EQ(dir.names("config/corvane"), (std::vector<std::string>{std::string(applicationDomain) + ".plist"}));
}

TEST_F(PlistDefaultsStoreTest, UnparsableFilesAreSetAsideWithTheirBytesAndReported) {
  const std::string valid = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>blurTint</key><real>0.4</real></dict></plist>)";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"truncated", valid.substr(0, valid.size() / 2)},
      {"empty", ""},
      {"not a plist", "{\"blurTint\": 0.4}"},
      {"array root", "<plist version=\"1.0\"><array><string>x</string></array></plist>"},
      {"binary junk", std::string("bplist00\x01\x02\xff\xfe", 12)},
  };
  for (const auto& [label, bytes] : cases) {
    SCOPED_TRACE(label);
    TempDir scratch;
    MemoryLog caseLog;
    std::string file = scratch / (std::string(applicationDomain) + ".plist");
    writeFile(file, bytes);
    PlistDefaultsStore store(scratch.path(), "", caseLog, clock);
    EXPECT_FALSE(store.object(applicationDomain, "blurTint"));  // defaults apply

    auto names = scratch.names();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0], std::string(applicationDomain) + ".plist.corrupt-20270115T080000Z");
    EXPECT_EQ(readFile(scratch / names[0]), bytes);
    EXPECT_TRUE(caseLog.contains("moved it aside to " + (scratch / names[0])));

    ASSERT_TRUE(store.set(applicationDomain, "blurTint", 0.2));
    EXPECT_EQ(readFile(scratch / names[0]), bytes);  // the copy is never overwritten
    EXPECT_EQ(PlistDefaultsStore(scratch.path(), "", caseLog, clock).doubleValue(applicationDomain, "blurTint"), 0.2);
  }
}

TEST_F(PlistDefaultsStoreTest, ASecondCorruptionInTheSameSecondKeepsBothCopies) {
  writeFile(appFile(), "first");
  open()->object(applicationDomain, "k");
  writeFile(appFile(), "second");
  open()->object(applicationDomain, "k");
  auto copies = corruptCopies();
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_EQ(readFile(dir / copies[0]), "first");
  EXPECT_EQ(readFile(dir / copies[1]), "second");
}

TEST_F(PlistDefaultsStoreTest, AFileCorruptedWhileInUseKeepsTheValuesInUse) {
  auto store = open();
  ASSERT_TRUE(store->set(applicationDomain, "protected", "slack"));
  writeFile(appFile(), "garbage written by hand, longer than before to change the size");
  EXPECT_EQ(store->stringValue(applicationDomain, "protected"), "slack");
  EXPECT_EQ(corruptCopies().size(), 1u);
  EXPECT_TRUE(log.contains("kept the settings in use"));
  // The values went straight back to disk: a new process sees them.
  EXPECT_EQ(open()->stringValue(applicationDomain, "protected"), "slack");
}

TEST_F(PlistDefaultsStoreTest, AnUnwritableDirectoryKeepsValuesInMemoryAndLogsOnce) {
  writeFile(dir / "not-a-directory", "x");
  auto store = open(dir / "not-a-directory/corvane");
  EXPECT_FALSE(store->set(applicationDomain, "blurTint", 0.2));
  EXPECT_FALSE(store->set(applicationDomain, "blurDock", true));
  EXPECT_FALSE(store->synchronize(applicationDomain));
  EXPECT_EQ(store->doubleValue(applicationDomain, "blurTint"), 0.2);
  EXPECT_EQ(store->boolValue(applicationDomain, "blurDock"), true);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_NE(log.lines()[0].find("could not save settings"), std::string::npos);
}

TEST_F(PlistDefaultsStoreTest, AnUnreadableFileIsNeverOverwritten) {
  // Root can read any file, so a directory stands in for a file that cannot be read.
  ASSERT_EQ(::mkdir(appFile().c_str(), 0700), 0);
  auto store = open();
  EXPECT_FALSE(store->set(applicationDomain, "k", 1));
  EXPECT_EQ(store->integerValue(applicationDomain, "k"), 1);
  struct stat st {};
  ASSERT_EQ(::stat(appFile().c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_TRUE(log.contains("could not be read"));
}

TEST_F(PlistDefaultsStoreTest, TwoWritersMergeInsteadOfUndoingEachOther) {
  auto first = open();
  auto second = open();
  ASSERT_TRUE(first->set(applicationDomain, "a", 1));
  ASSERT_TRUE(second->set(applicationDomain, "b", 2));  // second had not read "a" yet
  ASSERT_TRUE(first->remove(applicationDomain, "a"));
  auto fresh = open();
  EXPECT_FALSE(fresh->object(applicationDomain, "a"));
  EXPECT_EQ(fresh->integerValue(applicationDomain, "b"), 2);
  EXPECT_EQ(first->integerValue(applicationDomain, "b"), 2);  // reads pick up the other writer too
}

TEST_F(PlistDefaultsStoreTest, TheManagedLayerForcesKeysOfTheApplicationDomainOnly) {
  auto store = open();
  ASSERT_TRUE(store->set(applicationDomain, "ManagedUpdates", false));
  ASSERT_TRUE(store->set(dock, "ManagedUpdates", false));
  EXPECT_FALSE(store->isForced("ManagedUpdates"));

  writeFile(dir / "managed.plist", "<plist version=\"1.0\"><dict><key>ManagedUpdates</key><true/></dict></plist>");
  EXPECT_TRUE(store->isForced("ManagedUpdates"));
  EXPECT_FALSE(store->isForced("blurTint"));
  EXPECT_EQ(store->boolValue(applicationDomain, "ManagedUpdates"), true);
  EXPECT_EQ(store->boolValue(dock, "ManagedUpdates"), false);

  writeFile(dir / "managed.plist", "not a property list at all");
  EXPECT_FALSE(store->isForced("ManagedUpdates"));
  EXPECT_TRUE(log.contains("managed settings file"));
  EXPECT_EQ(readFile(dir / "managed.plist"), "not a property list at all");  // never moved or rewritten
}

TEST_F(PlistDefaultsStoreTest, DomainNamesThatAreNotFileNamesCannotBeOpened) {
  auto store = open(dir / "config");
  for (std::string_view bad : {"", "../escape", "a/b", ".hidden"}) {
    SCOPED_TRACE(std::string(bad));
    EXPECT_FALSE(store->canOpen(bad));
    EXPECT_FALSE(store->set(bad, "k", 1));
    EXPECT_FALSE(store->object(bad, "k"));
  }
  EXPECT_TRUE(store->canOpen(dock));
  EXPECT_EQ(dir.names(), std::vector<std::string>{});
}

TEST_F(PlistDefaultsStoreTest, TheStandardDirectoryNeedsAnAbsoluteXdgPath) {
  auto saved = [](const char* name) {
    return std::getenv(name) ? std::optional<std::string>(std::getenv(name)) : std::nullopt;
  };
  auto restore = [](const char* name, const std::optional<std::string>& v) {
    v ? ::setenv(name, v->c_str(), 1) : ::unsetenv(name);
  };
  auto xdg = saved("XDG_CONFIG_HOME"), home = saved("HOME");
  ::setenv("HOME", "/home/someone", 1);
  ::setenv("XDG_CONFIG_HOME", "/xdg", 1);
  EXPECT_EQ(PlistDefaultsStore::standardDirectory(), "/xdg/corvane");
  ::setenv("XDG_CONFIG_HOME", "relative/path", 1);
  EXPECT_EQ(PlistDefaultsStore::standardDirectory(), "/home/someone/.config/corvane");
  restore("XDG_CONFIG_HOME", xdg);
  restore("HOME", home);
}

}  // namespace
}  // namespace corvane
