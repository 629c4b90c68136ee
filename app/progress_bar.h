// The dialog's progress-bar control, as the dialog model drives it: PBM_SETRANGE with the bounds
// in the low and high words of lParam, and PBM_SETPOS with the position in wParam. The layout
// writers do not see it: they report to a ProgressReceiver (media/progress_sink.h), which the
// Start sequence adapts to this bar.
#pragma once

#include <cstdint>

namespace ui {

class ProgressBar {
 public:
  virtual ~ProgressBar() = default;
  // SendMessage(bar, PBM_SETRANGE, 0, MAKELPARAM(low, high)).
  virtual void SetRange(std::uint16_t low, std::uint16_t high) = 0;
  // SendMessage(bar, PBM_SETPOS, position, 0).
  virtual void SetPosition(std::int32_t position) = 0;
};

}  // namespace ui
