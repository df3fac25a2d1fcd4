// The settings store: typed values across restarts, delayed and coalesced saving through
// the clock, and files that cannot be trusted.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <algorithm>
#include <cmath>
#include <map>
#include <filesystem>
#include <string>
#include <vector>

#include "core/Log.h"
#include "platform/FileUserDefaults.h"
#include "platform/Paths.h"
#include "platform/Runtime.h"
#include "platform/VirtualClock.h"
#include "support/TempFolder.h"

namespace quorvin {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class UserDefaultsTest : public ::testing::Test {
 protected:
  std::vector<fs::path> filesBeside() const {
    std::vector<fs::path> names;
    for (const auto& entry : fs::directory_iterator(file.parent_path())) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  test::TempFolder folder{"quorvin-defaults"};
  fs::path root = folder.path();
  fs::path file = root / "config" / "quorvin" / "defaults.json";
};

TEST_F(UserDefaultsTest, TypedValuesSurviveARestartAndKeepTheirTypes) {
  {
    FileUserDefaults store(file);
    store.setString("profileHandle", "ada \"lovelace\" \xC3\xA9");
    store.setBoolean("streamingEnabled", false);
    store.setInteger("lastUploadMs", INT64_MIN);
    store.setNumber("costTotal", 0.1);
    store.setNumber("nan", std::nan(""));  // not representable in JSON: ignored
    store.setString("gone", "x");
    store.remove("gone");
  }  // the destructor saves
  struct stat info {};
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(file.parent_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  FileUserDefaults again(file);
  EXPECT_EQ(again.string("profileHandle"), "ada \"lovelace\" \xC3\xA9");
  EXPECT_EQ(again.boolean("streamingEnabled"), false);
  EXPECT_EQ(again.integer("lastUploadMs"), INT64_MIN);
  EXPECT_EQ(again.number("costTotal"), 0.1);
  EXPECT_FALSE(again.contains("nan"));
  EXPECT_FALSE(again.contains("gone"));
  // Another type's reader gets nothing, also for a double that happens to be whole.
  again.setNumber("whole", 2.0);
  again.flush();
  FileUserDefaults third(file);
  EXPECT_EQ(third.number("whole"), 2.0);
  EXPECT_EQ(third.integer("whole"), std::nullopt);
  EXPECT_EQ(third.string("streamingEnabled"), std::nullopt);
  EXPECT_EQ(third.boolean("lastUploadMs"), std::nullopt);
}

TEST_F(UserDefaultsTest, ChangesAreSavedOnceAFewSecondsAfterTheFirstOfABurst) {
  Runtime runtime{1};
  VirtualClock clock;
  const WallTime start = clock.now();
  FileUserDefaults store(file, FileUserDefaults::Saving{&clock, runtime.model(), &runtime.pool()});
  for (int i = 0; i < 50; ++i) store.setInteger("tick", i);
  clock.run(runtime, [&] { return clock.sleepers() == 1; });
  EXPECT_FALSE(fs::exists(file));  // nothing yet: the save waits for the burst to end

  ASSERT_TRUE(clock.run(runtime, [&] { return store.saves() == 1; }));
  EXPECT_EQ(clock.now(), start + FileUserDefaults::writeDelay);
  EXPECT_EQ(boost::json::parse(test::readFile(file)).as_object().at("tick").as_int64(), 49);

  // A change after the save waits its own delay; an unchanged value is no change.
  clock.advance(10s);
  store.setInteger("tick", 49);
  clock.runUntilIdle(runtime);
  EXPECT_EQ(store.saves(), 1u);
  store.setBoolean("paused", true);
  const WallTime changedAt = clock.now();
  ASSERT_TRUE(clock.run(runtime, [&] { return store.saves() == 2; }));
  EXPECT_EQ(clock.now(), changedAt + FileUserDefaults::writeDelay);

  // flush() saves at once; the delayed save that follows finds nothing newer to write.
  store.setString("late", "yes");
  store.flush();
  EXPECT_EQ(store.saves(), 3u);
  clock.runUntilIdle(runtime);
  EXPECT_EQ(store.saves(), 3u);
  EXPECT_EQ(FileUserDefaults(file).string("late"), "yes");
}

TEST_F(UserDefaultsTest, AnUnusableFileIsSetAsideOnceAndTheStoreStartsEmpty) {
  const std::vector<std::string> bad = {"{\"cut\": tr", "[1,2,3]", "\"text\"", std::string("\x00\xff\x10", 3), ""};
  for (const auto& bytes : bad) {
    SCOPED_TRACE(testing::PrintToString(bytes));
    fs::remove_all(file.parent_path());
    test::writeFile(file, bytes);
    std::vector<std::string> lines;
    ScopedLogCapture capture([&](std::string_view line) { lines.emplace_back(line); });
    {
      FileUserDefaults store(file);
      EXPECT_FALSE(store.contains("cut"));
      store.setBoolean("fresh", true);
    }
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with("Quorvin settings file "));
    auto names = filesBeside();
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], "defaults.json");
    EXPECT_TRUE(names[1].string().starts_with("defaults.json.corrupt-"));
    EXPECT_EQ(test::readFile(file.parent_path() / names[1]), bytes);  // the user's bytes are kept
    EXPECT_EQ(FileUserDefaults(file).boolean("fresh"), true);
  }
}

