#include "tools/apns-pushd/redis/redis_connection.h"

#include <hiredis/hiredis.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <thread>

namespace apns_pushd::redis {

namespace {

constexpr const char* kScheme = "redis://";

bool NameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
}

bool HostChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-';
}

RedisValue Copy(const redisReply* aReply) {
  RedisValue v;
  switch (aReply->type) {
    case REDIS_REPLY_STRING:
      v.Type = RedisValue::Kind::String;
      v.Str.assign(aReply->str, aReply->len);
      break;
    case REDIS_REPLY_STATUS:
      v.Type = RedisValue::Kind::Status;
      v.Str.assign(aReply->str, aReply->len);
      break;
    case REDIS_REPLY_ERROR:
      v.Type = RedisValue::Kind::Error;
      v.Str.assign(aReply->str, aReply->len);
      break;
    case REDIS_REPLY_INTEGER:
      v.Type = RedisValue::Kind::Integer;
      v.Int = aReply->integer;
      break;
    case REDIS_REPLY_ARRAY:
      v.Type = RedisValue::Kind::Array;
      v.Elements.reserve(aReply->elements);
      for (size_t i = 0; i < aReply->elements; ++i) v.Elements.push_back(Copy(aReply->element[i]));
      break;
    default:
      break;  // nil
  }
  return v;
}

// hiredis writes with write(2), which raises SIGPIPE on a socket whose peer
// has gone and would end the process. While a command is written the signal
// is blocked on the writing thread, and one it raised is taken out of the
// thread's pending set before the mask is restored; the write fails with
// EPIPE instead.
class SigpipeBlock {
 public:
  SigpipeBlock() {
    sigemptyset(&FSet);
    sigaddset(&FSet, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    FWasPending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &FSet, &FOld);
  }
  ~SigpipeBlock() {
    if (!FWasPending) {
      sigset_t pending;
      sigpending(&pending);
      if (sigismember(&pending, SIGPIPE) == 1) {
        const timespec none{0, 0};
        while (sigtimedwait(&FSet, nullptr, &none) == -1 && errno == EINTR) {
        }
      }
    }
    pthread_sigmask(SIG_SETMASK, &FOld, nullptr);
  }
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;

 private:
  sigset_t FSet, FOld;
  bool FWasPending = false;
};

timeval ToTimeval(std::chrono::milliseconds aTime) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(aTime.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((aTime.count() % 1000) * 1000);
  return tv;
}

}  // namespace

std::string RedisAddress::Endpoint() const {
  const bool v6 = Host.find(':') != std::string::npos;
  return (v6 ? "[" + Host + "]" : Host) + ":" + std::to_string(Port);
}

