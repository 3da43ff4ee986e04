#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "rtl/Classes.h"
#include "rtl/DateTime.h"
#include "rtl/StringList.h"
#include "rtl/Streams.h"
#include "tests/support/temp_dir.h"

namespace {

std::vector<std::string> Split(const std::string& aText, char aDelimiter, bool aStrict = false,
                               char aQuote = '"') {
  TStringList list;
  list.Delimiter = aDelimiter;
  list.StrictDelimiter = aStrict;
  list.QuoteChar = aQuote;
  list.SetDelimitedText(aText);
  return list.Lines();
}

using Lines = std::vector<std::string>;

TEST(StringList, DelimitedTextSplitting) {
  struct Case {
    std::string text;
    char delimiter;
    bool strict;
    Lines expected;
  } cases[] = {
      {"https://host/3/device/abc", '/', false, {"https:", "", "host", "3", "device", "abc"}},
      {"https://host/", '/', false, {"https:", "", "host", ""}},
      // Spaces and control characters separate items unless the split is strict.
      {"a b\tc/d", '/', false, {"a", "b", "c", "d"}},
      {"a b\tc/d", '/', true, {"a b\tc", "d"}},
      {"  a , b ", ',', false, {"a", "b"}},
      // A quote starts a quoted item; a doubled quote is one quote character.
      {"\"x y\"/z", '/', false, {"x y", "z"}},
      {"\"say \"\"hi\"\"\",next", ',', false, {"say \"hi\"", "next"}},
      {"\"ab\"cd/e", '/', false, {"ab", "cd", "e"}},
      {"\"unterminated", ',', false, {"unterminated"}},
      {"", ',', false, {}},
      {",", ',', false, {"", ""}},
      {"a,,b", ',', true, {"a", "", "b"}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Split(c.text, c.delimiter, c.strict), c.expected) << "text: " << c.text;
}

TEST(StringList, DelimitedTextJoiningQuotesWhatNeedsIt) {
  TStringList list;
  list.SetText("plain\r\nwith space\r\nwith,comma\r\nsay \"hi\"");
  EXPECT_EQ(list.CommaText(), "plain,\"with space\",\"with,comma\",\"say \"\"hi\"\"\"");
  TStringList back;
  back.SetCommaText(list.CommaText());
  EXPECT_EQ(back.Lines(), list.Lines());
  TStringList single;
  single.Add("");
  EXPECT_EQ(single.DelimitedText(), "\"\"");
}

TEST(StringList, TextUsesCRLFAndSplitsAnyLineBreak) {
  TStringList list;
  list.SetText("one\r\ntwo\nthree\rfour\r\n");
  EXPECT_EQ(list.Lines(), (Lines{"one", "two", "three", "four"}));
  EXPECT_EQ(list.Text(), "one\r\ntwo\r\nthree\r\nfour\r\n");
  list.SetText("");
  EXPECT_EQ(list.Count(), 0);
  list.SetText("\r\n\r\nx");
  EXPECT_EQ(list.Lines(), (Lines{"", "", "x"}));
}

TEST(StringList, NameValueAccess) {
  TStringList list;
  list.Add(":status=200");
  list.Add("content-type=application/json; charset=utf-8");
  list.Add("novalue");
  EXPECT_EQ(list.Values(":status"), "200");
  EXPECT_EQ(list.Values("Content-Type"), "application/json; charset=utf-8");  // names ignore case
  EXPECT_EQ(list.Names(2), "");
  EXPECT_EQ(list.Values("missing"), "");
  list.SetValues(":status", "404");
  EXPECT_EQ(list[0], ":status=404");
  list.SetValues("new", "1");
  EXPECT_EQ(list[3], "new=1");
  list.SetValues(":status", "");
  EXPECT_EQ(list.IndexOfName(":status"), -1);
  EXPECT_THROW(list.Strings(10), EStringListError);
}

TEST(StringList, LoadFromFileReadsLinesAndReportsMissingFiles) {
  const apns_test::TempDir folder("rtl-test");
  const std::filesystem::path path = folder.File("lines.txt");
  {
    TFileStream out(path.string(), fmCreate);
    const std::string text = "\xEF\xBB\xBF-----BEGIN-----\r\nabc\r\n-----END-----\r\n";
    out.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
  }
  TStringList list;
  list.LoadFromFile(path.string());
  EXPECT_EQ(list.Lines(), (Lines{"-----BEGIN-----", "abc", "-----END-----"}));
  std::filesystem::remove(path);
  try {
    list.LoadFromFile(path.string());
    FAIL() << "no exception";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open file \"" + path.string() + "\". No such file or directory");
  }
}

class TNamedThing : public TPersistent {};
class TOtherThing : public TPersistent {};

TEST(Persistent, AssignFromAForeignClassRaisesTheAssignmentError) {
  TNamedThing target;
  TOtherThing source;
  try {
    target.Assign(&source);
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "Cannot assign a TOtherThing to a TNamedThing");
    EXPECT_EQ(e.ClassName(), "EConvertError");
  }
  try {
    target.Assign(nullptr);
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "Cannot assign a nil to a TNamedThing");
  }
  TStringList lines;
  EXPECT_THROW(lines.Assign(&source), EConvertError);
}

