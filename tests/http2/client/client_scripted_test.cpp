// The HTTP/2 client component against a scripted server on loopback: the
// 401 answers and their retries, checked frame by frame.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "http2/client/kfxHTTP.h"
#include "rtl/MainThread.h"
#include "tests/http2/client/scripted_peer.h"
#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;
using apns_test::PumpUntil;

using namespace h2t;

std::string Value(const HeaderFields& aFields, const std::string& aName) {
  for (auto& [name, value] : aFields)
    if (name == aName) return value;
  return "<none>";
}

// One request as the server read it.
struct Received {
  HeaderFields Headers;
  std::string Body;
};

std::optional<Received> ReadRequest(ScriptedPeer& aPeer) {
  auto headers = aPeer.Expect(HEADERS);
  if (!headers) return std::nullopt;
  Received r;
  r.Headers = aPeer.Decode(headers->Payload);
  bool ended = headers->Flags & END_STREAM;
  while (!ended) {
    auto data = aPeer.Expect(DATA);
    if (!data) return std::nullopt;
    r.Body += data->Payload;
    ended = data->Flags & END_STREAM;
  }
  return r;
}

struct Outcomes {
  std::mutex Lock;
  std::vector<std::string> Answers;     // status and body
  std::vector<std::string> Failures;    // OnHTTP2RequestFailed reasons
  std::vector<std::string> Exceptions;  // OnHTTP2Exception messages
  std::vector<std::string> Challenges;  // AuthType and AuthData the handler got
  size_t Count() {
    std::lock_guard guard(Lock);
    return Answers.size() + Failures.size();
  }
};

struct Case {
  const char* Name;
  bool Handler;          // an authorization handler fills in the credentials
  bool SecondRefusal;    // the retry is answered 401 too
  std::string Answer;    // expected OnHTTP2Response, or empty
  std::string Failure;   // expected OnHTTP2RequestFailed, or empty
};

// A queued POST answered 401 Basic realm=x: the handler gets the challenge,
// the retry repeats the POST with its body and the Basic credentials, and
// its answer is the outcome; a second 401 or no handler ends the request
// with "Unauthorized", and nothing is sent a third time.
TEST(ClientScripted, UnauthorizedAnswersAreRetriedOnceWithTheCredentials) {
  const std::vector<Case> cases = {
      {"answered", true, false, "200 ok", ""},
      {"refused again", true, true, "", "Unauthorized"},
      {"no handler", false, false, "", "Unauthorized"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<Received> requests;
    bool extra = false;
    ScriptedServer server([&](ScriptedPeer& peer) {
      if (!peer.Handshake({{3, 100}})) return;
      auto first = ReadRequest(peer);
      if (!first) return;
      requests.push_back(*first);
      peer.SendAnswer(1, "401", "", {{"www-authenticate", "Basic realm=x"}});
      if (!c.Handler) {
        extra = ReadRequest(peer).has_value();
        return;
      }
      auto retry = ReadRequest(peer);
      if (!retry) return;
      requests.push_back(*retry);
      if (c.SecondRefusal)
        peer.SendAnswer(3, "401", "", {{"www-authenticate", "Basic realm=x"}});
      else
        peer.SendAnswer(3, "200", "ok");
      extra = ReadRequest(peer).has_value();
    });
    TOwned<TkfxHTTP2Client> client = MakeOwned<TkfxHTTP2Client>(nullptr);
    client->SetTLS(false);
    Outcomes out;
    client->OnHTTP2Response = [&](TObject*, TkfxHTTP2ConnectionClient*, TkfxHTTP2RequestProperty*,
                                  TkfxHTTP2ResponseProperty* Response) {
      std::lock_guard guard(out.Lock);
      out.Answers.push_back(std::to_string(Response->Status()) + " " + Response->DataString());
    };
    client->OnHTTP2RequestFailed = [&](TObject*, TkfxHTTP2ConnectionClient*, TkfxHTTP2RequestProperty*,
                                       const std::string& aReason) {
      std::lock_guard guard(out.Lock);
      out.Failures.push_back(aReason);
    };
    client->OnHTTP2Exception = [&](TObject*, TkfxHTTP2ConnectionClient*, Exception* E) {
      std::lock_guard guard(out.Lock);
      out.Exceptions.push_back(E->Message());
    };
    if (c.Handler)
      client->OnHTTP2Authorization = [&](TObject*, TkfxHTTP2ConnectionClient*, const std::string& AuthType,
                                         const std::string& AuthData, std::string& UserName,
                                         std::string& Password, std::string&, bool&) {
        {
          std::lock_guard guard(out.Lock);
          out.Challenges.push_back(AuthType + "|" + AuthData);
        }
        UserName = "user";
        Password = "pass";
      };
    client->Request().CustomHeaders.Add("x-note: kept");
    TMemoryStream body;
    const std::string payload = "{\"hello\":1}";
    body.WriteBuffer(payload.data(), static_cast<int64_t>(payload.size()));
    client->PostAsync("http://127.0.0.1:" + std::to_string(server.Port()) + "/items", &body);
    EXPECT_TRUE(PumpUntil([&] { return out.Count() >= 1; }, 10s));
    CheckSynchronize(200);  // nothing more arrives
    client->SetActive(false);
    server.Join();

    std::lock_guard guard(out.Lock);
    EXPECT_EQ(out.Answers, c.Answer.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.Answer});
    EXPECT_EQ(out.Failures, c.Failure.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.Failure});
    if (!c.Failure.empty()) {
      EXPECT_EQ(out.Exceptions, std::vector<std::string>{"Unauthorized"});
    }
    EXPECT_EQ(out.Challenges, c.Handler ? std::vector<std::string>{"Basic|realm=x"} : std::vector<std::string>{});
    EXPECT_FALSE(extra) << "a third request was sent";
    ASSERT_EQ(requests.size(), c.Handler ? 2u : 1u);
    EXPECT_EQ(Value(requests[0].Headers, "authorization"), "<none>");
    for (const Received& r : requests) {
      EXPECT_EQ(Value(r.Headers, ":method"), "POST");
      EXPECT_EQ(Value(r.Headers, ":path"), "/items");
      EXPECT_EQ(Value(r.Headers, "x-note"), "kept");
      EXPECT_EQ(r.Body, payload);
    }
    if (c.Handler) {
      EXPECT_EQ(Value(requests[1].Headers, "authorization"), "Basic dXNlcjpwYXNz");
    }
  }
}

}  // namespace
