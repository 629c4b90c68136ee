// Top-level windows and the shell: FindWindowA, PostMessageA, SHChangeNotify.
#pragma once

#include <cstdint>
#include <string>

namespace host {

using WindowHandle = std::uintptr_t;  // HWND; 0 is no window

namespace win32 {
inline constexpr std::uint32_t WM_APP = 0x8000;
inline constexpr std::int32_t SHCNE_UPDATEDIR = 0x00001000;
inline constexpr std::uint32_t SHCNF_PATHA = 0x0001;
inline constexpr std::uint32_t MB_OK = 0x00000000;
inline constexpr std::uint32_t MB_OKCANCEL = 0x00000001;
inline constexpr std::uint32_t MB_ICONEXCLAMATION = 0x00000030;
inline constexpr std::uint32_t MB_ICONINFORMATION = 0x00000040;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
// WM_DEVICECHANGE's event types that the main dialog answers.
inline constexpr std::uint32_t DBT_DEVICEARRIVAL = 0x8000;
inline constexpr std::uint32_t DBT_DEVICEREMOVECOMPLETE = 0x8004;
}  // namespace win32

// What a host that shows no windows keeps of a MessageBoxA call, and the button that answered it.
struct MessageBoxRecord {
  WindowHandle owner = 0;
  std::string text;
  std::string caption;
  std::uint32_t type = 0;
  int answer = 0;
};

// What it keeps of an SHChangeNotify call: its first item as text when that is a path.
struct ChangeNotification {
  std::int32_t eventId = 0;
  std::uint32_t flags = 0;
  std::string path;
};

class ShellPort {
 public:
  virtual ~ShellPort() = default;

  // FindWindowA(NULL, title): any window class, the whole title compared without regard to case.
  virtual WindowHandle FindWindowByTitle(const char* title) = 0;

  // PostMessageA(window, message, wParam, lParam).
  virtual bool PostMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                           std::intptr_t lParam) = 0;

  // SHChangeNotify(eventId, flags, item1, item2).
  virtual void ChangeNotify(std::int32_t eventId, std::uint32_t flags, const void* item1,
                            const void* item2) = 0;

  // MessageBoxA(owner, text, caption, type): the button pressed (IDOK, IDCANCEL, ...).
  virtual int MessageBox(WindowHandle owner, const char* text, const char* caption,
                         std::uint32_t type) = 0;
};

}  // namespace host
