// TIdLogBase: an intercept that writes what passes through it: a status line
// at connect and disconnect and one entry per block sent or received.
// Subclasses decide where the entries go.
#pragma once

#include <string>

#include "transport/IdIntercept.h"

class TIdLogBase : public TIdConnectionIntercept {
 public:
  using TIdConnectionIntercept::TIdConnectionIntercept;
  ~TIdLogBase() override;

  void Connect(TComponent* AConnection) override;
  void Disconnect() override;
  // The next link first, then the entry.
  void Receive(TIdBytes& ABuffer) override;
  // The entry first, then the next link.
  void Send(TIdBytes& ABuffer) override;

  bool Active() const { return FActive; }
  // Opens or closes the log (only stored while designing or loading).
  virtual void SetActive(bool AValue);
  bool LogTime() const { return FLogTime; }
  void SetLogTime(bool AValue) { FLogTime = AValue; }
  // Write CR LF, CR and LF inside the data as "<EOL>", "<CR>" and "<LF>".
  bool ReplaceCRLF() const { return FReplaceCRLF; }
  void SetReplaceCRLF(bool AValue) { FReplaceCRLF = AValue; }

  // The local date and time as the log writes it ("yyyy-mm-dd hh:nn:ss").
  static std::string TimeStampText();

  void GetPublishedProperties(TPublishedProperties& aList) override;

 protected:
  virtual void LogStatus(const std::string& AText) = 0;
  virtual void LogReceivedData(const std::string& ATimeStamp, const TIdBytes& AData) = 0;
  virtual void LogSentData(const std::string& ATimeStamp, const TIdBytes& AData) = 0;
  virtual void Open() {}
  virtual void Close() {}
  void Loaded() override;
  // The bytes as the log shows them (ReplaceCRLF applied).
  TIdBytes Shown(const TIdBytes& AData) const;

  bool FActive = false;
  bool FLogTime = true;
  bool FReplaceCRLF = true;
};
