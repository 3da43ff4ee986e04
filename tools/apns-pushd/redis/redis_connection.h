// Connections to one Redis server for the fleet mode of apns-pushd: the
// address read from a redis://host:port/name URL, one synchronous hiredis
// connection, and a client that keeps a pool of them and retries a call on
// a lost connection with backoff.
//
// A connection is used by one thread at a time: the client lends it out for
// the length of a call (a blocking read keeps it for its whole wait). Every
// call is bounded: a lost or refused connection is retried until the
// client's retry time has passed, then RedisError names the server and the
// last error.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

struct redisContext;

namespace apns_pushd::redis {

// Where a fleet's queue lives: the server, and the name that prefixes every
// key of the fleet (its streams, records and tokens).
struct RedisAddress {
  std::string Host;
  uint16_t Port = 6379;
  std::string Name;
  // Settings given after the name (?claim_after_ms=N&retry_ms=N), 0 when
  // not given: the queue's claim time and the retry time of every call.
  long long ClaimAfterMs = 0;
  long long RetryMs = 0;
  // "host:port" ("[::1]:port" for an IPv6 literal), for messages.
  std::string Endpoint() const;
};

// A redis:// URL that cannot be used; the message names what is wrong.
class RedisUrlError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// redis://host[:port]/name[?claim_after_ms=N&retry_ms=N]: a host name, an
// IPv4 literal or a bracketed IPv6 literal; the port (6379 when left out);
// the name of the fleet's keys (letters, digits, '.', '_', '-'); settings
// in milliseconds (claim_after_ms 100 to 86400000, retry_ms 100 to
// 3600000). Credentials, a database number, other settings or anything
// after the name are refused.
RedisAddress ParseRedisUrl(const std::string& aUrl);

// A failure talking to Redis. Connection() is true when the connection was
// refused, lost or timed out (worth a retry on a new connection), false for
// an error answered by the server.
class RedisError : public std::runtime_error {
 public:
  RedisError(const std::string& aMessage, bool aConnection)
      : std::runtime_error(aMessage), FConnection(aConnection) {}
  bool Connection() const { return FConnection; }

 private:
  bool FConnection;
};

// One answer of the server, owned (copied out of hiredis' reply).
struct RedisValue {
  enum class Kind { Nil, String, Integer, Array, Status, Error };
  Kind Type = Kind::Nil;
  std::string Str;  // String, Status and Error
  long long Int = 0;
  std::vector<RedisValue> Elements;

  bool IsNil() const { return Type == Kind::Nil; }
  bool IsError() const { return Type == Kind::Error; }
  // The text of a String or Status, the digits of an Integer, "" otherwise.
  std::string Text() const;
  // The number of an Integer or of a String of digits; aDefault otherwise.
  long long Number(long long aDefault = 0) const;
};

// One synchronous connection. Not shared between threads, except for
// Interrupt, which may be called from any thread while another uses it.
class RedisConnection {
 public:
  // Connects, within aConnectTimeout; every later command must be answered
  // within aCommandTimeout. Throws RedisError (Connection()) on failure.
  RedisConnection(const RedisAddress& aAddress, std::chrono::milliseconds aConnectTimeout,
                  std::chrono::milliseconds aCommandTimeout);
  ~RedisConnection();
  RedisConnection(const RedisConnection&) = delete;
  RedisConnection& operator=(const RedisConnection&) = delete;

  // Sends one command and reads its answer. An error answer is returned as
  // such (IsError); a lost connection throws RedisError (Connection()) and
  // leaves the connection Broken.
  RedisValue Command(const std::vector<std::string>& aArgv);
  // Sends the commands in one write and reads their answers in order.
  std::vector<RedisValue> Pipeline(const std::vector<std::vector<std::string>>& aCommands);
  // The longest wait for an answer from now on (a blocking read needs its
  // own wait on top of the usual bound).
  void SetTimeout(std::chrono::milliseconds aTimeout);
  // Shuts the socket down, so that a command waiting on it ends at once
  // with a connection error. Safe from another thread.
  void Interrupt();
  bool Broken() const { return FBroken; }

 private:
  [[noreturn]] void Fail(const char* aWhat);
  const RedisAddress FAddress;
  redisContext* FContext = nullptr;
  bool FBroken = false;
};

struct RedisClientOptions {
  std::chrono::milliseconds ConnectTimeout{2000};
  std::chrono::milliseconds CommandTimeout{5000};
  // How long a call keeps retrying a lost or refused connection before it
  // throws RedisError.
  std::chrono::milliseconds RetryFor{10000};
};

// A pool of connections to one server, shared by the threads of one queue
// or token source.
class RedisClient {
 public:
  using Call = std::function<void(RedisConnection&)>;

  RedisClient(RedisAddress aAddress, RedisClientOptions aOptions);
  ~RedisClient();

  const RedisAddress& Address() const { return FAddress; }
  const RedisClientOptions& Options() const { return FOptions; }

  // Runs aCall on a pooled connection. When the connection is refused or
  // lost, the call is run again on a new one after a backoff (50 ms, doubling
  // up to 1 s) until aRetryFor (the client's RetryFor when zero) has passed;
  // then the last RedisError is thrown with the server named. An error
  // answered by the server is the call's to handle. With aInterruptible the
  // call ends early (returns false) once Interrupt was called; the
  // connection is then shut down under a command that waits (a blocking
  // read). True when aCall ran to its end.
  bool Run(const Call& aCall, std::chrono::milliseconds aRetryFor = std::chrono::milliseconds(0),
           bool aInterruptible = false);

  // Ends interruptible calls at once, now and later: shuts down the
  // connections they use and wakes their backoff.
  void Interrupt();
  bool Interrupted();

  // When a call last lost its connection (refused, broken); the clock's
  // epoch when none ever did.
  std::chrono::steady_clock::time_point LastConnectionLoss() const {
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(FLastLoss.load()));
  }

 private:
  std::unique_ptr<RedisConnection> Acquire();
  void Give(std::unique_ptr<RedisConnection> aConnection);

  const RedisAddress FAddress;
  const RedisClientOptions FOptions;
  std::mutex FLock;
  std::condition_variable FWake;
  std::vector<std::unique_ptr<RedisConnection>> FIdle;
  std::set<RedisConnection*> FInterruptible;  // lent to interruptible calls
  bool FInterrupted = false;
  std::atomic<std::chrono::steady_clock::rep> FLastLoss{0};
};

// Evaluates a Lua script (sent whole: the server keeps its compiled form by
// its digest, so a restarted server needs nothing loaded first).
RedisValue EvalScript(RedisConnection& aConnection, const std::string& aScript,
                      const std::vector<std::string>& aKeys,
                      const std::vector<std::string>& aArgs);

// Throws RedisError when aValue is an error answer (aWhat names the command
// in the message): a connection error for LOADING (a restarted server still
// reading its data, worth a retry), an answered error otherwise.
const RedisValue& CheckReply(const RedisValue& aValue, const std::string& aWhat);

}  // namespace apns_pushd::redis
