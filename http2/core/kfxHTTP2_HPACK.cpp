#include "http2/core/kfxHTTP2_HPACK.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "http2/core/kfxHTTP2_Classes.h"

namespace {

struct TStaticRow {
  const char* Name;
  const char* Value;
};

// Rows 1..61 of the static table.
constexpr std::array<TStaticRow, 61> kStaticRows = {{
    {":authority", ""},
    {":method", "GET"},
    {":method", "POST"},
    {":path", "/"},
    {":path", "/index.html"},
    {":scheme", "http"},
    {":scheme", "https"},
    {":status", "200"},
    {":status", "204"},
    {":status", "206"},
    {":status", "304"},
    {":status", "400"},
    {":status", "404"},
    {":status", "500"},
    {"accept-charset", ""},
    {"accept-encoding", "gzip, deflate"},
    {"accept-language", ""},
    {"accept-ranges", ""},
    {"accept", ""},
    {"access-control-allow-origin", ""},
    {"age", ""},
    {"allow", ""},
    {"authorization", ""},
    {"cache-control", ""},
    {"content-disposition", ""},
    {"content-encoding", ""},
    {"content-language", ""},
    {"content-length", ""},
    {"content-location", ""},
    {"content-range", ""},
    {"content-type", ""},
    {"cookie", ""},
    {"date", ""},
    {"etag", ""},
    {"expect", ""},
    {"expires", ""},
    {"from", ""},
    {"host", ""},
    {"if-match", ""},
    {"if-modified-since", ""},
    {"if-none-match", ""},
    {"if-range", ""},
    {"if-unmodified-since", ""},
    {"last-modified", ""},
    {"link", ""},
    {"location", ""},
    {"max-forwards", ""},
    {"proxy-authenticate", ""},
    {"proxy-authorization", ""},
    {"range", ""},
    {"referer", ""},
    {"refresh", ""},
    {"retry-after", ""},
    {"server", ""},
    {"set-cookie", ""},
    {"strict-transport-security", ""},
    {"transfer-encoding", ""},
    {"user-agent", ""},
    {"vary", ""},
    {"via", ""},
    {"www-authenticate", ""},
}};

uint64_t HashText(std::string_view aText) {
  return kfxHashBytes(aText) | 1;  // never 0, the empty key of the index
}
// Values can be long (tokens, cookies): their key takes the length and
// three samples of eight octets, so a lookup costs the same for any value. A
// key shared by two values only hides the older one from the encoder.
uint64_t HashField(uint64_t aNameHash, std::string_view aValue) {
  if (aValue.size() <= 24) return kfxHashBytes(aValue, aNameHash) | 1;
  char sample[24];
  std::memcpy(sample, aValue.data(), 8);
  std::memcpy(sample + 8, aValue.data() + aValue.size() / 2 - 4, 8);
  std::memcpy(sample + 16, aValue.data() + aValue.size() - 8, 8);
  return kfxHashBytes(std::string_view(sample, 24), aNameHash ^ aValue.size()) | 1;
}

// The static rows as table entries, with a small hash index by name: each
// name maps to its first row (rows of one name are adjacent).
struct TStaticTable {
  std::array<TkfxHTTP2_TableEntry, 62> Rows;  // [0] unused
  std::array<uint64_t, 62> NameHash{};
  static constexpr size_t kSlots = 256;
  std::array<uint8_t, kSlots> FirstByName{};  // 0 = empty slot

