// Clock: Sleep, time() and the local date as _strdate gives it.
#pragma once

#include <cstdint>

namespace host {

class ClockPort {
 public:
  virtual ~ClockPort() = default;

  // Sleep(milliseconds).
  virtual void Sleep(std::uint32_t milliseconds) = 0;

  // time(NULL): whole seconds since 1970-01-01 00:00 UTC, truncated to 32 bits.
  virtual std::uint32_t SecondsSince1970() = 0;

  // _strdate: the local date as "MM/DD/YY" followed by a zero byte (nine bytes).
  virtual void LocalDateText(char text[9]) = 0;
};

}  // namespace host
