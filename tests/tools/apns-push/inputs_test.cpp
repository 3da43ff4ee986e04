// Payloads and device tokens: what passes, what is refused with which line,
// and the read-ahead that decides between one notification and a batch.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "tools/apns-push/error.h"
#include "tools/apns-push/inputs.h"

namespace {

using namespace apns_push;

std::string PayloadProblem(const std::string& aText) {
  try {
    CheckedPayload(aText, "--payload");
  } catch (const EUsageError& e) {
    return e.Message();
  }
  return "";
}

TEST(ApnsPushPayload, OneJSONObjectOfAtMost4096Octets) {
  EXPECT_EQ(CheckedPayload("{\"aps\":{\"alert\":\"hi \xc3\xa9\"}}\r\n\n", "x"),
            "{\"aps\":{\"alert\":\"hi \xc3\xa9\"}}");
  const std::string big = "{\"a\":\"" + std::string(4096 - 8, 'x') + "\"}";
  EXPECT_EQ(PayloadProblem(big), "");
  const struct {
    std::string Text, Problem;
  } cases[] = {
      {"\n", "payload (--payload) is empty"},
      {"{\"a\":\"" + std::string(4096, 'x') + "\"}",
       "payload (--payload) is 4104 octets; APNs accepts at most 4096"},
      {"[1]", "payload (--payload) is not a JSON object: not a JSON object"},
      {"{\"aps\":", "payload (--payload) is not a JSON object: unexpected end of JSON at offset 7"},
      {"{\"a\":1} x",
       "payload (--payload) is not a JSON object: unexpected text after the object at offset 8"},
      // The server would refuse what is not UTF-8; it is found before sending.
      {"{\"a\":\"caf\xe9\"}",
       "payload (--payload) is not a JSON object: malformed UTF-8 in a string at offset 9"},
  };
  for (const auto& c : cases) EXPECT_EQ(PayloadProblem(c.Text), c.Problem);
}

TEST(ApnsPushTokens, LinesAreTrimmedCommentsSkippedAndMalformedOnesMarked) {
  const std::string good(64, 'a');
  std::istringstream in("# batch\n\n  " + good + " \r\nzz\n\t" + std::string(66, 'B') + "\n");
  TokenSource source(in, "tokens.txt");
  const auto first = source.Next();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->Token, good);
  EXPECT_EQ(first->Where, "tokens.txt:3");
  EXPECT_FALSE(first->Malformed);
  const auto second = source.Next();
  EXPECT_EQ(second->Where, "tokens.txt:4");
  EXPECT_TRUE(second->Malformed);
  EXPECT_TRUE(WellFormedToken(source.Next()->Token));
  EXPECT_FALSE(source.Next());
  for (const std::string& t : {std::string(63, 'a'), std::string(65, 'a'), std::string(202, 'a'),
                               std::string(63, 'a') + "g"})
    EXPECT_FALSE(WellFormedToken(t)) << t;
}

TEST(ApnsPushTokens, TheFeedReadsAheadOnlyAsFarAsItNeeds) {
  const std::string good(64, 'c');
  TokenSource arguments(std::vector<std::string>{"bad", good, "bad", good, good, good});
  // One more sendable than the connections tells a batch from one notification.
  TokenFeed feed(arguments, 2);
  EXPECT_EQ(feed.SendableAhead(), 3u);
  EXPECT_EQ(feed.Ahead(), 5u);
  EXPECT_FALSE(feed.AllReadAhead());
  size_t count = 0;
  while (feed.Next()) ++count;
  EXPECT_EQ(count, 6u);

  TokenSource one(std::vector<std::string>{"bad", good});
  TokenFeed single(one, 1);
  EXPECT_EQ(single.SendableAhead(), 1u);
  EXPECT_TRUE(single.AllReadAhead());
  EXPECT_EQ(single.Ahead(), 2u);
}

}  // namespace
