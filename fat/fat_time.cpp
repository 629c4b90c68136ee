#include "fat/fat_time.h"

namespace emulated {

namespace {

LocalTime Clamped(const LocalTime& time) {
  if (time.year < 1980) return LocalTime{};
  if (time.year > 2107) return LocalTime{2107, 12, 31, 23, 59, 59, 999};
  return time;
}

}  // namespace

LocalTime LocalTimeFromSeconds(std::uint64_t secondsSince1970) {
  // Civil date from a day count (proleptic Gregorian, eras of 400 years).
  const std::uint64_t days = secondsSince1970 / 86400 + 719468;
  const std::uint64_t secondOfDay = secondsSince1970 % 86400;
  const std::uint64_t era = days / 146097;
  const std::uint64_t dayOfEra = days - era * 146097;
  const std::uint64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::uint64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::uint64_t monthIndex = (5 * dayOfYear + 2) / 153;  // March = 0
  const std::uint64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  const std::uint64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);

  LocalTime time;
  time.year = year > 0xFFFF ? 0xFFFF : static_cast<std::uint16_t>(year);
  time.month = static_cast<std::uint8_t>(month);
  time.day = static_cast<std::uint8_t>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
  time.hour = static_cast<std::uint8_t>(secondOfDay / 3600);
  time.minute = static_cast<std::uint8_t>(secondOfDay / 60 % 60);
  time.second = static_cast<std::uint8_t>(secondOfDay % 60);
  return time;
}

std::uint16_t DosDate(const LocalTime& time) {
  const LocalTime t = Clamped(time);
  return static_cast<std::uint16_t>((t.year - 1980) << 9 | t.month << 5 | t.day);
}

std::uint16_t DosTime(const LocalTime& time) {
  const LocalTime t = Clamped(time);
  return static_cast<std::uint16_t>(t.hour << 11 | t.minute << 5 | t.second / 2);
}

std::uint8_t DosTenths(const LocalTime& time) {
  const LocalTime t = Clamped(time);
  return static_cast<std::uint8_t>(t.second % 2 * 100 + t.millisecond / 10);
}

}  // namespace emulated
