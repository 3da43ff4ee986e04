// TIdLogFile: a log intercept that appends its entries to a file. The file is
// created readable and writable by its owner only (it holds the decrypted
// traffic, tokens included) and held with an exclusive advisory lock, so a
// second log cannot write into it at the same time.
#pragma once

#include <memory>
#include <string>

#include "transport/IdLogBase.h"

class TIdLogFile : public TIdLogBase {
 public:
  using TIdLogBase::TIdLogBase;
  ~TIdLogFile() override;

  const std::string& Filename() const { return FFilename; }
  // EIdException "Unable to set Filename while log file is open." while open.
  virtual void SetFilename(const std::string& AValue);

  // Writes the text as given (bytes unchanged); nothing when the file is not open.
  virtual void LogWriteString(const std::string& AText);
  // One line: the time stamp and a blank when LogTime, the text, CR LF;
  // opens the log first when it is not active.
  virtual void LogFormattedLine(const std::string& AText);

  void GetPublishedProperties(TPublishedProperties& aList) override;

 protected:
  void LogStatus(const std::string& AText) override;
  void LogReceivedData(const std::string& ATimeStamp, const TIdBytes& AData) override;
  void LogSentData(const std::string& ATimeStamp, const TIdBytes& AData) override;
  // EFOpenError "Cannot open file "<path>". <reason>" when the file cannot
  // be opened, created or locked.
  void Open() override;
  void Close() override;
  bool FileOpen() const { return FFileStream >= 0; }

  std::string FFilename;
  int FFileStream = -1;  // the open file's descriptor, owned
};
