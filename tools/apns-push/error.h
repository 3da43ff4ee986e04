// The one failure apns-push reports before it sends anything: a problem
// with the command line or with one of its files. main() writes the message
// as one line on stderr and exits with status 2.
#pragma once

#include <string>

#include "rtl/System.h"

namespace apns_push {

class EUsageError : public Exception {
 public:
  using Exception::Exception;
};

[[noreturn]] inline void Fail(const std::string& aMessage) {
  throw EUsageError(aMessage);
}

}  // namespace apns_push
