// The wide-character calls the compiler's own runtime makes, answered on every Windows from 98.
//
// libgcc's thread support (CreateSemaphoreW) and the C runtime's locale and rand_s helpers
// (GetModuleHandleW, LoadLibraryW) import these three. Windows 98 and ME export the W forms
// only as stubs that fail with ERROR_CALL_NOT_IMPLEMENTED, so a semaphore the runtime needs
// would never be made there. This file defines the import slots those objects link against
// (__imp__Name@N), so the linker takes them from here and the program does not import the three
// at all: each slot calls the W form through GetProcAddress where Windows has a working one, and
// otherwise the A form with the text narrowed to the ANSI code page. Only the 32-bit program
// supports Windows 98; the 64-bit build keeps the ordinary imports.
//
// This object must be linked into the executable itself, not taken from a library: the
// runtime's references come after every library of ours on the link line.
#if defined(__i386__)

#include "host/win32/windows_api.h"

namespace {

// The text in the ANSI code page, for the A form; false when it does not fit.
bool Narrow(const wchar_t* wide, char* narrow, int size) {
  if (wide == nullptr) return true;
  return ::WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, size, nullptr, nullptr) > 0;
}

// The W form of a KERNEL32 function where this Windows implements it; null on Windows 9x,
// whose W exports are stubs (GetVersion's top bit marks the 9x platform). Looked up at every
// call: a function-local static would take the runtime's guard, whose lock is a semaphore.
template <typename Function>
Function WideForm(const char* name) {
  if ((::GetVersion() & 0x80000000u) != 0) return nullptr;
  return win32host::SystemFunction<Function>("KERNEL32.DLL", name);
}

HANDLE WINAPI CreateSemaphoreWOrA(LPSECURITY_ATTRIBUTES attributes, LONG initial, LONG maximum,
                                  LPCWSTR name) {
  const auto wide = WideForm<decltype(&::CreateSemaphoreW)>("CreateSemaphoreW");
  if (wide != nullptr) return wide(attributes, initial, maximum, name);
  char narrow[MAX_PATH];
  if (!Narrow(name, narrow, sizeof narrow)) {
    ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  return ::CreateSemaphoreA(attributes, initial, maximum, name != nullptr ? narrow : nullptr);
}

HMODULE WINAPI GetModuleHandleWOrA(LPCWSTR name) {
  const auto wide = WideForm<decltype(&::GetModuleHandleW)>("GetModuleHandleW");
  if (wide != nullptr) return wide(name);
  char narrow[MAX_PATH];
  if (!Narrow(name, narrow, sizeof narrow)) {
    ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  return ::GetModuleHandleA(name != nullptr ? narrow : nullptr);
}

HMODULE WINAPI LoadLibraryWOrA(LPCWSTR name) {
  const auto wide = WideForm<decltype(&::LoadLibraryW)>("LoadLibraryW");
  if (wide != nullptr) return wide(name);
  char narrow[MAX_PATH];
  if (name == nullptr || !Narrow(name, narrow, sizeof narrow)) {
    ::SetLastError(name == nullptr ? ERROR_INVALID_PARAMETER : ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  return ::LoadLibraryA(narrow);
}

}  // namespace

// The import slots, under the names the runtime's objects refer to.
extern "C" {
extern void* const stelvarion_imp_CreateSemaphoreW __asm__("__imp__CreateSemaphoreW@16");
extern void* const stelvarion_imp_GetModuleHandleW __asm__("__imp__GetModuleHandleW@4");
extern void* const stelvarion_imp_LoadLibraryW __asm__("__imp__LoadLibraryW@4");
void* const stelvarion_imp_CreateSemaphoreW = reinterpret_cast<void*>(&CreateSemaphoreWOrA);
void* const stelvarion_imp_GetModuleHandleW = reinterpret_cast<void*>(&GetModuleHandleWOrA);
void* const stelvarion_imp_LoadLibraryW = reinterpret_cast<void*>(&LoadLibraryWOrA);
}

#endif  // defined(__i386__)
