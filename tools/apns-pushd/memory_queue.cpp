#include "tools/apns-pushd/memory_queue.h"

#include "apns/kfxAPNs_Setup.h"

namespace apns_pushd {

MemoryQueue::MemoryQueue(size_t aMax, size_t aKeepFinished) : FMax(aMax), FKeepFinished(aKeepFinished) {}

bool MemoryQueue::Append(const std::vector<Notification>& aBatch) {
  {
    std::lock_guard guard(FLock);
    if (FClosed) throw std::runtime_error("the queue is closed");
    if (FDepth + aBatch.size() > FMax) return false;
    for (const Notification& n : aBatch) {
      FStates[n.Id] = NotificationStatus{};
      FWaiting[n.App].push_back(n);
    }
    FDepth += aBatch.size();
  }
  FArrived.notify_all();
  return true;
}

std::vector<Notification> MemoryQueue::Take(const std::string& aApp, size_t aMax,
                                            std::chrono::milliseconds aWait) {
  std::vector<Notification> out;
  std::unique_lock lock(FLock);
  auto& waiting = FWaiting[aApp];
  FArrived.wait_for(lock, aWait, [&] { return FClosed || !waiting.empty(); });
  if (FClosed) return out;
  const size_t n = std::min(aMax, waiting.size());
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    out.push_back(std::move(waiting.front()));
    waiting.pop_front();
  }
  return out;
}

void MemoryQueue::MarkSent(const std::vector<std::string>& aIds) {
  std::lock_guard guard(FLock);
  for (const std::string& id : aIds) {
    auto it = FStates.find(id);
    if (it != FStates.end() && it->second.State == NotificationState::Queued)
      it->second.State = NotificationState::Sent;
  }
}

std::vector<bool> MemoryQueue::FinishEach(const std::vector<Outcome>& aOutcomes) {
  std::lock_guard guard(FLock);
  std::vector<bool> written(aOutcomes.size(), false);
  for (size_t i = 0; i < aOutcomes.size(); ++i) {
    const Outcome& o = aOutcomes[i];
    auto it = FStates.find(o.Id);
    // Unknown (never appended, or forgotten) or finished before: dropped.
    if (it == FStates.end() || it->second.State == NotificationState::Done) continue;
    it->second.State = NotificationState::Done;
    it->second.Final = o;
    --FDepth;
    written[i] = true;
    FFinished.push_back(o.Id);
  }
  while (FFinished.size() > FKeepFinished) {
    FStates.erase(FFinished.front());
    FFinished.pop_front();
  }
  return written;
}

void MemoryQueue::Release(const std::vector<Notification>& aNotifications) {
  {
    std::lock_guard guard(FLock);
    // Back to the front, in their order: they were the oldest.
    for (auto it = aNotifications.rbegin(); it != aNotifications.rend(); ++it) {
      auto state = FStates.find(it->Id);
      if (state == FStates.end() || state->second.State == NotificationState::Done) continue;
      state->second.State = NotificationState::Queued;
      FWaiting[it->App].push_front(*it);
    }
  }
  FArrived.notify_all();
}

std::optional<NotificationStatus> MemoryQueue::Lookup(const std::string& aId) {
  std::lock_guard guard(FLock);
  auto it = FStates.find(aId);
  if (it == FStates.end()) return std::nullopt;
  return it->second;
}

size_t MemoryQueue::Depth() {
  std::lock_guard guard(FLock);
  return FDepth;
}

void MemoryQueue::Close() {
  {
    std::lock_guard guard(FLock);
    FClosed = true;
  }
  FArrived.notify_all();
}

std::string LocalTokenSource::Current(const std::string& aTeamId, const std::string& aKeyId,
                                      const Signer& aSign) {
  const auto now = FClock();
  std::lock_guard guard(FLock);
  Entry& e = FTokens[aTeamId + "\n" + aKeyId];
  if (e.Token.empty() || now - e.SignedAt >= std::chrono::seconds(kAPNsTokenRefreshSeconds)) {
    e.Token = aSign();
    e.SignedAt = now;
  }
  return e.Token;
}

void LocalTokenSource::Expire(const std::string& aTeamId, const std::string& aKeyId,
                              const std::string& aToken) {
  std::lock_guard guard(FLock);
  auto it = FTokens.find(aTeamId + "\n" + aKeyId);
  // Only the token that was refused: one signed meanwhile stays.
  if (it != FTokens.end() && it->second.Token == aToken) FTokens.erase(it);
}

}  // namespace apns_pushd
