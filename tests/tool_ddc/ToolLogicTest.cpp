#include <gtest/gtest.h>

#include "tests/harness/ddc/MonitorState.h"
#include "tests/support/TempDir.h"
#include "tools/nuvlet-ddc/BusCache.h"
#include "tools/nuvlet-ddc/Edid.h"

namespace nuvlet::test {
namespace {

using namespace nuvlet::ddc;
using simddc::makeEdid;

// The base block alone, as libddcutil reports an EDID.
Bytes base(Bytes edid) {
  edid.resize(128);
  return edid;
}

// Which monitor matches is the program's to show (MonitorTest); these are the EDIDs it
// never meets there: one without a valid header, a candidate too short to compare.
TEST(Edid, MatchesOnlyAValidBaseBlockAndKeysOnIt) {
  auto damaged = makeEdid(1);
  damaged[0] = 7;
  EXPECT_EQ(matchEdid(damaged, {damaged}).index, std::nullopt);
  EXPECT_EQ(matchEdid(makeEdid(1), {Bytes(10, 0)}).index, std::nullopt);
  EXPECT_NE(edidKey(makeEdid(1)), edidKey(makeEdid(2)));
  EXPECT_EQ(edidKey(base(makeEdid(1, 2))), edidKey(makeEdid(1, 2)));
  EXPECT_EQ(edidKey(makeEdid(1)).size(), 256u);
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

}  // namespace
}  // namespace nuvlet::test
