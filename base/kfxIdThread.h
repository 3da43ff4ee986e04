// TIdThread: a thread with a run loop that repeats its run step, can be
// stopped (terminated or suspended) and started again, and reports the
// exception that ended it.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "base/IdException.h"
#include "base/kfxWebSocket_Classes_SyncObjs.h"
#include "rtl/Thread.h"

enum class TIdThreadStopMode { smTerminate, smSuspend };
enum class TIdThreadOption { itoStopped, itoReqCleanup, itoDataOwner, itoTag };
using TIdThreadOptions = TSet<TIdThreadOption>;

// Scheduler token; the client side never sets one.
class TIdYarn : public TObject {};

class TIdThread;
using TIdExceptionThreadEvent = std::function<void(TIdThread* AThread, const Exception& AException)>;
using TIdNotifyThreadEvent = std::function<void(TIdThread* AThread)>;

class TIdThread : public TThread {
 public:
  TIdThread(bool ACreateSuspended = true, bool ALoop = true, const std::string& AName = "");
  ~TIdThread() override;
  void BeforeDestruction() override;

  virtual void Start();
  virtual void Stop();
  virtual void Terminate();
  void TerminateAndWaitFor();
  bool Stopped() const;

  // Owned when itoDataOwner is set (the default): freed at clean-up.
  TObject* Data() const { return FData; }
  void SetData(TObject* aData) { FData = aData; }
  bool Loop() const { return FLoop; }
  void SetLoop(bool aValue) { FLoop = aValue; }
  std::string Name() const;
  void SetName(const std::string& aName);
  TIdThreadStopMode StopMode() const;
  void SetStopMode(TIdThreadStopMode aValue);
  TIdThreadOptions Options() const;
  std::string TerminatingException() const;
  std::string TerminatingExceptionClass() const;
  TIdYarn* Yarn() const { return FYarn.get(); }
  void SetYarn(std::unique_ptr<TIdYarn> aYarn) { FYarn = std::move(aYarn); }

  TIdExceptionThreadEvent OnException;
  TIdNotifyThreadEvent OnStopped;

 protected:
  virtual void AfterRun() {}
  virtual void AfterExecute() {}
  virtual void BeforeExecute() {}
  virtual void BeforeRun() {}
  virtual void Cleanup();
  virtual void DoException(const Exception& E);
  virtual void DoStopped();
  // Answers whether an exception from the run step is handled (the loop goes
  // on) or ends the thread (false, the default).
  virtual bool HandleRunException(const Exception& E);
  // The run step.
  virtual void Run() = 0;
  // Tells a run step that waits (a timer's countdown) that Stop or Terminate
  // was called, so it can end early.
  virtual void StopRequested() {}

  void Execute() override;
  void TerminatedSet() override { StopRequested(); }

  mutable TIdCriticalSection FLock;

 private:
  void RunOnce();

  TObject* FData = nullptr;
  std::atomic<bool> FLoop;
  std::string FName;
  TIdThreadStopMode FStopMode = TIdThreadStopMode::smTerminate;
  TIdThreadOptions FOptions;
  std::string FTerminatingException;
  std::string FTerminatingExceptionClass;
  std::unique_ptr<TIdYarn> FYarn;
};
