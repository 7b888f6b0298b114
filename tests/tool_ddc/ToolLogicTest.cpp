#include <gtest/gtest.h>
#include <sys/stat.h>

#include <iterator>
#include <sstream>

#include "tests/support/TempDir.h"
#include "tests/tool_ddc/EdidFixtures.h"
#include "tools/nuvlet-ddc/BusCache.h"
#include "tools/nuvlet-ddc/Command.h"

namespace nuvlet::test {
namespace {

using namespace nuvlet::ddc;

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

TEST(Command, AcceptsExactlyTheTwoCommandLinesAndList) {
  auto get = parseCommand(words("display id=2 get luminance"));
  ASSERT_TRUE(std::holds_alternative<GetLuminance>(get));
  EXPECT_EQ(std::get<GetLuminance>(get).output, 2u);
  auto set = parseCommand(words("display id=4294967295 set luminance 100"));
  ASSERT_TRUE(std::holds_alternative<SetLuminance>(set));
  EXPECT_EQ(std::get<SetLuminance>(set).output, 4294967295u);
  EXPECT_EQ(std::get<SetLuminance>(set).percent, 100);
  EXPECT_EQ(std::get<SetLuminance>(parseCommand(words("display id=0 set luminance 0"))).percent, 0);
  EXPECT_TRUE(std::holds_alternative<ListMonitors>(parseCommand({"list"})));

  auto usageError = [](const std::string& line) {
    return std::holds_alternative<UsageError>(parseCommand(words(line)));
  };
  for (const char* id : {"ID=2", "id=", "id=-1", "id=02", "id=4294967296", "id=1x"}) {
    EXPECT_TRUE(usageError(std::string("display ") + id + " get luminance")) << id;
  }
  for (const char* rest : {"get", "get luminance extra", "get brightness", "set luminance",
                           "set luminance 101", "set luminance -1", "set luminance 050"}) {
    EXPECT_TRUE(usageError(std::string("display id=2 ") + rest)) << rest;
  }
  for (const char* line : {"", "display", "Display id=2 get luminance", "list all"}) {
    EXPECT_TRUE(usageError(line)) << line;
  }
  EXPECT_TRUE(
      std::holds_alternative<UsageError>(parseCommand({"display", "id=2 ", "get", "luminance"})));
}

TEST(Edid, BaseBlockNeedsHeaderAndChecksum) {
  EXPECT_TRUE(isEdidBaseBlock(makeEdid(1)));
  EXPECT_TRUE(isEdidBaseBlock(makeEdid(1, 1)));
  auto badSum = makeEdid(1);
  badSum[60] ^= 1;
  EXPECT_FALSE(isEdidBaseBlock(badSum));
  auto badHeader = makeEdid(1);
  badHeader[0] = 1;
  badHeader[127] = static_cast<std::uint8_t>(badHeader[127] - 1);
  EXPECT_FALSE(isEdidBaseBlock(badHeader));
  auto whole = makeEdid(1);
  EXPECT_FALSE(isEdidBaseBlock(Bytes(whole.begin(), whole.begin() + 127)));
  EXPECT_FALSE(isEdidBaseBlock({}));
}

TEST(Edid, MatchesTheOneMonitorWithTheSameBaseBlock) {
  const std::vector<Bytes> monitors = {makeEdid(1), makeEdid(2), makeEdid(3)};
  // RandR reports the extension blocks too; libddcutil the base block only.
  EXPECT_EQ(matchEdid(makeEdid(2, 1), monitors).index, 1u);
  EXPECT_EQ(matchEdid(makeEdid(4), monitors).index, std::nullopt);
  EXPECT_EQ(matchEdid(makeEdid(4), monitors).matches, 0u);

  auto twins = matchEdid(makeEdid(1), {makeEdid(1), makeEdid(2), makeEdid(1)});
  EXPECT_EQ(twins.index, std::nullopt);
  EXPECT_EQ(twins.matches, 2u);

  auto damaged = makeEdid(1);
  damaged[0] = 7;
  EXPECT_EQ(matchEdid(damaged, {damaged}).index, std::nullopt);
  EXPECT_EQ(matchEdid(makeEdid(1), {Bytes(10, 0)}).index, std::nullopt);
  EXPECT_NE(edidKey(makeEdid(1)), edidKey(makeEdid(2)));
  EXPECT_EQ(edidKey(makeEdid(1)), edidKey(makeEdid(1, 2)));
  EXPECT_EQ(edidKey(makeEdid(1)).size(), 256u);
}

TEST(Edid, BrightnessScalesToTheMonitorsMaximum) {
  const struct {
    int raw, max, percent;
  } toPercent[] = {{50, 100, 50},   {255, 255, 100}, {128, 255, 50}, {1, 255, 0},
                   {300, 100, 100}, {-3, 100, 0},    {10, 0, 0},     {65535, 65535, 100}};
  for (auto c : toPercent)
    EXPECT_EQ(rawToPercent(c.raw, c.max), c.percent) << c.raw << "/" << c.max;
  const struct {
    int percent, max, raw;
  } toRaw[] = {{50, 100, 50}, {50, 255, 128}, {100, 255, 255},    {0, 255, 0},
               {120, 80, 80}, {7, 0, 0},      {100, 65535, 65535}};
  for (auto c : toRaw) EXPECT_EQ(percentToRaw(c.percent, c.max), c.raw) << c.percent;
}

TEST(BusCache, RemembersNewestFirstOneMonitorPerBus) {
  TempDir dir;
  auto file = dir / "cache/nuvlet/ddc-buses.json";
  {
    BusCache cache(file);
    EXPECT_EQ(cache.busFor("a"), std::nullopt);
    cache.remember("a", 5);
    cache.remember("b", 6);
    cache.remember("c", 5);  // another monitor now on bus 5
    EXPECT_TRUE(cache.save());
  }
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(file.parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  BusCache again(file);
  EXPECT_EQ(again.busFor("a"), std::nullopt);
  EXPECT_EQ(again.busFor("b"), 6);
  EXPECT_EQ(again.busFor("c"), 5);
  again.forget("b");
  EXPECT_TRUE(again.save());
  EXPECT_EQ(BusCache(file).busFor("b"), std::nullopt);
  EXPECT_EQ(BusCache(file).busFor("c"), 5);
}

TEST(BusCache, StaysSmall) {
  TempDir dir;
  BusCache cache(dir / "c.json");
  for (int i = 0; i < 40; ++i) cache.remember("m" + std::to_string(i), i);
  ASSERT_TRUE(cache.save());
  BusCache loaded(dir / "c.json");
  EXPECT_EQ(loaded.busFor("m39"), 39);
  EXPECT_EQ(loaded.busFor("m" + std::to_string(40 - BusCache::kMaxEntries)),
            static_cast<int>(40 - BusCache::kMaxEntries));
  EXPECT_EQ(loaded.busFor("m" + std::to_string(39 - BusCache::kMaxEntries)), std::nullopt);
}

TEST(BusCache, DamagedFileIsAnEmptyCacheAndIsReplacedWhole) {
  TempDir dir;
  for (const char* text :
       {"", "not json", "{\"buses\": 3}",
        "{\"buses\": [{\"edid\": \"x\", \"bus\": -4}, {\"edid\": \"y\", \"bus\": \"5\"}]}"}) {
    auto file = dir.write("c.json", text);
    BusCache cache(file);
    EXPECT_EQ(cache.busFor("x"), std::nullopt) << text;
    EXPECT_EQ(cache.busFor("y"), std::nullopt) << text;
    cache.remember("z", 3);
    ASSERT_TRUE(cache.save());
    EXPECT_EQ(BusCache(file).busFor("z"), 3) << text;
  }
  // Entries that make sense survive beside ones that do not.
  auto file =
      dir.write("mixed.json", "{\"buses\": [{\"edid\": \"ok\", \"bus\": 7}, {\"bus\": 1}, 5]}");
  EXPECT_EQ(BusCache(file).busFor("ok"), 7);
}

TEST(BusCache, UnchangedCacheWritesNothing) {
  TempDir dir;
  BusCache cache(dir / "sub/c.json");
  EXPECT_TRUE(cache.save());
  EXPECT_FALSE(std::filesystem::exists(dir / "sub"));
}

}  // namespace
}  // namespace nuvlet::test
