#include "tools/apns-pushd/redis/redis_queue.h"

#include <unistd.h>

#include <algorithm>
#include <random>

namespace apns_pushd::redis {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char* const kGroup = "apns-pushd";
// The fields of a notification in its stream entry, in the order the append
// script receives them.
constexpr size_t kNotificationFields = 12;
constexpr size_t kOutcomeFields = 8;

// KEYS[1] the depth counter. ARGV: the key prefix, the maximum depth, the
// group, then 12 values per notification. Notifications whose id is stored
// already (a repeated append) are left out; the rest go in whole, or nothing
// when they would take the depth over the maximum (answer -1).
const char* const kAppendScript = R"lua(
local P, max, group = ARGV[1], tonumber(ARGV[2]), ARGV[3]
local fresh, seen = {}, {}
for b = 4, #ARGV, 12 do
  local id = ARGV[b]
  if not seen[id] and redis.call('EXISTS', P .. 'n:' .. id) == 0 then
    fresh[#fresh + 1] = b
  end
  seen[id] = true
end
if #fresh == 0 then return 0 end
local depth = tonumber(redis.call('GET', KEYS[1]) or '0')
if depth + #fresh > max then return -1 end
local ready = {}
for _, b in ipairs(fresh) do
  local id, app = ARGV[b], ARGV[b + 1]
  local s = P .. 'app:' .. app
  if not ready[app] then
    redis.pcall('XGROUP', 'CREATE', s, group, '0', 'MKSTREAM')
    ready[app] = true
  end
  local e = redis.call('XADD', s, '*', 'id', id, 'app', app, 'tok', ARGV[b + 2], 'pl', ARGV[b + 3],
    'top', ARGV[b + 4], 'type', ARGV[b + 5], 'prio', ARGV[b + 6], 'exp', ARGV[b + 7],
    'coll', ARGV[b + 8], 'aid', ARGV[b + 9], 'att', ARGV[b + 10], 'qat', ARGV[b + 11])
  redis.call('HSET', P .. 'n:' .. id, 'st', 'queued', 'app', app, 'e', e, 'sends', ARGV[b + 10],
    'qat', ARGV[b + 11])
end
redis.call('INCRBY', KEYS[1], #fresh)
return #fresh
)lua";

// KEYS[1] an app's stream. ARGV: prefix, group, consumer, minimum idle time,
// cursor, count. Claims entries idle that long; those whose notification is
// done already are acknowledged and left out. Answers {next cursor,
// {{entry id, fields, sends}...}}.
const char* const kClaimScript = R"lua(
local P, group, me = ARGV[1], ARGV[2], ARGV[3]
local r = redis.call('XAUTOCLAIM', KEYS[1], group, me, ARGV[4], ARGV[5], 'COUNT', ARGV[6])
local out = {}
for _, ent in ipairs(r[2]) do
  local eid, f = ent[1], ent[2]
  if type(f) == 'table' then
    local id = ''
    for i = 1, #f, 2 do if f[i] == 'id' then id = f[i + 1] end end
    local h = P .. 'n:' .. id
    if redis.call('HGET', h, 'st') == 'done' then
      redis.call('XACK', KEYS[1], group, eid)
      redis.call('XDEL', KEYS[1], eid)
    else
      out[#out + 1] = {eid, f, redis.call('HGET', h, 'sends') or '0'}
    end
  end
end
return {r[1], out}
)lua";

// ARGV: prefix, ids. Marks each unfinished notification sent and counts the
// send.
const char* const kMarkSentScript = R"lua(
local P = ARGV[1]
for i = 2, #ARGV do
  local h = P .. 'n:' .. ARGV[i]
  local st = redis.call('HGET', h, 'st')
  if st and st ~= 'done' then
    redis.call('HSET', h, 'st', 'sent')
    redis.call('HINCRBY', h, 'sends', 1)
  end
end
return 0
)lua";

// KEYS[1] an app's stream. ARGV: group, consumer, entry ids. Renews this
// consumer's hold on each entry it still holds (its idle time starts anew).
const char* const kRenewScript = R"lua(
local group, me = ARGV[1], ARGV[2]
for i = 3, #ARGV do
  local p = redis.call('XPENDING', KEYS[1], group, ARGV[i], ARGV[i], 1)
  if p[1] and p[1][2] == me then
    redis.call('XCLAIM', KEYS[1], group, me, 0, ARGV[i], 'JUSTID')
  end
end
return 0
)lua";

