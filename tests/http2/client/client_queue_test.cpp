// The request queue of the HTTP/2 client component: item IDs as text and
// back, the body copied whole into the item, and the order and lookups of
// the queue through moves to the front and back and takes from the middle,
// indexed and not.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http2/client/kfxHTTP2_Client.h"

namespace {

TEST(ClientQueueKey, TextIsThirtyTwoHexDigitsAndParsesBack) {
  const TkfxHTTP2_RequestKey key = TkfxHTTP2_RequestKey::New();
  const std::string text = key.Text();
  ASSERT_EQ(text.size(), 32u);
  EXPECT_EQ(text.find_first_not_of("0123456789ABCDEF"), std::string::npos) << text;
  TkfxHTTP2_RequestKey parsed;
  ASSERT_TRUE(TkfxHTTP2_RequestKey::Parse(text, parsed));
  EXPECT_EQ(parsed, key);
  EXPECT_NE(TkfxHTTP2_RequestKey::New(), key);
  TkfxHTTP2_RequestKey fixed{0x0123456789ABCDEFull, 0xFEDCBA9876543210ull};
  EXPECT_EQ(fixed.Text(), "0123456789ABCDEFFEDCBA9876543210");
  // Lower case reads too; anything else is no ID.
  ASSERT_TRUE(TkfxHTTP2_RequestKey::Parse("0123456789abcdeffedcba9876543210", parsed));
  EXPECT_EQ(parsed, fixed);
  for (const std::string bad : {"", "0123456789ABCDEF", "0123456789ABCDEFFEDCBA987654321G",
                                "0123456789ABCDEFFEDCBA98765432100", " 123456789ABCDEFFEDCBA9876543210"})
    EXPECT_FALSE(TkfxHTTP2_RequestKey::Parse(bad, parsed)) << bad;
}

TEST(ClientQueueItem, KeepsTheWholeBodyAndSharesItsSettings) {
  auto settings = std::make_shared<TkfxHTTP2Request>();
  settings->CustomHeaders.Add("apns-topic: com.example.App");
  auto url = std::make_shared<const std::string>("https://127.0.0.1:2197/3/device/abc");
  TMemoryStream source;
  source.WriteBuffer("{\"aps\":{}}", 10);  // position left at the end
  auto item = TkfxHTTP2_Request::Create(Th2Methods::h2mePost, url, settings, &source);
  EXPECT_EQ(source.Position(), 10);
  ASSERT_TRUE(item->HasBody());
  EXPECT_EQ(std::string(item->Body().begin(), item->Body().end()), "{\"aps\":{}}");
  EXPECT_EQ(item->URL(), *url);
  EXPECT_EQ(item->SharedRequest().get(), settings.get());
  EXPECT_EQ(item->Request().CustomHeaders.Text(), settings->CustomHeaders.Text());
  EXPECT_EQ(item->Method(), Th2Methods::h2mePost);
  auto empty = TkfxHTTP2_Request::Create(Th2Methods::h2meGet, url, settings, nullptr);
  EXPECT_FALSE(empty->HasBody());
  EXPECT_TRUE(empty->Body().empty());
  EXPECT_NE(empty->ID(), item->ID());
}

// Items named by letters; the queue's order as one string.
std::string Order(TkfxHTTP2_Requests& aQueue, const std::vector<std::string>& aNames,
                  const std::vector<std::string>& aIDs) {
  std::string order;
  for (auto& item : aQueue.TakeAll()) {
    for (size_t i = 0; i < aIDs.size(); ++i)
      if (aIDs[i] == item->ID()) order += aNames[i];
    aQueue.Append(std::move(item));
  }
  return order;
}

TEST(ClientQueue, OrderAndLookupsThroughMovesAndTakes) {
  for (const bool indexed : {true, false}) {
    SCOPED_TRACE(indexed ? "indexed" : "searched");
    TkfxHTTP2_Requests queue(indexed);
    TkfxHTTP2_Requests other(indexed);
    const std::vector<std::string> names = {"a", "b", "c", "d", "e"};
    std::vector<std::string> ids;
    for (size_t i = 0; i < names.size(); ++i) {
      auto item = TkfxHTTP2_Request::Create(Th2Methods::h2meGet, nullptr, nullptr, nullptr);
      ids.push_back(item->ID());
      if (i < 3)
        queue.Append(std::move(item));
      else
        queue.Prepend(std::move(item));
    }
    EXPECT_EQ(Order(queue, names, ids), "edabc");
    EXPECT_EQ(queue.Count(), 5);
    // Lookups, takes from either end and the middle, moves to another queue.
    EXPECT_EQ(queue.Find(ids[1])->ID(), ids[1]);
    EXPECT_EQ(queue.Find(TkfxHTTP2_RequestKey::New().Text()), nullptr);
    EXPECT_EQ(queue.Find("not an id"), nullptr);
    other.Append(queue.Take(ids[0]));  // the middle
    EXPECT_EQ(Order(queue, names, ids), "edbc");
    other.Prepend(queue.Take(ids[2]));  // the last
    EXPECT_EQ(Order(queue, names, ids), "edb");
    TkfxHTTP2_RequestPtr first = queue.TakeFirst();
    EXPECT_EQ(first->ID(), ids[4]);
    EXPECT_EQ(queue.Take(ids[4]), nullptr);  // gone already
    other.Append(std::move(first));
    EXPECT_EQ(Order(queue, names, ids), "db");
    EXPECT_EQ(Order(other, names, ids), "cae");
    TkfxHTTP2_RequestKey key;
    ASSERT_TRUE(TkfxHTTP2_RequestKey::Parse(ids[0], key));
    EXPECT_EQ(other.Take(key)->ID(), ids[0]);
    EXPECT_EQ(Order(other, names, ids), "ce");
    // Back and forth without losing anything; Clear frees the rest.
    for (auto& item : other.TakeAll()) queue.Prepend(std::move(item));
    EXPECT_EQ(Order(queue, names, ids), "ecdb");
    EXPECT_TRUE(other.Empty());
    EXPECT_EQ(queue.GetRequest(), nullptr);  // not enabled
    queue.SetEnabled(true);
    EXPECT_EQ(queue.GetRequest()->ID(), ids[4]);
    queue.Clear();
    EXPECT_TRUE(queue.Empty());
    EXPECT_EQ(queue.GetRequest(), nullptr);
  }
}

}  // namespace
