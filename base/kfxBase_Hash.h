// Hashing for the library's own lookup tables: a 64-bit hash of octet
// strings and of integers, and one open-addressing index built on it. The
// header-compression tables and the HTTP/2 stream records use them; nothing
// here locks, so an index belongs to whoever serialises access to its owner.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

// Spreads every bit of aValue over the whole result (a bijection, so distinct
// values never collide).
constexpr uint64_t kfxHashMix(uint64_t aValue) {
  aValue ^= aValue >> 30;
  aValue *= 0xBF58476D1CE4E5B9ull;
  aValue ^= aValue >> 27;
  aValue *= 0x94D049BB133111EBull;
  return aValue ^ (aValue >> 31);
}

// A quick hash of octets, eight per step; aSeed continues an earlier hash
// (a name's hash seeds that of its value). Lookups verify hits by comparing
// the keys, so this needs spread, not resistance to chosen collisions.
inline uint64_t kfxHashBytes(std::string_view aText, uint64_t aSeed = 0) {
  uint64_t h = aSeed ^ (aText.size() * 0x9E3779B97F4A7C15ull);
  const char* p = aText.data();
  size_t n = aText.size();
  for (; n > 8; p += 8, n -= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    h = (h ^ word) * 0xBF58476D1CE4E5B9ull;
    h ^= h >> 29;
  }
  // The last one to eight octets, read without a byte loop.
  uint64_t tail = 0;
  if (n >= 4) {
    uint32_t lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + n - 4, 4);
    tail = uint64_t{lo} << 32 | hi;
  } else if (n > 0) {
    tail = uint64_t{static_cast<uint8_t>(p[0])} << 16 | uint64_t{static_cast<uint8_t>(p[n / 2])} << 8 |
           static_cast<uint8_t>(p[n - 1]);
  }
  h = (h ^ tail) * 0x94D049BB133111EBull;
  return h ^ (h >> 32);
}

// The hash an index uses for its key type. Integers and texts have one here;
// a key type of its own specialises it beside its declaration.
template <class TKey, class = void>
struct TkfxHash;

template <class TKey>
struct TkfxHash<TKey, std::enable_if_t<std::is_integral_v<TKey> || std::is_enum_v<TKey>>> {
  uint64_t operator()(TKey aKey) const { return kfxHashMix(static_cast<uint64_t>(aKey)); }
};

template <>
struct TkfxHash<std::string> {
  uint64_t operator()(std::string_view aKey) const { return kfxHashBytes(aKey); }
};

// For keys that already are well-spread hashes (the header tables index by
// the hash of a text and verify hits themselves).
struct TkfxHashIdentity {
  uint64_t operator()(uint64_t aKey) const { return aKey; }
};

// A map from unique keys to values by open addressing: linear probing, at
// most half full, backward-shift deletion (no tombstones, so lookups stay
// short however often entries come and go). Values move when the table grows
// or an entry is erased: keep no pointers to them across such a change.
template <class TKey, class TValue, class THash = TkfxHash<TKey>>
class TkfxHashIndex {
 public:
  TValue* Find(const TKey& aKey) { return const_cast<TValue*>(std::as_const(*this).Find(aKey)); }
  const TValue* Find(const TKey& aKey) const {
    if (FSlots.empty()) return nullptr;
    const uint64_t hash = HashOf(aKey);
    const size_t mask = FSlots.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      const TSlot& slot = FSlots[i];
      if (slot.Hash == 0) return nullptr;
      if (slot.Hash == hash && slot.Key == aKey) return &slot.Value;
    }
  }

  // Stores aValue under aKey, replacing the value of a key already present.
  TValue& Set(const TKey& aKey, TValue aValue) {
    if ((FUsed + 1) * 2 > FSlots.size()) Grow();
    const uint64_t hash = HashOf(aKey);
    const size_t mask = FSlots.size() - 1;
    size_t i = hash & mask;
    while (FSlots[i].Hash != 0 && !(FSlots[i].Hash == hash && FSlots[i].Key == aKey)) i = (i + 1) & mask;
    TSlot& slot = FSlots[i];
    if (slot.Hash == 0) {
      ++FUsed;
      slot.Hash = hash;
      slot.Key = aKey;
    }
    slot.Value = std::move(aValue);
    return slot.Value;
  }

  // Removes aKey; false when it was not there.
  bool Erase(const TKey& aKey) {
    return EraseIf(aKey, [](const TValue&) { return true; });
  }
  // Removes aKey only when aPredicate(its value) holds.
  template <class TPredicate>
  bool EraseIf(const TKey& aKey, TPredicate&& aPredicate) {
    if (FSlots.empty()) return false;
    const uint64_t hash = HashOf(aKey);
    const size_t mask = FSlots.size() - 1;
    size_t i = hash & mask;
    while (!(FSlots[i].Hash == hash && FSlots[i].Key == aKey)) {
      if (FSlots[i].Hash == 0) return false;
      i = (i + 1) & mask;
    }
    if (!aPredicate(std::as_const(FSlots[i].Value))) return false;
    // Backward shift: every entry behind the gap that may move into it does,
    // so no probe sequence is broken.
    for (size_t j = (i + 1) & mask; FSlots[j].Hash != 0; j = (j + 1) & mask) {
      const size_t home = FSlots[j].Hash & mask;
      if (((j - home) & mask) >= ((j - i) & mask)) {
        FSlots[i] = std::move(FSlots[j]);
        i = j;
      }
    }
    FSlots[i] = TSlot();
    --FUsed;
    return true;
  }

  void Clear() {
    FSlots.clear();
    FUsed = 0;
  }
  size_t Count() const { return FUsed; }
  bool Empty() const { return FUsed == 0; }

  // Calls aVisit(key, value) for every entry, in no particular order. The
  // visitor must not add or erase entries.
  template <class TVisit>
  void ForEach(TVisit&& aVisit) {
    for (TSlot& slot : FSlots)
      if (slot.Hash != 0) aVisit(std::as_const(slot.Key), slot.Value);
  }
  template <class TVisit>
  void ForEach(TVisit&& aVisit) const {
    for (const TSlot& slot : FSlots)
      if (slot.Hash != 0) aVisit(slot.Key, slot.Value);
  }

 private:
  struct TSlot {
    uint64_t Hash = 0;  // 0: empty
    TKey Key{};
    TValue Value{};
  };

  static uint64_t HashOf(const TKey& aKey) { return THash{}(aKey) | 1; }

  void Grow() {
    std::vector<TSlot> old(std::max<size_t>(kMinSlots, FSlots.size() * 2));
    old.swap(FSlots);
    const size_t mask = FSlots.size() - 1;
    for (TSlot& slot : old) {
      if (slot.Hash == 0) continue;
      size_t i = slot.Hash & mask;
      while (FSlots[i].Hash != 0) i = (i + 1) & mask;
      FSlots[i] = std::move(slot);
    }
  }

  static constexpr size_t kMinSlots = 32;
  std::vector<TSlot> FSlots;  // a power of two in size, or empty
  size_t FUsed = 0;
};
