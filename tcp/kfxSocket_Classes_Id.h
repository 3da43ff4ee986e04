// The log-file intercept of the socket components: TIdLogFile with one lock
// around every line, opening, closing and renaming, so lines written by the
// read thread and by writers never interleave; all connections of a
// component share one object and one file.
#pragma once

#include <string>

#include "base/kfxWebSocket_Classes_SyncObjs.h"
#include "transport/IdLogFile.h"

class TkfxIdLogFileBase : public TIdLogFile {
 public:
  using TIdLogFile::TIdLogFile;

  void SetActive(bool AValue) override;
  void SetFilename(const std::string& AValue) override;
  void LogWriteString(const std::string& AText) override;
  void LogFormattedLine(const std::string& AText) override;

  // Lines of text that other components have already decoded, with or
  // without the "Recv " / "Sent " prefix and the time stamp.
  void LogReceivedString(const std::string& AText, bool AWithPrefix = true);
  void LogSentString(const std::string& AText, bool AWithPrefix = true);

 protected:
  void Open() override;
  void Close() override;

  mutable TkfxCriticalSection FLock;
};

// The class the TCP client component creates.
class TkfxIdLogFileClient : public TkfxIdLogFileBase {
 public:
  using TkfxIdLogFileBase::TkfxIdLogFileBase;
};
