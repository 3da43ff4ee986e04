// The JSON document model: what it writes for what was added, what it reads
// from well-formed, lenient and hostile texts, and that everything it writes
// is accepted by a strict parser written elsewhere.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <locale>

#include "jwt/kfxJSON.h"
#include "tests/jwt/python_json.h"

namespace {

std::string ReadAndWrite(const std::string& aText) {
  return NewJSONDocument(aText)->Text();
}

std::string Nested(const std::string& aOpen, const std::string& aClose, int aDepth) {
  std::string text;
  for (int i = 0; i < aDepth; ++i) text += aOpen;
  for (int i = 0; i < aDepth; ++i) text += aClose;
  return text;
}

const std::string kTricky = "q\" s/ b\\ \xc3\xa9 \x01\n\t";
struct TEscapeCase {
  bool EscapeStrings;
  std::string Name, Value, Written;
};
const TEscapeCase kEscapeCases[] = {
    // EscapeStrings escapes once when added: slash and non-ASCII too.
    {true, "k", kTricky, R"({"k":"q\" s\/ b\\ \u00E9 \u0001\n\t"})"},
    // Without it the writer still escapes what JSON requires.
    {false, "k", kTricky, "{\"k\":\"q\\\" s/ b\\\\ \xc3\xa9 \\u0001\\n\\t\"}"},
    {false, "a\"b", "v", R"({"a\"b":"v"})"},
    {true, "a\"b", "v", R"({"a\"b":"v"})"},
    // Malformed UTF-8 never reaches the output.
    {false, "k", "\xff\xc3", R"({"k":"\uFFFD\uFFFD"})"},
    // A text that is JSON and opens an object or array is embedded.
    {false, "k", R"({"a":[1,"x"]})", R"({"k":{"a":[1,"x"]}})"},
    {true, "k", R"([1, {"b":"/"}])", R"({"k":[1, {"b":"/"}]})"},
    // One that only looks like it is a text.
    {false, "k", "{not json", R"({"k":"{not json"})"},
    {false, "k", "[1,]", R"({"k":"[1,]"})"},
    {true, "k", R"({"a":1} x)", R"({"k":"{\"a\":1} x"})"},
};

struct TReadCase {
  std::string Input, Written;
};
const TReadCase kReadCases[] = {
    // Lenient forms.
    {R"({"a":1 "b":2})", R"({"a":1,"b":2})"},
    {"{\"a\":1,\n# a comment, with \"quotes\" and {\n\"b\":2}", R"({"a":1,"b":2})"},
    {R"({"a":+007.50E+2,"b":-0})", R"({"a":7.50E+2,"b":-0})"},
    {R"({"a":NuLl,"b":False})", R"({"a":null,"b":false})"},
    {R"( [1,2])", "{}"},  // an array only when "[" is the very first character
    {R"([1,2,])", "[1,2]"},
    {R"([[],{},[[]]])", "[[],{},[[]]]"},
    // Stops where it cannot go on and keeps what it has.
    {R"({"a":1,)", R"({"a":1})"},
    {R"({"a":1,"b")", R"({"a":1})"},
    {R"({"a":"unterminated)", "{}"},
    {R"({"a":tru})", "{}"},
    {R"({"a":nul)", "{}"},
    {R"({"a":1.})", "{}"},
    {R"({"a":-})", "{}"},
    {R"({"a":1e})", "{}"},
    {R"({"a":'x'})", "{}"},
    {R"({a:1})", "{}"},
    {R"({"a" 1})", "{}"},
    {"[[", "[[]]"},
    {"[[[[", "[[[[]]]]"},
    {R"({"a":[1,2)", R"({"a":[1,2]})"},
    // A failure inside a nested value ends the whole read.
    {R"({"a":[1,?],"b":2})", R"({"a":[1]})"},
    {R"({"a":{"x":},"b":2})", R"({"a":{}})"},
    // An unescaped quote always ends a string.
    {R"({"k":"C:\\","n":1})", R"({"k":"C:\\","n":1})"},
    {R"({"k":"a\\"x":1})", R"({"k":"a\\"})"},
    // Escapes: kept as read, surrogate pairs included; broken ones are
    // written so that the output stays JSON.
    {R"({"k":"\ud83d\ude00 \u00e9 \/"})", R"({"k":"\ud83d\ude00 \u00e9 \/"})"},
    {R"({"k":"\x \u12G4"})", R"({"k":"\\x \\u12G4"})"},
    {R"({"k":"\u12)", "{}"},
    {R"({"k":"\)", "{}"},
    {"{\"k\":\"tab\there\nline\"}", R"({"k":"tab\there\nline"})"},
    {"{\"\xff\":\"\xe2\x82\"}", R"({"\uFFFD":"\uFFFD\uFFFD"})"},
    {"", "{}"},
    {"#only a comment", "{}"},
};

