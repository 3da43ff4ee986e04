#include "base/kfxIdThread.h"

#include <mutex>

TIdThread::TIdThread(bool ACreateSuspended, bool ALoop, const std::string& AName)
    : TThread(ACreateSuspended), FLoop(ALoop), FName(AName) {
  FOptions = {TIdThreadOption::itoDataOwner};
  if (ACreateSuspended) FOptions.Include(TIdThreadOption::itoStopped);
}

TIdThread::~TIdThread() = default;

void TIdThread::BeforeDestruction() {
  TThread::BeforeDestruction();  // terminates, resumes and waits for the end
  bool needsCleanup;
  {
    std::lock_guard guard(FLock);
    needsCleanup = FOptions.Contains(TIdThreadOption::itoReqCleanup);
  }
  if (needsCleanup) Cleanup();
  FYarn.reset();
  // Wait for any holder of the lock before the object goes.
  FLock.Acquire();
  FLock.Release();
}

bool TIdThread::Stopped() const {
  std::lock_guard guard(FLock);
  return Terminated() || FOptions.Contains(TIdThreadOption::itoStopped) || Suspended();
}

void TIdThread::Start() {
  {
    std::lock_guard guard(FLock);
    if (!Stopped()) return;
    if (Terminated())
      FOptions.Include(TIdThreadOption::itoStopped);
    else
      FOptions.Exclude(TIdThreadOption::itoStopped);
  }
  // Resumed outside FLock: the loop checks Stopped under the resume lock, so
  // the lock order is always resume lock, then FLock.
  TThread::Start();
}

void TIdThread::Stop() {
  {
    std::lock_guard guard(FLock);
    if (Stopped()) return;
    if (FStopMode == TIdThreadStopMode::smTerminate) Terminate();
    FOptions.Include(TIdThreadOption::itoStopped);
  }
  StopRequested();
}

void TIdThread::Terminate() {
  std::lock_guard guard(FLock);
  FOptions.Include(TIdThreadOption::itoStopped);
  TThread::Terminate();
}

void TIdThread::TerminateAndWaitFor() {
  if (FreeOnTerminate())
    throw EIdThreadTerminateAndWaitFor("Cannot call TerminateAndWaitFor on FreeAndTerminate threads");
  Terminate();
  Start();
  WaitFor();
}

std::string TIdThread::Name() const {
  std::lock_guard guard(FLock);
  return FName;
}

void TIdThread::SetName(const std::string& aName) {
  std::lock_guard guard(FLock);
  FName = aName;
}

TIdThreadStopMode TIdThread::StopMode() const {
  std::lock_guard guard(FLock);
  return FStopMode;
}

void TIdThread::SetStopMode(TIdThreadStopMode aValue) {
  std::lock_guard guard(FLock);
  FStopMode = aValue;
}

TIdThreadOptions TIdThread::Options() const {
  std::lock_guard guard(FLock);
  return FOptions;
}

std::string TIdThread::TerminatingException() const {
  std::lock_guard guard(FLock);
  return FTerminatingException;
}

std::string TIdThread::TerminatingExceptionClass() const {
  std::lock_guard guard(FLock);
  return FTerminatingExceptionClass;
}

void TIdThread::Cleanup() {
  bool ownsData;
  {
    std::lock_guard guard(FLock);
    FOptions.Exclude(TIdThreadOption::itoReqCleanup);
    ownsData = FOptions.Contains(TIdThreadOption::itoDataOwner);
  }
  FYarn.reset();
  if (ownsData && FData) {
    TObject* data = FData;
    FData = nullptr;
    data->Free();
  }
}

void TIdThread::DoException(const Exception& E) {
  if (OnException) OnException(this, E);
}

void TIdThread::DoStopped() {
  if (OnStopped) OnStopped(this);
}

bool TIdThread::HandleRunException(const Exception&) { return false; }

void TIdThread::RunOnce() {
  try {
    Run();
  } catch (const Exception& E) {
    if (!HandleRunException(E)) {
      Terminate();
      throw;
    }
  }
}

void TIdThread::Execute() {
  // What ended the thread, recorded at the outermost level.
  auto record = [this](const std::string& aClass, const Exception& E) {
    {
      std::lock_guard guard(FLock);
      FTerminatingExceptionClass = aClass;
      FTerminatingException = E.Message();
    }
    DoException(E);
    Terminate();
  };
  try {
    {
      std::lock_guard guard(FLock);
      if (FName.empty()) FName = "IdThread (unknown)";
    }
    NameThreadForDebugging(Name());
    try {
      BeforeExecute();
      while (!Terminated()) {
        if (Stopped()) {
          DoStopped();
          if (Stopped()) {
            if (Terminated()) break;
            // Start resumes us; it clears itoStopped before it does, so a
            // Start that comes first keeps us from suspending at all.
            SuspendWhile([this] { return Stopped() && !Terminated(); });
            if (Terminated()) break;
          }
        }
        {
          std::lock_guard guard(FLock);
          FOptions.Include(TIdThreadOption::itoReqCleanup);
        }
        try {
          try {
            BeforeRun();
            if (FLoop) {
              while (!Stopped()) RunOnce();
            } else {
              RunOnce();
            }
          } catch (...) {
            AfterRun();
            throw;
          }
          AfterRun();
        } catch (...) {
          Terminate();
          Cleanup();
          throw;
        }
        Cleanup();
      }
    } catch (...) {
      AfterExecute();
      throw;
    }
    AfterExecute();
  } catch (const Exception& E) {
    record(E.ClassName(), E);
  } catch (const std::exception& E) {
    record(ClassNameOf(typeid(E)), Exception(E.what()));
  }
}