  TStaticTable() {
    for (size_t i = 1; i <= 61; ++i) {
      Rows[i] = TkfxHTTP2_TableEntry(kStaticRows[i - 1].Name, kStaticRows[i - 1].Value);
      Rows[i].LocalVar = true;
      NameHash[i] = HashText(Rows[i].Name);
      if (i > 1 && Rows[i].Name == Rows[i - 1].Name) continue;
      size_t slot = NameHash[i] % kSlots;
      while (FirstByName[slot] != 0) slot = (slot + 1) % kSlots;
      FirstByName[slot] = static_cast<uint8_t>(i);
    }
  }
  // The first row named aName, or 0.
  int Find(std::string_view aName, uint64_t aNameHash) const {
    for (size_t slot = aNameHash % kSlots;; slot = (slot + 1) % kSlots) {
      const int row = FirstByName[slot];
      if (row == 0) return 0;
      if (NameHash[static_cast<size_t>(row)] == aNameHash && Rows[static_cast<size_t>(row)].Name == aName)
        return row;
    }
  }
};

const TStaticTable& StaticTable() {
  static const TStaticTable table;
  return table;
}

// Code lengths of the Huffman code (symbols 0..255 and EOS = 256). The code
// is canonical: codes of one length follow each other in symbol order, and
// shorter codes come first, so the lengths determine every code.
constexpr std::array<uint8_t, 257> kHuffmanLengths = {
    13, 23, 28, 28, 28, 28, 28, 28, 28, 24, 30, 28, 28, 30, 28, 28,  // 0x00
    28, 28, 28, 28, 28, 28, 30, 28, 28, 28, 28, 28, 28, 28, 28, 28,  // 0x10
    6,  10, 10, 12, 13, 6,  8,  11, 10, 10, 8,  11, 8,  6,  6,  6,   // ' '..'/'
    5,  5,  5,  6,  6,  6,  6,  6,  6,  6,  7,  8,  15, 6,  12, 10,  // '0'..'?'
    13, 6,  7,  7,  7,  7,  7,  7,  7,  7,  7,  7,  7,  7,  7,  7,   // '@'..'O'
    7,  7,  7,  7,  7,  7,  7,  7,  8,  7,  8,  13, 19, 13, 14, 6,   // 'P'..'_'
    15, 5,  6,  5,  6,  5,  6,  6,  6,  5,  7,  7,  6,  6,  6,  5,   // '`'..'o'
    6,  7,  6,  5,  5,  6,  7,  7,  7,  7,  7,  15, 11, 14, 13, 28,  // 'p'..0x7f
    20, 22, 20, 20, 22, 22, 22, 23, 22, 23, 23, 23, 23, 23, 24, 23,  // 0x80
    24, 24, 22, 23, 24, 23, 23, 23, 23, 21, 22, 23, 22, 23, 23, 24,  // 0x90
    22, 21, 20, 22, 22, 23, 23, 21, 23, 22, 22, 24, 21, 22, 23, 23,  // 0xa0
    21, 21, 22, 21, 23, 22, 23, 23, 20, 22, 22, 22, 23, 22, 22, 23,  // 0xb0
    26, 26, 20, 19, 22, 23, 22, 25, 26, 26, 26, 27, 27, 26, 24, 25,  // 0xc0
    19, 21, 26, 27, 27, 26, 27, 24, 21, 21, 26, 26, 28, 27, 27, 27,  // 0xd0
    20, 24, 20, 21, 22, 21, 21, 23, 22, 22, 25, 25, 24, 24, 26, 23,  // 0xe0
    26, 27, 26, 26, 27, 27, 27, 27, 27, 28, 27, 27, 27, 27, 27, 26,  // 0xf0
    30,                                                              // EOS
};

struct THuffmanCode {
  uint32_t Code;
  uint8_t Length;
};

constexpr std::array<THuffmanCode, 257> MakeHuffmanCodes() {
  std::array<THuffmanCode, 257> codes{};
  uint32_t code = 0;
  uint8_t previous = 0;
  for (uint8_t length = 1; length <= 30; ++length) {
    for (size_t symbol = 0; symbol < 257; ++symbol) {
      if (kHuffmanLengths[symbol] != length) continue;
      if (previous != 0) code = (code + 1) << (length - previous);
      previous = length;
      codes[symbol] = {code, length};
    }
  }
  return codes;
}
constexpr std::array<THuffmanCode, 257> kHuffmanCodes = MakeHuffmanCodes();
static_assert(kHuffmanCodes['0'].Code == 0x0 && kHuffmanCodes['t'].Code == 0x9);
static_assert(kHuffmanCodes['A'].Code == 0x21 && kHuffmanCodes['z'].Code == 0x7b);
static_assert(kHuffmanCodes[256].Code == 0x3fffffff);

// The decoding tree, and a transition table derived from it that walks the
// tree four bits at a time. States are the inner nodes (255 of them, the
// root is state 0); each step emits at most one symbol, since no code is
// shorter than five bits.
struct THuffmanDecoder {
  enum : uint8_t { kEmit = 1, kFail = 2, kEOS = 4 };
  struct TStep {
    uint8_t Next;
    uint8_t Flags;
    uint8_t Symbol;
  };
  TkfxHTTP2_Huffman_TreeNode Root;
  std::vector<const TkfxHTTP2_Huffman_TreeNode*> States;
  std::vector<uint8_t> Depth;     // bits since the last complete symbol
  std::vector<uint8_t> AllOnes;   // those bits are all 1
  std::vector<std::array<TStep, 16>> Steps;

  THuffmanDecoder() {
    for (size_t symbol = 0; symbol < 257; ++symbol) {
      TkfxHTTP2_Huffman_TreeNode* node = &Root;
      const auto [code, length] = kHuffmanCodes[symbol];
      for (int bit = length - 1; bit >= 0; --bit) {
        auto& child = (code >> bit & 1) ? node->Child1 : node->Child0;
        if (!child) child = std::make_unique<TkfxHTTP2_Huffman_TreeNode>();
        node = child.get();
      }
      node->Value = static_cast<int32_t>(symbol);
    }
    Number(&Root, 0, true);
    Steps.resize(States.size());
    for (size_t s = 0; s < States.size(); ++s) {
      for (unsigned nibble = 0; nibble < 16; ++nibble) {
        const TkfxHTTP2_Huffman_TreeNode* node = States[s];
        TStep step{0, 0, 0};
        for (int bit = 3; bit >= 0; --bit) {
          node = (nibble >> bit & 1) ? node->Child1.get() : node->Child0.get();
          if (!node) {
            step.Flags |= kFail;
            break;
          }
          if (node->Value == 256) {
            step.Flags |= kFail | kEOS;
            break;
          }
          if (node->Value >= 0) {
            step.Flags |= kEmit;
            step.Symbol = static_cast<uint8_t>(node->Value);
            node = &Root;
          }
        }
        if (!(step.Flags & kFail)) step.Next = static_cast<uint8_t>(IndexOf(node));
        Steps[s][nibble] = step;
      }
    }
  }