TEST(JSONWriter, AddedPairsAreWrittenInOrderWithoutWhiteSpace) {
  TkfxJSONPtr json = NewJSONDocument();
  EXPECT_EQ(json->Text(), "{}");
  json->AddPair("text", "value");
  json->AddPair("big", int64_t{9007199254740993});
  json->AddPair("int", int32_t{-42});
  json->AddPair("yes", true);
  json->AddPair("float", 1.5);
  json->AddPair("none");
  EXPECT_EQ(json->Text(),
            R"({"text":"value","big":9007199254740993,"int":-42,"yes":true,"float":1.5,"none":null})");

  // A pair with a name already present replaces that node in place, with the
  // kind of the new value.
  json->AddPair("text", int32_t{7});
  json->AddPair("int", "now a text");
  json->AddPair("none", false);
  EXPECT_EQ(json->Text(),
            R"({"text":7,"big":9007199254740993,"int":"now a text","yes":true,"float":1.5,"none":false})");
  EXPECT_EQ(json->Count(), 6);
  EXPECT_EQ(json->Node("int")->JSONType(), TkfxJSONtype::kfxJSONString);

  json->Clear();
  json->SetIsArray(true);
  EXPECT_EQ(json->Text(), "[]");
  json->AddPair("", int32_t{1});
  json->AddPair("a");  // null in an array: written, not left out
  json->AddPair("b", "x");
  EXPECT_EQ(json->Text(), R"([1,null,"x"])");
}

TEST(JSONWriter, NumbersIgnoreTheLocaleAndNonFiniteValuesBecomeNull) {
  struct TCommaDecimal : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
  };
  const std::locale previous = std::locale::global(std::locale(std::locale(), new TCommaDecimal));
  TkfxJSONPtr json = NewJSONDocument();
  json->AddPair("half", 1.5);
  json->AddPair("thousand", int32_t{1000});
  json->AddPair("third", 1.0 / 3.0);
  json->AddPair("large", 1e21);
  json->AddPair("tiny", -2.5e-9);
  json->AddPair("max", std::numeric_limits<double>::max());  // 15 digits would overflow
  json->AddPair("nan", std::numeric_limits<double>::quiet_NaN());
  json->AddPair("inf", -std::numeric_limits<double>::infinity());
  const std::string text = json->Text();
  std::locale::global(previous);
  EXPECT_EQ(text,
            R"({"half":1.5,"thousand":1000,"third":0.333333333333333,"large":1e+21,)"
            R"("tiny":-2.5e-09,"max":1.7976931348623157e+308,"nan":null,"inf":null})");
}

TEST(JSONWriter, TextsAreAlwaysEscapedAndEmbeddedJSONOnlyWhenItIsJSON) {
  for (const TEscapeCase& c : kEscapeCases) {
    SCOPED_TRACE(c.Written);
    TkfxJSONPtr json = NewJSONDocument();
    json->EscapeStrings = c.EscapeStrings;
    json->AddPair(c.Name, c.Value);
    EXPECT_EQ(json->Text(), c.Written);
  }
}

TEST(JSONWriter, NodesChangedThroughTheirInterfaceStayValid) {
  TkfxJSONPtr json = NewJSONDocument(R"({"a":"x","b":[1,2],"c":{"d":1}})");
  TInterfaceRef<IkfxObjectJSON> a = json->GetNode("a");
  ASSERT_TRUE(a);
  a->SetValue(2.25);
  EXPECT_EQ(a->GetJSONType(), TkfxJSONtype::kfxJSONNumber);
  a->SetName("new \"name\"");
  TInterfaceRef<IkfxObjectJSON> b = json->GetNode("b");
  EXPECT_EQ(JSONValueText(b->GetValue()), "[1,2]");
  EXPECT_EQ(JSONValueText(json->GetNode("c")->GetValue()), R"({"d":1})");
  b->SetValue(std::string("text"));  // the nested list goes
  EXPECT_EQ(b->GetCount(), 0);
  // Kinds without a usable value write null, never an empty slot.
  json->GetNode("c")->SetJSONType(TkfxJSONtype::kfxJSONUndefined);
  json->AddPair("n", "12abc")->SetJSONType(TkfxJSONtype::kfxJSONNumber);
  json->AddPair("t", "maybe")->SetJSONType(TkfxJSONtype::kfxJSONBoolean);
  EXPECT_EQ(json->Text(),
            R"({"new \"name\"":2.25,"b":"text","c":null,"n":null,"t":null})");
}