// ARGV: prefix, group, consumer, idle time, ids. Each unfinished
// notification that this consumer holds is made idle for the claim time, so
// that the next claim sweep takes it over, and reads as queued again.
const char* const kReleaseScript = R"lua(
local P, group, me = ARGV[1], ARGV[2], ARGV[3]
for i = 5, #ARGV do
  local h = P .. 'n:' .. ARGV[i]
  local v = redis.call('HMGET', h, 'st', 'app', 'e')
  if v[1] and v[1] ~= 'done' then
    local s = P .. 'app:' .. v[2]
    local p = redis.pcall('XPENDING', s, group, v[3], v[3], 1)
    if type(p) == 'table' and p[1] and p[1][2] == me then
      redis.call('XCLAIM', s, group, me, 0, v[3], 'IDLE', ARGV[4], 'JUSTID')
      redis.call('HSET', h, 'st', 'queued')
    end
  end
end
return 0
)lua";

// KEYS[1] the depth counter, KEYS[2] the outcome stream. ARGV: prefix,
// group, outcome stream length, record lifetime (s), then 8 values per
// outcome. Writes the first final outcome of each notification and
// acknowledges (and deletes) its entry; a later outcome is dropped. Answers
// the number written.
const char* const kFinishScript = R"lua(
local P, group, maxlen, ttl, call = ARGV[1], ARGV[2], ARGV[3], ARGV[4], ARGV[5]
local written, finished = {}, 0
for b = 6, #ARGV, 8 do
  local id = ARGV[b]
  local h = P .. 'n:' .. id
  local v = redis.call('HMGET', h, 'st', 'app', 'e', 'fin')
  local st, app, e, fin = v[1], v[2] or ARGV[b + 1], v[3], v[4]
  if e then
    local s = P .. 'app:' .. app
    redis.pcall('XACK', s, group, e)
    redis.call('XDEL', s, e)
  end
  if st ~= 'done' then
    redis.call('HSET', h, 'st', 'done', 'app', app, 'tok', ARGV[b + 2], 'status', ARGV[b + 3],
      'reason', ARGV[b + 4], 'aid', ARGV[b + 5], 'att', ARGV[b + 6], 'dat', ARGV[b + 7], 'fin', call)
    redis.call('EXPIRE', h, ttl)
    redis.call('XADD', KEYS[2], 'MAXLEN', '~', maxlen, '*', 'id', id, 'app', app,
      'tok', ARGV[b + 2], 'status', ARGV[b + 3], 'reason', ARGV[b + 4], 'aid', ARGV[b + 5],
      'att', ARGV[b + 6], 'dat', ARGV[b + 7])
    written[#written + 1] = 1
    if st then finished = finished + 1 end
  elseif fin == call then
    written[#written + 1] = 1  -- this very call wrote it; its answer was lost
  else
    written[#written + 1] = 0
  end
end
if finished > 0 then redis.call('DECRBY', KEYS[1], finished) end
return written
)lua";

// KEYS[1] an app's stream. ARGV: group, consumer. Removes the consumer from
// the group when it holds nothing (one that holds entries stays, so that
// they can be claimed).
const char* const kLeaveScript = R"lua(
local p = redis.pcall('XPENDING', KEYS[1], ARGV[1], '-', '+', 1, ARGV[2])
if type(p) == 'table' and p.err == nil and #p == 0 then
  redis.call('XGROUP', 'DELCONSUMER', KEYS[1], ARGV[1], ARGV[2])
end
return 0
)lua";

std::string DefaultConsumer() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || !host[0]) std::snprintf(host, sizeof host, "host");
  std::random_device rd;
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(rd()));
  return std::string(host) + "-" + std::to_string(getpid()) + "-" + suffix;
}