 private:
  void Number(const TkfxHTTP2_Huffman_TreeNode* aNode, uint8_t aDepth, bool aAllOnes) {
    if (aNode->Value >= 0) return;
    States.push_back(aNode);
    Depth.push_back(aDepth);
    AllOnes.push_back(aAllOnes ? 1 : 0);
    if (aNode->Child0) Number(aNode->Child0.get(), aDepth + 1, false);
    if (aNode->Child1) Number(aNode->Child1.get(), aDepth + 1, aAllOnes);
  }
  size_t IndexOf(const TkfxHTTP2_Huffman_TreeNode* aNode) const {
    return static_cast<size_t>(std::find(States.begin(), States.end(), aNode) - States.begin());
  }
};

const THuffmanDecoder& HuffmanDecoder() {
  static const THuffmanDecoder decoder;
  return decoder;
}

constexpr int64_t kMaxInt32 = 2147483647;

[[noreturn]] void Raise(const char* aMessage) {
  throw Exception(aMessage);
}

}  // namespace

// --- dynamic table ---

void TkfxHTTP2_DynamicTable::BuildIndex() const {
  FNameIndex.Clear();
  FFieldIndex.Clear();
  for (size_t i = FCount; i-- > 0;) {  // oldest first, so the newest wins
    const TkfxHTTP2_TableEntry& e = FEntries[Slot(i)];
    const int64_t number = FNextNumber - 1 - static_cast<int64_t>(i);
    (void)e;
    FNameIndex.Set(FNameHashes[Slot(i)], number);
    FFieldIndex.Set(FFieldHashes[Slot(i)], number);
  }
  FIndexed = true;
}

void TkfxHTTP2_DynamicTable::EvictTo(int64_t aSize) {
  while (FUsedSize > aSize && FCount > 0) {
    TkfxHTTP2_TableEntry& oldest = FEntries[Slot(FCount - 1)];
    FUsedSize -= oldest.Size();
    if (FIndexed) {
      const int64_t number = FNextNumber - static_cast<int64_t>(FCount);
      const uint64_t nameHash = FNameHashes[Slot(FCount - 1)];
      FNameIndex.EraseIf(nameHash, [number](int64_t aNumber) { return aNumber == number; });
      FFieldIndex.EraseIf(FFieldHashes[Slot(FCount - 1)], [number](int64_t aNumber) { return aNumber == number; });
    }
    oldest.Name.clear();
    oldest.Value.clear();
    --FCount;
  }
  if (FCount == 0) FUsedSize = 0;
}

void TkfxHTTP2_DynamicTable::AddItem(const std::string& aName, const std::string& aValue) {
  const uint64_t nameHash = HashText(aName);
  AddHashed(aName, aValue, nameHash, HashField(nameHash, aValue), true);
}

void TkfxHTTP2_DynamicTable::AddHashed(const std::string& aName, const std::string& aValue, uint64_t aNameHash,
                                       uint64_t aFieldHash, bool aMayAlias) {
  const int64_t size = static_cast<int64_t>(aName.size() + aValue.size()) + 32;
  // Texts that may belong to an entry about to go are copied before
  // evicting; others go straight into the slot, reusing its storage.
  TkfxHTTP2_TableEntry entry;
  if (aMayAlias) entry = TkfxHTTP2_TableEntry(aName, aValue);
  EvictTo(std::max<int64_t>(FMaxTableSize - size, 0));
  if (size > FMaxTableSize) {
    if (FMaxTableSize > 0) Raise("Header Field greater than MaxTableSize");
    return;
  }
  if (FCount == FEntries.size()) {
    const size_t capacity = std::max<size_t>(16, FEntries.size() * 2);
    std::vector<TkfxHTTP2_TableEntry> entries(capacity);
    std::vector<uint64_t> hashes(capacity), fieldHashes(capacity);
    for (size_t i = 0; i < FCount; ++i) {
      entries[i] = std::move(FEntries[Slot(i)]);
      hashes[i] = FNameHashes[Slot(i)];
      fieldHashes[i] = FFieldHashes[Slot(i)];
    }
    FEntries.swap(entries);
    FNameHashes.swap(hashes);
    FFieldHashes.swap(fieldHashes);
    FStart = 0;
  }
  FStart = (FStart + FEntries.size() - 1) & (FEntries.size() - 1);
  FNameHashes[FStart] = aNameHash;
  FFieldHashes[FStart] = aFieldHash;
  if (aMayAlias) {
    FEntries[FStart] = std::move(entry);
  } else {
    FEntries[FStart].Name.assign(aName);
    FEntries[FStart].Value.assign(aValue);
  }
  ++FCount;
  FUsedSize += size;
  if (FIndexed) {
    FNameIndex.Set(aNameHash, FNextNumber);
    FFieldIndex.Set(aFieldHash, FNextNumber);
  }
  ++FNextNumber;
}

bool TkfxHTTP2_DynamicTable::DeleteItem(int aIndex) {
  if (aIndex < 0 || aIndex >= Count()) return false;
  FUsedSize -= FEntries[Slot(static_cast<size_t>(aIndex))].Size();
  for (size_t i = static_cast<size_t>(aIndex); i + 1 < FCount; ++i) {
    FEntries[Slot(i)] = std::move(FEntries[Slot(i + 1)]);
    FNameHashes[Slot(i)] = FNameHashes[Slot(i + 1)];
    FFieldHashes[Slot(i)] = FFieldHashes[Slot(i + 1)];
  }
  --FCount;
  if (FCount == 0) FUsedSize = 0;
  FIndexed = false;  // positions moved; rebuilt on the next search
  return true;
}

