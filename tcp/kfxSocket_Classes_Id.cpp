#include "tcp/kfxSocket_Classes_Id.h"

#include <mutex>

void TkfxIdLogFileBase::SetActive(bool AValue) {
  std::lock_guard<TkfxCriticalSection> lock(FLock);
  TIdLogFile::SetActive(AValue);
}

void TkfxIdLogFileBase::SetFilename(const std::string& AValue) {
  std::lock_guard<TkfxCriticalSection> lock(FLock);
  TIdLogFile::SetFilename(AValue);
}

void TkfxIdLogFileBase::LogWriteString(const std::string& AText) {
  std::lock_guard<TkfxCriticalSection> lock(FLock);
  TIdLogFile::LogWriteString(AText);
}

void TkfxIdLogFileBase::LogFormattedLine(const std::string& AText) {
  std::lock_guard<TkfxCriticalSection> lock(FLock);
  TIdLogFile::LogFormattedLine(AText);
}

void TkfxIdLogFileBase::LogReceivedString(const std::string& AText, bool AWithPrefix) {
  LogWriteString((AWithPrefix ? "Recv " + (FLogTime ? TimeStampText() : std::string()) + ": "
                              : std::string()) +
                 AText + "\r\n");
}

void TkfxIdLogFileBase::LogSentString(const std::string& AText, bool AWithPrefix) {
  LogWriteString((AWithPrefix ? "Sent " + (FLogTime ? TimeStampText() : std::string()) + ": "
                              : std::string()) +
                 AText + "\r\n");
}

void TkfxIdLogFileBase::Open() {
  std::lock_guard<TkfxCriticalSection> lock(FLock);
  TIdLogFile::Open();
}

void TkfxIdLogFileBase::Close() {
  std::lock_guard<TkfxCriticalSection> lock(FLock);
  TIdLogFile::Close();
}
