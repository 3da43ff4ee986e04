#include "tcp/kfxTCP_Classes.h"

void TkfxTCPWatchDog_Options::Assign(const TPersistent* Source) {
  const auto* other = dynamic_cast<const TkfxTCPWatchDog_Options*>(Source);
  if (!other) return TPersistent::Assign(Source);
  FEnabled = other->FEnabled;
  FInterval = other->FInterval;
  FAttempts = other->FAttempts;
}

void TkfxTCPWatchDog_Options::GetPublishedProperties(TPublishedProperties& aList) {
  aList.push_back(PublishField("Attempts", FAttempts));
  aList.push_back(PublishField("Enabled", FEnabled));
  aList.push_back(PublishField("Interval", FInterval));
}
