// TIdSSLIOHandlerSocketBase: the base of the TLS I/O handlers. While
// PassThrough is true the handler moves plain bytes through the stack;
// otherwise every read and write goes through the subclass's TLS layer.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transport/IdIOHandlerStack.h"

// The threads using a handler's TLS session right now. A read and a write may
// run on two threads at once (a caller writes while the read thread reads),
// and Close may come from either: the session is unhooked at once and freed
// only when no other thread is still inside a read or write with it.
class TkfxTLSSessionUsers {
 public:
  // Registers the calling thread when aOpen() holds; aOpen runs under the
  // lock that Detach takes, so a session seen open is not freed meanwhile.
  template <class TOpen>
  bool Enter(TOpen aOpen) {
    std::lock_guard<std::mutex> lock(FLock);
    if (!aOpen()) return false;
    FUsers.push_back(std::this_thread::get_id());
    return true;
  }
  // Runs aChange under the lock (to reopen after a Close).
  template <class TChange>
  void Locked(TChange aChange) {
    std::lock_guard<std::mutex> lock(FLock);
    aChange();
  }
  void Leave() {
    std::lock_guard<std::mutex> lock(FLock);
    auto it = std::find(FUsers.begin(), FUsers.end(), std::this_thread::get_id());
    if (it != FUsers.end()) FUsers.erase(it);
    FIdle.notify_all();
  }
  // aDetach() unhooks the session under the lock and says whether there was
  // one; when other threads still use it, aWake() runs (to end a blocked
  // read) and the call waits until they have left. The caller frees the
  // session afterwards. The calling thread's own uses do not count.
  template <class TDetach, class TWake>
  void Detach(TDetach aDetach, TWake aWake) {
    std::unique_lock<std::mutex> lock(FLock);
    if (!aDetach() || !OthersUsing()) return;
    aWake();
    FIdle.wait(lock, [this] { return !OthersUsing(); });
  }

 private:
  bool OthersUsing() const {
    const std::thread::id self = std::this_thread::get_id();
    return std::any_of(FUsers.begin(), FUsers.end(),
                       [self](std::thread::id user) { return user != self; });
  }

  std::mutex FLock;
  std::condition_variable FIdle;
  std::vector<std::thread::id> FUsers;  // one entry per running use
};

// One registered use of a session for the scope.
class TkfxTLSSessionUse {
 public:
  template <class TOpen>
  TkfxTLSSessionUse(TkfxTLSSessionUsers& aUsers, TOpen aOpen)
      : FUsers(aUsers), FEntered(aUsers.Enter(aOpen)) {}
  ~TkfxTLSSessionUse() {
    if (FEntered) FUsers.Leave();
  }
  TkfxTLSSessionUse(const TkfxTLSSessionUse&) = delete;
  TkfxTLSSessionUse& operator=(const TkfxTLSSessionUse&) = delete;
  // False when the session was already closed: nothing may be used.
  bool Entered() const { return FEntered; }

 private:
  TkfxTLSSessionUsers& FUsers;
  const bool FEntered;
};

class TIdSSLIOHandlerSocketBase : public TIdIOHandlerStack {
 public:
  explicit TIdSSLIOHandlerSocketBase(TComponent* AOwner = nullptr) : TIdIOHandlerStack(AOwner) {}

  bool PassThrough() const { return fPassThrough; }
  // Subclasses start or stop their TLS layer here; the base stores the value.
  virtual void SetPassThrough(bool AValue) { fPassThrough = AValue; }
  bool IsPeer() const { return fIsPeer; }
  void SetIsPeer(bool AValue) { fIsPeer = AValue; }
  // The URI whose host is the TLS server name (empty: the handler's Host).
  const std::string& URIToCheck() const { return FURIToCheck; }
  virtual void SetURIToCheck(const std::string& AValue) { FURIToCheck = AValue; }

  // A new handler of the same class, owned by the caller.
  virtual std::unique_ptr<TIdSSLIOHandlerSocketBase> Clone() = 0;
  // Opens the TLS layer on the connected socket unless PassThrough is set.
  virtual void StartSSL() = 0;
  // The protocol agreed by ALPN; empty before a TLS session or without one.
  virtual std::string GetALPNProtocol() { return {}; }

 protected:
  // One decrypting read into the whole buffer / an encrypting write of the
  // slice: byte counts as ReadDataFromSource and WriteDataToTarget return them
  // (positive: moved; 0: closed; negative: failure).
  virtual int RecvEnc(TIdBytes& VBuffer) = 0;
  virtual int SendEnc(const TIdBytes& ABuffer, int AOffset, int ALength) = 0;

  int ReadDataFromSource(TIdBytes& VBuffer) override {
    return fPassThrough ? TIdIOHandlerStack::ReadDataFromSource(VBuffer) : RecvEnc(VBuffer);
  }
  int WriteDataToTarget(const TIdBytes& ABuffer, int AOffset, int ALength) override {
    return fPassThrough ? TIdIOHandlerStack::WriteDataToTarget(ABuffer, AOffset, ALength)
                        : SendEnc(ABuffer, AOffset, ALength);
  }

  bool fPassThrough = true;
  bool fIsPeer = false;
  std::string FURIToCheck;
};

// The host part of a URI ("https://user@host:443/path" gives "host", "[::1]"
// gives "::1"); a text without "://" is read as starting with the authority.
std::string IdURIHost(const std::string& AURI);