TEST_F(UserDefaultsTest, ValuesOfOtherKindsAndLeftoverTemporariesAreHandled) {
  // Values this version does not read are written back unchanged; a temporary left by a
  // killed writer is removed.
  test::writeFile(file, R"({"future":[1,{"a":null}],"big":18446744073709551615,"n":7,"huge":1e999,"deep":[-2e999]})");
  test::writeFile(file.parent_path() / ".defaults.json.tmp-Ab12Cd", "{\"half");
  {
    FileUserDefaults store(file);
    EXPECT_EQ(store.integer("big"), std::nullopt);
    EXPECT_EQ(store.integer("n"), 7);
    store.setInteger("n", 8);
  }
  // A number past the double range would be written back in a form no reader accepts
  // (losing every setting at the next start): it is dropped, or nulled when nested.
  boost::system::error_code ec;
  auto saved = boost::json::parse(test::readFile(file), ec).as_object();
  ASSERT_FALSE(ec);
  EXPECT_FALSE(saved.contains("huge"));
  EXPECT_EQ(boost::json::serialize(saved.at("deep")), "[null]");
  EXPECT_EQ(boost::json::serialize(saved.at("future")), R"([1,{"a":null}])");
  EXPECT_EQ(saved.at("n").as_int64(), 8);
  EXPECT_EQ(filesBeside(), std::vector<fs::path>{"defaults.json"});
}

TEST_F(UserDefaultsTest, TextThatIsNotUtf8NeverSpoilsTheFile) {
  // A Latin-1 path used to be written raw: the next start could not parse the file and
  // set every setting aside.
  {
    FileUserDefaults store(file);
    store.setBoolean("kept", true);
    store.setString("path", "/home/Jos\xe9/ledger.json");
    store.setInteger("caf\xe9", 1);  // no sound repair for a name: refused
  }
  FileUserDefaults again(file);
  EXPECT_EQ(again.boolean("kept"), true);
  EXPECT_EQ(again.string("path"), "/home/Jos\xEF\xBF\xBD/ledger.json");
  EXPECT_EQ(again.snapshot().size(), 2u);
  EXPECT_EQ(filesBeside(), std::vector<fs::path>{"defaults.json"});
}

