// Main-thread dispatch for the library's event delivery.
#pragma once

#include "rtl/MainThread.h"

// Hands aMethod to the main thread and returns at once (on the main thread
// itself it runs at once). aOwner tags the call so that an object can discard
// its pending calls when it is freed (RemoveQueuedEvents).
void QueueOnMainThread(TThreadMethod aMethod, const void* aOwner = nullptr);
// Runs aMethod on the main thread and waits until it has returned.
void SynchronizeOnMainThread(TThreadMethod aMethod);
