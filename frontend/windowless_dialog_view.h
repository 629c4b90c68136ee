// The main dialog without a window: what the model puts into the controls is kept as the
// controls would keep it, and the calls that only concern a window on screen do nothing. The
// terminal front end and the benchmarks' driver build on it.
#pragma once

#include <map>
#include <string>

#include "app/dialog_view.h"

class WindowlessDialogView : public ui::DialogView {
 public:
  static constexpr host::WindowHandle kWindow = 0x4D0;

  void SetItemText(int id, const std::string& text) override { m_texts[id] = text; }
  std::string GetItemText(int id) override { return m_texts[id]; }
  void EnableItem(int id, bool enable) override { m_enabled[id] = enable; }
  void ShowItem(int id, bool show) override { m_shown[id] = show; }
  void LimitItemText(int id, int limit) override { m_limits[id] = limit; }
  void FocusItem(int) override {}
  void SelectItemText(int, int, int) override {}
  void ScrollCaretIntoView(int) override {}
  void SetWindowIcon(bool) override {}
  void UpdateNow() override {}
  void BringToForeground() override {}
  bool IsMinimised() override { return false; }
  void PaintMinimisedIcon(int, int) override {}
  void ClientSize(int* width, int* height) override { *width = *height = 0; }
  void StandardIconSize(int* width, int* height) override { *width = *height = 32; }
  void EndDialog(int) override { m_ended = true; }
  host::WindowHandle Window() override { return kWindow; }
  std::uintptr_t ProgramIcon() override { return 0; }

  // What a user does at the keyboard: an edit control takes no more than its limit.
  void Type(int id, const std::string& text);
  // A control never enabled or disabled is enabled.
  bool IsEnabled(int id) const;
  bool Ended() const { return m_ended; }

 private:
  std::map<int, std::string> m_texts;
  std::map<int, bool> m_enabled;
  std::map<int, bool> m_shown;
  std::map<int, int> m_limits;
  bool m_ended = false;
};
