#include "tools/apns-push/sending.h"

#include <algorithm>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "apns/kfxAPNs_Setup.h"
#include "rtl/MainThread.h"
#include "tools/apns-push/interrupt.h"

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
    // With --resend-unanswered they go back to the batch, which sends
    // them again (at least once, as far as --retries allows).
    const bool resend = o.ResendUnanswered;
    p.Client->OnHTTP2PendingRequests = [&p, &aOutcomes, c, resend](TObject*,
                                                                  TkfxHTTP2ConnectionClient*,
                                                                  bool& aReconnect, bool& aClear) {
      if (p.GivenUp) return;
      for (TkfxHTTP2_RequestPtr& item : p.Client->RequestsPending().TakeAll()) {
        Result r;
        r.Token = TokenOfURL(item->URL());
        r.Reason = resend ? kCutOffRetried : kCutOff;
        aOutcomes.Done(c, std::move(r), Outcomes::Unanswered::CutOff);
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

bool TokenNotifications::Usable(DeviceToken& t, Notification& n) {
  if (t.Malformed) {
    ReportMalformed(t, FOutcomes);
    return false;
  }
  if (FDone && FDone->count(LowerToken(t.Token))) {
    ++FSkipped;
    return false;
  }
  n = Notification{};
  n.Token = std::move(t.Token);
  return true;
}

NotificationSource::Got TokenNotifications::Next(Notification& n, int) {
  while (std::optional<DeviceToken> t = FFeed.Next())
    if (Usable(*t, n)) return Got::Item;
  return Got::End;
}

bool TokenNotifications::NextReadAhead(Notification& n) {
  while (FFeed.Ahead() > 0)
    if (std::optional<DeviceToken> t = FFeed.Next(); Usable(*t, n)) return true;
  return false;
}

NotificationSource::Got LineNotifications::Next(Notification& n, int aTimeoutMs) {
  for (;;) {
    const LineReader::Got got = FReader.Next(FLine, aTimeoutMs);
    if (got == LineReader::Got::Wait) return Got::Wait;
    if (got == LineReader::Got::End) return Got::End;
    if (got == LineReader::Got::TooLong) {
      FProblem = "MalformedLine: longer than " + std::to_string(LineReader::kMaxLine) + " octets";
      FToken.clear();
    } else if (LineParser::Skip(FLine)) {
      continue;
    } else if (FParser.Parse(FLine, n, FProblem, FToken)) {
      if (FDone && FDone->count(LowerToken(n.Token))) {
        ++FSkipped;
        continue;
      }
      return Got::Item;
    }
    const std::string where = FReader.Name() + ":" + std::to_string(FReader.LineNumber());
    std::cerr << "apns-push: " << where << ": " << FProblem << "; not sent\n";
    Result r;
    r.Token = FToken;
    r.Reason = FProblem + " (" + where + ")";
    FOutcomes.NotSent(std::move(r));
  }
}

namespace {

// The body of n: the command line's, or its own in aScratch.
TMemoryStream& BodyOf(const Notification& n, TMemoryStream& aCommon, TMemoryStream& aScratch) {
  if (!n.Payload) {
    aCommon.SetPosition(0);
    return aCommon;
  }
  aScratch.Clear();
  aScratch.WriteBuffer(n.Payload->data(), static_cast<int64_t>(n.Payload->size()));
  aScratch.SetPosition(0);
  return aScratch;
}

// Waits up to aDelay, or less once an interrupt arrived.
void Pause(std::chrono::milliseconds aDelay) {
  const auto end = Clock::now() + aDelay;
  while (!InterruptSignal() && Clock::now() < end)
    std::this_thread::sleep_for(std::min<Clock::duration>(end - Clock::now(), std::chrono::milliseconds(20)));
}

}  // namespace

void SendOneByOne(Pusher& aPusher, NotificationSource& aSource, const BatchSetup& aSetup,
                  Outcomes& aOutcomes) {
  Pusher& p = aPusher;
  TMemoryStream common, scratch;
  common.WriteBuffer(aSetup.Payload.data(), static_cast<int64_t>(aSetup.Payload.size()));
  std::shared_ptr<const TkfxAPNsHeaders> applied;  // null: the command line's
  std::mt19937 jitter(std::random_device{}());
  Notification n;
  for (;;) {
    if (InterruptSignal()) break;
    const NotificationSource::Got got = aSource.Next(n, 100);
    if (got == NotificationSource::Got::End) break;
    if (got == NotificationSource::Got::Wait) continue;
    if (n.Headers != applied) {
      SetAPNsHeaders(*p.Client, n.Headers ? *n.Headers : aSetup.Headers);
      applied = n.Headers;
    }
    Result r;
    for (;;) {
      r = Result();
      r.Token = n.Token;
      r.Attempts = ++n.Attempts;
      TMemoryStream answer;
      TMemoryStream& body = BodyOf(n, common, scratch);
      const auto start = Clock::now();
      bool cutOff = false;
      try {
        p.Client->Post(aSetup.Base + n.Token, &body, answer);
        TkfxHTTP2Response* response = p.Client->Response();
        if (response && response->Status()) {
          std::string text(static_cast<size_t>(answer.Size()), '\0');
          answer.SetPosition(0);
          if (!text.empty()) answer.ReadBuffer(text.data(), static_cast<int64_t>(text.size()));
          ReadAnswer(r, response->Status(), response->Headers(), text);
        } else {
          r.Reason = "No answer from the server.";
          cutOff = p.Connected;
        }
      } catch (const Exception& E) {
        r.Reason = p.Connected ? E.Message() : p.Error();
      }
      r.Millis = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      const bool again = n.Attempts <= aSetup.Retry.Retries && !InterruptSignal() &&
                         (cutOff ? aSetup.Retry.ResendCutOff : RetriableAnswer(r.Status, r.Reason));
      if (!again) break;
      if (!cutOff) {
        // Half to all of the doubled delay, as a batch waits.
        auto delay = std::min<std::chrono::milliseconds>(
            aSetup.Retry.FirstDelay * (int64_t{1} << std::min(n.Attempts - 1, 20)),
            aSetup.Retry.MaxDelay);
        Pause(std::chrono::duration_cast<std::chrono::milliseconds>(
            delay * std::uniform_real_distribution<double>(0.5, 1.0)(jitter)));
      }
    }
    aOutcomes.NotSent(r);
  }
  // What was read and not sent still gets its line.
  if (InterruptSignal()) {
    while (aSource.NextReadAhead(n)) {
      Result r;
      r.Token = n.Token;
      r.Reason = kInterruptedNotSent;
      aOutcomes.NotSent(r);
    }
  }
}

void SendBatch(PusherSet& aPushers, NotificationSource& aSource, const BatchSetup& aSetup,
               Outcomes& aOutcomes) {
  const size_t clientCount = aPushers.Count();
  // Many: queued on each connection, in flight as far as the server
  // allows, with at most kWindowPerConnection waiting per connection.
  for (size_t c = 0; c < clientCount; ++c) {
    Pusher& p = aPushers[c];
    p.Client->SetHost(aSetup.Server.Host);
    p.Client->SetPort(aSetup.Server.Port);
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
  TMemoryStream common, scratch;
  common.WriteBuffer(aSetup.Payload.data(), static_cast<int64_t>(aSetup.Payload.size()));
  // The headers each client's requests carry now; null: the command line's.
  std::vector<std::shared_ptr<const TkfxAPNsHeaders>> applied(clientCount);
  // The next to queue: a retry, or one read from the source.
  std::optional<Notification> waiting;
  std::vector<Notification> retries;
  size_t nextRetry = 0;
  bool sourceEnded = false;
  auto lastProgress = aSetup.Start;
  std::vector<size_t> load(clientCount);
  std::string url;
  // The rate: each send is due an interval after the one before, and may go
  // up to kRateTolerance early, so sends come in small steps (the main
  // thread wakes every few milliseconds), never in a burst of a second's
  // worth. With the interval (1 s + kRateTolerance) / N no second holds
  // more than N sends, however late the thread wakes: one that is late
  // does not catch up beyond the tolerance.
  constexpr auto kRateTolerance = std::chrono::milliseconds(20);
  const auto interval =
      aSetup.Rate > 0
          ? std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>((1.0 + std::chrono::duration<double>(kRateTolerance).count()) /
                                              aSetup.Rate))
          : Clock::duration::zero();
  Clock::time_point due = Clock::now();
  bool stopping = false;
  Clock::time_point stopBy;
  auto next = [&](int aTimeoutMs) -> bool {
    if (waiting) return true;
    if (nextRetry < retries.size()) {
      waiting = std::move(retries[nextRetry++]);
      return true;
    }
    if (sourceEnded) return false;
    Notification n;
    switch (aSource.Next(n, aTimeoutMs)) {
      case NotificationSource::Got::Item:
        waiting = std::move(n);
        return true;
      case NotificationSource::Got::End:
        sourceEnded = true;
        return false;
      case NotificationSource::Got::Wait:
        return false;
    }
    return false;
  };
  for (;;) {
    auto now = Clock::now();
    if (InterruptSignal() && !stopping) {
      // Stop: nothing more is read or queued; what was read and not sent,
      // and what the clients hold unsent, gets its line now.
      stopping = true;
      stopBy = now + kInterruptWait;
      auto notSent = [&](const std::string& aToken, int aAttempts) {
        Result r;
        r.Token = aToken;
        r.Reason = kInterruptedNotSent;
        r.Attempts = aAttempts;
        aOutcomes.NotSent(std::move(r));
      };
      if (waiting) notSent(waiting->Token, waiting->Attempts);
      waiting.reset();
      for (Notification n; aSource.NextReadAhead(n);) notSent(n.Token, 0);
      for (; nextRetry < retries.size(); ++nextRetry)
        notSent(retries[nextRetry].Token, retries[nextRetry].Attempts);
      for (size_t c = 0; c < clientCount; ++c) {
        for (TkfxHTTP2_RequestPtr& item : aPushers[c].Client->Requests().TakeAll()) {
          Result r;
          r.Token = TokenOfURL(item->URL());
          r.Reason = kInterruptedNotSent;
          aOutcomes.Done(c, std::move(r), Outcomes::Unanswered::NotSent);
        }
      }
      aOutcomes.EndRetries();
    }
    if (!stopping) {
      // The counts only fall meanwhile (answers), so one reading of them
      // never lets a connection's window overflow.
      size_t room = 0;
      for (size_t c = 0; c < clientCount; ++c) {
        load[c] = aOutcomes.Outstanding(c);
        if (!aPushers[c].GivenUp && aPushers[c].Client->Active() && load[c] < kWindowPerConnection)
          room += kWindowPerConnection - load[c];
      }
      // Retries that are due go first, as many as can be queued at once.
      if (nextRetry == retries.size() && room) {
        retries.clear();
        nextRetry = 0;
        aOutcomes.TakeDueRetries(now, retries, room);
      }
      while (next(0)) {
        if (aSetup.Rate > 0 && now < due - kRateTolerance) {
          now = Clock::now();
          if (now < due - kRateTolerance) break;
        }
        size_t best = clientCount, fewest = kWindowPerConnection;
        for (size_t c = 0; c < clientCount; ++c) {
          if (aPushers[c].GivenUp || !aPushers[c].Client->Active()) continue;
          if (load[c] < fewest) best = c, fewest = load[c];
        }
        if (best == clientCount) break;
        Notification& n = *waiting;
        ++n.Attempts;
        TkfxHTTP2Client& client = *aPushers[best].Client;
        if (n.Headers != applied[best]) {
          SetAPNsHeaders(client, n.Headers ? *n.Headers : aSetup.Headers);
          applied[best] = n.Headers;
        }
        aOutcomes.Queued(best, n);
        ++load[best];
        url.assign(aSetup.Base).append(n.Token);
        client.PostAsync(url, &BodyOf(n, common, scratch));
        waiting.reset();
        if (aSetup.Rate > 0) due = std::max(due, now) + interval;
      }
    }
    bool anyLeft = false;
    for (size_t c = 0; c < clientCount; ++c) anyLeft |= !aPushers[c].GivenUp;
    if (!anyLeft) {
      // No connection to take them: the rest get their lines unsent.
      std::string reason = aPushers[0].Error();
      aOutcomes.EndRetries();
      while (!stopping && (next(100) || !sourceEnded)) {
        if (InterruptSignal()) break;
        if (!waiting) continue;
        Result r;
        r.Token = waiting->Token;
        r.Reason = reason;
        r.Attempts = waiting->Attempts;
        aOutcomes.NotSent(r);
        waiting.reset();
      }
      if (waiting) {
        Result r;
        r.Token = waiting->Token;
        r.Reason = kInterruptedNotSent;
        aOutcomes.NotSent(r);
      }
      break;
    }
    if (stopping) {
      if (aOutcomes.Outstanding() == 0) break;
      if (now >= stopBy || InterruptedTwice()) {
        for (size_t c = 0; c < clientCount; ++c)
          if (!aPushers[c].GivenUp) giveUp(c, kInterruptedUnanswered);
        break;
      }
    } else if (!waiting && sourceEnded && nextRetry == retries.size() &&
               aOutcomes.Outstanding() == 0 && aOutcomes.RetriesWaiting() == 0) {
      break;
    }
    const bool retriesWait = !stopping && aOutcomes.RetriesWaiting() > 0;
    for (size_t c = 0; c < clientCount; ++c) {
      Pusher& p = aPushers[c];
      if (p.GivenUp) continue;
      if (p.Client->Active()) {
        p.LastUp = now;
        continue;
      }
      if (aOutcomes.Outstanding(c) == 0 && !waiting && !retriesWait) continue;
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
    // With a rate, wake up when the next send is due.
    auto wait = std::chrono::milliseconds(20);
    if (aSetup.Rate > 0 && waiting && !stopping) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - kRateTolerance - Clock::now());
      wait = std::clamp(left, std::chrono::milliseconds(1), wait);
    }
    aOutcomes.Wait(wait);
    CheckSynchronize(0);
    if (aSetup.Progress && now - lastProgress > std::chrono::milliseconds(250)) {
      aOutcomes.Progress(aSetup.Start, aSource.Skipped());
      lastProgress = now;
    }
  }
  // Retries still waiting (the batch gave up) get their last outcome.
  aOutcomes.EndRetries();
}

}  // namespace apns_push