const TkfxHTTP2_TableEntry* TkfxHTTP2_DynamicTable::GetItem(int Index) const {
  if (Index < 0 || Index >= Count()) return nullptr;
  return &FEntries[Slot(static_cast<size_t>(Index))];
}

int TkfxHTTP2_DynamicTable::FindHashed(const TkfxHTTP2_TableEntry& aField, uint64_t aNameHash,
                                       uint64_t aFieldHash, bool& aIsFullMatch) const {
  if (!FIndexed) BuildIndex();
  aIsFullMatch = false;
  if (FCount == 0) return -1;
  const int full = PositionOf(NumberOf(FFieldIndex, aFieldHash));
  if (full >= 0) {
    const TkfxHTTP2_TableEntry& e = FEntries[Slot(static_cast<size_t>(full))];
    if (e.Name == aField.Name && e.Value == aField.Value) {
      aIsFullMatch = true;
      return full;
    }
  }
  const int byName = PositionOf(NumberOf(FNameIndex, aNameHash));
  if (byName >= 0 && FEntries[Slot(static_cast<size_t>(byName))].Name == aField.Name) return byName;
  // A hash shared by two names: fall back to a scan.
  for (size_t i = 0; byName >= 0 && i < FCount; ++i)
    if (FEntries[Slot(i)].Name == aField.Name) return static_cast<int>(i);
  return -1;
}

int TkfxHTTP2_DynamicTable::GetBestMatchingIndex(const TkfxHTTP2_TableEntry& aField,
                                                 bool& aIsFullMatch) const {
  const uint64_t nameHash = HashText(aField.Name);
  return FindHashed(aField, nameHash, HashField(nameHash, aField.Value), aIsFullMatch);
}

void TkfxHTTP2_DynamicTable::SetMaxTableSize(int32_t aValue) {
  if (aValue < FMaxTableSize) EvictTo(std::max<int32_t>(aValue, 0));
  FMaxTableSize = aValue;
}

// --- header table ---

TkfxHTTP2_DynamicTable& TkfxHTTP2_HeaderTable::DynamicTable() {
  if (!FDynamicTable) FDynamicTable = std::make_unique<TkfxHTTP2_DynamicTable>();
  return *FDynamicTable;
}

void TkfxHTTP2_HeaderTable::AddItem(const std::string& aName, const std::string& aValue) {
  DynamicTable().AddItem(aName, aValue);
}

const TkfxHTTP2_TableEntry* TkfxHTTP2_HeaderTable::GetItem(int Index) const {
  if (Index >= 1 && Index <= 61) return &StaticTable().Rows[static_cast<size_t>(Index)];
  if (Index >= 62 && FDynamicTable) return FDynamicTable->GetItem(Index - 62);
  return nullptr;
}

int TkfxHTTP2_HeaderTable::GetBestMatchingIndex(const TkfxHTTP2_TableEntry& aField,
                                                bool& aIsFullMatch) const {
  uint64_t nameHash, fieldHash;
  return FindField(aField, aIsFullMatch, nameHash, fieldHash);
}

void TkfxHTTP2_HeaderTable::AddHashed(const TkfxHTTP2_TableEntry& aField, uint64_t aNameHash, uint64_t aFieldHash) {
  DynamicTable().AddHashed(aField.Name, aField.Value, aNameHash, aFieldHash, false);
}

int TkfxHTTP2_HeaderTable::FindField(const TkfxHTTP2_TableEntry& aField, bool& aIsFullMatch, uint64_t& aNameHash,
                                     uint64_t& aFieldHash) const {
  const TStaticTable& table = StaticTable();
  const uint64_t nameHash = HashText(aField.Name);
  aNameHash = nameHash;
  aFieldHash = HashField(nameHash, aField.Value);
  const int first = table.Find(aField.Name, nameHash);
  if (first > 0) {
    for (int i = first; i <= 61 && table.Rows[static_cast<size_t>(i)].Name == aField.Name; ++i) {
      if (table.Rows[static_cast<size_t>(i)].Value == aField.Value) {
        aIsFullMatch = true;
        return i;
      }
    }
  }
  int dynamic = -1;
  aIsFullMatch = false;
  if (FDynamicTable) {
    dynamic = FDynamicTable->FindHashed(aField, nameHash, aFieldHash, aIsFullMatch);
    if (aIsFullMatch) return 62 + dynamic;
  }
  if (first > 0) return first;
  return dynamic >= 0 ? 62 + dynamic : -1;
}

// --- codec ---

TkfxHTTP2_HPACK::TkfxHTTP2_HPACK() = default;
TkfxHTTP2_HPACK::~TkfxHTTP2_HPACK() = default;

TkfxHTTP2_HeaderTable& TkfxHTTP2_HPACK::HeaderTable() {
  if (!FHeaderTable) FHeaderTable = std::make_unique<TkfxHTTP2_HeaderTable>();
  return *FHeaderTable;
}

TkfxHTTP2_TableEntry& TkfxHTTP2_HPACK::DecoderHeaderField() {
  if (!FDecoderHeaderField) FDecoderHeaderField = std::make_unique<TkfxHTTP2_TableEntry>();
  return *FDecoderHeaderField;
}

