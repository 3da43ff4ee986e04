#include "transport/IdLogBase.h"

#include <cstdio>

#include "rtl/DateTime.h"

TIdLogBase::~TIdLogBase() = default;

void TIdLogBase::Connect(TComponent* AConnection) {
  TIdConnectionIntercept::Connect(AConnection);
  if (FActive) LogStatus("Connected.");
}

void TIdLogBase::Disconnect() {
  if (FActive) LogStatus("Disconnected.");
  TIdConnectionIntercept::Disconnect();
}

void TIdLogBase::Receive(TIdBytes& ABuffer) {
  TIdConnectionIntercept::Receive(ABuffer);
  if (FActive) LogReceivedData(FLogTime ? TimeStampText() : std::string(), Shown(ABuffer));
}

void TIdLogBase::Send(TIdBytes& ABuffer) {
  if (FActive) LogSentData(FLogTime ? TimeStampText() : std::string(), Shown(ABuffer));
  TIdConnectionIntercept::Send(ABuffer);
}

void TIdLogBase::SetActive(bool AValue) {
  const TComponentState& state = ComponentState();
  if (state.Contains(TComponentStateItem::csDesigning) ||
      state.Contains(TComponentStateItem::csLoading)) {
    FActive = AValue;
    return;
  }
  if (AValue == FActive) return;
  if (AValue)
    Open();
  else
    Close();
  FActive = AValue;
}

void TIdLogBase::Loaded() {
  const bool wanted = FActive;
  FActive = false;
  TIdConnectionIntercept::Loaded();
  SetActive(wanted);
}

std::string TIdLogBase::TimeStampText() {
  const TDateTimeParts p = DecodeDateTime(Now());
  char text[32];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d", p.Year, p.Month, p.Day,
                p.Hour, p.Minute, p.Second);
  return text;
}

TIdBytes TIdLogBase::Shown(const TIdBytes& AData) const {
  if (!FReplaceCRLF) return AData;
  TIdBytes shown;
  shown.reserve(AData.size());
  const auto put = [&](const char* aText) {
    for (; *aText; ++aText) shown.push_back(static_cast<uint8_t>(*aText));
  };
  for (size_t i = 0; i < AData.size(); ++i) {
    if (AData[i] == '\r' && i + 1 < AData.size() && AData[i + 1] == '\n') {
      put("<EOL>");
      ++i;
    } else if (AData[i] == '\r') {
      put("<CR>");
    } else if (AData[i] == '\n') {
      put("<LF>");
    } else {
      shown.push_back(AData[i]);
    }
  }
  return shown;
}

void TIdLogBase::GetPublishedProperties(TPublishedProperties& aList) {
  TIdConnectionIntercept::GetPublishedProperties(aList);
  aList.push_back(PublishBoolean(
      "Active", [this] { return FActive; }, [this](bool v) { SetActive(v); }));
  aList.push_back(PublishField("LogTime", FLogTime));
  aList.push_back(PublishField("ReplaceCRLF", FReplaceCRLF));
}
