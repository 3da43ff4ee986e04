// The sender of one app: its APNs connections (the library's HTTP/2 client,
// queued requests), a thread that takes the app's notifications from the
// queue as far as the connections have room, and the answers turned into
// final outcomes or retries.
//
// Threads. The sender's thread alone configures the clients and queues
// requests on them; the clients' read threads deliver answers and failures
// (neNoSync), which only file them under the sender's lock: outcomes are
// finished and retries re-sent by the sender's thread.
//
// Retries. 429, 500 and 503 are sent again after an exponential back-off
// with jitter, up to the app's max_attempts; 403 ExpiredProviderToken at
// once with a new token. Requests cut off by the end of a connection (a
// GOAWAY, a close) are sent again on the next one: such a notification may
// reach the device twice (at least once, never lost).
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "rtl/Streams.h"
#include "tools/apns-pushd/config.h"
#include "tools/apns-pushd/metrics.h"
#include "tools/apns-pushd/outcomes.h"
#include "tools/apns-pushd/queue.h"

class TComponent;
class TkfxHTTP2Client;

namespace apns_pushd {

using Clock = std::chrono::steady_clock;

// Notifications queued on one connection, in flight or waiting for a stream.
constexpr size_t kWindowPerConnection = 1000;

// A provider token: an ES256 JWT over the PEM key aKeyText, naming aKeyId
// and aTeamId, issued now.
std::string SignProviderToken(const std::string& aKeyText, const std::string& aKeyId,
                              const std::string& aTeamId);

// The app's key signs a token, or its PKCS#12 file opens with its password
// and holds a key pair; EConfigError naming the key otherwise.
void CheckCredentials(const AppConfig& aApp);

// The delay before attempt aAttempts + 1 after a retryable answer: 500 ms
// doubled per attempt up to 30 s, then a random half to whole of it.
std::chrono::milliseconds RetryDelay(int aAttempts, uint64_t aRandom);

class Sender {
 public:
  Sender(const AppConfig& aApp, NotificationQueue& aQueue, ProviderTokenSource& aTokens,
         OutcomeSink& aSink, Metrics& aMetrics);
  ~Sender();
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;

  void Start();
  // Takes no more notifications; waits until aUntil for those in flight,
  // then hands the rest back to the queue (Release) and closes the
  // connections. Returns how many were handed back.
  size_t Stop(Clock::time_point aUntil);

 private:
  struct InFlight {
    Notification N;
    size_t Conn = 0;
    Clock::time_point Sent;
    std::shared_ptr<const std::string> Token;  // the provider token it carried
  };
  struct Retry {
    Notification N;
    Clock::time_point Due;
  };
  struct Connection;

  void Loop();
  void Configure(Connection& aConn);
  void Send(Notification& n, size_t aConn);
  // The provider token for this round's sends (token mode).
  void RefreshToken();
  void Maintain();
  void FinishDone();
  size_t HandBack();
  // Read threads.
  // aIdKey and aTokenKey: the in-flight keys by the answer's apns-id and
  // by the request's device token (see sender.cpp).
  void Answered(size_t aConn, const std::string& aIdKey, const std::string& aTokenKey, int aStatus,
                const std::string& aReason, const std::string& aAnswerId);
  void Failed(size_t aConn, const std::string& aKey, const std::string& aReason);
  // Under FLock: the in-flight entry of aKey (sent on aConn when several), taken out.
  bool TakeInFlight(size_t aConn, const std::string& aKey, InFlight& aOut);
  // Under FLock: a final outcome, or a retry when the answer allows one.
  void Settle(InFlight&& f, int aStatus, const std::string& aReason, const std::string& aAnswerId,
              bool aRetryable, bool aAtOnce);

  const AppConfig& FApp;
  NotificationQueue& FQueue;
  ProviderTokenSource& FTokens;
  OutcomeSink& FSink;
  Metrics& FMetrics;
  std::string FKeyText;  // the .p8 key, token mode only
  std::string FBaseURL;  // https://host:port/3/device/

  std::unique_ptr<TComponent> FOwner;  // owns the clients
  std::vector<std::unique_ptr<Connection>> FConns;
  std::thread FThread;

  std::mutex FLock;
  std::condition_variable FChanged;
  bool FStopping = false, FHandingBack = false;
  Clock::time_point FStopUntil;
  size_t FHandedBack = 0;
  std::unordered_map<std::string, std::deque<InFlight>> FInFlight;  // by key (sender.cpp)
  std::vector<size_t> FLoad;                                       // in flight per connection
  std::vector<Retry> FRetries;
  std::vector<Outcome> FDone;
  std::mt19937_64 FJitter;  // under FLock: retry delays
  std::mt19937_64 FIds;  // apns-ids; the sender's thread only
  std::shared_ptr<const std::string> FToken;  // the sender's thread only
  std::string FAuthorization;
  TMemoryStream FBody;  // the sender's thread only: the body being queued
  std::string FURL;
};

}  // namespace apns_pushd
