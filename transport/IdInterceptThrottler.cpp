#include "transport/IdInterceptThrottler.h"

#include <chrono>
#include <thread>

void TIdInterceptThrottler::SetBitsPerSec(int AValue) {
  FBitsPerSec = AValue;
  FRecvBitsPerSec = AValue;
  FSendBitsPerSec = AValue;
}

int64_t TIdInterceptThrottler::DelayFor(int64_t ALength, int ABitsPerSec, int64_t& VCarry) {
  if (ABitsPerSec <= 0 || ALength <= 0) return 0;
  // Bit-milliseconds owed; whole milliseconds are slept, the rest is carried.
  const int64_t owed = ALength * 8 * 1000 + VCarry;
  VCarry = owed % ABitsPerSec;
  return owed / ABitsPerSec;
}

void TIdInterceptThrottler::Hold(int64_t ALength, int ABitsPerSec, int64_t& VCarry) {
  int64_t delay;
  {
    std::lock_guard<std::mutex> lock(FCarryLock);
    delay = DelayFor(ALength, ABitsPerSec, VCarry);
  }
  if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
}

void TIdInterceptThrottler::Receive(TIdBytes& ABuffer) {
  TIdConnectionIntercept::Receive(ABuffer);
  Hold(static_cast<int64_t>(ABuffer.size()), FRecvBitsPerSec, FRecvCarry);
}

void TIdInterceptThrottler::Send(TIdBytes& ABuffer) {
  TIdConnectionIntercept::Send(ABuffer);
  Hold(static_cast<int64_t>(ABuffer.size()), FSendBitsPerSec, FSendCarry);
}

void TIdInterceptThrottler::GetPublishedProperties(TPublishedProperties& aList) {
  TIdConnectionIntercept::GetPublishedProperties(aList);
  aList.push_back(PublishInt32(
      "BitsPerSec", [this] { return FBitsPerSec; }, [this](int32_t v) { SetBitsPerSec(v); }));
  aList.push_back(PublishField("RecvBitsPerSec", FRecvBitsPerSec));
  aList.push_back(PublishField("SendBitsPerSec", FSendBitsPerSec));
}
