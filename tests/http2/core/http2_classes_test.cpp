#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "http2/core/kfxHTTP2_Classes.h"

namespace {

using Lines = std::vector<std::string>;

TEST(HTTP2Tables, MethodNamesAndErrorDescriptions) {
  EXPECT_STREQ(MethodName(Th2Methods::h2meHead), "HEAD");
  EXPECT_STREQ(MethodName(Th2Methods::h2mePost), "POST");
  EXPECT_STREQ(MethodName(Th2Methods::h2mePatch), "PATCH");
  EXPECT_EQ(ErrorDescription(0), "no error");
  EXPECT_EQ(ErrorDescription(static_cast<int>(Th2ErrorCodes::h2erENHANCE_YOUR_CALM)), "enhance your calm");
  EXPECT_EQ(ErrorDescription(13), "required");
  EXPECT_EQ(ErrorDescription(14), "");
  EXPECT_EQ(ErrorDescription(-1), "");
  EXPECT_EQ(ErrorDescription(0xFFFFFFFFll), "");

  const TkfxHTTP2Exception e(Th2ErrorCodes::h2erFLOW_CONTROL_ERROR, "window overflow",
                             Th2ErrorResponse::h2errRST_STREAM, 5);
  EXPECT_EQ(e.Message(), "window overflow");
  EXPECT_EQ(e.ErrorCode, Th2ErrorCodes::h2erFLOW_CONTROL_ERROR);
  EXPECT_EQ(e.ErrorResponse, Th2ErrorResponse::h2errRST_STREAM);
  EXPECT_EQ(e.StreamIdentifier, 5);
  EXPECT_EQ(e.ClassName(), "TkfxHTTP2Exception");
}

TEST(HTTP2Request, DefaultsAssignAndCookies) {
  TkfxHTTP2Request source;
  EXPECT_EQ(source.Accept, "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8");
  EXPECT_EQ(source.UserAgent, "Mozilla/5.0 (kfxWebSockets 4.5.1)");
  EXPECT_EQ(source.Method, Th2Methods::h2meHead);
  EXPECT_EQ(source.GetCookiesHeader(), "");

  source.ID = "req-1";
  source.Method = Th2Methods::h2mePost;
  source.URL = "/3/device/abc";
  source.Redirect = true;
  source.BearerToken = "token";
  source.Date = 45000.5;
  source.CustomHeaders.Add("apns-topic: com.example");
  source.AddCookie("a", "1");
  source.AddCookie("b", "2=3");
  EXPECT_EQ(source.GetCookiesHeader(), "a=1;b=2=3");

  TkfxHTTP2Request copy;
  copy.CustomHeaders.Add("stale: line");
  copy.Assign(&source);
  EXPECT_EQ(copy.ID, "req-1");
  EXPECT_EQ(copy.Method, Th2Methods::h2mePost);
  EXPECT_EQ(copy.URL, "/3/device/abc");
  EXPECT_TRUE(copy.Redirect);
  EXPECT_EQ(copy.BearerToken, "token");
  EXPECT_EQ(copy.Date, 45000.5);
  EXPECT_EQ(copy.CustomHeaders.Lines(), (Lines{"apns-topic: com.example"}));
  EXPECT_EQ(copy.GetCookiesHeader(), "a=1;b=2=3");
  copy.CustomHeaders.Add("x: y");
  EXPECT_EQ(source.CustomHeaders.Count(), 1);

  copy.ClearCookies();
  EXPECT_EQ(copy.GetCookiesHeader(), "");
  TkfxHTTP2Settings other;
  EXPECT_THROW(copy.Assign(&other), EConvertError);

  // The published part is addressable by name for stored descriptions.
  ASSERT_TRUE(copy.SetPublishedValue("UserAgent", "Mozilla/5.0 (kfxWebSockets 4.4.9)"));
  ASSERT_TRUE(copy.SetPublishedValue("BearerAuthentication", "True"));
  EXPECT_EQ(copy.UserAgent, "Mozilla/5.0 (kfxWebSockets 4.4.9)");
  EXPECT_TRUE(copy.BearerAuthentication);
  EXPECT_FALSE(copy.SetPublishedValue("URL", "/x"));  // public, not published
}

TEST(HTTP2Response, StatusCharsetAndContent) {
  struct Case {
    Lines headers;
    int status;
    std::string charset;
  } cases[] = {
      {{":status=404", "content-type=application/json; charset=utf-8"}, 404, "utf-8"},
      {{":status=200", "content-type=text/html; Charset=\"ISO-8859-1\""}, 200, "ISO-8859-1"},
      {{"content-type=text/plain"}, 0, ""},
      {{":status=abc"}, 0, ""},
      {{}, 0, ""},
  };
  for (const auto& c : cases) {
    TkfxHTTP2Response response;
    for (const auto& line : c.headers) response.Headers().Add(line);
    EXPECT_EQ(response.Status(), c.status);
    EXPECT_EQ(response.Charset(), c.charset);
  }

  TkfxHTTP2Response response;
  TMemoryStream source;
  source.WriteBuffer("{\"reason\":\"BadDeviceToken\"}", 27);
  source.SetPosition(0);
  response.SetContent(&source);
  EXPECT_EQ(response.Content().Size(), 27);
  EXPECT_EQ(response.Content().Position(), 0);
  EXPECT_EQ(source.Position(), 0);

  TMemoryStream empty;
  response.SetContent(&empty);
  EXPECT_EQ(response.Content().Size(), 0);
  source.SetPosition(0);
  response.SetContent(&source);
  response.SetContent(nullptr);
  EXPECT_EQ(response.Content().Size(), 0);

  response.Headers().Add(":status=200");
  response.Content().WriteBuffer("x", 1);
  response.Clear();
  EXPECT_EQ(response.Headers().Count(), 0);
  EXPECT_EQ(response.Content().Size(), 0);
}

TEST(HTTP2Settings, DefaultsAndAssign) {
  TkfxHTTP2Settings settings;
  EXPECT_FALSE(settings.EnableConnectProtocol);
  EXPECT_TRUE(settings.EnablePush);
  EXPECT_EQ(settings.HeaderTableSize, 4096);
  EXPECT_EQ(settings.InitialWindowSize, 65535);
  EXPECT_EQ(settings.MaxConcurrentStreams, 2147483647);
  EXPECT_EQ(settings.MaxFrameSize, 16384);
  EXPECT_EQ(settings.MaxHeaderListSize, 2147483647);
  TkfxHTTP2Settings other;
  other.EnableConnectProtocol = true;
  other.EnablePush = false;
  other.HeaderTableSize = 1;
  other.InitialWindowSize = 2;
  other.MaxConcurrentStreams = 3;
  other.MaxFrameSize = 4;
  other.MaxHeaderListSize = 5;
  settings.Assign(&other);
  EXPECT_TRUE(settings.EnableConnectProtocol);
  EXPECT_FALSE(settings.EnablePush);
  EXPECT_EQ((std::vector<int>{settings.HeaderTableSize, settings.InitialWindowSize,
                              settings.MaxConcurrentStreams, settings.MaxFrameSize, settings.MaxHeaderListSize}),
            (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_THROW(settings.SetPublishedValue("MaxFrameSize", "99999999999"), EConvertError);
  // EnableConnectProtocol is public only: copied above, but stored descriptions
  // do not carry it.
  EXPECT_FALSE(settings.SetPublishedValue("EnableConnectProtocol", "False"));
  EXPECT_TRUE(settings.EnableConnectProtocol);
  ASSERT_TRUE(settings.SetPublishedValue("EnablePush", "True"));
}

TEST(HTTP2NotifyObjects, OverloadsFillTheirFieldsAndKeepOwnCopies) {
  TkfxHTTP2ObjectList list;
  TObject connection, raw;
  TStringList headers;
  list.AddNotifyObject(&connection);
  try {
    throw TkfxHTTP2Exception(Th2ErrorCodes::h2erPROTOCOL_ERROR, "boom",
                             Th2ErrorResponse::h2errGO_AWAY, 0);
  } catch (const Exception&) {
    list.AddNotifyObject(&connection, "failed", std::current_exception());
  }  // the record is delivered after this handler has ended
  auto goAway = std::make_unique<TkfxHTTP2GoAwayProperty>();
  goAway->AdditionalDebugData = "{\"reason\":\"Shutdown\"}";
  goAway->ErrorCode = 0;
  goAway->ErrorDescription = ErrorDescription(0);
  goAway->LastStreamId = 7;
  list.AddNotifyObject(&connection, goAway.get());
  goAway.reset();
  list.AddNotifyObject(&connection, &raw, TIdBytes{1, 2});
  list.AddNotifyObject(&connection, &headers);
  list.AddNotifyObject(&connection, &raw);
  auto rst = std::make_unique<TkfxHTTP2RSTStreamProperty>();
  rst->ErrorCode = 8;
  rst->ErrorDescription = "cancel";
  list.AddNotifyObject(&connection, rst.get());
  rst.reset();  // the notify object keeps its own copy

  auto& items = list.LockList();
  ASSERT_EQ(items.size(), 7u);
  auto at = [&](size_t i) { return static_cast<TkfxHTTP2NotifyObject*>(items[i]); };
  for (size_t i = 0; i < 7; ++i) EXPECT_EQ(at(i)->Connection, &connection);
  EXPECT_EQ(at(1)->Text, "failed");
  ASSERT_TRUE(at(1)->RawException);
  EXPECT_EQ(ExceptionClassName(at(1)->RawException), "TkfxHTTP2Exception");
  EXPECT_EQ(ExceptionMessage(at(1)->RawException), "boom");
  EXPECT_EQ(at(2)->GoAway().AdditionalDebugData, "{\"reason\":\"Shutdown\"}");
  EXPECT_EQ(at(2)->GoAway().LastStreamId, 7);
  EXPECT_EQ(at(3)->RawObject, &raw);
  EXPECT_EQ(at(3)->Bytes, (TIdBytes{1, 2}));
  EXPECT_EQ(at(4)->Headers, &headers);
  EXPECT_EQ(at(5)->RawObject, &raw);
  EXPECT_FALSE(at(5)->HasRSTStream());
  EXPECT_EQ(at(6)->RSTStream().ErrorCode, 8);
  EXPECT_EQ(at(6)->RSTStream().ErrorDescription, "cancel");
  at(6)->SetRSTStream(nullptr);  // a null argument changes nothing
  EXPECT_EQ(at(6)->RSTStream().ErrorCode, 8);
  list.UnlockList();

  list.DeleteAll();
  EXPECT_TRUE(list.IsEmpty());
}

TEST(HTTP2NotifyObjects, ListIsSafeFromSeveralThreads) {
  TkfxHTTP2ObjectList list;
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; ++t)
    producers.emplace_back([&] {
      for (int i = 0; i < 500; ++i) list.AddNotifyObject(nullptr);
    });
  int drained = 0;
  while (drained < 2000) {
    auto& items = list.LockList();
    drained += static_cast<int>(items.size());
    for (void* item : items) static_cast<TkfxHTTP2NotifyObject*>(item)->Free();
    items.clear();
    list.UnlockList();
    std::this_thread::yield();
  }
  for (auto& p : producers) p.join();
  EXPECT_EQ(drained, 2000);
}

class TTrackedItem : public TkfxQueueItemBase {
 public:
  TTrackedItem(const std::string& aID, int& aFreed) : FFreed(aFreed) { ID = aID; }
  ~TTrackedItem() override { ++FFreed; }

 private:
  int& FFreed;
};

TEST(KeyedQueue, LookupDeletionAndOwnership) {
  for (bool owns : {false, true}) {
    int freed = 0;
    std::vector<std::unique_ptr<TTrackedItem>> keep;  // frees what the queue does not own
    TkfxQueue<TTrackedItem> queue;
    queue.OwnObjects = owns;
    auto add = [&](const std::string& id) {
      auto* item = new TTrackedItem(id, freed);
      queue.AddItem(item);
      if (!owns) keep.emplace_back(item);
      return item;
    };
    auto* first1 = add("1");
    add("3");
    auto* second1 = add("1");
    add("5");
    EXPECT_EQ(queue.Count(), 4);
    EXPECT_EQ(queue.GetItem("1"), first1);  // first match, exact
    EXPECT_EQ(queue.GetItem("01"), nullptr);
    EXPECT_EQ(queue.GetItemByIndex(2), second1);
    EXPECT_EQ(queue.GetItemByIndex(4), nullptr);
    queue.DeleteItem("1");
    EXPECT_EQ(queue.GetItem("1"), second1);
    queue.DeleteItem(0);  // now "3"
    EXPECT_EQ(queue.GetItemByIndex(0), second1);
    queue.DeleteItem("nothing");
    queue.DeleteItem(99);
    EXPECT_EQ(freed, owns ? 2 : 0);
    queue.Clear();
    EXPECT_EQ(queue.Count(), 0);
    EXPECT_EQ(freed, owns ? 4 : 0);
  }
}

TEST(PushPromiseList, KeepsCopiesOfLinksByPath) {
  TkfxHTTP2PushPromiseList list;
  TStringList links;
  links.Add("/style.css");
  list.AddPushPromise("/index.html", links);
  list.AddPushPromise("/empty", TStringList());
  links.Clear();
  ASSERT_NE(list.GetPushPromiseLinks("/index.html"), nullptr);
  EXPECT_EQ(list.GetPushPromiseLinks("/index.html")->Lines(), (Lines{"/style.css"}));
  EXPECT_EQ(list.GetPushPromiseLinks("/empty"), nullptr);
  EXPECT_EQ(list.GetPushPromiseLinks("/missing"), nullptr);
}

TEST(HTTP2Helpers, BigEndianIntegers) {
  struct Write {
    int64_t value;
    int size;
    TIdBytes expected;
  } writes[] = {
      {300, 4, {0, 0, 1, 0x2C}},
      {5, 2, {0, 5}},
      {16777215, 3, {0xFF, 0xFF, 0xFF}},
      {2147483647, 4, {0x7F, 0xFF, 0xFF, 0xFF}},
      {2147483648ll, 4, {0, 0, 0, 0}},
      {0, 1, {0}},
  };
  for (const auto& w : writes) {
    TIdBytes bytes(static_cast<size_t>(w.size) + 2, 0xAA);
    WriteBigEndianInteger(w.value, 1, w.size, bytes);
    EXPECT_EQ(TIdBytes(bytes.begin() + 1, bytes.end() - 1), w.expected) << w.value;
    EXPECT_EQ(bytes.front(), 0xAA);  // nothing outside the range
    EXPECT_EQ(bytes.back(), 0xAA);
    if (w.value < 2147483648ll) {
      EXPECT_EQ(ReadBigEndianInteger(bytes, w.size, 1), static_cast<uint32_t>(w.value));
    }
  }
  const TIdBytes bytes{0x80, 0, 0, 1};
  EXPECT_EQ(ReadBigEndianInteger(bytes, 4, 0), 0x80000001u);
  EXPECT_EQ(ReadBigEndianInteger(bytes, 5, 0), 0u);
  EXPECT_EQ(ReadBigEndianInteger(bytes, 0, 0), 0u);
  EXPECT_EQ(ReadBigEndianInteger(bytes, 2, 3), 0u);  // past the end
}

TEST(HTTP2Helpers, ByteCounts) {
  EXPECT_EQ(AnsiStringToBytes("ab"), (TIdBytes{'a', 'b'}));
  EXPECT_EQ(AnsiByteLength("h\xC3\xA9"), 3);
  EXPECT_EQ(ASCIIByteCount("h\xC3\xA9"), 2);
  EXPECT_EQ(ASCIIByteCount(""), 0);
}

TEST(RequestCopy, SharedSettingsWithTheirOwnIDURLAndMethod) {
  auto base = std::make_shared<TkfxHTTP2Request>();
  base->CustomHeaders.Add("apns-topic: com.example");
  base->UserAgent = "agent";
  base->ID = "BASE";
  TkfxHTTP2Request own;
  own.Assign(base.get());
  own.ID = "OWN";
  own.URL = "/3/device/abc";
  own.Method = Th2Methods::h2mePost;
  TkfxHTTP2RequestCopy shared(base, own), whole(own), none;
  // Read without being made whole, then whole: the same request either way.
  for (TkfxHTTP2RequestCopy* copy : {&shared, &whole}) {
    EXPECT_EQ(copy->ID(), "OWN");
    EXPECT_EQ(copy->URL(), "/3/device/abc");
    EXPECT_EQ(copy->Method(), Th2Methods::h2mePost);
    TkfxHTTP2Request& request = copy->Whole();
    EXPECT_EQ(request.ID, "OWN");
    EXPECT_EQ(request.URL, "/3/device/abc");
    EXPECT_EQ(request.Method, Th2Methods::h2mePost);
    EXPECT_EQ(request.UserAgent, "agent");
    EXPECT_EQ(request.CustomHeaders.Lines(), std::vector<std::string>{"apns-topic: com.example"});
  }
  // The base is shared, not changed, and a whole copy is the copy's own.
  shared.Whole().UserAgent = "changed";
  EXPECT_EQ(base->UserAgent, "agent");
  EXPECT_EQ(base->ID, "BASE");
  EXPECT_TRUE(none.Empty());
  EXPECT_EQ(none.ID(), "");
  EXPECT_EQ(none.Whole().URL, "");  // an empty copy becomes a default request
  EXPECT_FALSE(none.Empty());
}

TEST(HTTP2Helpers, SplitHTTP2URL) {
  struct Case {
    std::string url;
    bool ok;
    std::string protocol, host;
    int port;
    std::string path;
  } cases[] = {
      {"https://api.sandbox.push.apple.com/3/device/abc", true, "https", "api.sandbox.push.apple.com", 443,
       "/3/device/abc"},
      {"https://api.push.apple.com/3/device/", true, "https", "api.push.apple.com", 443, "/3/device/"},
      {"HTTPS://localhost:8443", true, "https", "localhost", 8443, "/"},
      {"http://127.0.0.1:80/", true, "http", "127.0.0.1", 80, "/"},
      {"https://h/a b", true, "https", "h", 443, "/a/b"},  // spaces separate items
      {"https://[::1]:8443/x", true, "https", "::1", 8443, "/x"},
      {"https://[2001:db8::1]/", true, "https", "2001:db8::1", 443, "/"},
      {"https://a:1:2/x", true, "https", "a", 443, "/x"},  // more than two parts: no port
      {"https://h:0x1BB/x", true, "https", "h", 443, "/x"},  // ports read as integers anywhere
      {"https://h:+8443/x", true, "https", "h", 8443, "/x"},
      {"https:", false, "https", "", 443, ""},
      {"https:/", false, "https", "", 443, ""},
      {"https://", true, "https", "", 443, "/"},
      {"https://h//a/", true, "https", "h", 443, "//a/"},
      {"https:x/y/z", true, "httpsx", "z", 443, "/"},  // the items, not the form, decide
      {"https://h/\"a/b\"", true, "https", "h", 443, "/a/b"},  // quotes group an item
      {"", false, "", "", 443, ""},
  };
  for (const auto& c : cases) {
    std::string protocol, host, path = "unchanged?";
    int port = 1;
    EXPECT_EQ(SplitHTTP2URL(c.url, protocol, host, port, path), c.ok) << c.url;
    EXPECT_EQ(protocol, c.protocol) << c.url;
    EXPECT_EQ(host, c.host) << c.url;
    EXPECT_EQ(port, c.port) << c.url;
    EXPECT_EQ(path, c.path) << c.url;
  }
  std::string protocol, host, path;
  int port = 0;
  EXPECT_THROW(SplitHTTP2URL("https://host:https/x", protocol, host, port, path), EConvertError);
}

}  // namespace