// --- reading ---

TEST(JSONReader, KeepsTheTextFormOfWhatItReads) {
  const std::string text =
      R"({"s":"say \"hi\"","n":-1.5e3,"b":TRUE,"z":null,"a":[1,{"k":"v"}]})";
  TkfxJSONPtr json = NewJSONDocument(text);
  EXPECT_EQ(json->Text(), R"({"s":"say \"hi\"","n":-1.5e3,"b":true,"z":null,"a":[1,{"k":"v"}]})");
  ASSERT_EQ(json->Count(), 5);
  EXPECT_EQ(JSONValueText(json->Node("s")->Value()), R"(say \"hi\")");
  EXPECT_EQ(JSONValueText(json->Node("n")->Value()), "-1.5e3");
  EXPECT_EQ(json->Node("b")->JSONType(), TkfxJSONtype::kfxJSONBoolean);
  EXPECT_EQ(json->Node("z")->JSONType(), TkfxJSONtype::kfxJSONNull);
  TkfxObjectJSON* list = json->Node("a");
  ASSERT_EQ(list->JSONType(), TkfxJSONtype::kfxJSONList);
  ASSERT_EQ(list->Count(), 2);
  EXPECT_EQ(list->Item(1)->JSONType(), TkfxJSONtype::kfxJSONObject);
  EXPECT_EQ(JSONValueText(list->Item(1)->Node("k")->Value()), "v");
  EXPECT_EQ(json->Item(5), nullptr);
  EXPECT_EQ(json->Node("S"), nullptr);  // names are case-sensitive
  EXPECT_FALSE(json->GetItem(-1));
}

TEST(JSONReader, LenientMalformedAndHostileTexts) {
  for (const TReadCase& c : kReadCases) {
    SCOPED_TRACE(c.Input);
    EXPECT_EQ(ReadAndWrite(c.Input), c.Written);
  }
}

TEST(JSONReader, NestingIsCappedAndDeeperTextsEndTheRead) {
  const int limit = TkfxJSON::kMaxJSONDepth;
  const auto objects = [](int aDepth, const std::string& aInner) {
    return Nested("{\"a\":", "", aDepth) + aInner + std::string(static_cast<size_t>(aDepth), '}');
  };
  // Within the limit everything is read.
  EXPECT_EQ(ReadAndWrite(Nested("[", "]", limit)), Nested("[", "]", limit));
  EXPECT_EQ(ReadAndWrite(objects(limit, "1")), objects(limit, "1"));
  // Beyond it the read ends, and the documents hold what came before.
  EXPECT_EQ(ReadAndWrite(Nested("[", "]", limit + 1)), Nested("[", "]", limit));
  EXPECT_EQ(ReadAndWrite(objects(limit + 1, "1")), objects(limit - 1, "{}"));
  // Hostile texts are read in bounded time and space.
  EXPECT_EQ(ReadAndWrite(std::string(200000, '[')), Nested("[", "]", limit));
  EXPECT_EQ(ReadAndWrite(std::string(100000, '{')), "{}");
}

// --- lifetime ---

TEST(JSONLifetime, ReferencesKeepNodesAliveAndOwnersRequestDestruction) {
  TInterfaceRef<IkfxObjectJSON> kept;
  TInterfaceRef<IkfxJSON> nested;
  {
    TkfxJSONPtr json = NewJSONDocument(R"({"a":{"b":[1,2]},"c":3})");
    kept = json->GetNode("a");
    nested = kept->GetJSONObject();
    EXPECT_EQ(json->Node("a")->RefCount, 1);
    // Dropping the last reference does not free a node that is still listed.
    json->GetNode("c");
    EXPECT_EQ(json->Node("c")->RefCount, 0);
    EXPECT_EQ(JSONValueText(json->Node("c")->Value()), "3");
  }  // the document is destroyed; "a" and its nested document wait for their references
  auto* node = dynamic_cast<TkfxObjectJSON*>(kept.get());
  ASSERT_NE(node, nullptr);
  EXPECT_TRUE(node->DestroyObject);
  EXPECT_EQ(JSONValueText(kept->GetValue()), R"({"b":[1,2]})");
  EXPECT_EQ(nested->GetText(), R"({"b":[1,2]})");
  kept = nullptr;
  EXPECT_EQ(nested->GetCount(), 1);  // the nested document outlives its node
  nested = nullptr;

  // A component owner frees the documents it owns.
  auto owner = std::make_unique<TComponent>(nullptr);
  auto* owned = new TkfxJSON(owner.get());
  owned->Read(R"({"x":[1]})");
  TInterfaceRef<IkfxObjectJSON> x = owned->GetNode("x");
  owner.reset();
  EXPECT_EQ(JSONValueText(x->GetValue()), "[1]");
}

