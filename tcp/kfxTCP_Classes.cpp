#include "tcp/kfxTCP_Classes.h"

const TPersistentFields<TkfxTCPWatchDog_Options>& TkfxTCPWatchDog_Options::Fields() {
  using C = TkfxTCPWatchDog_Options;
  static const auto fields = TPersistentFields<C>()
                                 .Field("Attempts", &C::FAttempts)
                                 .Field("Enabled", &C::FEnabled)
                                 .Field("Interval", &C::FInterval);
  return fields;
}

void TkfxTCPWatchDog_Options::Assign(const TPersistent* Source) {
  if (!Fields().AssignFrom(*this, Source)) TPersistent::Assign(Source);
}

void TkfxTCPWatchDog_Options::GetPublishedProperties(TPublishedProperties& aList) {
  Fields().Publish(*this, aList);
}
