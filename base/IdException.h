// Root of the transport library's exception family.
#pragma once

#include "rtl/System.h"

class EIdException : public Exception {
 public:
  using Exception::Exception;
};

class EIdThreadTerminateAndWaitFor : public EIdException {
 public:
  using EIdException::EIdException;
};