const TkfxHTTP2_Huffman_TreeNode& TkfxHTTP2_HPACK::HuffmanRoot() {
  return HuffmanDecoder().Root;
}

void TkfxHTTP2_HPACK::SetDynamicTableSize(int32_t Value) {
  if (Value == HeaderTable().MaxDynamicTableSize()) return;
  TableSizeUpdateFinalValue = Value;
  if (TableSizeUpdateMinValue == -1 || TableSizeUpdateMinValue > Value) TableSizeUpdateMinValue = Value;
  HeaderTable().SetMaxDynamicTableSize(Value);
}

// --- encoding ---

size_t TkfxHTTP2_HPACK::HuffmanLength(std::string_view aText) {
  size_t bits = 0;
  for (unsigned char c : aText) bits += kHuffmanLengths[c];
  return (bits + 7) / 8;
}

void TkfxHTTP2_HPACK::EncodeInteger(TIdBytes& aBuffer, uint8_t aFlags, int aPrefix, uint32_t aValue) {
  const uint32_t max = (1u << aPrefix) - 1;
  if (aValue < max) {
    aBuffer.push_back(static_cast<uint8_t>(aFlags | aValue));
    return;
  }
  aBuffer.push_back(static_cast<uint8_t>(aFlags | max));
  aValue -= max;
  while (aValue >= 0x80) {
    aBuffer.push_back(static_cast<uint8_t>(aValue & 0x7F) | 0x80);
    aValue >>= 7;
  }
  aBuffer.push_back(static_cast<uint8_t>(aValue));
}

void TkfxHTTP2_HPACK::EncodeString(TIdBytes& aBuffer, std::string_view aText) {
  size_t pos = aBuffer.size();
  uint8_t* out = Reserve(aBuffer, pos, aText.size() * 4 + 6);
  pos += PutString(out, aText);
  aBuffer.resize(pos);
}

uint8_t* TkfxHTTP2_HPACK::Reserve(TIdBytes& aBuffer, size_t& aPos, size_t aMore) {
  if (aBuffer.size() < aPos + aMore) aBuffer.resize(std::max(aPos + aMore, aBuffer.size() * 2));
  return aBuffer.data() + aPos;
}

namespace {
// Writes an integer at aOut; result: octets written (at most 6).
size_t PutInteger(uint8_t* aOut, uint8_t aFlags, int aPrefix, uint32_t aValue) {
  const uint32_t max = (1u << aPrefix) - 1;
  if (aValue < max) {
    aOut[0] = static_cast<uint8_t>(aFlags | aValue);
    return 1;
  }
  size_t n = 0;
  aOut[n++] = static_cast<uint8_t>(aFlags | max);
  aValue -= max;
  while (aValue >= 0x80) {
    aOut[n++] = static_cast<uint8_t>(aValue & 0x7F) | 0x80;
    aValue >>= 7;
  }
  aOut[n++] = static_cast<uint8_t>(aValue);
  return n;
}

size_t PutHuffman(uint8_t* aOut, std::string_view aText) {
  // Codes are at most 30 bits: with fewer than 32 bits pending, one more
  // code fits the 64-bit accumulator, and whole 32-bit words leave at once.
  uint64_t bits = 0;  // pending bits, right-aligned
  int count = 0;
  size_t n = 0;
  for (unsigned char c : aText) {
    const THuffmanCode& code = kHuffmanCodes[c];
    bits = bits << code.Length | code.Code;
    count += code.Length;
    if (count >= 32) {
      count -= 32;
      const auto word = static_cast<uint32_t>(bits >> count);
      aOut[n] = static_cast<uint8_t>(word >> 24);
      aOut[n + 1] = static_cast<uint8_t>(word >> 16);
      aOut[n + 2] = static_cast<uint8_t>(word >> 8);
      aOut[n + 3] = static_cast<uint8_t>(word);
      n += 4;
    }
  }
  while (count >= 8) {
    count -= 8;
    aOut[n++] = static_cast<uint8_t>(bits >> count);
  }
  if (count > 0) aOut[n++] = static_cast<uint8_t>(bits << (8 - count) | (0xFFu >> count));
  return n;
}
}  // namespace

size_t TkfxHTTP2_HPACK::PutString(uint8_t* aOut, std::string_view aText) {
  bool huffman = false;
  size_t length = aText.size();
  if (FHuffmanStrategy != TkfxHPackHuffmanStrategy::h2huNever) {
    const size_t coded = HuffmanLength(aText);
    if (FHuffmanStrategy == TkfxHPackHuffmanStrategy::h2huAlways || coded < length) {
      huffman = true;
      length = coded;
    }
  }
  size_t n = PutInteger(aOut, huffman ? 0x80 : 0x00, 7, static_cast<uint32_t>(length));
  if (huffman) return n + PutHuffman(aOut + n, aText);
  if (!aText.empty()) std::memcpy(aOut + n, aText.data(), aText.size());
  return n + aText.size();
}

