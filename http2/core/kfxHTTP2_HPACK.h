// The header compression codec of HTTP/2 (RFC 7541): static and dynamic
// tables, prefixed integers, string literals with Huffman coding, the encoder
// with its indexing policy and size-update announcements, and a resumable
// decoder driven by a small task list.
//
// Names and values are octet strings: the encoder writes the octets of a
// std::string as they are and the decoder hands back exactly the octets it
// received, so nothing is lost or re-encoded on the way (UTF-8 text passes
// through unchanged).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/kfxBase_Hash.h"
#include "rtl/StringList.h"
#include "rtl/System.h"

enum class TkfxHPackHuffmanStrategy { h2huNever, h2huAlways, h2huIfSmaller };
enum class TkfxHPackState { hpstStartDecode, hpstDecodeLength, hpstDecodeData };
enum class TkfxHPackDecoderTaskType {
  hpttNone, hpttStartReadInt, hpttContReadInt, hpttStartReadString, hpttContReadString,
  hpttHandleFullyIndexed, hpttHandleNameIndexed, hpttHandleNoneIndexed, hpttHandleTableUpdate
};

// One header field. A plain record, copied by value. LocalVar marks a row of
// the static table: such rows are shared constants that nobody frees.
class TkfxHTTP2_TableEntry {
 public:
  TkfxHTTP2_TableEntry() = default;
  TkfxHTTP2_TableEntry(std::string aName, std::string aValue, bool aSensitive = false)
      : Name(std::move(aName)), Sensitive(aSensitive), Value(std::move(aValue)) {}

  int NameLength() const { return static_cast<int>(Name.size()); }
  int ValueLength() const { return static_cast<int>(Value.size()); }
  // The size the field takes in a dynamic table.
  int64_t Size() const { return static_cast<int64_t>(Name.size() + Value.size()) + 32; }

  bool LocalVar = false;
  std::string Name;
  bool Sensitive = false;
  std::string Value;
};

// The table of fields both ends add to, newest first (position 0).
class TkfxHTTP2_DynamicTable : public TObject {
 public:
  // Evicts the oldest entries to make room, then puts the field in front.
  // A field larger than a non-zero maximum empties the table and raises
  // "Header Field greater than MaxTableSize"; with a maximum of 0 the table
  // stays empty and nothing is added.
  void AddItem(const std::string& aName, const std::string& aValue);
  // Removes the entry at aIndex; false when there is none.
  bool DeleteItem(int aIndex);
  // The entry at position Index, or null past the end.
  const TkfxHTTP2_TableEntry* GetItem(int Index) const;
  const TkfxHTTP2_TableEntry* Item(int Index) const { return GetItem(Index); }
  // The position of the newest entry with the same name and value
  // (aIsFullMatch true), else of the newest with the same name, else -1.
  int GetBestMatchingIndex(const TkfxHTTP2_TableEntry& aField, bool& aIsFullMatch) const;
  int Count() const { return static_cast<int>(FCount); }

  int32_t MaxTableSize() const { return FMaxTableSize; }
  // Lowering the maximum evicts the oldest entries until the rest fit.
  void SetMaxTableSize(int32_t aValue);
  int32_t UsedSize() const { return static_cast<int32_t>(FUsedSize); }

 private:
  friend class TkfxHTTP2_HeaderTable;
  friend class TkfxHTTP2_HPACK;
  // Maps the hash of a name, or of a name and value, to the insertion
  // number of the newest entry with it; hits are verified by the caller.
  using THashIndex = TkfxHashIndex<uint64_t, int64_t, TkfxHashIdentity>;
  static int64_t NumberOf(const THashIndex& aIndex, uint64_t aHash) {
    const int64_t* number = aIndex.Find(aHash);
    return number ? *number : -1;
  }

  // aMayAlias: the texts may be those of an entry of this table.
  void AddHashed(const std::string& aName, const std::string& aValue, uint64_t aNameHash, uint64_t aFieldHash,
                 bool aMayAlias);
  void EvictTo(int64_t aSize);
  int FindHashed(const TkfxHTTP2_TableEntry& aField, uint64_t aNameHash, uint64_t aFieldHash,
                 bool& aIsFullMatch) const;
  void BuildIndex() const;
  int PositionOf(int64_t aNumber) const {
    return aNumber < 0 ? -1 : static_cast<int>(FNextNumber - 1 - aNumber);
  }
  size_t Slot(size_t aPosition) const { return (FStart + aPosition) & (FEntries.size() - 1); }

