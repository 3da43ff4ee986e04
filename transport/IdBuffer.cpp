#include "transport/IdBuffer.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "rtl/Streams.h"
#include "transport/IdStack.h"

TIdBuffer::TIdBuffer() { TIdStack::IncUsage(); }

TIdBuffer::TIdBuffer(TIdBufferBytesRemoved AOnBytesRemoved) : TIdBuffer() {
  OnBytesRemoved = std::move(AOnBytesRemoved);
}

TIdBuffer::TIdBuffer(TIdBytes& ABytes, int ALength) : TIdBuffer() {
  if (ALength < 0) {
    FBytes = std::move(ABytes);
    ABytes.clear();
    FSize = static_cast<int>(FBytes.size());
  } else {
    const int count = std::min<int>(ALength, static_cast<int>(ABytes.size()));
    FBytes.assign(ABytes.begin(), ABytes.begin() + count);
    FSize = count;
  }
}

TIdBuffer::~TIdBuffer() { TIdStack::DecUsage(); }

void TIdBuffer::SetCapacity(int AValue) {
  if (AValue < FSize) throw EIdException("Capacity cannot be smaller than Size");
  if (FHeadIndex > 0) CompactHead();
  FBytes.resize(static_cast<size_t>(AValue));
}

TIdTextEncoding TIdBuffer::Resolve(TIdTextEncoding AEncoding) const {
  return AEncoding == TIdTextEncoding::encDefault ? FByteEncoding : AEncoding;
}

void TIdBuffer::CompactHead() {
  if (FHeadIndex == 0) return;
  if (FSize > 0) std::memmove(FBytes.data(), FBytes.data() + FHeadIndex, static_cast<size_t>(FSize));
  FHeadIndex = 0;
}

void TIdBuffer::Reserve(int64_t ANeeded) {
  const int64_t capacity = static_cast<int64_t>(FBytes.size());
  if (FHeadIndex + FSize + ANeeded <= capacity) return;
  // Moving the data down is cheaper than growing when it frees enough room
  // and the data is not larger than what was consumed before it.
  if (FSize + ANeeded <= capacity && FSize <= FHeadIndex) {
    CompactHead();
    return;
  }
  CompactHead();
  int64_t grown = std::max<int64_t>({capacity * 2, FSize + ANeeded, FGrowthFactor});
  grown = std::min<int64_t>(grown, INT_MAX);
  FBytes.resize(static_cast<size_t>(grown));
}

void TIdBuffer::Write(const TIdBytes& ABytes, int ALength, int ADestIndex, int AOffset) {
  const int64_t available = static_cast<int64_t>(ABytes.size()) - AOffset;
  if (AOffset < 0 || available <= 0) return;
  int64_t length = ALength < 0 ? available : std::min<int64_t>(ALength, available);
  if (length == 0) return;
  if (ADestIndex > FSize) throw EIdException("Index out of bounds.");
  if (length + FSize + std::max(ADestIndex, 0) > INT_MAX)
    throw EIdTooMuchDataInBuffer("Too much data in buffer.");
  const uint8_t* source = ABytes.data() + AOffset;
  if (ADestIndex < 0) {
    Reserve(length);
    std::memcpy(FBytes.data() + FHeadIndex + FSize, source, static_cast<size_t>(length));
    FSize += static_cast<int>(length);
    return;
  }
  const int64_t past = ADestIndex + length - FSize;
  if (past > 0) Reserve(past);
  std::memmove(FBytes.data() + FHeadIndex + ADestIndex, source, static_cast<size_t>(length));
  if (past > 0) FSize += static_cast<int>(past);
}

void TIdBuffer::Write(const std::string& AString, TIdTextEncoding AByteEncoding, int ADestIndex) {
  Write(ToBytes(AString, Resolve(AByteEncoding)), -1, ADestIndex);
}

void TIdBuffer::Write(uint8_t AValue, int ADestIndex) { Write(TIdBytes{AValue}, -1, ADestIndex); }

void TIdBuffer::Write(uint16_t AValue, int ADestIndex) {
  Write(TIdBytes{static_cast<uint8_t>(AValue >> 8), static_cast<uint8_t>(AValue)}, -1, ADestIndex);
}

void TIdBuffer::Write(uint32_t AValue, int ADestIndex) {
  TIdBytes bytes(4);
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(AValue >> (24 - 8 * i));
  Write(bytes, -1, ADestIndex);
}

void TIdBuffer::Write(uint64_t AValue, int ADestIndex) {
  TIdBytes bytes(8);
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(AValue >> (56 - 8 * i));
  Write(bytes, -1, ADestIndex);
}

void TIdBuffer::Write(TStream& AStream, int64_t ASize) {
  if (ASize <= 0) ASize = AStream.Size() - AStream.Position();
  if (ASize <= 0) return;
  if (ASize + FSize > INT_MAX) throw EIdTooMuchDataInBuffer("Too much data in buffer.");
  TIdBytes bytes(static_cast<size_t>(ASize));
  AStream.ReadBuffer(bytes.data(), ASize);
  Write(bytes);
}