TEST(JSONLifetime, NodesMoveBetweenDocumentsAndCyclesAreRefused) {
  TkfxJSONPtr source = NewJSONDocument(R"({"a":1,"b":{"c":2}})");
  TkfxJSONPtr target = NewJSONDocument(R"({"x":true,"y":false})");
  TInterfaceRef<IkfxObjectJSON> b = source->GetNode("b");
  target->SetNode("y", b.get());  // moves: replaces "y", leaves the source
  EXPECT_EQ(source->Text(), R"({"a":1})");
  EXPECT_EQ(target->Text(), R"({"x":true,"b":{"c":2}})");
  target->SetNode("missing", source->GetNode("a").get());  // no node of that name: nothing
  target->SetItem(5, source->GetNode("a").get());
  EXPECT_EQ(source->Count(), 1);
  // A node cannot go into its own nested document.
  b->SetNode("c", b.get());
  b->GetJSONObject()->SetItem(0, b.get());
  EXPECT_EQ(target->Text(), R"({"x":true,"b":{"c":2}})");
  // Within one document, and removal with nullptr.
  target->SetItem(0, target->GetNode("b").get());
  EXPECT_EQ(target->Text(), R"({"b":{"c":2}})");
  target->SetNode("b", nullptr);
  EXPECT_EQ(target->Text(), "{}");
  b = nullptr;

  // A document handed to a node becomes its nested document.
  TkfxJSONPtr loose = NewJSONDocument("[1,2]");
  TInterfaceRef<IkfxObjectJSON> a = source->GetNode("a");
  a->SetJSONType(TkfxJSONtype::kfxJSONList);
  a->SetJSONObject(loose.release());
  EXPECT_EQ(source->Text(), R"({"a":[1,2]})");
}

// --- everything written, through a strict parser nobody here wrote ---

TEST(JSONRoundTrip, PythonAcceptsAllWrittenTextsAndReadsTheSameValues) {
  if (std::system("command -v python3 >/dev/null 2>&1") != 0) GTEST_SKIP() << "python3 not found";
  const std::vector<std::string> documents = {
      R"({"aps":{"alert":"Alert from kfxWebSockets!","badge":3,"sound":"default"}})",
      R"({"s":"\"\\\/\b\f\n\r\t\u0000\u001f\u00e9\ud83d\ude00","e":"","n":[0,-0,1e5,-1.25E-3,123456789012345678901]})",
      R"([true,false,null,[],{},[{"a":[{"b":null}]}]])",
      "  {  \"spaced\" :  [ 1 , 2 ] ,\"u\":\"unicode \xc3\xa9 \xe2\x9c\x93\"  }  ",
      R"({"":"empty name","k":{"":{"":[]}}})",
  };
  std::vector<std::string> texts = documents;
  for (const std::string& document : documents) texts.push_back(ReadAndWrite(document));

  // A document built from values of every kind, some changed afterwards.
  TkfxJSONPtr built = NewJSONDocument();
  built->EscapeStrings = true;
  built->AddPair("control", std::string("\x00\x01\x1f\x7f", 4));
  built->AddPair("quote\"name", "\\ \" / \xf0\x9f\x98\x80");
  built->AddObject("object", R"({"a":[1,{"b":"c"}]})");
  built->AddArray("list", "[1,[2,[3]],{}]");
  built->AddPair("min", std::numeric_limits<int64_t>::min());
  built->AddPair("max", std::numeric_limits<double>::max());
  built->AddPair("nan", std::nan(""));
  built->AddPair("embedded", "[{\"x\":null}]");
  built->AddPair("undefined", true)->SetJSONType(TkfxJSONtype::kfxJSONUndefined);
  built->AddPair("number", "1,5")->SetJSONType(TkfxJSONtype::kfxJSONNumber);
  built->GetNode("list")->GetItem(0)->SetName("named in a list");
  texts.push_back(built->Text());
  const size_t builtIndex = texts.size() - 1;

  // What the table tests write, and what a bounded deep read writes.
  for (const TEscapeCase& c : kEscapeCases) {
    TkfxJSONPtr json = NewJSONDocument();
    json->EscapeStrings = c.EscapeStrings;
    json->AddPair(c.Name, c.Value);
    texts.push_back(json->Text());
  }
  for (const TReadCase& c : kReadCases) texts.push_back(ReadAndWrite(c.Input));
  texts.push_back(ReadAndWrite(std::string(1000, '[')));

  const auto parsed = ParseWithPython(texts);
  ASSERT_TRUE(parsed.has_value()) << "python3 did not run";
  for (size_t i = documents.size(); i < texts.size(); ++i)
    EXPECT_TRUE((*parsed)[i].Valid) << texts[i] << ": " << (*parsed)[i].Canonical;
  // Reading and writing keeps the value of every well-formed document.
  for (size_t i = 0; i < documents.size(); ++i) {
    ASSERT_TRUE((*parsed)[i].Valid) << documents[i];
    EXPECT_EQ((*parsed)[documents.size() + i].Canonical, (*parsed)[i].Canonical)
        << texts[documents.size() + i];
  }
  EXPECT_EQ((*parsed)[builtIndex].Canonical,
            R"({"control": "\u0000\u0001\u001f\u007f", "embedded": [{"x": null}], )"
            R"("list": [1, [2, [3]], {}], "max": 1.7976931348623157e+308, )"
            R"("min": -9223372036854775808, "nan": null, "number": null, )"
            R"("object": {"a": [1, {"b": "c"}]}, "quote\"name": "\\ \" / \ud83d\ude00", )"
            R"("undefined": null})");
}

}  // namespace

