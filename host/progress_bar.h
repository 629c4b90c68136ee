// A progress-bar control, as the layout writers drive it: PBM_SETRANGE with the bounds in the
// low and high words of lParam, and PBM_SETPOS with the position in wParam.
#pragma once

#include <cstdint>

namespace host {

class ProgressBar {
 public:
  virtual ~ProgressBar() = default;
  // SendMessage(bar, PBM_SETRANGE, 0, MAKELPARAM(low, high)).
  virtual void SetRange(std::uint16_t low, std::uint16_t high) = 0;
  // SendMessage(bar, PBM_SETPOS, position, 0).
  virtual void SetPosition(std::int32_t position) = 0;
};

}  // namespace host