  // A ring of entries, newest at FStart; its size is a power of two. The name
  // hashes sit in a parallel array so that lookups scan them quickly.
  std::vector<TkfxHTTP2_TableEntry> FEntries;
  std::vector<uint64_t> FNameHashes;
  std::vector<uint64_t> FFieldHashes;
  size_t FStart = 0;
  size_t FCount = 0;
  // Entry i (0 = newest) has insertion number FNextNumber - 1 - i. The
  // indexes are kept only once the table has been searched (an encoder's).
  int64_t FNextNumber = 0;
  mutable bool FIndexed = false;
  mutable THashIndex FNameIndex, FFieldIndex;
  int32_t FMaxTableSize = 4096;
  int64_t FUsedSize = 0;
};

// The static rows (1..61) and the dynamic entries (62 and up) as one index space.
class TkfxHTTP2_HeaderTable : public TObject {
 public:
  void AddItem(const std::string& aName, const std::string& aValue);
  // 1..61: the static row; 62 and up: dynamic entry Index - 62; otherwise null.
  const TkfxHTTP2_TableEntry* GetItem(int Index) const;
  // A full match in the static rows, then in the dynamic entries (newest
  // first); failing that the first static row with the name, then the newest
  // dynamic entry with it; -1 when the name is in neither.
  int GetBestMatchingIndex(const TkfxHTTP2_TableEntry& aField, bool& aIsFullMatch) const;

  TkfxHTTP2_DynamicTable& DynamicTable();

 private:
  friend class TkfxHTTP2_HPACK;
  // GetBestMatchingIndex that also hands back the hashes it computed, and
  // AddItem that reuses them.
  int FindField(const TkfxHTTP2_TableEntry& aField, bool& aIsFullMatch, uint64_t& aNameHash,
                uint64_t& aFieldHash) const;
  // For the encoder: aField is the caller's, never an entry of the table.
  void AddHashed(const TkfxHTTP2_TableEntry& aField, uint64_t aNameHash, uint64_t aFieldHash);

 public:
  int DynamicTableLength() { return DynamicTable().Count(); }
  int32_t MaxDynamicTableSize() { return DynamicTable().MaxTableSize(); }
  void SetMaxDynamicTableSize(int32_t aValue) { DynamicTable().SetMaxTableSize(aValue); }
  int32_t UsedDynamicTableSize() { return DynamicTable().UsedSize(); }

 private:
  std::unique_ptr<TkfxHTTP2_DynamicTable> FDynamicTable;
};

// A node of the Huffman decoding tree: a leaf holds a symbol (0..256), an
// inner node -1.
class TkfxHTTP2_Huffman_TreeNode : public TObject {
 public:
  std::unique_ptr<TkfxHTTP2_Huffman_TreeNode> Child0, Child1;
  int32_t Value = -1;
};

struct TkfxHTTP2_DecoderTask {
  TkfxHPackDecoderTaskType _Type = TkfxHPackDecoderTaskType::hpttNone;
  int32_t IntData = 0;
  std::string StringData;
};

class TkfxHTTP2_HPACK : public TObject {
 public:
  TkfxHTTP2_HPACK();
  ~TkfxHTTP2_HPACK() override;

  // Encodes aHeaders in order into aBuffer from aOffset. The buffer grows as
  // needed and is cut to aOffset + UsedBytes afterwards.
  void Encode(TIdBytes& aBuffer, int aOffset, std::span<const TkfxHTTP2_TableEntry> aHeaders,
              int& UsedBytes, int& FieldCount);

  // Decodes the complete header block aBuffer[aOffset, aLength) into aHeaders
  // (cleared first; one "name=value" line per field, in block order). Size
  // updates are taken only before the first field; a block that ends inside
  // a representation raises "HPACK: header block ends inside a field.".
  void Decode(std::span<const uint8_t> aBuffer, int aOffset, int aLength, TStringList& aHeaders);
  // Decodes from aOffset up to one complete field (with any size updates
  // before it); result: octets consumed. The field is then in
  // DecoderHeaderField(); a representation cut by the end of aBuffer stays
  // pending and the next call continues it.
  int Decode(std::span<const uint8_t> aBuffer, int aOffset);

  // The decoder's two steps; both work on aBuffer up to aBuffer.size().
  virtual int DoHandleStartOfPacket(std::span<const uint8_t> aBuffer, int aOffset);
  virtual int DoExecutePendingTask(std::span<const uint8_t> aBuffer, int aOffset,
                                   bool& aExecuteMoreTaks);

