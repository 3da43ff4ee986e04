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
#include <unordered_set>
#include <vector>

#include "http2/client/kfxHTTP.h"
#include "rtl/Streams.h"
#include "tools/apns-push/addresses.h"
#include "tools/apns-push/inputs.h"
#include "tools/apns-push/lines.h"
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
constexpr const char* kCutOffRetried =
    "The connection ended before the answer; sent again as often as --retries allows.";

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

// Where a batch takes its notifications from. Items that cannot be sent
// (malformed tokens, bad lines) get their lines from the source itself;
// device tokens done in an earlier run are skipped there.
class NotificationSource {
 public:
  enum class Got { Item, Wait, End };
  virtual ~NotificationSource() = default;
  // The next notification in n; Wait when none is ready within aTimeoutMs
  // (input from a pipe).
  virtual Got Next(Notification& n, int aTimeoutMs) = 0;
  // The next of those read already (read ahead) and not given yet, without
  // reading more; false when there is none.
  virtual bool NextReadAhead(Notification&) { return false; }
  // Device tokens left out as done.
  size_t Skipped() const { return FSkipped; }

 protected:
  size_t FSkipped = 0;
};

// The device tokens of a TokenFeed; those in aDone (lower case) are skipped.
class TokenNotifications : public NotificationSource {
 public:
  TokenNotifications(TokenFeed& aFeed, Outcomes& aOutcomes,
                     const std::unordered_set<std::string>* aDone)
      : FFeed(aFeed), FOutcomes(aOutcomes), FDone(aDone) {}
  Got Next(Notification& n, int aTimeoutMs) override;
  bool NextReadAhead(Notification& n) override;

 private:
  // t as the next notification n; false (and its line written, or counted
  // as skipped) for a malformed token or one done before.
  bool Usable(DeviceToken& t, Notification& n);

  TokenFeed& FFeed;
  Outcomes& FOutcomes;
  const std::unordered_set<std::string>* FDone;
};

// The notifications of JSON lines (--input); bad lines get their own
// output line and a line on stderr.
class LineNotifications : public NotificationSource {
 public:
  LineNotifications(LineReader& aReader, LineParser& aParser, Outcomes& aOutcomes,
                    const std::unordered_set<std::string>* aDone)
      : FReader(aReader), FParser(aParser), FOutcomes(aOutcomes), FDone(aDone) {}
  Got Next(Notification& n, int aTimeoutMs) override;

 private:
  LineReader& FReader;
  LineParser& FParser;
  Outcomes& FOutcomes;
  const std::unordered_set<std::string>* FDone;
  std::string FLine, FProblem, FToken;
};

// What a batch sends besides its notifications.
struct BatchSetup {
  std::string Base;  // "https://host:port/3/device/"
  HostPort Server;
  std::string Payload;      // the command line's payload
  TkfxAPNsHeaders Headers;  // the command line's apns-* headers
  double Rate = 0;          // notifications per second over all connections; 0: no cap
  RetryPolicy Retry;
  bool Progress = false;  // refresh the progress line on stderr
  Clock::time_point Start;
};

// Each notification of aSource posted on aPusher's client and waited for,
// one after the other, with retries as aSetup.Retry says.
void SendOneByOne(Pusher& aPusher, NotificationSource& aSource, const BatchSetup& aSetup,
                  Outcomes& aOutcomes);

// The notifications of aSource queued on the clients of aPushers, at most
// kWindowPerConnection waiting per connection, retried as aOutcomes'
// policy says, until each has its line. Clients whose connects keep
// failing, or that stay down, give their notifications up. On SIGINT or
// SIGTERM no more are read or queued, and those in flight get at most
// kInterruptWait for their answers.
void SendBatch(PusherSet& aPushers, NotificationSource& aSource, const BatchSetup& aSetup,
               Outcomes& aOutcomes);

// After SIGINT or SIGTERM, the longest wait for answers in flight.
constexpr auto kInterruptWait = std::chrono::seconds(10);
constexpr const char* kInterruptedNotSent = "Interrupted; not sent.";
constexpr const char* kInterruptedUnanswered =
    "Interrupted before the answer; it may have been delivered.";

}  // namespace apns_push
