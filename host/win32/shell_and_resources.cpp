// Top-level windows, message boxes, the shell's change notification, and the program's module.
#include "host/win32/win32_ports.h"
#include "host/win32/windows_api.h"

namespace win32host {

host::WindowHandle Win32Shell::FindWindowByTitle(const char* title) {
  return FromWindow(::FindWindowA(nullptr, title));
}

bool Win32Shell::PostMessage(host::WindowHandle window, std::uint32_t message,
                             std::uintptr_t wParam, std::intptr_t lParam) {
  return ::PostMessageA(ToWindow(window), message, wParam, lParam) != FALSE;
}

void Win32Shell::ChangeNotify(std::int32_t eventId, std::uint32_t flags, const void* item1,
                              const void* item2) {
  ::SHChangeNotify(eventId, flags, item1, item2);
}

int Win32Shell::MessageBox(host::WindowHandle owner, const char* text, const char* caption,
                           std::uint32_t type) {
  return ::MessageBoxA(ToWindow(owner), text, caption, type);
}

bool Win32Resources::LoadRcData(int id, const std::uint8_t** data, std::uint32_t* size) {
  // A null module is the program's own executable.
  HRSRC found = ::FindResourceA(nullptr, MAKEINTRESOURCEA(id), RT_RCDATA);
  if (found == nullptr) return false;
  HGLOBAL loaded = ::LoadResource(nullptr, found);
  if (loaded == nullptr) return false;
  const void* bytes = ::LockResource(loaded);
  if (bytes == nullptr) return false;
  // Resources live as long as the module: nothing is freed.
  *data = static_cast<const std::uint8_t*>(bytes);
  *size = ::SizeofResource(nullptr, found);
  return true;
}

std::string Win32Resources::ApplicationName() {
  char path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  return ModuleBaseName(std::string(path, length < MAX_PATH ? length : MAX_PATH));
}

std::string ModuleBaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/:");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

}  // namespace win32host
