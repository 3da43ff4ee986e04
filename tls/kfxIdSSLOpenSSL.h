// TLS through the OpenSSL libraries: the library start-up, the option object,
// the context wrapper, one TLS connection, certificate and cipher wrappers,
// and the client I/O handler.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tcp/kfxWebSocket_Classes_SyncObjs.h"
#include "tls/kfxIdSSLOpenSSLHeaders.h"

// Binds and initialises the libraries once per process (under the start-up
// lock); true when they are ready. A failed start is tried again on the next
// call.
bool StartOpenSSL();
// The program-end counterpart: removes the locking callback, unbinds and
// frees the locks. Runs by itself when the program ends.
void StopOpenSSL();
// The process-wide start-up lock; binding and unbinding happen under it.
TkfxCriticalSection& OpenSSLStartupLock();
// BindOpenSSL under the start-up lock; a failure is remembered and answered
// at once until the folder or the API level changes.
bool BindOpenSSLOnce();
