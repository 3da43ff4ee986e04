// TIdInterceptThrottler: holds the sending (or receiving) thread for as long
// as the block would take at the configured bit rate, before the block goes on.
#pragma once

#include <cstdint>
#include <mutex>

#include "transport/IdIntercept.h"

class TIdInterceptThrottler : public TIdConnectionIntercept {
 public:
  using TIdConnectionIntercept::TIdConnectionIntercept;

  void Receive(TIdBytes& ABuffer) override;
  void Send(TIdBytes& ABuffer) override;

  // Bits per second; 0 does not throttle. BitsPerSec sets both directions.
  int BitsPerSec() const { return FBitsPerSec; }
  void SetBitsPerSec(int AValue);
  int RecvBitsPerSec() const { return FRecvBitsPerSec; }
  void SetRecvBitsPerSec(int AValue) { FRecvBitsPerSec = AValue; }
  int SendBitsPerSec() const { return FSendBitsPerSec; }
  void SetSendBitsPerSec(int AValue) { FSendBitsPerSec = AValue; }

  // The delay in milliseconds for ALength bytes at ABitsPerSec, carrying the
  // part of a millisecond that the division drops to the next call through
  // VCarry, so that many small blocks take as long as one block of their sum.
  static int64_t DelayFor(int64_t ALength, int ABitsPerSec, int64_t& VCarry);

  void GetPublishedProperties(TPublishedProperties& aList) override;

 private:
  void Hold(int64_t ALength, int ABitsPerSec, int64_t& VCarry);

  int FBitsPerSec = 0;
  int FRecvBitsPerSec = 0;
  int FSendBitsPerSec = 0;
  std::mutex FCarryLock;  // the two directions may run on different threads
  int64_t FRecvCarry = 0;
  int64_t FSendCarry = 0;
};
