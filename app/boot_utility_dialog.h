// The main dialog as a model: what it shows, what it enables, and the Start sequence. The window
// itself is a DialogView the platform attaches (the Windows dialog manager, the terminal front
// end, or a test).
#pragma once

#include <cstdint>
#include <string>

#include "devlib/result_code.h"
#include "app/dialog_view.h"

namespace dialog_id {
inline constexpr int kTemplate = 102;
inline constexpr int kIcon = 128;
inline constexpr int kStart = 1;  // IDOK
inline constexpr int kClose = 2;  // IDCANCEL
inline constexpr int kCapacity = 1000;
inline constexpr int kLabel = 1001;
inline constexpr int kProgress = 1002;
inline constexpr int kFormatting = 1003;
}  // namespace dialog_id

inline constexpr int kLabelMaxCharacters = 11;
inline constexpr std::int32_t kProgressTotal = 52;

// The capacity the capacity line last showed, 0 while it shows a notice.
extern std::int32_t KeyCapacityMB;
// The key count seen at the last device change that refreshed the line.
extern std::int32_t LastKeyCount;

class BootUtilityDialog {
 public:
  BootUtilityDialog() = default;
  BootUtilityDialog(const BootUtilityDialog&) = delete;
  BootUtilityDialog& operator=(const BootUtilityDialog&) = delete;

  // The platform attaches the window before initialisation and detaches it when it is gone.
  void AttachView(ui::DialogView* view) { m_view = view; }
  host::WindowHandle Window() const { return m_view != nullptr ? m_view->Window() : 0; }

  // Data exchange: false when the controls hold something the members refuse.
  bool UpdateData(bool saveAndValidate);
  // WM_INITDIALOG: true, so the focus goes to the first tab stop (the label).
  bool OnInitDialog();
  void RefreshCapacityDisplay();
  // WM_DEVICECHANGE: always accepted.
  bool OnDeviceChange(std::uint32_t eventType, std::uintptr_t eventData);
  // WM_PAINT: true when the minimised dialog was painted here, false for default painting.
  bool OnPaint();
  // WM_QUERYDRAGICON.
  std::uintptr_t OnQueryDragIcon();
  // Start (IDOK, also the Enter key): the make-bootable sequence.
  void OnOK();
  // Close (IDCANCEL, also Escape and the close box).
  void OnCancel();

  std::string m_strLabel;
  std::string m_strCapacity;

 private:
  // The sequence from the label check to the success message; Start is re-enabled after it.
  void RunStartSequence();
  ui::DialogView& View() { return *m_view; }

  ui::DialogView* m_view = nullptr;
};

// 1 when the label holds one of the characters a FAT label cannot hold, else 0.
int IsLabelInvalid(std::string label);

// The code page's control characters: below the space, and DEL.
constexpr bool IsControlCharacter(unsigned char c) { return c < 0x20 || c == 0x7F; }

// Tells the companion monitor program, if it runs, that the key is about to change; then
// refreshes the key. Returns the refresh's result.
ResultCode NotifyMonitorProgram();
