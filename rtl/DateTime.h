// TDateTime: days since 1899-12-30 as a double, the fraction being the time
// of day. Values are local time unless a routine says UTC.
#pragma once

#include <cstdint>

using TDateTime = double;

constexpr double kMSecsPerDay = 86400000.0;
constexpr TDateTime kUnixDateDelta = 25569.0;  // 1970-01-01 as a TDateTime

TDateTime EncodeDateTime(int aYear, int aMonth, int aDay, int aHour, int aMinute, int aSecond,
                         int aMilliSecond);
struct TDateTimeParts {
  int Year, Month, Day, Hour, Minute, Second, MilliSecond;
};
TDateTimeParts DecodeDateTime(TDateTime aValue);

TDateTime Now();     // local wall-clock time, to the millisecond
TDateTime NowUTC();  // the same instant in UTC

TDateTime LocalToUTC(TDateTime aLocal);  // with the local time-zone rules
TDateTime UTCToLocal(TDateTime aUTC);

// Whole seconds since 1970-01-01 00:00 UTC, fractions dropped.
int64_t DateTimeToUnix(TDateTime aValue, bool aInputIsUTC = true);
TDateTime UnixToDateTime(int64_t aValue, bool aReturnUTC = true);
