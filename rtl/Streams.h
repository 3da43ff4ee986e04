// Byte streams: the abstract TStream, the in-memory TMemoryStream and the
// file-backed TFileStream.
#pragma once

#include <cstdint>
#include <string>

#include "rtl/System.h"

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream : public TObject {
 public:
  // Reads up to aCount bytes; returns how many were read.
  virtual int64_t Read(void* aBuffer, int64_t aCount) = 0;
  // Writes up to aCount bytes; returns how many were written.
  virtual int64_t Write(const void* aBuffer, int64_t aCount) = 0;
  virtual int64_t Seek(int64_t aOffset, TSeekOrigin aOrigin) = 0;
  virtual void SetSize(int64_t aNewSize) = 0;

  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(int64_t aPosition) { Seek(aPosition, TSeekOrigin::soBeginning); }
  int64_t Size();

  // Exactly aCount bytes or EReadError "Stream read error" / EWriteError "Stream write error".
  void ReadBuffer(void* aBuffer, int64_t aCount);
  void WriteBuffer(const void* aBuffer, int64_t aCount);
  void WriteBytes(const TIdBytes& aBytes) { WriteBuffer(aBytes.data(), static_cast<int64_t>(aBytes.size())); }
  // Copies aCount bytes from aSource's position; 0 copies the whole of aSource from its start.
  int64_t CopyFrom(TStream& aSource, int64_t aCount);
};

class TMemoryStream : public TStream {
 public:
  int64_t Read(void* aBuffer, int64_t aCount) override;
  int64_t Write(const void* aBuffer, int64_t aCount) override;
  int64_t Seek(int64_t aOffset, TSeekOrigin aOrigin) override;
  void SetSize(int64_t aNewSize) override;

  const uint8_t* Memory() const { return FData.data(); }
  uint8_t* Memory() { return FData.data(); }
  const TIdBytes& Bytes() const { return FData; }
  void Clear();
  void LoadFromStream(TStream& aStream);
  void LoadFromFile(const std::string& aFileName);
  void SaveToStream(TStream& aStream) const;
  void SaveToFile(const std::string& aFileName) const;

 protected:
  TIdBytes FData;
  int64_t FPosition = 0;
};

// File open modes: one access mode, optionally combined with a share mode.
enum : uint16_t {
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmShareExclusive = 0x0010,
  fmShareDenyWrite = 0x0020,
  fmShareDenyNone = 0x0040,
  fmCreate = 0xFF00,
};

class TFileStream : public TStream {
 public:
  // EFOpenError "Cannot open file "<path>". <reason>" or
  // EFCreateError "Cannot create file "<path>". <reason>".
  TFileStream(const std::string& aFileName, uint16_t aMode);
  ~TFileStream() override;

  int64_t Read(void* aBuffer, int64_t aCount) override;
  int64_t Write(const void* aBuffer, int64_t aCount) override;
  int64_t Seek(int64_t aOffset, TSeekOrigin aOrigin) override;
  void SetSize(int64_t aNewSize) override;
  const std::string& FileName() const { return FFileName; }

 private:
  std::string FFileName;
  int FHandle = -1;
};

// The absolute form of a file name (relative names resolve against the current folder).
std::string ExpandFileName(const std::string& aFileName);
