// Local time as the FAT directory entry stores it.
#pragma once

#include <cstdint>

namespace emulated {

struct LocalTime {
  std::uint16_t year = 1980;
  std::uint8_t month = 1;  // 1..12
  std::uint8_t day = 1;    // 1..31
  std::uint8_t hour = 0;
  std::uint8_t minute = 0;
  std::uint8_t second = 0;
  std::uint16_t millisecond = 0;
};

// The emulated machine keeps its local time zone at UTC.
LocalTime LocalTimeFromSeconds(std::uint64_t secondsSince1970);

// FAT stamps cover 1980-01-01 to 2107-12-31; times outside are clamped to the nearer end.
std::uint16_t DosDate(const LocalTime& time);
std::uint16_t DosTime(const LocalTime& time);  // two-second resolution
std::uint8_t DosTenths(const LocalTime& time);  // 0..199: the odd second and hundredths

}  // namespace emulated
