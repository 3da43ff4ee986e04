// apns-push from the command line to its exit status: the checks between
// options, the files and inputs, then the sending and the summary line.
#pragma once

namespace apns_push {

// Exit status: 0 all accepted, 1 some not accepted, 3 no connection could
// be made. A usage or file problem raises EUsageError (status 2 in main).
int Run(int argc, char** argv);

}  // namespace apns_push
