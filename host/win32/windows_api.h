// The one door to the Windows headers, and small owners for the handles the adapters take.
//
// The ports have methods named CreateFile, FindFirstFile, MessageBox, ... which <windows.h>
// turns into macros for its A/W variants; the macros go, and the host calls the A functions by
// their full names. The port headers spell Win32 constants under their own names
// (host::win32::GENERIC_READ), which <windows.h> defines as macros: they are read first.
#pragma once

#include "host/host.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <winioctl.h>
#include <ntddscsi.h>
#include <dbt.h>
#include <shlobj.h>
// clang-format on

#undef CreateFile
#undef FindFirstFile
#undef GetCurrentDirectory
#undef SetFileAttributes
#undef SetVolumeLabel
#undef GetDriveType
#undef GetDiskFreeSpace
#undef GetDiskFreeSpaceEx
#undef PostMessage
#undef MessageBox

#include <cstdint>
#include <utility>

namespace win32host {

// A function of a system DLL that the oldest Windows the program supports may lack (Windows 98
// has no working security API), reached through GetProcAddress so that the program still loads
// there; null when this Windows does not export it. The DLL stays loaded for the process.
template <typename Function>
Function SystemFunction(const char* dll, const char* name) {
  HMODULE module = ::GetModuleHandleA(dll);
  if (module == nullptr) module = ::LoadLibraryA(dll);
  if (module == nullptr) return nullptr;
  // Through void (*)(), the one function type GCC converts without a warning.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}
#define STELVARION_SYSTEM_FUNCTION(dll, name) \
  ::win32host::SystemFunction<decltype(&::name)>(dll, #name)

// The core's handle numbers and the API's pointer types carry the same bits.
inline HANDLE ToHandle(host::Handle handle) { return reinterpret_cast<HANDLE>(handle); }
inline host::Handle FromHandle(HANDLE handle) { return reinterpret_cast<host::Handle>(handle); }
inline HWND ToWindow(host::WindowHandle window) { return reinterpret_cast<HWND>(window); }
inline host::WindowHandle FromWindow(HWND window) {
  return reinterpret_cast<host::WindowHandle>(window);
}

// The predefined keys are 32-bit values that Windows sign-extends on 64-bit systems
// (HKEY_LOCAL_MACHINE is 0xFFFFFFFF80000002 there); the core spells them unextended.
inline HKEY ToRegistryKey(host::RegistryKey key) {
  if (key >= 0x80000000u && key <= 0x8000000Fu) {
    return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(key)));
  }
  return reinterpret_cast<HKEY>(key);
}
inline host::RegistryKey FromRegistryKey(HKEY key) { return reinterpret_cast<host::RegistryKey>(key); }

// Owns one value, released by Release(value) unless it equals Invalid().
template <typename T, typename Traits>
class Owned {
 public:
  Owned() = default;
  explicit Owned(T value) : m_value(value) {}
  ~Owned() { Reset(); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  Owned(Owned&& other) noexcept : m_value(std::exchange(other.m_value, Traits::Invalid())) {}
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) {
      Reset();
      m_value = std::exchange(other.m_value, Traits::Invalid());
    }
    return *this;
  }

  T Get() const { return m_value; }
  bool Valid() const { return m_value != Traits::Invalid(); }
  // For the API's output parameters: releases what is held first.
  T* Receive() {
    Reset();
    return &m_value;
  }
  void Reset() {
    if (Valid()) Traits::Release(m_value);
    m_value = Traits::Invalid();
  }

 private:
  T m_value = Traits::Invalid();
};

struct KernelHandleTraits {
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static void Release(HANDLE handle) { ::CloseHandle(handle); }
};
// Tokens and similar objects are 0 when absent, not INVALID_HANDLE_VALUE.
struct ObjectHandleTraits {
  static HANDLE Invalid() { return nullptr; }
  static void Release(HANDLE handle) { ::CloseHandle(handle); }
};
struct RegistryKeyTraits {
  static HKEY Invalid() { return nullptr; }
  static void Release(HKEY key) { ::RegCloseKey(key); }
};
struct SidTraits {
  static PSID Invalid() { return nullptr; }
  // A SID exists only where AllocateAndInitializeSid worked, so FreeSid is there too.
  static void Release(PSID sid) { STELVARION_SYSTEM_FUNCTION("ADVAPI32.DLL", FreeSid)(sid); }
};
struct LocalMemoryTraits {
  static HLOCAL Invalid() { return nullptr; }
  static void Release(HLOCAL memory) { ::LocalFree(memory); }
};
struct FindHandleTraits {
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static void Release(HANDLE find) { ::FindClose(find); }
};

using KernelHandle = Owned<HANDLE, KernelHandleTraits>;  // files and devices
using ObjectHandle = Owned<HANDLE, ObjectHandleTraits>;  // tokens
using RegistryKeyHandle = Owned<HKEY, RegistryKeyTraits>;
using SidHandle = Owned<PSID, SidTraits>;                // from AllocateAndInitializeSid
using LocalMemory = Owned<HLOCAL, LocalMemoryTraits>;    // from LocalAlloc
using FindHandle = Owned<HANDLE, FindHandleTraits>;      // from FindFirstFileA

}  // namespace win32host
