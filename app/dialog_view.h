// The main dialog's window as its model drives it, and message boxes. One method stands for one
// Win32 call on the dialog or one of its controls.
#pragma once

#include <cstdint>
#include <string>

#include "app/progress_bar.h"
#include "host/shell_port.h"

namespace ui {

class DialogView {
 public:
  virtual ~DialogView() = default;

  // SetDlgItemTextA / GetDlgItemTextA.
  virtual void SetItemText(int id, const std::string& text) = 0;
  virtual std::string GetItemText(int id) = 0;
  // EnableWindow(GetDlgItem(id), enable).
  virtual void EnableItem(int id, bool enable) = 0;
  // ShowWindow(GetDlgItem(id), SW_SHOW or SW_HIDE).
  virtual void ShowItem(int id, bool show) = 0;
  // The progress-bar control with this id.
  virtual ProgressBar& ProgressItem(int id) = 0;
  // SendDlgItemMessage(id, EM_LIMITTEXT, limit, 0).
  virtual void LimitItemText(int id, int limit) = 0;
  // Keyboard focus to the control (as the dialog manager moves it).
  virtual void FocusItem(int id) = 0;
  // SendDlgItemMessage(id, EM_SETSEL, start, end) then EM_SCROLLCARET.
  virtual void SelectItemText(int id, int start, int end) = 0;
  virtual void ScrollCaretIntoView(int id) = 0;
  // WM_SETICON with the program's icon, ICON_BIG or ICON_SMALL.
  virtual void SetWindowIcon(bool large) = 0;
  // UpdateWindow(dialog): repaint now.
  virtual void UpdateNow() = 0;
  // SetForegroundWindow(dialog).
  virtual void BringToForeground() = 0;
  // IsIconic(dialog).
  virtual bool IsMinimised() = 0;
  // Paints the minimised dialog: WM_ICONERASEBKGND, then DrawIcon at (x, y) of the client area.
  virtual void PaintMinimisedIcon(int x, int y) = 0;
  // Client area size and the system's standard icon size (SM_CXICON, SM_CYICON).
  virtual void ClientSize(int* width, int* height) = 0;
  virtual void StandardIconSize(int* width, int* height) = 0;
  // EndDialog(dialog, result).
  virtual void EndDialog(int result) = 0;
  // The dialog's window, which owns its message boxes.
  virtual host::WindowHandle Window() = 0;
  // The program's icon (resource 128) as loaded for the dialog: the drag icon.
  virtual std::uintptr_t ProgramIcon() = 0;
};

}  // namespace ui
