#include "tools/apns-push/sending.h"

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "apns/kfxAPNs_Setup.h"
#include "rtl/MainThread.h"

namespace apns_push {

void Configure(TkfxHTTP2Client& aClient, TkfxHTTP_JWT_Client& aJWT, const Options& o,
               bool aCertMode, const std::optional<ProxySetting>& aProxy) {
  // Events run on the client's threads; the batch's outcome list is locked.
  aClient.SetNotifyEvents(TwsNotifyEvent::neNoSync);
  // A server that takes the connection and then says nothing does not stop
  // the batch for long.
  aClient.SetConnectTimeout(10000);
  aClient.TLSOptions().SetIOHandler(o.TLS);
  aClient.TLSOptions().SetVerifyCertificate(!o.Insecure);
  aClient.TLSOptions().SetRootCertFile(o.CAFile);
  if (aProxy) {
    TkfxTCPProxy_Options& p = aClient.Proxy();
    p.SetEnabled(true);
    p.SetProxyType(aProxy->Type);
    p.SetHost(aProxy->Address.Host);
    p.SetPort(aProxy->Address.Port);
    p.SetUsername(aProxy->User);
    p.SetPassword(aProxy->Password);
  }
  if (!o.LogFile.empty()) {
    aClient.LogFile().SetFileName(o.LogFile);
    aClient.LogFile().SetEnabled(true);
  }
  // Either TLS back end reads the key from the PKCS#12 file itself.
  if (aCertMode)
    UseAPNsCertificate(aClient, o.CertFile, o.Password);
  else
    UseAPNsToken(aClient, aJWT, o.KeyFile, o.KeyId, o.TeamId);
  SetAPNsHeaders(aClient, {o.Topic, o.PushType, o.Priority, o.Expiration, o.CollapseId, o.ApnsId});
}

PusherSet::PusherSet(size_t aCount, const Options& o, bool aCertMode,
                     const std::optional<ProxySetting>& aProxy, Outcomes& aOutcomes)
    : FOwner(std::make_unique<TComponent>(nullptr)) {
  for (size_t c = 0; c < aCount; ++c) {
    FPushers.push_back(std::make_unique<Pusher>());
    Pusher& p = *FPushers.back();
    p.Client = new TkfxHTTP2Client(FOwner.get());
    p.JWT = new TkfxHTTP_JWT_Client(FOwner.get());
    Configure(*p.Client, *p.JWT, o, aCertMode, aProxy);
    p.Client->OnHTTP2Exception = [&p](TObject*, TkfxHTTP2ConnectionClient* Connection,
                                      Exception* E) {
      if (Connection) return;
      {
        std::lock_guard guard(p.ErrorLock);
        p.LastError = E->Message();
      }
      ++p.FailedConnects;
    };
    p.Client->OnHTTP2Connect = [&p](TObject*, TkfxHTTP2ConnectionClient*) {
      p.FailedConnects = 0;
      p.Connected = true;
    };
    p.Client->OnHTTP2Response = [&aOutcomes, c](TObject*, TkfxHTTP2ConnectionClient*,
                                               TkfxHTTP2RequestProperty* Request,
                                               TkfxHTTP2ResponseProperty* Response) {
      Result r;
      r.Token = TokenOfURL(Request->URL());
      std::string body;
      if (TMemoryStream* data = Response->Data(); data && !data->Bytes().empty())
        body.assign(data->Bytes().begin(), data->Bytes().end());
      ReadAnswer(r, Response->Status(), Response->Headers(), body);
      aOutcomes.Done(c, std::move(r));
    };
    p.Client->OnHTTP2RequestFailed = [&aOutcomes, c](TObject*, TkfxHTTP2ConnectionClient*,
                                                    TkfxHTTP2RequestProperty* Request,
                                                    const std::string& aReason) {
      Result r;
      r.Token = TokenOfURL(Request->URL());
      r.Reason = aReason;
      aOutcomes.Done(c, std::move(r));
    };
    // At the end of a connection, notifications not sent yet wait for the
    // next one, which the client makes at once. Those sent and not
    // answered may have reached the server (a close can cut off answers
    // already on their way): they get their line here and are not sent
    // again. Those the server did not process (above a GOAWAY's last
    // stream, refused) the client sends again by itself.
    p.Client->OnHTTP2PendingRequests = [&p, &aOutcomes, c](TObject*, TkfxHTTP2ConnectionClient*,
                                                          bool& aReconnect, bool& aClear) {
      if (p.GivenUp) return;
      for (TkfxHTTP2_RequestPtr& item : p.Client->RequestsPending().TakeAll()) {
        Result r;
        r.Token = TokenOfURL(item->URL());
        r.Reason = kCutOff;
        aOutcomes.Done(c, std::move(r));
      }
      aReconnect = true;
      aClear = false;
    };
  }
}

PusherSet::~PusherSet() {
  FOwner.reset();  // the clients go before the Pushers their handlers use
}

bool PusherSet::AnyConnected() const {
  return std::any_of(FPushers.begin(), FPushers.end(),
                     [](const auto& p) { return p->Connected.load(); });
}

void ReportMalformed(const DeviceToken& t, Outcomes& aOutcomes) {
  std::cerr << "apns-push: " << t.Where << ": malformed device token \"" << t.Token
            << "\" (expected 64 or more hexadecimal digits); not sent\n";
  Result r;
  r.Token = t.Token;
  r.Reason = "MalformedDeviceToken";
  aOutcomes.NotSent(r);
}

void SendOneByOne(Pusher& aPusher, TokenFeed& aTokens, TMemoryStream& aBody,
                  const std::string& aBase, Outcomes& aOutcomes) {
  Pusher& p = aPusher;
  while (std::optional<DeviceToken> next = aTokens.Next()) {
    const DeviceToken& t = *next;
    if (t.Malformed) {
      ReportMalformed(t, aOutcomes);
      continue;
    }
    Result r;
    r.Token = t.Token;
    TMemoryStream answer;
    aBody.SetPosition(0);
    const auto start = Clock::now();
    try {
      p.Client->Post(aBase + t.Token, &aBody, answer);
      TkfxHTTP2Response* response = p.Client->Response();
      if (response && response->Status()) {
        std::string text(static_cast<size_t>(answer.Size()), '\0');
        answer.SetPosition(0);
        if (!text.empty()) answer.ReadBuffer(text.data(), static_cast<int64_t>(text.size()));
        ReadAnswer(r, response->Status(), response->Headers(), text);
      } else {
        r.Reason = "No answer from the server.";
      }
    } catch (const Exception& E) {
      r.Reason = p.Connected ? E.Message() : p.Error();
    }
    r.Millis = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    aOutcomes.NotSent(r);
  }
}

void SendBatch(PusherSet& aPushers, TokenFeed& aTokens, TMemoryStream& aBody,
               const std::string& aBase, const HostPort& aServer, Outcomes& aOutcomes,
               bool aProgress, Clock::time_point aBatchStart) {
  const size_t clientCount = aPushers.Count();
  // Many: queued on each connection, in flight as far as the server
  // allows, with at most kWindowPerConnection waiting per connection.
  for (size_t c = 0; c < clientCount; ++c) {
    Pusher& p = aPushers[c];
    p.Client->SetHost(aServer.Host);
    p.Client->SetPort(aServer.Port);
    p.Client->SetActive(true);
    p.LastUp = Clock::now();
  }
  auto giveUp = [&](size_t c, const std::string& aReason) {
    Pusher& p = aPushers[c];
    p.GivenUp = true;
    // What the client still holds is never sent: its lines are written here.
    p.Client->Requests().TakeAll();
    p.Client->RequestsPending().TakeAll();
    aOutcomes.GiveUp(c, aReason);
  };
  std::optional<DeviceToken> waiting = aTokens.Next();  // the next to queue
  auto lastProgress = aBatchStart;
  std::vector<size_t> load(clientCount);
  std::string url;
  for (;;) {
    // The counts only fall meanwhile (answers), so one reading of them
    // never lets a connection's window overflow.
    for (size_t c = 0; c < clientCount; ++c) load[c] = aOutcomes.Outstanding(c);
    for (; waiting; waiting = aTokens.Next()) {
      const DeviceToken& t = *waiting;
      if (t.Malformed) {
        ReportMalformed(t, aOutcomes);
        continue;
      }
      size_t best = clientCount, fewest = kWindowPerConnection;
      for (size_t c = 0; c < clientCount; ++c) {
        if (aPushers[c].GivenUp || !aPushers[c].Client->Active()) continue;
        if (load[c] < fewest) best = c, fewest = load[c];
      }
      if (best == clientCount) break;
      aOutcomes.Queued(best, t.Token);
      ++load[best];
      aBody.SetPosition(0);
      url.assign(aBase).append(t.Token);
      aPushers[best].Client->PostAsync(url, &aBody);
    }
    bool anyLeft = false;
    for (size_t c = 0; c < clientCount; ++c) anyLeft |= !aPushers[c].GivenUp;
    if (!anyLeft) {
      // No connection to take them: the rest get their lines unsent.
      std::string reason = aPushers[0].Error();
      for (; waiting; waiting = aTokens.Next()) {
        if (waiting->Malformed) {
          ReportMalformed(*waiting, aOutcomes);
          continue;
        }
        Result r;
        r.Token = waiting->Token;
        r.Reason = reason;
        aOutcomes.NotSent(r);
      }
      break;
    }
    if (!waiting && aOutcomes.Outstanding() == 0) break;
    const auto now = Clock::now();
    for (size_t c = 0; c < clientCount; ++c) {
      Pusher& p = aPushers[c];
      if (p.GivenUp) continue;
      if (p.Client->Active()) {
        p.LastUp = now;
        continue;
      }
      if (aOutcomes.Outstanding(c) == 0 && !waiting) continue;
      // The server refused our provider token as too new (429): the
      // client connects again after its own delay, not sooner.
      if (p.Connected && p.Client->ReconnectDelayed()) {
        p.LastUp = now;
        continue;
      }
      if (!p.Connected || p.FailedConnects >= kConnectAttempts) {
        giveUp(c, p.Error());
        continue;
      }
      // The client reconnects by itself when notifications wait; this is
      // for a connection that stays down, or ended with nothing waiting.
      if (now - p.LastUp < std::chrono::milliseconds(200) ||
          now - p.LastTry < std::chrono::seconds(1))
        continue;
      p.Client->SetActive(true);
      p.LastTry = Clock::now();
    }
    if (aOutcomes.Outstanding() && now - aOutcomes.LastProgress() > kNoProgressLimit) {
      for (size_t c = 0; c < clientCount; ++c)
        if (!aPushers[c].GivenUp) giveUp(c, "No answer from the server.");
    }
    aOutcomes.Wait(std::chrono::milliseconds(20));
    CheckSynchronize(0);
    if (aProgress && now - lastProgress > std::chrono::milliseconds(250)) {
      aOutcomes.Progress(aBatchStart);
      lastProgress = now;
    }
  }
}

}  // namespace apns_push
