#include "tcp/kfxTCP_Classes.h"

void TkfxTCPWatchDog_Options::Assign(const TPersistent* Source) {
  const auto* other = dynamic_cast<const TkfxTCPWatchDog_Options*>(Source);
  if (!other) return TPersistent::Assign(Source);
  FEnabled = other->FEnabled;
  FInterval = other->FInterval;
  FAttempts = other->FAttempts;
}

void TkfxTCPWatchDog_Options::GetPublishedProperties(TPublishedProperties& aList) {
  aList.push_back(PublishInt32(
      "Attempts", [this] { return FAttempts; }, [this](int v) { FAttempts = v; }));
  aList.push_back(PublishBoolean(
      "Enabled", [this] { return FEnabled; }, [this](bool v) { FEnabled = v; }));
  aList.push_back(PublishInt32(
      "Interval", [this] { return FInterval; }, [this](int v) { FInterval = v; }));
}
