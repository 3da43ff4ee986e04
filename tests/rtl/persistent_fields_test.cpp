// The field table of a persistent class: one list drives Assign and the
// published properties.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "rtl/PersistentFields.h"
#include "rtl/StringList.h"

namespace {

enum class TColour { Red, Green, Blue };
const std::vector<std::string> kColourNames{"Red", "Green", "Blue"};

class TInner : public TPersistent {
 public:
  void Assign(const TPersistent* Source) override {
    if (!Fields().AssignFrom(*this, Source)) TPersistent::Assign(Source);
  }
  void GetPublishedProperties(TPublishedProperties& aList) override { Fields().Publish(*this, aList); }

  std::string Text;

 private:
  static const TPersistentFields<TInner>& Fields() {
    static const auto fields = TPersistentFields<TInner>().Field("Text", &TInner::Text);
    return fields;
  }
};

class TSample : public TPersistent {
 public:
  void Assign(const TPersistent* Source) override {
    if (!Fields().AssignFrom(*this, Source)) TPersistent::Assign(Source);
  }
  void GetPublishedProperties(TPublishedProperties& aList) override { Fields().Publish(*this, aList); }

  TInner& Lazy() {
    if (!FLazy) FLazy = std::make_unique<TInner>();
    return *FLazy;
  }

  std::string Name;
  bool Enabled = false;
  int32_t Count = 0;
  int64_t Big = 0;
  TColour Colour = TColour::Red;
  TInner Embedded;
  std::unique_ptr<TInner> Owned = std::make_unique<TInner>();
  std::unique_ptr<TInner> FLazy;
  int Hidden = 0;
  int Even = 0;  // published as is; the setter keeps it even

 private:
  static const TPersistentFields<TSample>& Fields() {
    using C = TSample;
    static const auto fields =
        TPersistentFields<C>()
            .Field("Name", &C::Name)
            .Field("Enabled", &C::Enabled)
            .Field("Count", &C::Count)
            .Field("Big", &C::Big)
            .Enum("Colour", kColourNames, &C::Colour)
            .Object("Embedded", &C::Embedded)
            .Object("Owned", &C::Owned)
            .Object("Lazy", &C::Lazy)
            .Unpublished(&C::Hidden)
            .Custom([](C& aDest, const C& aSource) { aDest.Even = aSource.Even; },
                    [](C& aObject) {
                      return PublishInteger(
                          "Even", [&aObject] { return aObject.Even; },
                          [&aObject](int64_t v) { aObject.Even = static_cast<int>(v & ~1); });
                    });
    return fields;
  }
};

TEST(PersistentFields, OneTableDrivesPublishingAndAssign) {
  TSample source;
  TPublishedProperties list;
  source.GetPublishedProperties(list);
  std::vector<std::string> names;
  for (const auto& p : list) names.push_back(p.Name);
  // In the order of the table; the unpublished field is not among them.
  EXPECT_EQ(names, (std::vector<std::string>{"Name", "Enabled", "Count", "Big", "Colour", "Embedded",
                                             "Owned", "Lazy", "Even"}));

  const std::vector<std::pair<std::string, std::string>> values{
      {"Name", "n"},          {"Enabled", "True"},    {"Count", "-7"},
      {"Big", "8589934592"},  {"Colour", "Blue"},     {"Embedded.Text", "e"},
      {"Owned.Text", "o"},    {"Lazy.Text", "l"},     {"Even", "5"}};
  for (const auto& [path, value] : values) ASSERT_TRUE(source.SetPublishedValue(path, value)) << path;
  EXPECT_EQ(source.Even, 4);
  source.Hidden = 9;

  TSample copy;
  copy.Assign(&source);
  for (const auto& [path, value] : values) {
    std::string copied;
    ASSERT_TRUE(copy.GetPublishedValue(path, copied)) << path;
    std::string original;
    ASSERT_TRUE(source.GetPublishedValue(path, original)) << path;
    EXPECT_EQ(copied, original) << path;
  }
  EXPECT_EQ(copy.Hidden, 9);
  // Owned objects are copied into the target's own, not shared.
  EXPECT_NE(copy.Owned.get(), source.Owned.get());
  EXPECT_FALSE(copy.SetPublishedValue("Hidden", "1"));
  EXPECT_THROW(copy.SetPublishedValue("Colour", "Purple"), EConvertError);
}

TEST(PersistentFields, ForeignSourceCopiesNothingAndSelfAssignKeepsValues) {
  TSample sample;
  sample.Name = "kept";
  TStringList foreign;
  EXPECT_THROW(sample.Assign(&foreign), EConvertError);
  EXPECT_EQ(sample.Name, "kept");
  sample.Assign(&sample);
  EXPECT_EQ(sample.Name, "kept");
}

}  // namespace