// Records the notifications it receives.
class TWatcher : public TComponent {
 public:
  using TComponent::TComponent;
  std::vector<std::pair<TComponent*, TOperation>>* Log = nullptr;
  TComponent* Watched = nullptr;
  bool LoadedCalled = false;

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override {
    TComponent::Notification(AComponent, Operation);
    if (Log) Log->emplace_back(AComponent, Operation);
    if (Operation == TOperation::opRemove && AComponent == Watched) Watched = nullptr;
  }
  void Loaded() override {
    TComponent::Loaded();
    LoadedCalled = true;
  }
};

TEST(Component, OwnerFreesChildrenAndFreeNotificationClearsReferences) {
  std::vector<std::pair<TComponent*, TOperation>> log;
  auto* owner = new TComponent(nullptr);
  auto* child = new TWatcher(owner);
  child->SetName("Child1");
  EXPECT_EQ(child->Owner(), owner);
  EXPECT_EQ(owner->FindComponent("child1"), child);

  // An independent watcher is told when the child goes.
  TWatcher watcher(nullptr);
  watcher.Log = &log;
  watcher.Watched = child;
  child->FreeNotification(&watcher);
  owner->Free();
  EXPECT_EQ(watcher.Watched, nullptr);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].second, TOperation::opRemove);

  // A watcher that goes first unregisters itself.
  auto* target = new TComponent(nullptr);
  {
    TWatcher shortLived(nullptr);
    target->FreeNotification(&shortLived);
  }
  target->Free();  // must not touch the destroyed watcher
}

TEST(Component, StateFollowsDesigningLoadingAndDestroying) {
  auto* owner = new TComponent(nullptr);
  auto* child = new TWatcher(owner);
  owner->SetDesigning(true);
  EXPECT_TRUE(child->ComponentState().Contains(TComponentStateItem::csDesigning));
  child->BeginLoading();
  EXPECT_TRUE(child->ComponentState().Contains(TComponentStateItem::csLoading));
  child->EndLoading();
  EXPECT_FALSE(child->ComponentState().Contains(TComponentStateItem::csLoading));
  EXPECT_TRUE(child->LoadedCalled);
  owner->BeforeDestruction();
  EXPECT_TRUE(child->ComponentState().Contains(TComponentStateItem::csDestroying));
  delete owner;
}

enum class TColour { clRed, clGreen };

class TOptions : public TPersistent {
 public:
  int64_t Port = 80;
  TColour Colour = TColour::clRed;
  TStringList Protocols;
  void GetPublishedProperties(TPublishedProperties& aList) override {
    aList.push_back(PublishInteger("Port", [this] { return Port; }, [this](int64_t v) { Port = v; }));
    aList.push_back(PublishEnum<TColour>("Colour", {"clRed", "clGreen"}, [this] { return Colour; },
                                         [this](TColour v) { Colour = v; }));
    aList.push_back(PublishObject("Protocols", [this] { return &Protocols; }));
    aList.push_back(PublishString("Version", [] { return std::string("1.0"); }, nullptr));
  }
};

class TConfigured : public TWatcher {
 public:
  using TWatcher::TWatcher;
  bool Active = true;
  std::string Caption;
  TOptions Options;
  void GetPublishedProperties(TPublishedProperties& aList) override {
    TComponent::GetPublishedProperties(aList);
    aList.push_back(PublishBoolean("Active", [this] { return Active; }, [this](bool v) { Active = v; }));
    aList.push_back(PublishString("Caption", [this] { return Caption; },
                                  [this](const std::string& v) { Caption = v; }));
    aList.push_back(PublishObject("Options", [this] { return &Options; }));
  }
};

