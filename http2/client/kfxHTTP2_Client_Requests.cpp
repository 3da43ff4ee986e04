#include "http2/client/kfxHTTP2_Client_Requests.h"

#include <chrono>
#include <cstring>
#include <random>

// --- keys ---

TkfxHTTP2_RequestKey TkfxHTTP2_RequestKey::New() {
  thread_local std::mt19937_64 random{std::random_device{}() ^
                                      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())};
  TkfxHTTP2_RequestKey key;
  key.Hi = random();
  key.Lo = random();
  return key;
}

bool TkfxHTTP2_RequestKey::Parse(const std::string& aID, TkfxHTTP2_RequestKey& aKey) {
  if (aID.size() != 32) return false;
  uint64_t half[2] = {};
  for (size_t i = 0; i < 32; ++i) {
    const char c = aID[i];
    uint64_t digit;
    if (c >= '0' && c <= '9') digit = static_cast<uint64_t>(c - '0');
    else if (c >= 'A' && c <= 'F') digit = static_cast<uint64_t>(c - 'A' + 10);
    else if (c >= 'a' && c <= 'f') digit = static_cast<uint64_t>(c - 'a' + 10);
    else return false;
    half[i / 16] = half[i / 16] << 4 | digit;
  }
  aKey.Hi = half[0];
  aKey.Lo = half[1];
  return true;
}

void TkfxHTTP2_RequestKey::TextTo(std::string& aOut) const {
  static const char kDigits[] = "0123456789ABCDEF";
  aOut.resize(32);
  for (int i = 0; i < 16; ++i) {
    aOut[static_cast<size_t>(i)] = kDigits[(Hi >> (60 - 4 * i)) & 0xF];
    aOut[static_cast<size_t>(16 + i)] = kDigits[(Lo >> (60 - 4 * i)) & 0xF];
  }
}

std::string TkfxHTTP2_RequestKey::Text() const {
  std::string text;
  TextTo(text);
  return text;
}

// --- items ---

namespace {
// The most a queued body may hold: 4 GiB less one octet, far beyond what a
// stream's flow control lets a client send in reasonable time.
constexpr uint64_t kMaxBody = UINT32_MAX;
}  // namespace

std::unique_ptr<TkfxHTTP2_Request> TkfxHTTP2_Request::Create(Th2Methods aMethod,
                                                             std::shared_ptr<const std::string> aURL,
                                                             std::shared_ptr<const TkfxHTTP2Request> aRequest,
                                                             bool aHasBody, std::span<const uint8_t> aBody) {
  if (aBody.size() > kMaxBody) throw Exception("The request body is too large to queue.");
  std::unique_ptr<TkfxHTTP2_Request> item(new TkfxHTTP2_Request());
  item->FKey = TkfxHTTP2_RequestKey::New();
  item->FMethod = aMethod;
  item->FURL = std::move(aURL);
  item->FRequest = std::move(aRequest);
  item->FHasBody = aHasBody;
  item->SetBodySize(aBody.size());
  if (!aBody.empty()) std::memcpy(item->FBody.get(), aBody.data(), aBody.size());
  return item;
}

std::unique_ptr<TkfxHTTP2_Request> TkfxHTTP2_Request::Create(Th2Methods aMethod,
                                                             std::shared_ptr<const std::string> aURL,
                                                             std::shared_ptr<const TkfxHTTP2Request> aRequest,
                                                             TStream* aSource) {
  if (!aSource) return Create(aMethod, std::move(aURL), std::move(aRequest), false, {});
  const int64_t size = aSource->Size();
  if (size < 0 || static_cast<uint64_t>(size) > kMaxBody) throw Exception("The request body is too large to queue.");
  std::unique_ptr<TkfxHTTP2_Request> item = Create(aMethod, std::move(aURL), std::move(aRequest), true, {});
  item->SetBodySize(static_cast<size_t>(size));
  const int64_t position = aSource->Position();
  aSource->SetPosition(0);
  if (size > 0) aSource->ReadBuffer(item->FBody.get(), size);
  aSource->SetPosition(position);
  return item;
}

void TkfxHTTP2_Request::SetBodySize(size_t aSize) {
  FBody = aSize ? std::make_unique_for_overwrite<uint8_t[]>(aSize) : nullptr;
  FBodySize = static_cast<uint32_t>(aSize);
}