void TkfxHTTP2_HPACK::Encode(TIdBytes& aBuffer, int aOffset,
                             std::span<const TkfxHTTP2_TableEntry> aHeaders, int& UsedBytes,
                             int& FieldCount) {
  size_t pos = static_cast<size_t>(std::max(aOffset, 0));
  FieldCount = 0;
  uint8_t* out = Reserve(aBuffer, pos, 12);
  if (TableSizeUpdateMinValue != -1 && TableSizeUpdateMinValue != TableSizeUpdateFinalValue) {
    pos += PutInteger(out, 0x20, 5, static_cast<uint32_t>(TableSizeUpdateMinValue));
    TableSizeUpdateMinValue = -1;
  }
  if (TableSizeUpdateFinalValue != -1) {
    pos += PutInteger(aBuffer.data() + pos, 0x20, 5, static_cast<uint32_t>(TableSizeUpdateFinalValue));
    TableSizeUpdateFinalValue = -1;
    TableSizeUpdateMinValue = -1;
  }
  TkfxHTTP2_HeaderTable& table = HeaderTable();
  for (const TkfxHTTP2_TableEntry& field : aHeaders) {
    bool full = false;
    uint64_t nameHash, fieldHash;
    const int index = table.FindField(field, full, nameHash, fieldHash);
    // Worst case: two prefixed integers and the strings Huffman coded at
    // 30 bits per octet.
    out = Reserve(aBuffer, pos, 18 + (field.Name.size() + field.Value.size()) * 4);
    size_t n = 0;
    if (full) {
      n = PutInteger(out, 0x80, 7, static_cast<uint32_t>(index));
    } else {
      uint8_t flags;
      int prefix;
      bool add = false;
      if (field.Sensitive) {
        flags = 0x10, prefix = 4;
      } else if (table.MaxDynamicTableSize() >= field.Size()) {
        flags = 0x40, prefix = 6, add = true;
      } else {
        flags = 0x00, prefix = 4;
      }
      if (index != -1) {
        n = PutInteger(out, flags, prefix, static_cast<uint32_t>(index));
      } else {
        out[n++] = flags;
        n += PutString(out + n, field.Name);
      }
      n += PutString(out + n, field.Value);
      if (add) table.AddHashed(field, nameHash, fieldHash);
    }
    pos += n;
    ++FieldCount;
  }
  aBuffer.resize(pos);
  UsedBytes = static_cast<int>(pos) - std::max(aOffset, 0);
}

// --- decoding ---

TkfxHTTP2_HPACK::TIntResult TkfxHTTP2_HPACK::DecodeInteger(std::span<const uint8_t> aBuffer, int& aPos,
                                                           int aEnd, bool aStart, int aPrefix) {
  if (aStart) {
    const uint32_t max = (1u << aPrefix) - 1;
    DecodeIntResult = aBuffer[static_cast<size_t>(aPos++)] & max;
    DecodeIntAcum = 0;
    DecodeIntDone = DecodeIntResult < max;
    if (DecodeIntDone) return TIntResult::irDone;
  }
  while (aPos < aEnd) {
    const uint8_t b = aBuffer[static_cast<size_t>(aPos++)];
    // Five continuation octets carry 35 bits, more than any valid value.
    if (DecodeIntAcum > 28) Raise("Invalid Integer.");
    DecodeIntResult += static_cast<int64_t>(b & 0x7F) << DecodeIntAcum;
    DecodeIntAcum += 7;
    if (DecodeIntResult > kMaxInt32) Raise("Invalid Integer.");
    if (!(b & 0x80)) {
      DecodeIntDone = true;
      return TIntResult::irDone;
    }
  }
  return TIntResult::irMore;
}

void TkfxHTTP2_HPACK::HuffmanDecode(const uint8_t* aData, size_t aLength, std::string& aResult) {
  const THuffmanDecoder& decoder = HuffmanDecoder();
  aResult.clear();
  // Every octet yields at most two symbols and codes are at least five bits.
  aResult.resize(aLength * 8 / 5 + 1);
  char* out = aResult.data();
  size_t n = 0;
  uint8_t state = 0;
  for (size_t i = 0; i < aLength; ++i) {
    const uint8_t octet = aData[i];
    for (int half = 0; half < 2; ++half) {
      const auto& step = decoder.Steps[state][half == 0 ? octet >> 4 : octet & 0x0F];
      if (step.Flags & THuffmanDecoder::kFail) {
        aResult.clear();
        if (step.Flags & THuffmanDecoder::kEOS) Raise("Encountered EOS in huffman code");
        Raise("Invalid huffman code");
      }
      if (step.Flags & THuffmanDecoder::kEmit) out[n++] = static_cast<char>(step.Symbol);
      state = step.Next;
    }
  }
  aResult.resize(n);
  if (decoder.Depth[state] > 7) Raise("Padding exceeds 7 bits");
  if (!decoder.AllOnes[state]) Raise("Invalid padding");
}

