#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>

#include "base/kfxBase_Helpers.h"
#include "base/kfxWebSocket_Classes_SyncObjs.h"

namespace {

TEST(BaseHelpers, EscapeJSONString) {
  struct Case {
    std::string text, expected;
  } cases[] = {
      {"say \"hi\" / \xC3\xA9", "say \\\"hi\\\" \\/ \\u00E9"},
      {"\b\t\n\f\r\\", "\\b\\t\\n\\f\\r\\\\"},
      {std::string("\x01\x1F\x7F", 3), "\\u0001\\u001F\\u007F"},
      {"\xE2\x82\xAC", "\\u20AC"},                  // euro sign
      {"\xF0\x9F\x98\x80", "\\uD83D\\uDE00"},       // outside the basic plane: two units
      {"plain text 123 ~", "plain text 123 ~"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(EscapeJSONString(c.text), c.expected) << c.text;
}

TEST(BaseHelpers, TickDiffWrapsAt32Bits) {
  struct Case {
    uint64_t start, now, expected;
  } cases[] = {
      {4294967290u, 5, 11},
      {100, 250, 150},
      {0x1'0000'0010, 0x2'0000'0020, 0x10},  // only the low 32 bits count
      {7, 7, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(TickDiff(c.start, c.now), c.expected);
  const uint64_t before = TicksNow();
  EXPECT_GE(TicksNow(), before);
}

TEST(BaseHelpers, UnixTimeText) {
  EXPECT_EQ(UnixTimeText(EncodeDateTime(1970, 1, 1, 0, 1, 40, 0), true), "100");
  EXPECT_EQ(UnixTimeText(EncodeDateTime(1970, 1, 1, 0, 1, 40, 999), true), "100");
  const TDateTime utc = EncodeDateTime(2026, 12, 10, 3, 44, 36, 0);
  EXPECT_EQ(UnixTimeText(UTCToLocal(utc), false), "1796874276");
}

TEST(BaseHelpers, NewGUIDTextIs32UpperHexDigitsAndUnique) {
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    const std::string guid = NewGUIDText();
    EXPECT_TRUE(std::regex_match(guid, std::regex("[0-9A-F]{32}"))) << guid;
    seen.insert(guid);
  }
  EXPECT_EQ(seen.size(), 100u);
}

TEST(BaseHelpers, TextAndByteRoutines) {
  struct B64 {
    std::string text, expected;
  } b64[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"user:pa\xC3\x9F", "dXNlcjpwYcOf"}};
  for (const auto& c : b64) EXPECT_EQ(Base64EncodeText(c.text, true), c.expected);

  EXPECT_EQ(ReplaceText("a-b-c", "-", "+-"), "a+-b+-c");
  EXPECT_EQ(ReplaceText("Abc abc", "abc", "x"), "Abc x");  // case-sensitive
  EXPECT_EQ(ReplaceText("abc", "", "x"), "abc");

  EXPECT_EQ(UTF8BytesToString({'h', 0xC3, 0xA9}), "h\xC3\xA9");
  EXPECT_EQ(UTF8BytesToString({'a', 0xFF, 'b'}), "a\xEF\xBF\xBD" "b");  // invalid byte
  EXPECT_EQ(StringToUTF8Bytes("\xC3\xA9"), (TIdBytes{0xC3, 0xA9}));

  TIdBytes dest{1, 2};
  ConcatBytes({3, 4}, dest);
  EXPECT_EQ(dest, (TIdBytes{1, 2, 3, 4}));
  MoveBytes(dest.data(), dest.data() + 1, 2);  // overlapping ranges
  EXPECT_EQ(dest, (TIdBytes{1, 1, 2, 4}));
  MoveBytes(dest.data(), dest.data() + 2, 0);
  MoveBytes(dest.data(), dest.data() + 2, -1);
  EXPECT_EQ(dest, (TIdBytes{1, 1, 2, 4}));

  const std::string folder = ExecutableFolder();
  EXPECT_EQ(folder.back(), '/');
  EXPECT_TRUE(std::filesystem::is_directory(folder));
}

TEST(BaseHelpers, FreeObjectClearsTheReferenceFirst) {
  auto* list = new TkfxThreadList;
  FreeObject(list);
  EXPECT_EQ(list, nullptr);
  FreeObject(list);  // nothing for null
}

TEST(ThreadList, DuplicatesAndKeys) {
  int a = 0, b = 0;
  TkfxThreadList list;
  EXPECT_EQ(list.ListType(), TkfxThreadListType::tdlOnlyThread);
  list.SetListType(TkfxThreadListType::tdlThreadDictionary);
  EXPECT_EQ(list.ListType(), TkfxThreadListType::tdlOnlyThread);
  EXPECT_TRUE(list.IsEmpty());
  list.Add(&a);
  list.AddKey(&a, "ignored");  // dupIgnore: unchanged
  list.Add(&b);
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.GetValue("anything"), nullptr);

  list.SetDuplicates(TDuplicates::dupAccept);
  list.Add(&a);
  EXPECT_EQ(list.Count(), 3);
  list.Remove(&a);  // the first occurrence only
  {
    auto& items = list.LockList();
    EXPECT_EQ(items, (std::vector<void*>{&b, &a}));
    list.Delete(0);  // re-entrant: the holder may edit
    list.UnlockList();
  }
  EXPECT_EQ(list.Count(), 1);

  list.SetDuplicates(TDuplicates::dupError);
  try {
    list.Add(&a);
    FAIL() << "no exception";
  } catch (const EListError& e) {
    EXPECT_EQ(e.Message(), "List does not allow duplicates ($0" +
                               IntToHex(reinterpret_cast<uintptr_t>(&a), 0) + ")");
  }
  list.Clear();
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_THROW(list.Delete(0), EListError);
}

}  // namespace
