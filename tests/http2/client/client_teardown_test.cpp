// Freeing the HTTP/2 client component while its read thread has work queued
// or under way: connects (the reconnect after an abrupt close among them),
// disconnects and writes. The component must wait for a command that runs
// and drop the ones still queued; nothing it frees may be used afterwards,
// and no thread may be started for it once its destruction began.
//
// The read thread is held inside an activation by the handler event that
// runs there (OnSSLAfterCreateHandler) until the destruction has taken the
// read thread away, so the interleaving that matters happens every time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/support/apns_mock_harness.h"
#include "http2/client/kfxHTTP.h"
#include "rtl/MainThread.h"
#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;
using apns_test::PumpUntil;

const std::string kDevice(64, 'a');
const std::string kPayload = "{\"aps\":{\"alert\":\"hi\"}}";

using Case = std::tuple<TwsTLSIOHandler, TwsNotifyEvent>;

class ClientTeardown : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override { Make(); }

  void Make() {
    events = 0;
    body.Clear();
    client = MakeOwned<TkfxHTTP2Client>(nullptr);
    client->SetNotifyEvents(std::get<1>(GetParam()));
    client->TLSOptions().SetIOHandler(std::get<0>(GetParam()));
    client->TLSOptions().SetVerifyCertificate(false);
    client->TLSOptions().SetCertFile(apns_test::FixturePath("client.p12"));
    if (std::get<0>(GetParam()) == TwsTLSIOHandler::iohOpenSSL)
      client->TLSOptions().SetKeyFile(apns_test::FixturePath("client.p12"));
    client->TLSOptions().SetPassword("secret");
    client->Request().CustomHeaders.Add("apns-topic: com.example.App");
    body.WriteBuffer(kPayload.data(), static_cast<int64_t>(kPayload.size()));
    // Every event counts, from whichever thread delivers it.
    client->OnHTTP2Response = [this](TObject*, TkfxHTTP2ConnectionClient*, TkfxHTTP2RequestProperty*,
                                     TkfxHTTP2ResponseProperty*) { ++events; };
    client->OnHTTP2RequestFailed = [this](TObject*, TkfxHTTP2ConnectionClient*, TkfxHTTP2RequestProperty*,
                                          const std::string&) { ++events; };
    client->OnHTTP2Exception = [this](TObject*, TkfxHTTP2ConnectionClient*, Exception*) { ++events; };
    client->OnHTTP2Disconnect = [this](TObject*, TkfxHTTP2ConnectionClient*) { ++events; };
    // Reconnect and keep the requests of a connection that ended, as a bulk
    // sender does.
    client->OnHTTP2PendingRequests = [](TObject*, TkfxHTTP2ConnectionClient*, bool& aReconnect, bool& aClear) {
      aReconnect = true;
      aClear = false;
    };
  }

  // Holds the read thread in its next activation until the component's
  // destruction has taken the read thread away (bounded: 10 s).
  void HoldNextActivation() {
    TkfxIdTCPClient* transport = client->TCPClient();
    client->OnSSLAfterCreateHandler = [this, transport](TObject*, TwsSSLHandler, TkfxTLSIOHandler*) {
      if (held.exchange(true)) {
        ++laterActivations;
        return;
      }
      inActivation = true;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (transport->HasTCPRead() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
  }

  bool PushNow(const std::string& aURL) {
    body.SetPosition(0);
    client->Post(aURL, &body);
    TkfxHTTP2Response* response = client->Response();
    return response && response->Status() == 200;
  }

  // Frees the component; it must not take longer than one activation's time
  // budget, and no event may arrive afterwards.
  void FreeAndCheck() {
    const auto start = std::chrono::steady_clock::now();
    client.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    const int after = events.load();
    CheckSynchronize(50);
    EXPECT_EQ(events.load(), after) << "an event after the component was freed";
  }

  TOwned<TkfxHTTP2Client> client;
  TMemoryStream body;
  std::atomic<int> events{0};
  std::atomic<bool> held{false}, inActivation{false};
  std::atomic<int> laterActivations{0};  // begun after the held one
};

// A reconnect is running on the read thread (queued by a push after the
// connection was closed) and more connects, disconnects and pushes wait
// behind it when the component is freed.
TEST_P(ClientTeardown, WhileAnActivationRunsAndMoreAreQueued) {
  apns_test::ApnsMock mock(apns_test::ApnsMock::BothAuthModes());
  const std::string url = mock.DeviceUrl(kDevice);
  ASSERT_TRUE(PushNow(url));
  client->SetActive(false);
  HoldNextActivation();
  body.SetPosition(0);
  client->PostAsync(url, &body);
  ASSERT_TRUE(PumpUntil([&] { return inActivation.load(); }, 10s));
  for (int i = 0; i < 3; ++i) {
    client->AddCommand(TkfxTCPCommands::tcmActive);
    client->AddCommand(TkfxTCPCommands::tcmNotActive);
    client->AddBytes(TIdBytes{0, 0, 0, 6, 0, 0, 0, 0, 0});
    body.SetPosition(0);
    client->PostAsync(url, &body);
  }
  FreeAndCheck();
  // The queued connects were dropped, not run on a component being freed.
  EXPECT_EQ(laterActivations.load(), 0);
}

// The server closes the connection abruptly every few requests while pushes
// are queued, so reconnects are queued and run all the time; the component
// is freed in the middle of that, at a different moment in each round.
TEST_P(ClientTeardown, WhileReconnectsAfterAbruptClosesAreQueued) {
  std::vector<std::string> options = apns_test::ApnsMock::BothAuthModes();
  options.insert(options.end(), {"--close-after", "7"});
  apns_test::ApnsMock mock(options);
  for (int round = 0; round < 4; ++round) {
    if (round > 0) Make();
    const std::string url = mock.DeviceUrl(kDevice);
    for (int i = 0; i < 200; ++i) {
      body.SetPosition(0);
      client->PostAsync(url, &body);
    }
    PumpUntil([&] { return events.load() >= 5 * round; }, 10s);
    FreeAndCheck();
  }
}

INSTANTIATE_TEST_SUITE_P(
    HandlersAndModes, ClientTeardown,
    ::testing::Combine(::testing::Values(TwsTLSIOHandler::iohOpenSSL, TwsTLSIOHandler::iohSChannel),
                       ::testing::Values(TwsNotifyEvent::neNoSync, TwsNotifyEvent::neAsynchronous,
                                         TwsNotifyEvent::neSynchronous)),
    [](const auto& info) {
      std::string name = std::get<0>(info.param) == TwsTLSIOHandler::iohOpenSSL ? "OpenSSL" : "SChannel";
      switch (std::get<1>(info.param)) {
        case TwsNotifyEvent::neNoSync: return name + "NoSync";
        case TwsNotifyEvent::neAsynchronous: return name + "Asynchronous";
        case TwsNotifyEvent::neSynchronous: break;
      }
      return name + "Synchronous";
    });

}  // namespace