// The strict check names the first fault and where it is.
TEST(JSONSyntaxError, NamesTheFirstFaultAndItsOffset) {
  const struct {
    std::string Text;
    std::string Error;
  } cases[] = {
      {R"({"a":[1,2.5e3,"x\u00e9",true,null]})", ""},
      {"  [1] ", ""},
      {R"({"aps":)", "unexpected end of JSON at offset 7"},
      {R"({"a":1} x)", "unexpected text after the object at offset 8"},
      {"[1] 2", "unexpected text after the array at offset 4"},
      {"{'a':1}", "expected '\"' at offset 1"},
      {R"({"a" 1})", "expected ':' at offset 5"},
      {R"({"a":1 "b":2})", "expected '}' at offset 7"},
      {"[1 2]", "expected ']' at offset 3"},
      {"{\"a\":\"x\x01\"}", "control character in a string at offset 7"},
      {R"({"a":"\q"})", "bad escape at offset 7"},
      {R"({"a":"\u12g4"})", "bad \\u escape at offset 10"},
      {"{\"a\":\"\xff\"}", "malformed UTF-8 in a string at offset 6"},
      {R"({"a":-})", "bad number at offset 6"},
      {R"({"a":tru})", "bad number at offset 5"},
      {"", "unexpected end of JSON at offset 0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(JSONSyntaxError(c.Text), c.Error) << c.Text;
    EXPECT_EQ(IsValidJSON(c.Text), c.Error.empty()) << c.Text;
  }
  // The nesting limit counts objects and arrays.
  EXPECT_EQ(JSONSyntaxError(Nested("[", "]", 3), 3), "");
  EXPECT_EQ(JSONSyntaxError(Nested("[", "]", 4), 3), "nested too deeply at offset 3");
}

// The one escaper: plain text, and text kept in its escaped form.
TEST(JSONEscaper, EscapesWhatJSONForbidsAndKeepsValidEscapesOfTheStoredForm) {
  EXPECT_EQ(JSONQuotedString(kTricky), "\"q\\\" s/ b\\\\ \xc3\xa9 \\u0001\\n\\t\"");
  EXPECT_EQ(JSONQuotedString("bad \xff utf-8"), "\"bad \\uFFFD utf-8\"");
  std::string kept;
  AppendJSONString(kept, R"(a\"b\u00e9\/ \x)", true);
  EXPECT_EQ(kept, R"(a\"b\u00e9\/ \\x)");
  // Whatever it writes is one JSON string.
  for (const std::string& text : {kTricky, std::string("\xc3("), std::string("\\u12")})
    EXPECT_TRUE(IsValidJSON(JSONQuotedString(text))) << text;
}
