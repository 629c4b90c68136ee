// The main dialog on the Windows dialog manager: template 102 run modally, its messages handed to
// the dialog model, and the model's view calls turned into calls on the dialog's controls.
#pragma once

#include "app/boot_utility_app.h"
#include "app/boot_utility_dialog.h"
#include "host/win32/windows_api.h"

namespace win32host {

class Win32ProgressBar : public ui::ProgressBar {
 public:
  explicit Win32ProgressBar(HWND control) : m_control(control) {}
  void SetRange(std::uint16_t low, std::uint16_t high) override;
  void SetPosition(std::int32_t position) override;

 private:
  HWND m_control;
};

class Win32DialogView : public ui::DialogView {
 public:
  Win32DialogView(HWND dialog, HICON icon);

  void SetItemText(int id, const std::string& text) override;
  std::string GetItemText(int id) override;
  void EnableItem(int id, bool enable) override;
  void ShowItem(int id, bool show) override;
  ui::ProgressBar& ProgressItem(int id) override;
  void LimitItemText(int id, int limit) override;
  void FocusItem(int id) override;
  void SelectItemText(int id, int start, int end) override;
  void ScrollCaretIntoView(int id) override;
  void SetWindowIcon(bool large) override;
  void UpdateNow() override;
  void BringToForeground() override;
  bool IsMinimised() override;
  void PaintMinimisedIcon(int x, int y) override;
  void ClientSize(int* width, int* height) override;
  void StandardIconSize(int* width, int* height) override;
  void EndDialog(int result) override;
  host::WindowHandle Window() override;
  std::uintptr_t ProgramIcon() override;

 private:
  HWND m_dialog;
  HICON m_icon;
  Win32ProgressBar m_progress;
};

// Runs the dialog from template 102 of the given module until it ends.
class Win32DialogRunner : public ModalDialogRunner {
 public:
  explicit Win32DialogRunner(HINSTANCE module) : m_module(module) {}
  int RunModal(BootUtilityDialog& dialog) override;

 private:
  HINSTANCE m_module;
};

// WinMain's work for both programs, once the ports are installed: the common controls, the
// application object, the dialog.
int RunBootUtility(HINSTANCE module);

}  // namespace win32host
