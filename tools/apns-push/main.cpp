// apns-push: sends notifications from scripts and batches with the library's
// HTTP/2 client, configured the way the provider window configures it.
//
// Everything that can be checked without a server is checked before the first
// connect: options, files, the PKCS#12 password, the .p8 key, the payload, the
// proxy URL and the device tokens. Each problem is one line on stderr and exit
// status 2. The program is the library apns_push (this folder, one module per
// concept); run.cpp is the path from the command line to the exit status.
#include <exception>
#include <iostream>

#include "tools/apns-push/error.h"
#include "tools/apns-push/run.h"

#ifdef APNS_PUSH_JEMALLOC
// jemalloc's settings, read at its start: one arena for the few threads (an
// arena per core would hold more memory than a batch needs) and freed pages
// given back within a second.
extern "C" {
const char* malloc_conf = "narenas:1,dirty_decay_ms:1000,muzzy_decay_ms:0";
}
#endif

int main(int argc, char** argv) {
  try {
    return apns_push::Run(argc, argv);
  } catch (const apns_push::EUsageError& e) {
    std::cerr << "apns-push: " << e.Message() << '\n';
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "apns-push: " << e.what() << '\n';
    return 2;
  }
}