TkfxHTTP2_HPACK::TIntResult TkfxHTTP2_HPACK::DecodeString(std::span<const uint8_t> aBuffer, int& aPos,
                                                          int aEnd, bool aStart, std::string& aResult) {
  if (aStart) {
    DecodeStrDone = false;
    DecodeStrMaxLength = 1048576;
    DecodeStrHuffman = (aBuffer[static_cast<size_t>(aPos)] & 0x80) != 0;
    DecodeStrState = TkfxHPackState::hpstDecodeLength;
    if (DecodeInteger(aBuffer, aPos, aEnd, true, 7) == TIntResult::irMore) return TIntResult::irMore;
  } else if (DecodeStrState == TkfxHPackState::hpstDecodeLength) {
    if (DecodeInteger(aBuffer, aPos, aEnd, false, 7) == TIntResult::irMore) return TIntResult::irMore;
  }
  if (DecodeStrState == TkfxHPackState::hpstDecodeLength) {
    if (DecodeIntResult > DecodeStrMaxLength) Raise("Maximum string length exceeded");
    DecodeStrOctetLength = static_cast<int32_t>(DecodeIntResult);
    DecodeStrState = TkfxHPackState::hpstDecodeData;
    DecodeStrBufferOffset = 0;
    // The usual case: the whole string is at hand and is converted in place.
    if (aEnd - aPos >= DecodeStrOctetLength) {
      const uint8_t* data = aBuffer.data() + aPos;
      aPos += DecodeStrOctetLength;
      if (DecodeStrHuffman)
        HuffmanDecode(data, static_cast<size_t>(DecodeStrOctetLength), aResult);
      else
        aResult.assign(reinterpret_cast<const char*>(data), static_cast<size_t>(DecodeStrOctetLength));
      DecodeStrDone = true;
      DecodeStrState = TkfxHPackState::hpstStartDecode;
      return TIntResult::irDone;
    }
    DecodeStrBuffer.clear();
  }
  // Gathering a string cut by the end of the octets at hand.
  const int take = std::min(aEnd - aPos, DecodeStrOctetLength - DecodeStrBufferOffset);
  DecodeStrBuffer.insert(DecodeStrBuffer.end(), aBuffer.begin() + aPos, aBuffer.begin() + aPos + take);
  aPos += take;
  DecodeStrBufferOffset += take;
  if (DecodeStrBufferOffset < DecodeStrOctetLength) return TIntResult::irMore;
  if (DecodeStrHuffman)
    HuffmanDecode(DecodeStrBuffer.data(), DecodeStrBuffer.size(), aResult);
  else
    aResult.assign(DecodeStrBuffer.begin(), DecodeStrBuffer.end());
  DecodeStrBuffer.clear();
  DecodeStrDone = true;
  DecodeStrState = TkfxHPackState::hpstStartDecode;
  return TIntResult::irDone;
}

int TkfxHTTP2_HPACK::DoHandleStartOfPacket(std::span<const uint8_t> aBuffer, int aOffset) {
  using T = TkfxHPackDecoderTaskType;
  const uint8_t b = aBuffer[static_cast<size_t>(aOffset)];
  auto& t = DecoderTasks;
  DecoderCurTask = 0;
  auto set = [&t](T a, int32_t aPrefix, T b2, T c) {
    t[0]._Type = a;
    t[0].IntData = aPrefix;
    t[1]._Type = b2;
    t[1].IntData = 0;
    t[2]._Type = c;
  };
  if (b & 0x80) {
    set(T::hpttStartReadInt, 7, T::hpttHandleFullyIndexed, T::hpttNone);
    return 0;
  }
  if ((b & 0xC0) == 0x40) {
    DecoderAddToTable = true;
    if (b == 0x40) {
      set(T::hpttStartReadString, 0, T::hpttStartReadString, T::hpttHandleNoneIndexed);
      return 1;
    }
    set(T::hpttStartReadInt, 6, T::hpttStartReadString, T::hpttHandleNameIndexed);
    return 0;
  }
  if ((b & 0xE0) == 0x20) {
    if (!DecoderAllowTableSizeUpdates) {
      DecoderCurTask = -1;
      Raise("Table update is not allowed.");
    }
    set(T::hpttStartReadInt, 5, T::hpttHandleTableUpdate, T::hpttNone);
    return 0;
  }
  // 0000xxxx without indexing, 0001xxxx never indexed.
  DecoderSensitive = (b & 0xF0) == 0x10;
  if ((b & 0x0F) == 0) {
    set(T::hpttStartReadString, 0, T::hpttStartReadString, T::hpttHandleNoneIndexed);
    return 1;
  }
  set(T::hpttStartReadInt, 4, T::hpttStartReadString, T::hpttHandleNameIndexed);
  return 0;
}

void TkfxHTTP2_HPACK::AddDecoded(const std::string& aName, const std::string& aValue, bool aNameInTable) {
  // A name taken from a dynamic entry could go with that entry's eviction,
  // so it is copied first, into storage kept for the purpose; the value is
  // always a literal of the block.
  const std::string* name = &aName;
  if (aNameInTable) {
    FTableName.assign(aName);
    name = &FTableName;
  }
  const uint64_t nameHash = HashText(*name);
  HeaderTable().DynamicTable().AddHashed(*name, aValue, nameHash, HashField(nameHash, aValue), false);
}