bool IsNoGroup(const RedisError& aError) {
  return std::string(aError.what()).find("NOGROUP") != std::string::npos;
}

// A stream entry's fields, as the append script wrote them.
Notification FromFields(const RedisValue& aFields) {
  Notification n;
  const auto& f = aFields.Elements;
  for (size_t i = 0; i + 1 < f.size(); i += 2) {
    const std::string& k = f[i].Str;
    const std::string& v = f[i + 1].Str;
    if (k == "id") n.Id = v;
    else if (k == "app") n.App = v;
    else if (k == "tok") n.DeviceToken = v;
    else if (k == "pl") n.Payload = v;
    else if (k == "top") n.Topic = v;
    else if (k == "type") n.PushType = v;
    else if (k == "prio") n.Priority = v;
    else if (k == "exp") n.Expiration = v;
    else if (k == "coll") n.CollapseId = v;
    else if (k == "aid") n.ApnsId = v;
    else if (k == "att") n.Attempts = static_cast<int>(f[i + 1].Number(0));
    else if (k == "qat") n.QueuedAtMs = f[i + 1].Number(0);
  }
  return n;
}

}  // namespace

RedisQueue::RedisQueue(RedisAddress aAddress, RedisQueueOptions aOptions)
    : FOptions(std::move(aOptions)),
      FClient(aAddress, FOptions.Client),
      FPrefix(aAddress.Name + ":"),
      FFinishMark(DefaultConsumer()) {
  if (FOptions.Consumer.empty()) FOptions.Consumer = DefaultConsumer();
  if (FOptions.RenewHolds) FRenewer = std::thread([this] { RenewLoop(); });
}

void RedisQueue::RenewLoop() {
  const milliseconds every = std::max(milliseconds(1), FOptions.ClaimAfter / 3);
  std::unique_lock lock(FRenewLock);
  while (!FRenewWake.wait_for(lock, every, [this] { return FClosed; })) {
    lock.unlock();
    std::vector<std::string> apps;
    {
      std::lock_guard<std::mutex> guard(FAppsLock);
      for (const auto& [id, held] : FHeld) apps.push_back(held.App);
    }
    std::sort(apps.begin(), apps.end());
    apps.erase(std::unique(apps.begin(), apps.end()), apps.end());
    for (const std::string& app : apps) {
      try {
        FClient.Run([&](RedisConnection& c) { Renew(c, app); }, every);
      } catch (const std::exception&) {
        // The server is away: renewed at the next turn once it is back.
      }
    }
    lock.lock();
  }
}

// What this instance took and did not finish stays pending in the group:
// another instance claims it after ClaimAfter, as it would after a crash.
// An instance that holds nothing leaves the group, so that the group's
// consumers are the instances that run (or died holding work).
RedisQueue::~RedisQueue() {
  Close();
  if (FRenewer.joinable()) FRenewer.join();
  std::vector<std::string> apps;
  for (const auto& [app, state] : FApps)
    if (state.GroupReady) apps.push_back(app);
  for (const auto& app : apps) {
    try {
      FClient.Run([&](RedisConnection& c) { EvalScript(c, kLeaveScript, {StreamKey(app)}, {kGroup, FOptions.Consumer}); },
                  milliseconds(200));
    } catch (const std::exception&) {
      // the server is away: the consumer stays, holding nothing
    }
  }
}

std::string RedisQueue::StreamKey(const std::string& aApp) const { return FPrefix + "app:" + aApp; }

milliseconds RedisQueue::SweepEvery() const {
  return std::clamp(FOptions.ClaimAfter / 2, milliseconds(10), milliseconds(1000));
}