TEST(Component, StoredDescriptionSetsNestedPublishedProperties) {
  TConfigured root(nullptr);
  auto* child = new TConfigured(&root);
  child->SetName("Client1");
  ReadComponentDescription(&root,
                           "// window\n"
                           "Caption = 'It''s a caption'\n"
                           "Client1.Active = False\n"
                           "Client1.Options.Port = 443\n"
                           "Client1.Options.Colour = clGreen\n"
                           "Client1.Options.Protocols.Strings = 'h2'\n");
  EXPECT_EQ(root.Caption, "It's a caption");
  EXPECT_FALSE(child->Active);
  EXPECT_EQ(child->Options.Port, 443);
  EXPECT_EQ(child->Options.Colour, TColour::clGreen);
  EXPECT_EQ(child->Options.Protocols.Lines(), (Lines{"h2"}));
  EXPECT_TRUE(child->LoadedCalled);
  std::string value;
  ASSERT_TRUE(child->GetPublishedValue("Options.Colour", value));
  EXPECT_EQ(value, "clGreen");
  ASSERT_TRUE(child->GetPublishedValue("Options.Version", value));  // read-only
  EXPECT_EQ(value, "1.0");
  EXPECT_FALSE(child->SetPublishedValue("Options.Version", "2.0"));

  struct Bad {
    const char* text;
    const char* message;
  } bad[] = {
      {"Client1.Options.Nothing = 1", "Line 1: unknown property Options.Nothing"},
      {"Client1.Options.Port = eighty", "Line 1: 'eighty' is not a valid integer value"},
      {"\nClient1.Options.Colour = clBlue", "Line 2: Invalid property value 'clBlue'"},
      {"Client1.Active", "Line 1: '=' expected: Client1.Active"},
  };
  for (const auto& b : bad) {
    try {
      ReadComponentDescription(&root, b.text);
      ADD_FAILURE() << "no exception for " << b.text;
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), b.message);
    }
  }
}

TEST(Streams, MemoryStreamReadsWritesSeeksAndCopies) {
  TMemoryStream stream;
  stream.WriteBuffer("hello world", 11);
  EXPECT_EQ(stream.Size(), 11);
  EXPECT_EQ(stream.Position(), 11);
  stream.SetPosition(6);
  char word[5];
  stream.ReadBuffer(word, 5);
  EXPECT_EQ(std::string(word, 5), "world");
  EXPECT_THROW(stream.ReadBuffer(word, 1), EReadError);
  EXPECT_EQ(stream.Read(word, 5), 0);

  TMemoryStream copy;
  stream.SetPosition(3);
  copy.CopyFrom(stream, 0);  // 0 copies the whole source from its start
  EXPECT_EQ(std::string(copy.Bytes().begin(), copy.Bytes().end()), "hello world");
  copy.SetSize(5);
  EXPECT_EQ(copy.Position(), 5);
  EXPECT_EQ(std::string(copy.Bytes().begin(), copy.Bytes().end()), "hello");
}

TEST(Streams, MemoryStreamPositionStaysInRangeNearTheLargestOffset) {
  constexpr int64_t kMax = INT64_MAX;
  TMemoryStream stream;
  stream.WriteBuffer("abc", 3);
  // Seeks clamp to 0 .. the largest offset instead of wrapping.
  struct SeekCase {
    int64_t start;
    int64_t offset;
    TSeekOrigin origin;
    int64_t expected;
  };
  const SeekCase seeks[] = {
      {0, kMax, TSeekOrigin::soBeginning, kMax},
      {kMax - 1, 10, TSeekOrigin::soCurrent, kMax},
      {1, INT64_MIN, TSeekOrigin::soCurrent, 0},
      {0, kMax, TSeekOrigin::soEnd, kMax},
      {0, -10, TSeekOrigin::soEnd, 0},
  };
  for (const SeekCase& c : seeks) {
    stream.SetPosition(c.start);
    EXPECT_EQ(stream.Seek(c.offset, c.origin), c.expected) << c.start << " + " << c.offset;
  }
  // A write whose end would pass the largest offset is refused; nothing changes.
  stream.SetPosition(kMax - 1);
  EXPECT_THROW(stream.Write("defg", 4), EWriteError);
  EXPECT_THROW(stream.WriteBuffer("defg", 4), EWriteError);
  EXPECT_EQ(stream.Position(), kMax - 1);
  EXPECT_EQ(stream.Size(), 3);
  EXPECT_EQ(std::string(stream.Bytes().begin(), stream.Bytes().end()), "abc");
}