void TIdBuffer::Remove(int AByteCount) {
  if (AByteCount <= 0) return;
  if (AByteCount >= FSize) {
    AByteCount = FSize;
    FSize = 0;
    FHeadIndex = 0;
  } else {
    FHeadIndex += AByteCount;
    FSize -= AByteCount;
  }
  if (OnBytesRemoved) OnBytesRemoved(this, AByteCount);
}

void TIdBuffer::Clear() {
  TIdBytes().swap(FBytes);
  FHeadIndex = 0;
  FSize = 0;
}

void TIdBuffer::CheckExtract(int AByteCount, int AIndex) const {
  const int64_t from = AIndex < 0 ? 0 : AIndex;
  if (AIndex > FSize) throw EIdException("Index out of bounds.");
  if (from + AByteCount > FSize)
    throw EIdNotEnoughDataInBuffer("Not enough data in buffer. (" + std::to_string(AByteCount) +
                                   "/" + std::to_string(FSize - from) + ")");
}

void TIdBuffer::ExtractToBytes(TIdBytes& VBytes, int AByteCount, bool AAppend, int AIndex) {
  if (AByteCount < 0) AByteCount = AIndex < 0 ? FSize : std::max(FSize - AIndex, 0);
  CheckExtract(AByteCount, AIndex);
  const uint8_t* source = FBytes.data() + FHeadIndex + std::max(AIndex, 0);
  size_t at = 0;
  if (AAppend) {
    at = VBytes.size();
    VBytes.resize(at + static_cast<size_t>(AByteCount));
  } else if (VBytes.size() < static_cast<size_t>(AByteCount)) {
    VBytes.resize(static_cast<size_t>(AByteCount));
  }
  if (AByteCount > 0) std::memcpy(VBytes.data() + at, source, static_cast<size_t>(AByteCount));
  if (AIndex < 0) Remove(AByteCount);
}

std::string TIdBuffer::ExtractToString(int AByteCount, TIdTextEncoding AByteEncoding) {
  TIdBytes bytes;
  ExtractToBytes(bytes, AByteCount, false);
  return BytesToString(bytes, Resolve(AByteEncoding));
}

void TIdBuffer::ExtractToStream(TStream& AStream, int AByteCount, int AIndex) {
  TIdBytes bytes;
  ExtractToBytes(bytes, AByteCount, true, AIndex);
  if (!bytes.empty()) AStream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
}

void TIdBuffer::ExtractToIdBuffer(TIdBuffer& ABuffer, int AByteCount, int AIndex) {
  TIdBytes bytes;
  ExtractToBytes(bytes, AByteCount, true, AIndex);
  ABuffer.Write(bytes);
}

uint8_t TIdBuffer::ExtractToUInt8(int AIndex) {
  TIdBytes bytes;
  ExtractToBytes(bytes, 1, true, AIndex);
  return bytes[0];
}

uint16_t TIdBuffer::ExtractToUInt16(int AIndex) {
  TIdBytes bytes;
  ExtractToBytes(bytes, 2, true, AIndex);
  return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

uint32_t TIdBuffer::ExtractToUInt32(int AIndex) {
  TIdBytes bytes;
  ExtractToBytes(bytes, 4, true, AIndex);
  uint32_t value = 0;
  for (uint8_t b : bytes) value = value << 8 | b;
  return value;
}

uint64_t TIdBuffer::ExtractToUInt64(int AIndex) {
  TIdBytes bytes;
  ExtractToBytes(bytes, 8, true, AIndex);
  uint64_t value = 0;
  for (uint8_t b : bytes) value = value << 8 | b;
  return value;
}

void TIdBuffer::ExtractToIPv6(TIdBytes& VAddress, int AIndex) {
  VAddress.clear();
  ExtractToBytes(VAddress, 16, true, AIndex);
}

int TIdBuffer::IndexOf(const TIdBytes& ABytes, int AStartPos) const {
  if (ABytes.empty()) throw EIdException("Buffer terminator must be specified.");
  if (FSize == 0) return -1;
  if (AStartPos < 0 || AStartPos >= FSize) throw EIdException("Buffer start position is invalid.");
  const uint8_t* first = Data();
  const uint8_t* last = first + FSize;
  const uint8_t* found = std::search(first + AStartPos, last, ABytes.begin(), ABytes.end());
  return found == last ? -1 : static_cast<int>(found - first);
}

int TIdBuffer::IndexOf(uint8_t AByte, int AStartPos) const {
  if (FSize == 0) return -1;
  if (AStartPos < 0 || AStartPos >= FSize) throw EIdException("Buffer start position is invalid.");
  const void* found = std::memchr(Data() + AStartPos, AByte, static_cast<size_t>(FSize - AStartPos));
  return found ? static_cast<int>(static_cast<const uint8_t*>(found) - Data()) : -1;
}

int TIdBuffer::IndexOf(const std::string& AString, int AStartPos, TIdTextEncoding AByteEncoding) const {
  return IndexOf(ToBytes(AString, Resolve(AByteEncoding)), AStartPos);
}

uint8_t TIdBuffer::PeekByte(int AIndex) const {
  if (FSize == 0) throw EIdException("No bytes in buffer.");
  if (AIndex < 0 || AIndex >= FSize) throw EIdException("Index out of bounds.");
  return Data()[AIndex];
}

TIdBytes TIdBuffer::AsBytes() const { return TIdBytes(Data(), Data() + FSize); }
