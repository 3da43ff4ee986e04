// SIGINT and SIGTERM: the first asks the batch to stop (no more input,
// a bounded wait for the answers in flight, every line and the summary
// written), a second one cuts that wait short.
#pragma once

namespace apns_push {

// Installs the handlers (the process's, for all its threads).
void CatchInterrupts();
// The first of the two signals that arrived, 0 while none did.
int InterruptSignal();
// True once a second one arrived.
bool InterruptedTwice();

}  // namespace apns_push
