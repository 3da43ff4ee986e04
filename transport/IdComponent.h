// The transport's component bases: TIdBaseComponent (a component of the
// transport) and TIdComponent, which adds status reports and work events with
// an optional work target that receives them instead.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "rtl/Classes.h"

enum class TIdStatus {
  hsResolving,
  hsConnecting,
  hsConnected,
  hsDisconnecting,
  hsDisconnected,
  hsStatusText
};
enum class TWorkMode { wmRead, wmWrite };

using TIdStatusEvent =
    std::function<void(TObject* ASender, TIdStatus AStatus, const std::string& AStatusText)>;
using TWorkEvent = std::function<void(TObject* ASender, TWorkMode AWorkMode, int64_t AWorkCount)>;
using TWorkBeginEvent =
    std::function<void(TObject* ASender, TWorkMode AWorkMode, int64_t AWorkCountMax)>;
using TWorkEndEvent = std::function<void(TObject* ASender, TWorkMode AWorkMode)>;

class TIdBaseComponent : public TComponent {
 public:
  explicit TIdBaseComponent(TComponent* AOwner = nullptr) : TComponent(AOwner) {}
};

class TIdComponent : public TIdBaseComponent {
 public:
  explicit TIdComponent(TComponent* AOwner = nullptr) : TIdBaseComponent(AOwner) {}
  ~TIdComponent() override;

  // The text of a status: "Resolving hostname %s.", "Connecting to %s.",
  // "Connected.", "Disconnecting.", "Disconnected." or the argument itself.
  static std::string StatusText(TIdStatus AStatus, const std::string& AArg = "");

  // Work events go to the target, when one is set, instead of this component.
  TIdComponent* WorkTarget() const { return FWorkTarget; }
  void SetWorkTarget(TIdComponent* AValue);

  TIdStatusEvent OnStatus;
  TWorkEvent OnWork;
  TWorkBeginEvent OnWorkBegin;
  TWorkEndEvent OnWorkEnd;

  // Fires OnStatus with the formatted text.
  virtual void DoStatus(TIdStatus AStatus, const std::string& AArg = "");
  virtual void DoWork(TWorkMode AWorkMode, int64_t ACount);
  virtual void DoWorkBegin(TWorkMode AWorkMode, int64_t ACountMax);
  virtual void DoWorkEnd(TWorkMode AWorkMode);

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;

 private:
  TIdComponent* FWorkTarget = nullptr;
};