  // Sets the encoder's dynamic table maximum and remembers the size update
  // that the next Encode announces.
  void SetDynamicTableSize(int32_t Value);

  int DynamicTableLength() { return HeaderTable().DynamicTableLength(); }
  int32_t DynamicTableSize() { return HeaderTable().MaxDynamicTableSize(); }
  int32_t DynamicTableSizeLimit() const { return FDynamicTableSizeLimit; }
  void SetDynamicTableSizeLimit(int32_t aValue) { FDynamicTableSizeLimit = aValue; }
  int32_t DynamicTableUsedSize() { return HeaderTable().UsedDynamicTableSize(); }
  TkfxHPackHuffmanStrategy HuffmanStrategy() const { return FHuffmanStrategy; }
  void SetHuffmanStrategy(TkfxHPackHuffmanStrategy aValue) { FHuffmanStrategy = aValue; }

  TkfxHTTP2_HeaderTable& HeaderTable();
  TkfxHTTP2_TableEntry& DecoderHeaderField();
  // True while no representation is half decoded.
  bool DecoderIdle() const { return DecoderCurTask == -1; }
  // The root of the Huffman decoding tree: built once, on first use, and
  // shared by every codec since it never changes.
  const TkfxHTTP2_Huffman_TreeNode& HuffmanRoot();

  // The largest header list a block may decode to (names, values and 32
  // octets per field): a few octets can name large table entries many times.
  int64_t MaxHeaderListSize = 16 * 1024 * 1024;

  // Size updates the encoder still owes (-1: none).
  int32_t TableSizeUpdateMinValue = -1;
  int32_t TableSizeUpdateFinalValue = -1;

  // Encoding helpers, public for tests: an integer with an aPrefix-bit prefix
  // and the flag bits aFlags, and a string literal under the current strategy.
  static void EncodeInteger(TIdBytes& aBuffer, uint8_t aFlags, int aPrefix, uint32_t aValue);
  void EncodeString(TIdBytes& aBuffer, std::string_view aText);
  // The Huffman-coded length of aText in octets.
  static size_t HuffmanLength(std::string_view aText);

 private:
  enum class TIntResult { irDone, irMore };
  TIntResult DecodeInteger(std::span<const uint8_t> aBuffer, int& aPos, int aEnd, bool aStart,
                           int aPrefix);
  TIntResult DecodeString(std::span<const uint8_t> aBuffer, int& aPos, int aEnd, bool aStart,
                          std::string& aResult);
  void HuffmanDecode(const uint8_t* aData, size_t aLength, std::string& aResult);
  // aNameInTable: aName is the text of a dynamic table entry.
  void EndField(const std::string& aName, const std::string& aValue, bool aNameInTable);
  // Adds a decoded field to the table, its texts copied straight into the
  // storage of a free slot.
  void AddDecoded(const std::string& aName, const std::string& aValue, bool aNameInTable);
  std::string FTableName;  // a name from the table, kept while the table changes
  TStringList* FBlockHeaders = nullptr;  // the list a block decode fills
  int64_t FBlockListSize = 0;
  uint8_t* Reserve(TIdBytes& aBuffer, size_t& aPos, size_t aMore);
  size_t PutString(uint8_t* aOut, std::string_view aText);

  int64_t DecodeIntResult = 0;
  int32_t DecodeIntAcum = 0;
  bool DecodeIntDone = false;
  bool DecodeStrDone = false;
  bool DecodeStrHuffman = false;
  TkfxHPackState DecodeStrState = TkfxHPackState::hpstStartDecode;
  int32_t DecodeStrOctetLength = 0;
  TIdBytes DecodeStrBuffer;
  int32_t DecodeStrBufferOffset = 0;
  int32_t DecodeStrMaxLength = 1048576;
  bool DecoderAllowTableSizeUpdates = true;
  int32_t DecoderCurTask = -1;
  std::unique_ptr<TkfxHTTP2_TableEntry> FDecoderHeaderField;
  std::array<TkfxHTTP2_DecoderTask, 3> DecoderTasks;
  bool DecoderAddToTable = false;
  bool DecoderSensitive = false;
  std::unique_ptr<TkfxHTTP2_HeaderTable> FHeaderTable;
  int32_t FDynamicTableSizeLimit = 4096;
  TkfxHPackHuffmanStrategy FHuffmanStrategy = TkfxHPackHuffmanStrategy::h2huIfSmaller;
  std::string FLine;  // reused for the "name=value" lines of a block
};