RedisAddress ParseRedisUrl(const std::string& aUrl) {
  RedisAddress a;
  if (aUrl.rfind(kScheme, 0) != 0)
    throw RedisUrlError("a Redis queue URL starts with redis:// (redis://host:port/name), not \"" +
                        aUrl + "\"");
  std::string rest = aUrl.substr(std::strlen(kScheme));
  const size_t slash = rest.find('/');
  std::string authority = rest.substr(0, slash);
  if (authority.find('@') != std::string::npos)
    throw RedisUrlError("the Redis queue URL must not hold credentials: redis://host:port/name");
  if (authority.empty()) throw RedisUrlError("the Redis queue URL names no host: redis://host:port/name");
  std::string port;
  if (authority[0] == '[') {
    const size_t close = authority.find(']');
    if (close == std::string::npos || close == 1)
      throw RedisUrlError("the Redis queue URL has a malformed IPv6 address: " + authority);
    a.Host = authority.substr(1, close - 1);
    for (char c : a.Host)
      if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.')
        throw RedisUrlError("the Redis queue URL has a malformed IPv6 address: " + authority);
    const std::string after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') throw RedisUrlError("the Redis queue URL has a malformed host: " + authority);
      port = after.substr(1);
      if (port.empty()) throw RedisUrlError("the Redis queue URL has an empty port: " + authority);
    }
  } else {
    const size_t colon = authority.find(':');
    a.Host = authority.substr(0, colon);
    if (colon != std::string::npos) {
      port = authority.substr(colon + 1);
      if (port.empty()) throw RedisUrlError("the Redis queue URL has an empty port: " + authority);
    }
    if (a.Host.empty()) throw RedisUrlError("the Redis queue URL names no host: redis://host:port/name");
    if (!std::all_of(a.Host.begin(), a.Host.end(), HostChar))
      throw RedisUrlError("the Redis queue URL has a malformed host: " + a.Host);
  }
  if (!port.empty()) {
    if (port.size() > 5 || !std::all_of(port.begin(), port.end(),
                                        [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
      throw RedisUrlError("the Redis queue URL's port is not a number from 1 to 65535: " + port);
    const long p = std::stol(port);
    if (p < 1 || p > 65535)
      throw RedisUrlError("the Redis queue URL's port is not a number from 1 to 65535: " + port);
    a.Port = static_cast<uint16_t>(p);
  }
  if (slash == std::string::npos || slash + 1 == rest.size())
    throw RedisUrlError("the Redis queue URL names no queue: redis://host:port/name");
  a.Name = rest.substr(slash + 1);
  if (const size_t query = a.Name.find('?'); query != std::string::npos) {
    const std::string settings = a.Name.substr(query + 1);
    a.Name.resize(query);
    for (size_t at = 0; at <= settings.size();) {
      size_t amp = settings.find('&', at);
      if (amp == std::string::npos) amp = settings.size();
      const std::string pair = settings.substr(at, amp - at);
      at = amp + 1;
      const size_t eq = pair.find('=');
      const std::string key = pair.substr(0, eq), value = eq == std::string::npos ? "" : pair.substr(eq + 1);
      long long* target = key == "claim_after_ms" ? &a.ClaimAfterMs : key == "retry_ms" ? &a.RetryMs : nullptr;
      if (!target)
        throw RedisUrlError("the Redis queue URL has an unknown setting \"" + key +
                            "\" (known: claim_after_ms, retry_ms)");
      const long long most = target == &a.ClaimAfterMs ? 86400000 : 3600000;
      const bool digits = !value.empty() && value.size() <= 9 &&
                          std::all_of(value.begin(), value.end(),
                                      [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
      if (!digits || std::stoll(value) < 100 || std::stoll(value) > most)
        throw RedisUrlError("the Redis queue URL's " + key + " is not a number of milliseconds from 100 to " +
                            std::to_string(most) + ": \"" + value + "\"");
      *target = std::stoll(value);
    }
  }
  if (a.Name.empty()) throw RedisUrlError("the Redis queue URL names no queue: redis://host:port/name");
  if (!std::all_of(a.Name.begin(), a.Name.end(), NameChar))
    throw RedisUrlError("the Redis queue name may hold only letters, digits, '.', '_' and '-': " + a.Name);
  return a;
}

std::string RedisValue::Text() const {
  switch (Type) {
    case Kind::String:
    case Kind::Status:
      return Str;
    case Kind::Integer:
      return std::to_string(Int);
    default:
      return {};
  }
}

long long RedisValue::Number(long long aDefault) const {
  if (Type == Kind::Integer) return Int;
  if (Type != Kind::String || Str.empty()) return aDefault;
  try {
    size_t used = 0;
    const long long n = std::stoll(Str, &used);
    return used == Str.size() ? n : aDefault;
  } catch (const std::exception&) {
    return aDefault;
  }
}

RedisConnection::RedisConnection(const RedisAddress& aAddress, std::chrono::milliseconds aConnectTimeout,
                                 std::chrono::milliseconds aCommandTimeout)
    : FAddress(aAddress) {
  FContext = redisConnectWithTimeout(aAddress.Host.c_str(), aAddress.Port, ToTimeval(aConnectTimeout));
  if (FContext == nullptr) throw RedisError("redis " + aAddress.Endpoint() + ": out of memory", true);
  if (FContext->err) {
    const std::string what = FContext->errstr;
    redisFree(FContext);
    FContext = nullptr;
    throw RedisError("redis " + aAddress.Endpoint() + ": " + what, true);
  }
  SetTimeout(aCommandTimeout);
}

RedisConnection::~RedisConnection() {
  if (FContext) redisFree(FContext);
}

void RedisConnection::SetTimeout(std::chrono::milliseconds aTimeout) {
  if (redisSetTimeout(FContext, ToTimeval(aTimeout)) != REDIS_OK) Fail("setting the time-out");
}

void RedisConnection::Interrupt() {
  // The descriptor stays open until the owning thread frees the context, so
  // shutting it down here cannot touch a reused descriptor.
  if (FContext && FContext->fd >= 0) ::shutdown(FContext->fd, SHUT_RDWR);
}

void RedisConnection::Fail(const char* aWhat) {
  FBroken = true;
  std::string why = FContext->errstr[0] ? FContext->errstr : "connection lost";
  if (FContext->err == REDIS_ERR_IO && (errno == EAGAIN || errno == EWOULDBLOCK))
    why = "no answer in time";
  throw RedisError("redis " + FAddress.Endpoint() + ": " + why + " (" + aWhat + ")", true);
}

RedisValue RedisConnection::Command(const std::vector<std::string>& aArgv) {
  return Pipeline({aArgv}).front();
}

std::vector<RedisValue> RedisConnection::Pipeline(const std::vector<std::vector<std::string>>& aCommands) {
  if (FBroken) throw RedisError("redis " + FAddress.Endpoint() + ": connection lost", true);
  const SigpipeBlock no_sigpipe;
  std::vector<const char*> argv;
  std::vector<size_t> lengths;
  for (const auto& command : aCommands) {
    argv.clear();
    lengths.clear();
    for (const auto& a : command) {
      argv.push_back(a.data());
      lengths.push_back(a.size());
    }
    if (redisAppendCommandArgv(FContext, static_cast<int>(argv.size()), argv.data(), lengths.data()) !=
        REDIS_OK)
      Fail("sending");
  }
  std::vector<RedisValue> answers;
  answers.reserve(aCommands.size());
  for (size_t i = 0; i < aCommands.size(); ++i) {
    void* reply = nullptr;
    if (redisGetReply(FContext, &reply) != REDIS_OK || reply == nullptr) Fail("reading");
    answers.push_back(Copy(static_cast<redisReply*>(reply)));
    freeReplyObject(reply);
  }
  return answers;
}

RedisClient::RedisClient(RedisAddress aAddress, RedisClientOptions aOptions)
    : FAddress(std::move(aAddress)), FOptions(aOptions) {}

RedisClient::~RedisClient() = default;

std::unique_ptr<RedisConnection> RedisClient::Acquire() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    if (!FIdle.empty()) {
      auto c = std::move(FIdle.back());
      FIdle.pop_back();
      return c;
    }
  }
  return std::make_unique<RedisConnection>(FAddress, FOptions.ConnectTimeout, FOptions.CommandTimeout);
}

void RedisClient::Give(std::unique_ptr<RedisConnection> aConnection) {
  if (!aConnection || aConnection->Broken()) return;
  std::lock_guard<std::mutex> lock(FLock);
  FIdle.push_back(std::move(aConnection));
}

void RedisClient::Interrupt() {
  std::lock_guard<std::mutex> lock(FLock);
  FInterrupted = true;
  for (auto* c : FInterruptible) c->Interrupt();
  FWake.notify_all();
}

bool RedisClient::Interrupted() {
  std::lock_guard<std::mutex> lock(FLock);
  return FInterrupted;
}

bool RedisClient::Run(const Call& aCall, std::chrono::milliseconds aRetryFor, bool aInterruptible) {
  using Clock = std::chrono::steady_clock;
  const auto retry_for = aRetryFor.count() > 0 ? aRetryFor : FOptions.RetryFor;
  const auto deadline = Clock::now() + retry_for;
  auto backoff = std::chrono::milliseconds(50);
  for (;;) {
    if (aInterruptible && Interrupted()) return false;
    std::unique_ptr<RedisConnection> c;
    try {
      c = Acquire();
      if (aInterruptible) {
        std::lock_guard<std::mutex> lock(FLock);
        if (FInterrupted) {
          FIdle.push_back(std::move(c));
          return false;
        }
        FInterruptible.insert(c.get());
      }
      struct Unregister {
        RedisClient* Client;
        RedisConnection* Connection;
        ~Unregister() {
          if (!Connection) return;
          std::lock_guard<std::mutex> lock(Client->FLock);
          Client->FInterruptible.erase(Connection);
        }
      } unregister{this, aInterruptible ? c.get() : nullptr};
      aCall(*c);
    } catch (const RedisError& e) {
      if (!e.Connection()) {
        Give(std::move(c));
        throw;
      }
      c.reset();  // broken: never back into the pool
      FLastLoss.store(Clock::now().time_since_epoch().count());
      if (aInterruptible && Interrupted()) return false;
      if (Clock::now() + backoff > deadline)
        throw RedisError(std::string(e.what()) + "; gave up after " +
                             std::to_string(retry_for.count()) + " ms of retries",
                         true);
      std::unique_lock<std::mutex> lock(FLock);
      FWake.wait_for(lock, backoff, [&] { return aInterruptible && FInterrupted; });
      backoff = std::min(backoff * 2, std::chrono::milliseconds(1000));
      continue;
    } catch (...) {
      Give(std::move(c));
      throw;
    }
    Give(std::move(c));
    return true;
  }
}

RedisValue EvalScript(RedisConnection& aConnection, const std::string& aScript,
                      const std::vector<std::string>& aKeys, const std::vector<std::string>& aArgs) {
  std::vector<std::string> argv;
  argv.reserve(3 + aKeys.size() + aArgs.size());
  argv.emplace_back("EVAL");
  argv.push_back(aScript);
  argv.push_back(std::to_string(aKeys.size()));
  argv.insert(argv.end(), aKeys.begin(), aKeys.end());
  argv.insert(argv.end(), aArgs.begin(), aArgs.end());
  return aConnection.Command(argv);
}

const RedisValue& CheckReply(const RedisValue& aValue, const std::string& aWhat) {
  if (!aValue.IsError()) return aValue;
  // A server that is loading its data after a restart answers LOADING for a
  // while: retried like a lost connection.
  const bool loading = aValue.Str.rfind("LOADING", 0) == 0;
  throw RedisError("redis " + aWhat + ": " + aValue.Str, loading);
}

}  // namespace apns_pushd::redis
