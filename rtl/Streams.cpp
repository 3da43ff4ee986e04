#include "rtl/Streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>

int64_t TStream::Size() {
  const int64_t pos = Seek(0, TSeekOrigin::soCurrent);
  const int64_t size = Seek(0, TSeekOrigin::soEnd);
  Seek(pos, TSeekOrigin::soBeginning);
  return size;
}

void TStream::ReadBuffer(void* aBuffer, int64_t aCount) {
  if (aCount > 0 && Read(aBuffer, aCount) != aCount) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* aBuffer, int64_t aCount) {
  if (aCount > 0 && Write(aBuffer, aCount) != aCount) throw EWriteError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& aSource, int64_t aCount) {
  if (aCount == 0) {
    aSource.SetPosition(0);
    aCount = aSource.Size();
  }
  const int64_t total = aCount;
  char buffer[64 * 1024];
  while (aCount > 0) {
    const int64_t n = std::min<int64_t>(aCount, sizeof buffer);
    aSource.ReadBuffer(buffer, n);
    WriteBuffer(buffer, n);
    aCount -= n;
  }
  return total;
}

// --- TMemoryStream ---

int64_t TMemoryStream::Read(void* aBuffer, int64_t aCount) {
  const int64_t available = static_cast<int64_t>(FData.size()) - FPosition;
  const int64_t n = std::max<int64_t>(0, std::min(aCount, available));
  if (n > 0) std::memcpy(aBuffer, FData.data() + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return n;
}

int64_t TMemoryStream::Write(const void* aBuffer, int64_t aCount) {
  if (aCount <= 0) return 0;
  // After a seek far past the end the new end may not be representable.
  int64_t end;
  if (__builtin_add_overflow(FPosition, aCount, &end) ||
      static_cast<uint64_t>(end) > FData.max_size())
    throw EWriteError("Stream write error");
  if (end > static_cast<int64_t>(FData.size())) FData.resize(static_cast<size_t>(end));
  std::memcpy(FData.data() + FPosition, aBuffer, static_cast<size_t>(aCount));
  FPosition = end;
  return aCount;
}

int64_t TMemoryStream::Seek(int64_t aOffset, TSeekOrigin aOrigin) {
  int64_t base = 0;
  switch (aOrigin) {
    case TSeekOrigin::soBeginning: base = 0; break;
    case TSeekOrigin::soCurrent: base = FPosition; break;
    case TSeekOrigin::soEnd: base = static_cast<int64_t>(FData.size()); break;
  }
  // The position stays within 0 .. the largest int64, whatever the offset.
  int64_t position;
  if (__builtin_add_overflow(base, aOffset, &position))
    position = aOffset < 0 ? 0 : INT64_MAX;
  FPosition = std::max<int64_t>(0, position);
  return FPosition;
}

void TMemoryStream::SetSize(int64_t aNewSize) {
  FData.resize(static_cast<size_t>(std::max<int64_t>(0, aNewSize)));
  FPosition = std::min<int64_t>(FPosition, static_cast<int64_t>(FData.size()));
}

void TMemoryStream::Clear() {
  FData.clear();
  FPosition = 0;
}

void TMemoryStream::LoadFromStream(TStream& aStream) {
  aStream.SetPosition(0);
  FData.resize(static_cast<size_t>(aStream.Size()));
  aStream.ReadBuffer(FData.data(), static_cast<int64_t>(FData.size()));
  FPosition = 0;
}

void TMemoryStream::LoadFromFile(const std::string& aFileName) {
  TFileStream file(aFileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(file);
}

void TMemoryStream::SaveToStream(TStream& aStream) const {
  aStream.WriteBuffer(FData.data(), static_cast<int64_t>(FData.size()));
}

void TMemoryStream::SaveToFile(const std::string& aFileName) const {
  TFileStream file(aFileName, fmCreate);
  SaveToStream(file);
}

// --- TFileStream ---

std::string ExpandFileName(const std::string& aFileName) {
  std::error_code ec;
  auto path = std::filesystem::absolute(aFileName, ec);
  return ec ? aFileName : path.lexically_normal().string();
}

TFileStream::TFileStream(const std::string& aFileName, uint16_t aMode) : FFileName(aFileName) {
  if (aMode == fmCreate || (aMode & 0xFF00) == fmCreate) {
    FHandle = ::open(aFileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (FHandle < 0)
      throw EFCreateError("Cannot create file \"" + ExpandFileName(aFileName) + "\". " +
                          std::strerror(errno));
    return;
  }
  int flags = O_CLOEXEC;
  switch (aMode & 0x3) {
    case fmOpenWrite: flags |= O_WRONLY; break;
    case fmOpenReadWrite: flags |= O_RDWR; break;
    default: flags |= O_RDONLY; break;
  }
  FHandle = ::open(aFileName.c_str(), flags);
  if (FHandle >= 0) {
    struct stat st {};
    // A folder opens on Linux but is no file to read.
    if (::fstat(FHandle, &st) == 0 && S_ISDIR(st.st_mode)) {
      ::close(FHandle);
      FHandle = -1;
      errno = EISDIR;
    }
  }
  if (FHandle < 0)
    throw EFOpenError("Cannot open file \"" + ExpandFileName(aFileName) + "\". " +
                      std::strerror(errno));
}

TFileStream::~TFileStream() {
  if (FHandle >= 0) ::close(FHandle);
}

int64_t TFileStream::Read(void* aBuffer, int64_t aCount) {
  int64_t done = 0;
  auto* out = static_cast<char*>(aBuffer);
  while (done < aCount) {
    const ssize_t n = ::read(FHandle, out + done, static_cast<size_t>(aCount - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

int64_t TFileStream::Write(const void* aBuffer, int64_t aCount) {
  int64_t done = 0;
  const auto* in = static_cast<const char*>(aBuffer);
  while (done < aCount) {
    const ssize_t n = ::write(FHandle, in + done, static_cast<size_t>(aCount - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

int64_t TFileStream::Seek(int64_t aOffset, TSeekOrigin aOrigin) {
  const int whence = aOrigin == TSeekOrigin::soBeginning ? SEEK_SET
                     : aOrigin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                         : SEEK_END;
  return ::lseek(FHandle, aOffset, whence);
}

void TFileStream::SetSize(int64_t aNewSize) {
  if (::ftruncate(FHandle, aNewSize) != 0) throw EStreamError(std::strerror(errno));
  if (Position() > aNewSize) SetPosition(aNewSize);
}