const TkfxHTTP2Request& TkfxHTTP2_Request::Request() const {
  static const TkfxHTTP2Request kEmpty;
  return FRequest ? *FRequest : kEmpty;
}

const std::string& TkfxHTTP2_Request::URL() const {
  static const std::string kEmpty;
  return FURL ? *FURL : kEmpty;
}

// --- queues ---

TkfxHTTP2_Requests::TItems::iterator TkfxHTTP2_Requests::FindLocked(const TkfxHTTP2_RequestKey& aKey) {
  if (FIndexed) {
    TItems::iterator* at = FIndex.Find(aKey);
    return at ? *at : FItems.end();
  }
  for (auto at = FItems.begin(); at != FItems.end(); ++at)
    if ((*at)->Key() == aKey) return at;
  return FItems.end();
}

TkfxHTTP2_RequestPtr TkfxHTTP2_Requests::TakeLocked(TItems::iterator aAt) {
  TkfxHTTP2_RequestPtr item = std::move(*aAt);
  if (FIndexed) FIndex.Erase(item->Key());
  FItems.erase(aAt);
  return item;
}

void TkfxHTTP2_Requests::Insert(TItems::iterator aBefore, TkfxHTTP2_RequestPtr aItem) {
  const TkfxHTTP2_RequestKey key = aItem->Key();
  auto at = FItems.insert(aBefore, std::move(aItem));
  if (!FIndexed) return;
  try {
    FIndex.Set(key, at);
  } catch (...) {
    // Not indexed, so not queued either: the caller keeps no item, so it
    // is freed here as the raise leaves.
    FItems.erase(at);
    throw;
  }
}

TkfxHTTP2_Request* TkfxHTTP2_Requests::GetRequest() {
  std::lock_guard guard(FLock);
  return FEnabled.load() && !FItems.empty() ? FItems.front().get() : nullptr;
}

TkfxHTTP2_Request* TkfxHTTP2_Requests::Find(const std::string& aID) {
  TkfxHTTP2_RequestKey key;
  if (!TkfxHTTP2_RequestKey::Parse(aID, key)) return nullptr;
  std::lock_guard guard(FLock);
  auto at = FindLocked(key);
  return at == FItems.end() ? nullptr : at->get();
}

void TkfxHTTP2_Requests::Append(TkfxHTTP2_RequestPtr aItem) {
  if (!aItem) return;
  std::lock_guard guard(FLock);
  Insert(FItems.end(), std::move(aItem));
}

void TkfxHTTP2_Requests::Prepend(TkfxHTTP2_RequestPtr aItem) {
  if (!aItem) return;
  std::lock_guard guard(FLock);
  Insert(FItems.begin(), std::move(aItem));
}

TkfxHTTP2_RequestPtr TkfxHTTP2_Requests::Take(const std::string& aID) {
  TkfxHTTP2_RequestKey key;
  if (!TkfxHTTP2_RequestKey::Parse(aID, key)) return nullptr;
  return Take(key);
}

TkfxHTTP2_RequestPtr TkfxHTTP2_Requests::Take(const TkfxHTTP2_RequestKey& aKey) {
  std::lock_guard guard(FLock);
  auto at = FindLocked(aKey);
  return at == FItems.end() ? nullptr : TakeLocked(at);
}

TkfxHTTP2_RequestPtr TkfxHTTP2_Requests::TakeFirst() {
  std::lock_guard guard(FLock);
  return FItems.empty() ? nullptr : TakeLocked(FItems.begin());
}

std::deque<TkfxHTTP2_RequestPtr> TkfxHTTP2_Requests::TakeAll() {
  std::deque<TkfxHTTP2_RequestPtr> items;
  TItems taken;
  {
    std::lock_guard guard(FLock);
    taken.swap(FItems);
    FIndex.Clear();
  }
  for (auto& item : taken) items.push_back(std::move(item));
  return items;
}

int TkfxHTTP2_Requests::Count() {
  std::lock_guard guard(FLock);
  return static_cast<int>(FItems.size());
}

bool TkfxHTTP2_Requests::Empty() {
  std::lock_guard guard(FLock);
  return FItems.empty();
}

void TkfxHTTP2_Requests::Clear() {
  // Freed outside the lock: an item's settings may be the last copy.
  TItems taken;
  {
    std::lock_guard guard(FLock);
    taken.swap(FItems);
    FIndex.Clear();
  }
}