TEST_F(UserDefaultsTest, ALinkIsFollowedAndAFileThatCannotBeReadIsLeftAlone) {
  // A dotfile manager's link: read through it, saved through it, never set aside.
  const fs::path real = root / "dotfiles" / "quorvin-defaults.json";
  test::writeFile(real, R"({"n":1})");
  fs::create_directories(file.parent_path());
  fs::create_symlink(real, file);
  {
    FileUserDefaults store(file);
    EXPECT_EQ(store.loadError(), std::nullopt);
    EXPECT_EQ(store.integer("n"), 1);
    store.setInteger("n", 2);
    EXPECT_TRUE(store.saveNow());
  }
  EXPECT_TRUE(fs::is_symlink(file));
  EXPECT_EQ(boost::json::parse(test::readFile(real)).as_object().at("n").as_int64(), 2);
  EXPECT_EQ(filesBeside(), std::vector<fs::path>{"defaults.json"});

  // Something that is not a readable file stays as it is, and nothing is saved over it.
  fs::remove(file);
  fs::create_directories(file / "inside");
  std::vector<std::string> lines;
  ScopedLogCapture capture([&](std::string_view line) { lines.emplace_back(line); });
  {
    FileUserDefaults store(file);
    ASSERT_TRUE(store.loadError());
    EXPECT_NE(store.loadError()->find("cannot be read"), std::string::npos);
    store.setBoolean("fresh", true);
    std::string reason;
    EXPECT_FALSE(store.saveNow(&reason));
    EXPECT_NE(reason.find("left as it is"), std::string::npos) << reason;
  }
  EXPECT_TRUE(fs::is_directory(file / "inside"));
  EXPECT_EQ(filesBeside(), std::vector<fs::path>{"defaults.json"});
}

TEST(PathsTest, FollowsTheBaseDirectoryRules) {
  auto env = [](std::map<std::string, std::string> values) {
    return [values](std::string_view name) -> std::optional<std::string> {
      auto it = values.find(std::string(name));
      if (it == values.end()) return std::nullopt;
      return it->second;
    };
  };
  Paths plain = Paths::resolve(env({{"HOME", "/home/ada"}}));
  EXPECT_EQ(plain.configHome, "/home/ada/.config");
  EXPECT_EQ(plain.appDataDir(), "/home/ada/.local/share/quorvin");
  EXPECT_EQ(plain.defaultsFile(), "/home/ada/.config/quorvin/defaults.json");
  EXPECT_EQ(plain.appRuntimeDir(), std::nullopt);

  Paths set = Paths::resolve(
      env({{"HOME", "/home/ada"}, {"XDG_CONFIG_HOME", "/cfg"}, {"XDG_DATA_HOME", "/data"}, {"XDG_RUNTIME_DIR", "/run/user/7"}}));
  EXPECT_EQ(set.defaultsFile(), "/cfg/quorvin/defaults.json");
  EXPECT_EQ(set.appDataDir(), "/data/quorvin");
  EXPECT_EQ(set.appRuntimeDir(), fs::path("/run/user/7/quorvin"));

  // Relative or empty values are ignored; with no HOME the password database answers.
  Paths odd = Paths::resolve(env({{"HOME", ""}, {"XDG_CONFIG_HOME", "rel/cfg"}, {"XDG_DATA_HOME", ""}}));
  EXPECT_TRUE(odd.home.is_absolute());
  EXPECT_EQ(odd.configHome, odd.home / ".config");
  EXPECT_EQ(odd.dataHome, odd.home / ".local/share");
}

TEST(PathsTest, PrivateDirectoriesAreCreatedOwnerOnly) {
  test::TempFolder root("quorvin-paths");
  fs::path dir = root / "a" / "quorvin";
  ASSERT_TRUE(ensurePrivateDirectory(dir));
  struct stat info {};
  ASSERT_EQ(stat(dir.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  chmod(dir.c_str(), 0755);
  ASSERT_TRUE(ensurePrivateDirectory(dir));
  ASSERT_EQ(stat(dir.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  test::writeFile(root / "file", "x");
  EXPECT_FALSE(ensurePrivateDirectory(root / "file"));
}

}  // namespace
}  // namespace quorvin
