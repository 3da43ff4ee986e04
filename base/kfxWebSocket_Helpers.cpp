#include "base/kfxWebSocket_Helpers.h"

void QueueOnMainThread(TThreadMethod aMethod, const void* aOwner) {
  QueueOnMain(std::move(aMethod), aOwner);
}

void SynchronizeOnMainThread(TThreadMethod aMethod) { SynchronizeOnMain(std::move(aMethod)); }
