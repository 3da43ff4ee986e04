// The queued items and queues of the HTTP/2 client component beyond the
// basic moves: an item's body is its own copy, and an indexed queue stays
// consistent with its order through a long mixed run of operations
// checked against a plain model.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "http2/client/kfxHTTP2_Client_Requests.h"

namespace {

TEST(ClientRequestItem, BodyIsAnOwnCopyTakenWhole) {
  struct Case {
    const char* Name;
    std::string Body;
    int64_t Position;  // where the source stream stands when queued
  };
  const std::string large(1 << 20, 'x');
  for (const Case& c : {Case{"empty", "", 0}, Case{"small, read to the end", "{\"aps\":{}}", 10},
                        Case{"small, rewound", "{\"aps\":{}}", 0}, Case{"one MiB, half read", large, 1 << 19}}) {
    SCOPED_TRACE(c.Name);
    TMemoryStream source;
    if (!c.Body.empty()) source.WriteBuffer(c.Body.data(), static_cast<int64_t>(c.Body.size()));
    source.SetPosition(c.Position);
    auto item = TkfxHTTP2_Request::Create(Th2Methods::h2mePost, nullptr, nullptr, &source);
    EXPECT_EQ(source.Position(), c.Position);
    ASSERT_TRUE(item->HasBody());
    // Changing the source afterwards does not reach the item.
    source.SetPosition(0);
    if (!c.Body.empty()) source.WriteBuffer("#", 1);
    EXPECT_EQ(std::string(item->Body().begin(), item->Body().end()), c.Body);
  }
  // From bytes: a body flag without octets is an empty body, not none.
  const uint8_t bytes[] = {1, 2, 3};
  auto withBytes = TkfxHTTP2_Request::Create(Th2Methods::h2mePut, nullptr, nullptr, true, bytes);
  EXPECT_EQ(std::vector<uint8_t>(withBytes->Body().begin(), withBytes->Body().end()),
            (std::vector<uint8_t>{1, 2, 3}));
  auto emptyBody = TkfxHTTP2_Request::Create(Th2Methods::h2mePut, nullptr, nullptr, true, {});
  EXPECT_TRUE(emptyBody->HasBody());
  EXPECT_TRUE(emptyBody->Body().empty());
  // Without settings or URL the item reads as empty ones.
  EXPECT_EQ(emptyBody->URL(), "");
  EXPECT_EQ(emptyBody->Request().CustomHeaders.Count(), 0);
}

TEST(ClientRequests, MixedOperationsKeepOrderAndLookupsInStep) {
  for (const bool indexed : {true, false}) {
    SCOPED_TRACE(indexed ? "indexed" : "searched");
    TkfxHTTP2_Requests queue(indexed);
    queue.SetEnabled(true);
    std::deque<TkfxHTTP2_RequestKey> model;  // the expected order
    std::vector<TkfxHTTP2_RequestKey> gone;   // keys taken out for good
    std::mt19937 random(27);
    for (int step = 0; step < 3000; ++step) {
      const int op = static_cast<int>(random() % 6);
      if (op <= 1 || model.empty()) {
        auto item = TkfxHTTP2_Request::Create(Th2Methods::h2meGet, nullptr, nullptr, nullptr);
        const TkfxHTTP2_RequestKey key = item->Key();
        if (op == 0) {
          queue.Append(std::move(item));
          model.push_back(key);
        } else {
          queue.Prepend(std::move(item));
          model.push_front(key);
        }
      } else if (op == 2) {
        TkfxHTTP2_RequestPtr first = queue.TakeFirst();
        ASSERT_TRUE(first);
        ASSERT_EQ(first->Key(), model.front());
        model.pop_front();
        gone.push_back(first->Key());
      } else if (op == 3) {
        // Out of the middle, by key or by text, and back at the end.
        const size_t at = random() % model.size();
        const TkfxHTTP2_RequestKey key = model[at];
        TkfxHTTP2_RequestPtr item = step % 2 ? queue.Take(key) : queue.Take(key.Text());
        ASSERT_TRUE(item);
        ASSERT_EQ(item->Key(), key);
        model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
        queue.Append(std::move(item));
        model.push_back(key);
      } else if (op == 4) {
        const TkfxHTTP2_RequestKey key = model[random() % model.size()];
        TkfxHTTP2_Request* found = queue.Find(key.Text());
        ASSERT_TRUE(found);
        EXPECT_EQ(found->Key(), key);
      } else if (!gone.empty()) {
        const TkfxHTTP2_RequestKey key = gone[random() % gone.size()];
        EXPECT_EQ(queue.Find(key.Text()), nullptr);
        EXPECT_EQ(queue.Take(key), nullptr);
      }
      ASSERT_EQ(queue.Count(), static_cast<int>(model.size()));
      ASSERT_EQ(queue.Empty(), model.empty());
      if (!model.empty()) {
        ASSERT_EQ(queue.GetRequest()->Key(), model.front());
      }
    }
    // TakeAll gives the model's order and leaves nothing to find.
    std::deque<TkfxHTTP2_RequestPtr> all = queue.TakeAll();
    ASSERT_EQ(all.size(), model.size());
    for (size_t i = 0; i < all.size(); ++i) ASSERT_EQ(all[i]->Key(), model[i]);
    EXPECT_TRUE(queue.Empty());
    EXPECT_EQ(queue.Find(model.front().Text()), nullptr);
    EXPECT_EQ(queue.GetRequest(), nullptr);
    // Items taken out can go back in and be found again.
    queue.Append(std::move(all.back()));
    EXPECT_EQ(queue.Find(model.back().Text())->Key(), model.back());
  }
}

}  // namespace