bool RedisQueue::Append(const std::vector<Notification>& aBatch) {
  if (aBatch.empty()) return true;
  std::vector<std::string> args;
  args.reserve(3 + aBatch.size() * kNotificationFields);
  args.push_back(FPrefix);
  args.push_back(std::to_string(FOptions.MaxDepth));
  args.push_back(kGroup);
  for (const auto& n : aBatch) {
    for (const std::string* v : {&n.Id, &n.App, &n.DeviceToken, &n.Payload, &n.Topic, &n.PushType,
                                 &n.Priority, &n.Expiration, &n.CollapseId, &n.ApnsId})
      args.push_back(*v);
    args.push_back(std::to_string(n.Attempts));
    args.push_back(std::to_string(n.QueuedAtMs));
  }
  long long added = 0;
  FClient.Run([&](RedisConnection& c) {
    added = CheckReply(EvalScript(c, kAppendScript, {FPrefix + "depth"}, args), "append").Number(-1);
  });
  return added >= 0;
}

void RedisQueue::EnsureGroup(RedisConnection& aConnection, const std::string& aApp) {
  {
    std::lock_guard<std::mutex> lock(FAppsLock);
    if (FApps[aApp].GroupReady) return;
  }
  const RedisValue v = aConnection.Command({"XGROUP", "CREATE", StreamKey(aApp), kGroup, "0", "MKSTREAM"});
  if (v.IsError() && v.Str.rfind("BUSYGROUP", 0) != 0) CheckReply(v, "creating the consumer group");
  std::lock_guard<std::mutex> lock(FAppsLock);
  FApps[aApp].GroupReady = true;
}

std::vector<Notification> RedisQueue::Claim(RedisConnection& aConnection, const std::string& aApp,
                                            size_t aMax) {
  // Nothing is claimed for a while after a lost connection: the server may
  // have been away for everyone, and the holders renew first.
  if (Clock::now() < FClient.LastConnectionLoss() + FOptions.ClaimAfter) return {};
  std::string cursor;
  {
    std::lock_guard<std::mutex> lock(FAppsLock);
    AppState& s = FApps[aApp];
    if (Clock::now() < s.NextSweep) return {};
    cursor = s.Cursor;
  }
  const RedisValue v = CheckReply(
      EvalScript(aConnection, kClaimScript, {StreamKey(aApp)},
                 {FPrefix, kGroup, FOptions.Consumer, std::to_string(FOptions.ClaimAfter.count()), cursor,
                  std::to_string(aMax)}),
      "claiming");
  std::vector<Notification> out;
  std::string next = "0-0";
  if (v.Elements.size() == 2) {
    next = v.Elements[0].Text();
    for (const auto& entry : v.Elements[1].Elements) {
      if (entry.Elements.size() != 3) continue;
      Notification n = FromFields(entry.Elements[1]);
      std::lock_guard<std::mutex> lock(FAppsLock);
      if (FHeld.count(n.Id)) continue;  // still in hand here: the claim renewed its hold
      n.Attempts = std::max(n.Attempts, static_cast<int>(entry.Elements[2].Number(0)));
      FHeld[n.Id] = Held{aApp, entry.Elements[0].Str};
      out.push_back(std::move(n));
    }
  }
  std::lock_guard<std::mutex> lock(FAppsLock);
  AppState& s = FApps[aApp];
  s.Cursor = next.empty() ? "0-0" : next;
  // A sweep that stopped inside the pending list goes on at the next Take.
  s.NextSweep = s.Cursor == "0-0" ? Clock::now() + SweepEvery() : Clock::time_point{};
  return out;
}