void TkfxHTTP2_HPACK::EndField(const std::string& aName, const std::string& aValue, bool aNameInTable) {
  if (FBlockHeaders) {
    // Decoding a block: the line is built straight from the table or the
    // literals, without the detour through DecoderHeaderField.
    if (aName.empty())
      throw TkfxHTTP2Exception(Th2ErrorCodes::h2erCOMPRESSION_ERROR, "HPACK: field name cannot be empty.",
                               Th2ErrorResponse::h2errGO_AWAY, 0);
    FBlockListSize += static_cast<int64_t>(aName.size() + aValue.size()) + 32;
    if (FBlockListSize > MaxHeaderListSize) Raise("HPACK: header list exceeds the size limit.");
    FLine.assign(aName);
    FLine.push_back('=');
    FLine.append(aValue);
    FBlockHeaders->Add(FLine);
    const bool add = DecoderAddToTable;
    DecoderCurTask = -1;
    DecoderAddToTable = false;
    DecoderSensitive = false;
    DecoderAllowTableSizeUpdates = false;
    if (add) AddDecoded(aName, aValue, aNameInTable);
    return;
  }
  TkfxHTTP2_TableEntry& field = DecoderHeaderField();
  field.Name = aName;
  field.Value = aValue;
  field.Sensitive = DecoderSensitive;
  const bool add = DecoderAddToTable;
  DecoderCurTask = -1;
  DecoderAddToTable = false;
  DecoderSensitive = false;
  DecoderAllowTableSizeUpdates = false;
  if (add) AddDecoded(field.Name, field.Value, false);
}

int TkfxHTTP2_HPACK::DoExecutePendingTask(std::span<const uint8_t> aBuffer, int aOffset,
                                          bool& aExecuteMoreTaks) {
  using T = TkfxHPackDecoderTaskType;
  const int end = static_cast<int>(aBuffer.size());
  TkfxHTTP2_DecoderTask& task = DecoderTasks[static_cast<size_t>(DecoderCurTask)];
  int pos = aOffset;
  aExecuteMoreTaks = false;
  switch (task._Type) {
    case T::hpttStartReadInt:
    case T::hpttContReadInt: {
      if (pos >= end) return 0;
      if (DecodeInteger(aBuffer, pos, end, task._Type == T::hpttStartReadInt, task.IntData) ==
          TIntResult::irMore) {
        task._Type = T::hpttContReadInt;
        return pos - aOffset;
      }
      task.IntData = static_cast<int32_t>(DecodeIntResult);
      ++DecoderCurTask;
      aExecuteMoreTaks = true;
      return pos - aOffset;
    }
    case T::hpttStartReadString:
    case T::hpttContReadString: {
      if (pos >= end) return 0;
      if (DecodeString(aBuffer, pos, end, task._Type == T::hpttStartReadString, task.StringData) ==
          TIntResult::irMore) {
        task._Type = T::hpttContReadString;
        return pos - aOffset;
      }
      task.IntData = static_cast<int32_t>(task.StringData.size());
      ++DecoderCurTask;
      aExecuteMoreTaks = true;
      return pos - aOffset;
    }
    case T::hpttHandleFullyIndexed: {
      const TkfxHTTP2_TableEntry* entry = HeaderTable().GetItem(DecoderTasks[0].IntData);
      if (!entry) Raise("Table Header item not found.");
      // Never added to the table again: only literals are.
      EndField(entry->Name, entry->Value, true);
      return 0;
    }
    case T::hpttHandleNameIndexed: {
      const TkfxHTTP2_TableEntry* entry = HeaderTable().GetItem(DecoderTasks[0].IntData);
      if (!entry) Raise("Table Header item not found.");
      EndField(entry->Name, DecoderTasks[1].StringData, DecoderTasks[0].IntData >= 62);
      return 0;
    }
    case T::hpttHandleNoneIndexed:
      EndField(DecoderTasks[0].StringData, DecoderTasks[1].StringData, false);
      return 0;
    case T::hpttHandleTableUpdate: {
      const int32_t size = DecoderTasks[0].IntData;
      if (size > FDynamicTableSizeLimit) Raise("Table size limit exceeded");
      HeaderTable().SetMaxDynamicTableSize(size);
      DecoderCurTask = -1;
      aExecuteMoreTaks = true;
      return 0;
    }
    default:
      Raise("invalid task");
  }
}

int TkfxHTTP2_HPACK::Decode(std::span<const uint8_t> aBuffer, int aOffset) {
  const int end = static_cast<int>(aBuffer.size());
  int pos = aOffset;
  bool more = true;
  while (more) {
    if (DecoderCurTask == -1) {
      if (pos >= end) break;
      pos += DoHandleStartOfPacket(aBuffer, pos);
    } else {
      pos += DoExecutePendingTask(aBuffer, pos, more);
    }
  }
  return pos - aOffset;
}

void TkfxHTTP2_HPACK::Decode(std::span<const uint8_t> aBuffer, int aOffset, int aLength,
                             TStringList& aHeaders) {
  aHeaders.Clear();
  for (auto& task : DecoderTasks) {
    task._Type = TkfxHPackDecoderTaskType::hpttNone;
    task.StringData.clear();
  }
  DecoderCurTask = -1;
  DecoderAddToTable = false;
  DecoderSensitive = false;
  DecoderAllowTableSizeUpdates = true;
  DecodeStrState = TkfxHPackState::hpstStartDecode;
  const int end = std::min(aLength, static_cast<int>(aBuffer.size()));
  const std::span<const uint8_t> block = aBuffer.first(static_cast<size_t>(std::max(end, 0)));
  struct TBlockGuard {
    TStringList*& Target;
    ~TBlockGuard() { Target = nullptr; }
  } guard{FBlockHeaders};
  FBlockHeaders = &aHeaders;
  FBlockListSize = 0;
  int pos = aOffset;
  while (pos < end) {
    pos += Decode(block, pos);
    if (DecoderCurTask != -1) Raise("HPACK: header block ends inside a field.");
  }
}
