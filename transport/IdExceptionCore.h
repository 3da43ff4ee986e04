// The transport's exception classes below EIdException (base/IdException.h).
#pragma once

#include <string>

#include "base/IdException.h"


// The quiet family: a normal end of a connection, not a failure.
class EIdSilentException : public EIdException {
 public:
  using EIdException::EIdException;
};
class EIdConnClosedGracefully : public EIdSilentException {
 public:
  using EIdSilentException::EIdSilentException;
};

class EIdNotConnected : public EIdException {
 public:
  using EIdException::EIdException;
};
class EIdClosedSocket : public EIdException {
 public:
  using EIdException::EIdException;
};
class EIdReadTimeout : public EIdException {
 public:
  using EIdException::EIdException;
};
class EIdConnectTimeout : public EIdException {
 public:
  using EIdException::EIdException;
};
class EIdConnectException : public EIdException {
 public:
  using EIdException::EIdException;
};
class EIdReadLnMaxLineLengthExceeded : public EIdException {
 public:
  using EIdException::EIdException;
};
class EIdReadLnWaitMaxAttemptsExceeded : public EIdException {
 public:
  using EIdException::EIdException;
};
class EIdTooMuchDataInBuffer : public EIdException {
 public:
  using EIdException::EIdException;
};
class EIdNotEnoughDataInBuffer : public EIdException {
 public:
  using EIdException::EIdException;
};
class EIdInterceptCircularLink : public EIdException {
 public:
  using EIdException::EIdException;
};
class EIdAlreadyConnected : public EIdException {
 public:
  using EIdException::EIdException;
};
class EIdHostRequired : public EIdException {
 public:
  using EIdException::EIdException;
};
class EIdPortRequired : public EIdException {
 public:
  using EIdException::EIdException;
};
class EIdInvalidPortRange : public EIdException {
 public:
  using EIdException::EIdException;
};
class EIdCanNotBindPortInRange : public EIdException {
 public:
  using EIdException::EIdException;
};
class EIdCannotSetIPVersionWhenConnected : public EIdException {
 public:
  using EIdException::EIdException;
};

// Socket stack.
class EIdStackError : public EIdException {
 public:
  using EIdException::EIdException;
};
class EIdIPVersionUnsupported : public EIdStackError {
 public:
  using EIdStackError::EIdStackError;
};
class EIdStackSetSizeExceeded : public EIdStackError {
 public:
  using EIdStackError::EIdStackError;
};
class EIdSocketHandleError : public EIdException {
 public:
  using EIdException::EIdException;
};
class EIdPackageSizeTooBig : public EIdSocketHandleError {
 public:
  using EIdSocketHandleError::EIdSocketHandleError;
};
class EIdNotAllBytesSent : public EIdSocketHandleError {
 public:
  using EIdSocketHandleError::EIdSocketHandleError;
};
class EIdInvalidServiceName : public EIdException {
 public:
  using EIdException::EIdException;
};
class EIdInvalidIPv6Address : public EIdException {
 public:
  using EIdException::EIdException;
};
class EIdInvalidIPv4Address : public EIdException {
 public:
  using EIdException::EIdException;
};

// A failed socket call: LastError is the error number of the stack's table.
class EIdSocketError : public EIdException {
 public:
  EIdSocketError(int AErr, const std::string& AMessage) : EIdException(AMessage), LastError(AErr) {}
  int LastError;
};
class EIdNotASocket : public EIdSocketError {
 public:
  using EIdSocketError::EIdSocketError;
};