TEST(Streams, FileStreamErrorsNameTheFile) {
  EXPECT_THROW(TFileStream("/nonexistent-folder/x", fmCreate), EFCreateError);
  try {
    TFileStream("/", fmOpenRead);
    FAIL() << "a folder opened as a file";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open file \"/\". Is a directory");
  }
}

TEST(DateTime, EncodesDecodesAndConvertsUnixTime) {
  struct Case {
    int y, mo, d, h, mi, s, ms;
    double days;
    int64_t unix;
  } cases[] = {
      {1899, 12, 30, 0, 0, 0, 0, 0.0, -2209161600},
      {1970, 1, 1, 0, 1, 40, 0, 25569.0 + 100.0 / 86400, 100},
      {2026, 12, 10, 3, 44, 36, 999, 0, 1796874276},
      {2000, 2, 29, 12, 0, 0, 0, 36585.5, 951825600},
  };
  for (const auto& c : cases) {
    const TDateTime dt = EncodeDateTime(c.y, c.mo, c.d, c.h, c.mi, c.s, c.ms);
    if (c.days != 0.0 || c.y == 1899) {
      EXPECT_NEAR(dt, c.days, 1e-9);
    }
    EXPECT_EQ(DateTimeToUnix(dt), c.unix) << c.y;  // fractions of a second are dropped
    const TDateTimeParts p = DecodeDateTime(dt);
    EXPECT_EQ((std::vector<int>{p.Year, p.Month, p.Day, p.Hour, p.Minute, p.Second, p.MilliSecond}),
              (std::vector<int>{c.y, c.mo, c.d, c.h, c.mi, c.s, c.ms}));
  }
  EXPECT_EQ(UnixToDateTime(100), EncodeDateTime(1970, 1, 1, 0, 1, 40, 0));
}

TEST(DateTime, LocalTimeFollowsTheTimeZoneRules) {
  // Run in a fixed zone with daylight saving, whatever the machine's zone is.
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  const TDateTime winterUTC = EncodeDateTime(2026, 1, 15, 12, 0, 0, 0);
  const TDateTime summerUTC = EncodeDateTime(2026, 7, 15, 12, 0, 0, 0);
  EXPECT_EQ(DecodeDateTime(UTCToLocal(winterUTC)).Hour, 13);
  EXPECT_EQ(DecodeDateTime(UTCToLocal(summerUTC)).Hour, 14);
  EXPECT_NEAR(LocalToUTC(UTCToLocal(summerUTC)), summerUTC, 1e-9);
  EXPECT_EQ(DateTimeToUnix(UTCToLocal(winterUTC), false), DateTimeToUnix(winterUTC));
  EXPECT_NEAR(DateTimeToUnix(Now(), false), DateTimeToUnix(NowUTC()), 2);
  if (old)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

TEST(System, ConversionsAndClassNames) {
  EXPECT_EQ(StrToInt(" 443"), 443);
  EXPECT_EQ(StrToInt("-7"), -7);
  EXPECT_EQ(StrToInt64("$FF"), 255);
  for (const char* bad : {"", "12a", "4294967296", "--1", "0x"}) {
    EXPECT_THROW(StrToInt(bad), EConvertError) << bad;
  }
  try {
    StrToInt("abc");
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'abc' is not a valid integer value");
  }
  EXPECT_EQ(IntToHex(0x2C, 4), "002C");
  EXPECT_EQ(TStringList().ClassName(), "TStringList");
  EXPECT_EQ(ExceptionMessage(std::make_exception_ptr(EListError("x"))), "x");
  EXPECT_EQ(ExceptionClassName(std::make_exception_ptr(EListError("x"))), "EListError");
  EXPECT_EQ(Trim(" \t a b \r\n"), "a b");
}

}  // namespace
