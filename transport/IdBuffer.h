// TIdBuffer: the byte FIFO of the I/O handler. Appends go after the data,
// reads take from the head. The storage grows geometrically and keeps its
// capacity when data is removed, so a steady stream of small appends and
// removals neither reallocates nor moves the remainder each time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "transport/IdExceptionCore.h"
#include "transport/IdGlobal.h"

class TStream;

using TIdBufferBytesRemoved = std::function<void(TObject* ASender, int ABytes)>;

class TIdBuffer : public TObject {
 public:
  TIdBuffer();
  explicit TIdBuffer(TIdBufferBytesRemoved AOnBytesRemoved);
  // From a byte array: the first ALength bytes are copied; a negative length adopts the array.
  TIdBuffer(TIdBytes& ABytes, int ALength);
  ~TIdBuffer() override;

  int Size() const { return FSize; }
  int Capacity() const { return static_cast<int>(FBytes.size()); }
  // EIdException "Capacity cannot be smaller than Size" below Size.
  void SetCapacity(int AValue);
  TIdTextEncoding Encoding() const { return FByteEncoding; }
  void SetEncoding(TIdTextEncoding AValue) { FByteEncoding = AValue; }

  // Appends ALength bytes (-1: to the end) of ABytes from AOffset; with
  // ADestIndex >= 0 the bytes overwrite from that index instead, growing
  // Size only past the end. EIdTooMuchDataInBuffer "Too much data in buffer."
  // beyond 2147483647 bytes.
  void Write(const TIdBytes& ABytes, int ALength = -1, int ADestIndex = -1, int AOffset = 0);
  void Write(const std::string& AString, TIdTextEncoding AByteEncoding = TIdTextEncoding::encDefault,
             int ADestIndex = -1);
  void Write(uint8_t AValue, int ADestIndex = -1);
  void Write(uint16_t AValue, int ADestIndex = -1);  // network order
  void Write(uint32_t AValue, int ADestIndex = -1);  // network order
  void Write(uint64_t AValue, int ADestIndex = -1);  // network order
  void Write(TStream& AStream, int64_t ASize = 0);

  // Drops AByteCount bytes from the head (all when AByteCount >= Size).
  void Remove(int AByteCount);
  // Empties the buffer and releases its storage.
  void Clear();
  // Keeps the storage, drops the data.
  void CompactHead();

  // AByteCount -1: all. AIndex -1: take from the head and remove; AIndex >= 0:
  // copy from that offset and keep. More than held raises EIdNotEnoughDataInBuffer.
  void ExtractToBytes(TIdBytes& VBytes, int AByteCount = -1, bool AAppend = true, int AIndex = -1);
  std::string ExtractToString(int AByteCount = -1,
                              TIdTextEncoding AByteEncoding = TIdTextEncoding::encDefault);
  void ExtractToStream(TStream& AStream, int AByteCount = -1, int AIndex = -1);
  void ExtractToIdBuffer(TIdBuffer& ABuffer, int AByteCount = -1, int AIndex = -1);
  uint8_t ExtractToUInt8(int AIndex = -1);
  uint16_t ExtractToUInt16(int AIndex = -1);
  uint32_t ExtractToUInt32(int AIndex = -1);
  uint64_t ExtractToUInt64(int AIndex = -1);
  // 16 bytes in network order.
  void ExtractToIPv6(TIdBytes& VAddress, int AIndex = -1);

  // Position (from the head) of the first ABytes at or after AStartPos; -1 when absent.
  int IndexOf(const TIdBytes& ABytes, int AStartPos = 0) const;
  int IndexOf(uint8_t AByte, int AStartPos = 0) const;
  int IndexOf(const std::string& AString, int AStartPos = 0,
              TIdTextEncoding AByteEncoding = TIdTextEncoding::encDefault) const;
  uint8_t PeekByte(int AIndex) const;
  // The held bytes (a copy) and direct read access, for callers that scan.
  TIdBytes AsBytes() const;
  const uint8_t* Data() const { return FBytes.data() + FHeadIndex; }

  TIdBufferBytesRemoved OnBytesRemoved;

 private:
  void CheckExtract(int AByteCount, int AIndex) const;
  // Makes room for ANeeded bytes after the data; may move the data to the front.
  void Reserve(int64_t ANeeded);
  TIdTextEncoding Resolve(TIdTextEncoding AEncoding) const;

  TIdBytes FBytes;
  TIdTextEncoding FByteEncoding = TIdTextEncoding::encASCII;
  int FGrowthFactor = 2048;
  int FHeadIndex = 0;
  int FSize = 0;
};
