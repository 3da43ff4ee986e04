// Sending: the client components of a batch, configured as the provider
// window configures its one, and the two ways of sending through them: one
// notification sent and waited for, or a batch queued on one or more
// connections with as many in flight as the server allows.
//
// Threads: the main thread configures the clients, queues and waits; the
// clients' read and request threads raise the response, failure and
// connection events (neNoSync), which report to the batch's Outcomes and to
// the atomics and locked error text of their Pusher.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "http2/client/kfxHTTP.h"
#include "rtl/Streams.h"
#include "tools/apns-push/addresses.h"
#include "tools/apns-push/inputs.h"
#include "tools/apns-push/options.h"
#include "tools/apns-push/outcomes.h"

namespace apns_push {

// Notifications queued on one connection beyond those in flight are kept
// to this many, so a batch of any size needs the same memory.
constexpr size_t kWindowPerConnection = 2000;
// A connection whose connects fail this many times in a row has its
// notifications given up.
constexpr int kConnectAttempts = 3;
// A batch that gets no outcome at all for this long is given up.
constexpr auto kNoProgressLimit = std::chrono::seconds(60);
constexpr const char* kCutOff =
    "The connection ended before the answer; not sent again (it may have been delivered).";

// One client component and its JWT client, configured as the provider
// window configures them, with the state the batch keeps of its connection.
struct Pusher {
  TkfxHTTP2Client* Client = nullptr;  // owned by the batch's owner component
  TkfxHTTP_JWT_Client* JWT = nullptr;
  std::atomic<bool> GivenUp{false};
  std::atomic<bool> Connected{false};  // a connection was made at some time
  // Connects that failed (reported without a connection) since the last
  // one that was made. Only these count towards giving up: a connection
  // that is down while the client makes its next one (after a GOAWAY, say)
  // has not failed, however often the batch happens to look at that moment.
  std::atomic<int> FailedConnects{0};
  std::mutex ErrorLock;
  std::string LastError;  // of a failed connect
  Clock::time_point LastUp = Clock::now();   // last seen connected (main thread)
  Clock::time_point LastTry = Clock::now();  // last connect tried by the batch (main thread)

  std::string Error() {
    std::lock_guard guard(ErrorLock);
    return LastError.empty() ? std::string("Cannot connect to server.") : LastError;
  }
};

// The client and its JWT client as the provider window sets them up, with
// the command line's server, TLS, proxy and notification settings.
void Configure(TkfxHTTP2Client& aClient, TkfxHTTP_JWT_Client& aJWT, const Options& o,
               bool aCertMode, const std::optional<ProxySetting>& aProxy);

// The clients of a batch, each configured by Configure with its handlers
// reporting to aOutcomes as client number c. Freeing the set closes their
// connections and stops their threads, so it must end before aOutcomes.
class PusherSet {
 public:
  PusherSet(size_t aCount, const Options& o, bool aCertMode,
            const std::optional<ProxySetting>& aProxy, Outcomes& aOutcomes);
  ~PusherSet();
  PusherSet(const PusherSet&) = delete;
  PusherSet& operator=(const PusherSet&) = delete;

  size_t Count() const { return FPushers.size(); }
  Pusher& operator[](size_t c) { return *FPushers[c]; }
  // A connection was made on some client at some time.
  bool AnyConnected() const;

 private:
  std::vector<std::unique_ptr<Pusher>> FPushers;
  // Owns the clients; declared last so it frees them first, before the
  // Pushers their handlers use.
  std::unique_ptr<TComponent> FOwner;
};

// A malformed device token: its stderr line and its output line; not sent.
void ReportMalformed(const DeviceToken& t, Outcomes& aOutcomes);

// Each well-formed token of aTokens posted on aPusher's client and waited
// for, one after the other; aBase is "https://host:port/3/device/".
void SendOneByOne(Pusher& aPusher, TokenFeed& aTokens, TMemoryStream& aBody,
                  const std::string& aBase, Outcomes& aOutcomes);

// The tokens of aTokens queued on the clients of aPushers, at most
// kWindowPerConnection waiting per connection, until each has its line.
// Clients whose connects keep failing, or that stay down, give their tokens
// up. With aProgress the progress line on stderr is refreshed.
void SendBatch(PusherSet& aPushers, TokenFeed& aTokens, TMemoryStream& aBody,
               const std::string& aBase, const HostPort& aServer, Outcomes& aOutcomes,
               bool aProgress, Clock::time_point aBatchStart);

}  // namespace apns_push
