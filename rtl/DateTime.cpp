#include "rtl/DateTime.h"

#include <chrono>
#include <cmath>
#include <ctime>

namespace {

// Days from 1970-01-01 to the civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

// Milliseconds since 1970-01-01 of a date-time value (the same clock as the value).
int64_t ToUnixMs(TDateTime aValue) {
  return std::llround((aValue - kUnixDateDelta) * kMSecsPerDay);
}

TDateTime FromUnixMs(int64_t aMs) { return kUnixDateDelta + static_cast<double>(aMs) / kMSecsPerDay; }

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

}  // namespace

TDateTime EncodeDateTime(int aYear, int aMonth, int aDay, int aHour, int aMinute, int aSecond,
                         int aMilliSecond) {
  const int64_t days = DaysFromCivil(aYear, static_cast<unsigned>(aMonth), static_cast<unsigned>(aDay));
  const int64_t ms = days * 86400000 + ((aHour * 60 + aMinute) * 60 + aSecond) * int64_t{1000} + aMilliSecond;
  return FromUnixMs(ms);
}

TDateTimeParts DecodeDateTime(TDateTime aValue) {
  const int64_t ms = ToUnixMs(aValue);
  const int64_t days = FloorDiv(ms, 86400000);
  int64_t rest = ms - days * 86400000;
  TDateTimeParts p{};
  CivilFromDays(days, p.Year, p.Month, p.Day);
  p.MilliSecond = static_cast<int>(rest % 1000);
  rest /= 1000;
  p.Second = static_cast<int>(rest % 60);
  rest /= 60;
  p.Minute = static_cast<int>(rest % 60);
  p.Hour = static_cast<int>(rest / 60);
  return p;
}

TDateTime NowUTC() {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  return FromUnixMs(ms);
}

TDateTime Now() { return UTCToLocal(NowUTC()); }

TDateTime UTCToLocal(TDateTime aUTC) {
  const int64_t ms = ToUnixMs(aUTC);
  const time_t seconds = static_cast<time_t>(FloorDiv(ms, 1000));
  struct tm local {};
  localtime_r(&seconds, &local);
  return FromUnixMs(ms + static_cast<int64_t>(local.tm_gmtoff) * 1000);
}

TDateTime LocalToUTC(TDateTime aLocal) {
  const TDateTimeParts p = DecodeDateTime(aLocal);
  struct tm fields {};
  fields.tm_year = p.Year - 1900;
  fields.tm_mon = p.Month - 1;
  fields.tm_mday = p.Day;
  fields.tm_hour = p.Hour;
  fields.tm_min = p.Minute;
  fields.tm_sec = p.Second;
  fields.tm_isdst = -1;  // let the time-zone rules decide
  const time_t seconds = mktime(&fields);
  return FromUnixMs(static_cast<int64_t>(seconds) * 1000 + p.MilliSecond);
}

int64_t DateTimeToUnix(TDateTime aValue, bool aInputIsUTC) {
  const TDateTime utc = aInputIsUTC ? aValue : LocalToUTC(aValue);
  return ToUnixMs(utc) / 1000;  // drops the fraction (towards zero)
}

TDateTime UnixToDateTime(int64_t aValue, bool aReturnUTC) {
  const TDateTime utc = FromUnixMs(aValue * 1000);
  return aReturnUTC ? utc : UTCToLocal(utc);
}
