#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <unordered_map>

#include "base/kfxBase_Hash.h"

namespace {

// Every key lands on one home slot: probing and the backward shift of
// erasing then decide everything.
struct TCollidingHash {
  uint64_t operator()(int) const { return 7; }
};

// Random adds, replacements and erases checked against the standard map after
// every step, with a well-spread hash and with one where all keys collide.
template <class THash>
void CheckAgainstModel(uint32_t aSeed, int aKeyRange, int aSteps) {
  TkfxHashIndex<int, int, THash> index;
  std::unordered_map<int, int> model;
  std::mt19937 random(aSeed);
  for (int step = 0; step < aSteps; ++step) {
    const int key = 1000 + static_cast<int>(random() % static_cast<uint32_t>(aKeyRange));
    switch (random() % 3) {
      case 0:
      case 1:
        index.Set(key, step);
        model[key] = step;
        break;
      default:
        EXPECT_EQ(index.Erase(key), model.erase(key) == 1) << "step " << step;
        break;
    }
    ASSERT_EQ(index.Count(), model.size()) << "step " << step;
    for (int probe = 1000; probe < 1000 + aKeyRange; ++probe) {
      const int* found = index.Find(probe);
      const auto expected = model.find(probe);
      ASSERT_EQ(found != nullptr, expected != model.end()) << "step " << step << " key " << probe;
      if (found) {
        ASSERT_EQ(*found, expected->second) << "step " << step << " key " << probe;
      }
    }
  }
  size_t visited = 0;
  index.ForEach([&](int aKey, int aValue) {
    ++visited;
    EXPECT_EQ(model.at(aKey), aValue);
  });
  EXPECT_EQ(visited, model.size());
}

TEST(BaseHash, IndexAgreesWithAStandardMap) {
  CheckAgainstModel<TkfxHash<int>>(1, 200, 3000);
  CheckAgainstModel<TkfxHash<int>>(2, 40, 3000);  // many erases of present keys
  CheckAgainstModel<TCollidingHash>(3, 60, 1500);
}

TEST(BaseHash, EraseIfLeavesTheEntryWhenThePredicateFails) {
  TkfxHashIndex<uint64_t, int64_t, TkfxHashIdentity> index;
  index.Set(0x1235, 10);
  EXPECT_FALSE(index.EraseIf(0x1235, [](int64_t aValue) { return aValue == 11; }));
  ASSERT_NE(index.Find(0x1235), nullptr);
  EXPECT_EQ(*index.Find(0x1235), 10);
  EXPECT_TRUE(index.EraseIf(0x1235, [](int64_t aValue) { return aValue == 10; }));
  EXPECT_EQ(index.Find(0x1235), nullptr);
  EXPECT_FALSE(index.Erase(0x1235));
  EXPECT_TRUE(index.Empty());
}

TEST(BaseHash, IndexHoldsMoveOnlyValues) {
  TkfxHashIndex<int32_t, std::unique_ptr<std::string>> index;
  for (int32_t id = 1; id < 400; id += 2) index.Set(id, std::make_unique<std::string>(std::to_string(id)));
  for (int32_t id = 1; id < 400; id += 4) EXPECT_TRUE(index.Erase(id));
  for (int32_t id = 1; id < 400; id += 2) {
    const auto* found = index.Find(id);
    if (id % 4 == 1) {
      EXPECT_EQ(found, nullptr) << id;
    } else {
      ASSERT_NE(found, nullptr) << id;
      EXPECT_EQ(**found, std::to_string(id));
    }
  }
  index.Clear();
  EXPECT_EQ(index.Count(), 0u);
  EXPECT_EQ(index.Find(3), nullptr);
}

TEST(BaseHash, TextHashesSpreadAndFollowTheSeed) {
  // Texts of every length up to 40 that differ in one octet, at any place,
  // and texts that differ only in length: all distinct.
  std::set<uint64_t> seen;
  size_t texts = 0;
  for (size_t length = 0; length <= 40; ++length) {
    std::string text(length, 'a');
    seen.insert(kfxHashBytes(text));
    ++texts;
    for (size_t at = 0; at < length; ++at) {
      std::string changed = text;
      changed[at] = 'b';
      seen.insert(kfxHashBytes(changed));
      ++texts;
    }
  }
  EXPECT_EQ(seen.size(), texts);
  EXPECT_NE(kfxHashBytes("content-type", 1), kfxHashBytes("content-type", 2));
  EXPECT_EQ(kfxHashBytes("content-type"), TkfxHash<std::string>{}("content-type"));
  // Integers: the mixing is a bijection, so neighbours never collide.
  std::set<uint64_t> integers;
  for (uint64_t n = 0; n < 4096; ++n) integers.insert(kfxHashMix(n));
  EXPECT_EQ(integers.size(), 4096u);
}

}  // namespace
