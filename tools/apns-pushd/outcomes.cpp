#include "tools/apns-pushd/outcomes.h"

#include <httplib.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <random>

#include "jwt/kfxJSON.h"
#include "tools/apns-pushd/log.h"

namespace apns_pushd {

namespace {

// The webhook keeps at most this many outcomes waiting; beyond, the oldest
// are dropped (logged and counted) rather than the service running out of
// memory while the webhook is down.
constexpr size_t kHookBacklogMax = 1000000;

void AppendString(std::string& aOut, const char* aName, const std::string& aValue) {
  aOut += '"';
  aOut += aName;
  aOut += "\":\"";
  AppendJSONString(aOut, aValue, false);
  aOut += '"';
}

}  // namespace

std::string OutcomeJSON(const Outcome& o) {
  std::string s = "{";
  AppendString(s, "id", o.Id);
  s += ',';
  AppendString(s, "app", o.App);
  s += ',';
  AppendString(s, "device_token", o.DeviceToken);
  s += ",\"status\":" + std::to_string(o.Status) + ',';
  AppendString(s, "reason", o.Reason);
  s += ',';
  AppendString(s, "apns_id", o.ApnsId);
  s += ",\"attempts\":" + std::to_string(o.Attempts) + ",\"time\":" + std::to_string(o.DoneAtMs) + "}";
  return s;
}

OutcomeWaiter::OutcomeWaiter(const std::vector<std::string>& aIds) : FIds(aIds) {
  for (const std::string& id : FIds) FOutcomes.emplace(id, std::nullopt);
  FLeft = FOutcomes.size();
}

bool OutcomeWaiter::Put(const Outcome& o) {
  std::lock_guard guard(FLock);
  auto it = FOutcomes.find(o.Id);
  if (it == FOutcomes.end() || it->second) return false;
  it->second = o;
  if (--FLeft == 0) FChanged.notify_all();
  return true;
}

bool OutcomeWaiter::Wait(std::chrono::steady_clock::time_point aUntil, std::chrono::milliseconds aPollEvery,
                         const std::function<bool(const std::vector<std::string>&)>& aPoll) {
  for (;;) {
    std::vector<std::string> left;
    {
      std::unique_lock lock(FLock);
      const auto until = std::min(aUntil, std::chrono::steady_clock::now() + aPollEvery);
      FChanged.wait_until(lock, until, [&] { return FLeft == 0; });
      if (FLeft == 0) return true;
      if (std::chrono::steady_clock::now() >= aUntil) return false;
      for (const auto& [id, o] : FOutcomes)
        if (!o) left.push_back(id);
    }
    if (aPoll && !aPoll(left)) return false;
  }
}

std::optional<Outcome> OutcomeWaiter::Get(const std::string& aId) {
  std::lock_guard guard(FLock);
  auto it = FOutcomes.find(aId);
  return it == FOutcomes.end() ? std::nullopt : it->second;
}

OutcomeSink::OutcomeSink(const Config& aConfig, Metrics& aMetrics) : FConfig(aConfig), FMetrics(aMetrics) {
  if (!FConfig.OutcomeFile.empty()) {
    FFile = std::fopen(FConfig.OutcomeFile.c_str(), "a");
    if (!FFile)
      throw EConfigError("outcome_file: cannot write " + FConfig.OutcomeFile + ": " + std::strerror(errno));
  }
  if (!FConfig.Webhook.empty()) {
    // "scheme://host:port" for the client, the rest as the path.
    const size_t slash = FConfig.Webhook.find('/', FConfig.Webhook.find("://") + 3);
    FHookHost = FConfig.Webhook.substr(0, slash);
    FHookPath = slash == std::string::npos ? "/" : FConfig.Webhook.substr(slash);
    FHookThread = std::thread([this] { WebhookLoop(); });
  }
}

OutcomeSink::~OutcomeSink() {
  Stop(std::chrono::steady_clock::now());
  if (FFile) std::fclose(FFile);
}

void OutcomeSink::Deliver(const std::vector<Outcome>& aOutcomes) {
  if (aOutcomes.empty()) return;
  std::vector<std::string> items;
  items.reserve(aOutcomes.size());
  for (const Outcome& o : aOutcomes) {
    items.push_back(OutcomeJSON(o));
    FMetrics.Outcome(o.App, o.Status);
  }
  if (FFile) {
    std::lock_guard guard(FFileLock);
    FLines.clear();
    for (const std::string& item : items) {
      FLines += item;
      FLines += '\n';
    }
    // One write and flush per batch: a reader of the file sees whole lines.
    std::fwrite(FLines.data(), 1, FLines.size(), FFile);
    std::fflush(FFile);
  }
  {
    std::lock_guard guard(FWatchLock);
    if (!FWatched.empty())
      for (const Outcome& o : aOutcomes)
        if (auto it = FWatched.find(o.Id); it != FWatched.end()) it->second->Put(o);
  }
  if (FHookThread.joinable()) {
    size_t dropped = 0;
    {
      std::lock_guard guard(FHookLock);
      for (std::string& item : items) FHookBacklog.push_back(std::move(item));
      while (FHookBacklog.size() > kHookBacklogMax) {
        FHookBacklog.pop_front();
        ++dropped;
      }
    }
    FHookChanged.notify_one();
    if (dropped) {
      FMetrics.WebhookDropped(dropped);
      Log("webhook: backlog full, " + std::to_string(dropped) + " oldest outcomes dropped");
    }
  }
}

std::shared_ptr<OutcomeWaiter> OutcomeSink::Watch(const std::vector<std::string>& aIds) {
  auto waiter = std::make_shared<OutcomeWaiter>(aIds);
  std::lock_guard guard(FWatchLock);
  for (const std::string& id : aIds) FWatched[id] = waiter;
  return waiter;
}

void OutcomeSink::Unwatch(const OutcomeWaiter& aWaiter) {
  std::lock_guard guard(FWatchLock);
  for (const std::string& id : aWaiter.Ids())
    if (auto it = FWatched.find(id); it != FWatched.end() && it->second.get() == &aWaiter) FWatched.erase(it);
}

bool OutcomeSink::PostBatch(const std::string& aBody) {
  httplib::Client client(FHookHost);
  client.set_connection_timeout(std::chrono::seconds(5));
  client.set_read_timeout(std::chrono::seconds(10));
  client.set_write_timeout(std::chrono::seconds(10));
  auto result = client.Post(FHookPath, aBody, "application/json");
  if (!result) {
    Log("webhook: " + httplib::to_string(result.error()));
    return false;
  }
  if (result->status / 100 != 2) {
    Log("webhook: answered " + std::to_string(result->status));
    return false;
  }
  return true;
}

void OutcomeSink::WebhookLoop() {
  std::mt19937_64 random(std::random_device{}());
  auto delay = std::chrono::milliseconds(200);
  const auto maxDelay = std::chrono::milliseconds(30000);
  std::vector<std::string> batch;
  for (;;) {
    {
      std::unique_lock lock(FHookLock);
      FHookChanged.wait(lock, [&] { return FHookStopping || !FHookBacklog.empty() || !batch.empty(); });
      if (FHookStopping && (std::chrono::steady_clock::now() >= FHookUntil ||
                            (FHookBacklog.empty() && batch.empty()))) {
        const size_t left = FHookBacklog.size() + batch.size();
        if (left) {
          FMetrics.WebhookDropped(left);
          Log("webhook: stopped with " + std::to_string(left) + " outcomes not delivered");
        }
        return;
      }
      while (batch.size() < FConfig.WebhookBatch && !FHookBacklog.empty()) {
        batch.push_back(std::move(FHookBacklog.front()));
        FHookBacklog.pop_front();
      }
    }
    std::string body = "{\"outcomes\":[";
    for (size_t i = 0; i < batch.size(); ++i) {
      if (i) body += ',';
      body += batch[i];
    }
    body += "]}";
    if (PostBatch(body)) {
      batch.clear();
      delay = std::chrono::milliseconds(200);
      continue;
    }
    FMetrics.WebhookFailure();
    // Back off with jitter (half to the whole delay), doubling up to the bound.
    std::uniform_int_distribution<int64_t> jitter(delay.count() / 2, delay.count());
    const auto wait = std::chrono::milliseconds(jitter(random));
    delay = std::min(delay * 2, maxDelay);
    std::unique_lock lock(FHookLock);
    // A stop wakes the wait once (one last try); after that the stop's
    // bound cuts the waits short.
    const bool wasStopping = FHookStopping;
    auto until = std::chrono::steady_clock::now() + wait;
    if (wasStopping) until = std::min(until, FHookUntil);
    FHookChanged.wait_until(lock, until, [&] { return FHookStopping != wasStopping; });
  }
}

void OutcomeSink::Stop(std::chrono::steady_clock::time_point aUntil) {
  if (FHookThread.joinable()) {
    {
      std::lock_guard guard(FHookLock);
      if (!FHookStopping || aUntil < FHookUntil) FHookUntil = aUntil;
      FHookStopping = true;
    }
    FHookChanged.notify_all();
    FHookThread.join();
  }
  if (FFile) {
    std::lock_guard guard(FFileLock);
    std::fflush(FFile);
  }
}

}  // namespace apns_pushd
