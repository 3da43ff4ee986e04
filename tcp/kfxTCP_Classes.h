// TCP-level option objects: the types the TCP client component publishes.
// Apart from the watchdog they add nothing to their socket-level bases.
#pragma once

#include "tcp/kfxSocket_Classes.h"

class TkfxTCPTLS_Options : public TkfxSocketTLS_Options {};
class TkfxTCPProxy_Options : public TkfxSocketProxy_Options {};
class TkfxTCPHeartBeat_Options : public TkfxSocketHeartBeat_Options {};
class TkfxTCPThrottle : public TkfxSocketThrottle {};
class TkfxTCPLogFile : public TkfxSocketLogFile {};
class TkfxTCPKeepAlive : public TkfxSocketKeepAlive {};

// Automatic reconnection after a failed activation or a lost connection.
class TkfxTCPWatchDog_Options : public TPersistent {
 public:
  void Assign(const TPersistent* Source) override;
  void GetPublishedProperties(TPublishedProperties& aList) override;

  // Reconnection attempts before giving up; 0 means no limit.
  int Attempts() const { return FAttempts; }
  void SetAttempts(int aValue) { FAttempts = aValue; }
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool aValue) { FEnabled = aValue; }
  // Seconds between two attempts.
  int Interval() const { return FInterval; }
  void SetInterval(int aValue) { FInterval = aValue; }
  // Interval in milliseconds, saturated at the 32-bit range (no overflow).
  int IntervalMS() const { return SecondsToMS(FInterval); }

 private:
  static const TPersistentFields<TkfxTCPWatchDog_Options>& Fields();
  int FAttempts = 0;
  bool FEnabled = false;
  int FInterval = 60;
};