void RedisQueue::Renew(RedisConnection& aConnection, const std::string& aApp) {
  std::vector<std::string> args = {kGroup, FOptions.Consumer};
  {
    std::lock_guard<std::mutex> lock(FAppsLock);
    AppState& s = FApps[aApp];
    const auto now = Clock::now();
    if (now < s.NextRenewal) return;
    s.NextRenewal = now + std::max(milliseconds(1), FOptions.ClaimAfter / 3);
    for (const auto& [id, held] : FHeld)
      if (held.App == aApp) args.push_back(held.Entry);
  }
  if (args.size() > 2) CheckReply(EvalScript(aConnection, kRenewScript, {StreamKey(aApp)}, args), "renewing");
}

std::vector<Notification> RedisQueue::Take(const std::string& aApp, size_t aMax, milliseconds aWait) {
  std::vector<Notification> out;
  if (aMax == 0 || FClient.Interrupted()) return out;
  const auto deadline = Clock::now() + aWait;
  const std::string stream = StreamKey(aApp);
  try {
    FClient.Run(
        [&](RedisConnection& c) {
          EnsureGroup(c, aApp);
          Renew(c, aApp);
          out = Claim(c, aApp, aMax);
          if (!out.empty()) return;
          const auto left = std::max(milliseconds(0),
                                     std::chrono::duration_cast<milliseconds>(deadline - Clock::now()));
          std::vector<std::string> argv = {"XREADGROUP", "GROUP", kGroup, FOptions.Consumer,
                                           "COUNT", std::to_string(aMax)};
          if (left.count() > 0) {
            argv.push_back("BLOCK");
            argv.push_back(std::to_string(left.count()));
            c.SetTimeout(left + FOptions.Client.CommandTimeout);
          }
          argv.insert(argv.end(), {"STREAMS", stream, ">"});
          const RedisValue v = c.Command(argv);
          if (left.count() > 0) c.SetTimeout(FOptions.Client.CommandTimeout);
          CheckReply(v, "reading " + stream);
          for (const auto& s : v.Elements) {
            if (s.Elements.size() != 2) continue;
            std::lock_guard<std::mutex> lock(FAppsLock);
            for (const auto& entry : s.Elements[1].Elements)
              if (entry.Elements.size() == 2 && !entry.Elements[1].IsNil()) {
                out.push_back(FromFields(entry.Elements[1]));
                FHeld[out.back().Id] = Held{aApp, entry.Elements[0].Str};
              }
          }
        },
        std::max(aWait, milliseconds(1)), true);
  } catch (const RedisError& e) {
    if (IsNoGroup(e)) {
      // The server lost the group (restarted without its data): made again
      // by the next Take.
      std::lock_guard<std::mutex> lock(FAppsLock);
      FApps[aApp].GroupReady = false;
      return {};
    }
    if (e.Connection()) return {};  // waited out within aWait; the caller takes again
    throw;
  }
  return out;
}

void RedisQueue::MarkSent(const std::vector<std::string>& aIds) {
  if (aIds.empty()) return;
  std::vector<std::string> args = {FPrefix};
  args.insert(args.end(), aIds.begin(), aIds.end());
  try {
    FClient.Run([&](RedisConnection& c) { CheckReply(EvalScript(c, kMarkSentScript, {}, args), "marking sent"); });
  } catch (const RedisError& e) {
    // Only the state shown by Lookup and the renewal of the hold are lost;
    // the sends go on.
    if (!e.Connection()) throw;
  }
}

