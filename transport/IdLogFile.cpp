#include "transport/IdLogFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "rtl/Streams.h"

TIdLogFile::~TIdLogFile() { Close(); }

void TIdLogFile::SetFilename(const std::string& AValue) {
  if (FileOpen()) throw EIdException("Unable to set Filename while log file is open.");
  FFilename = AValue;
}

void TIdLogFile::Open() {
  if (FileOpen()) return;
  const int fd = ::open(FFilename.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno == EWOULDBLOCK ? EBUSY : errno;
    if (fd >= 0) ::close(fd);
    throw EFOpenError("Cannot open file \"" + ExpandFileName(FFilename) + "\". " +
                      std::strerror(err));
  }
  FFileStream = fd;
}

void TIdLogFile::Close() {
  if (!FileOpen()) return;
  ::close(FFileStream);  // releases the lock
  FFileStream = -1;
}

void TIdLogFile::LogWriteString(const std::string& AText) {
  if (!FileOpen()) return;
  size_t written = 0;
  while (written < AText.size()) {
    const ssize_t n = ::write(FFileStream, AText.data() + written, AText.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a full disk loses log lines, never the connection
    written += static_cast<size_t>(n);
  }
}

void TIdLogFile::LogFormattedLine(const std::string& AText) {
  if (!FActive) SetActive(true);
  LogWriteString((FLogTime ? TimeStampText() + " " : std::string()) + AText + "\r\n");
}

void TIdLogFile::LogStatus(const std::string& AText) { LogWriteString("Stat " + AText + "\r\n"); }

void TIdLogFile::LogReceivedData(const std::string& ATimeStamp, const TIdBytes& AData) {
  LogWriteString("Recv " + ATimeStamp + ": " + std::string(AData.begin(), AData.end()) + "\r\n");
}

void TIdLogFile::LogSentData(const std::string& ATimeStamp, const TIdBytes& AData) {
  LogWriteString("Sent " + ATimeStamp + ": " + std::string(AData.begin(), AData.end()) + "\r\n");
}

void TIdLogFile::GetPublishedProperties(TPublishedProperties& aList) {
  TIdLogBase::GetPublishedProperties(aList);
  aList.push_back(PublishString(
      "Filename", [this] { return FFilename; }, [this](const std::string& v) { SetFilename(v); }));
}