std::vector<bool> RedisQueue::FinishEach(const std::vector<Outcome>& aOutcomes) {
  if (aOutcomes.empty()) return {};
  // The call's own mark on what it writes, so that the same call repeated
  // after a lost answer knows its outcomes from another instance's.
  const std::string call = FFinishMark + ":" + std::to_string(++FFinishCalls);
  std::vector<std::string> args = {FPrefix, kGroup, std::to_string(FOptions.OutcomesMaxLen),
                                   std::to_string(std::max<long long>(1, FOptions.StateTtl.count())), call};
  args.reserve(args.size() + aOutcomes.size() * kOutcomeFields);
  for (const auto& o : aOutcomes) {
    args.push_back(o.Id);
    args.push_back(o.App);
    args.push_back(o.DeviceToken);
    args.push_back(std::to_string(o.Status));
    args.push_back(o.Reason);
    args.push_back(o.ApnsId);
    args.push_back(std::to_string(o.Attempts));
    args.push_back(std::to_string(o.DoneAtMs));
  }
  std::vector<bool> written(aOutcomes.size(), false);
  FClient.Run([&](RedisConnection& c) {
    const RedisValue reply =
        CheckReply(EvalScript(c, kFinishScript, {FPrefix + "depth", FPrefix + "outcomes"}, args), "finishing");
    for (size_t i = 0; i < written.size() && i < reply.Elements.size(); ++i)
      written[i] = reply.Elements[i].Number(0) == 1;
  });
  std::lock_guard<std::mutex> lock(FAppsLock);
  for (const auto& o : aOutcomes) FHeld.erase(o.Id);
  return written;
}

void RedisQueue::Release(const std::vector<Notification>& aNotifications) {
  if (aNotifications.empty()) return;
  std::vector<std::string> args = {FPrefix, kGroup, FOptions.Consumer,
                                   std::to_string(FOptions.ClaimAfter.count())};
  for (const auto& n : aNotifications) args.push_back(n.Id);
  FClient.Run([&](RedisConnection& c) { CheckReply(EvalScript(c, kReleaseScript, {}, args), "releasing"); });
  std::lock_guard<std::mutex> lock(FAppsLock);
  for (const auto& n : aNotifications) FHeld.erase(n.Id);
}

std::optional<NotificationStatus> RedisQueue::Lookup(const std::string& aId) {
  RedisValue v;
  FClient.Run([&](RedisConnection& c) { v = CheckReply(c.Command({"HGETALL", FPrefix + "n:" + aId}), "lookup"); });
  if (v.Elements.empty()) return std::nullopt;
  std::map<std::string, const RedisValue*> f;
  for (size_t i = 0; i + 1 < v.Elements.size(); i += 2) f[v.Elements[i].Str] = &v.Elements[i + 1];
  auto text = [&](const char* k) { return f.count(k) ? f[k]->Str : std::string(); };
  auto number = [&](const char* k) { return f.count(k) ? f[k]->Number(0) : 0; };
  NotificationStatus s;
  const std::string st = text("st");
  if (st == "done") {
    s.State = NotificationState::Done;
    Outcome o;
    o.Id = aId;
    o.App = text("app");
    o.DeviceToken = text("tok");
    o.Status = static_cast<int>(number("status"));
    o.Reason = text("reason");
    o.ApnsId = text("aid");
    o.Attempts = static_cast<int>(number("att"));
    o.DoneAtMs = number("dat");
    s.Final = std::move(o);
  } else if (st == "sent") {
    s.State = NotificationState::Sent;
  } else {
    s.State = NotificationState::Queued;
  }
  return s;
}

size_t RedisQueue::Depth() {
  long long depth = 0;
  FClient.Run([&](RedisConnection& c) { depth = CheckReply(c.Command({"GET", FPrefix + "depth"}), "depth").Number(0); });
  return static_cast<size_t>(std::max<long long>(0, depth));
}

void RedisQueue::Close() {
  {
    std::lock_guard lock(FRenewLock);
    FClosed = true;
  }
  FRenewWake.notify_all();
  FClient.Interrupt();
}

std::unique_ptr<RedisQueue> MakeRedisQueue(const std::string& aUrl, const RedisQueueOptions& aOptions) {
  const RedisAddress address = ParseRedisUrl(aUrl);
  RedisQueueOptions options = aOptions;
  if (address.ClaimAfterMs) options.ClaimAfter = milliseconds(address.ClaimAfterMs);
  if (address.RetryMs) options.Client.RetryFor = milliseconds(address.RetryMs);
  auto queue = std::make_unique<RedisQueue>(address, options);
  queue->Depth();  // reaches the server now, so that a wrong address shows at start
  return queue;
}

}  // namespace apns_pushd::redis
