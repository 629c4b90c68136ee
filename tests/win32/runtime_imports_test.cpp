// The runtime's wide-character imports as the program answers them (the 32-bit build links the
// program's own import slots into this suite): the slots are the program's, not KERNEL32's, and
// each behaves as the W function would, on whichever platform the prefix reports.
#include <gtest/gtest.h>

#include "host/win32/windows_api.h"

#if defined(__i386__)
extern "C" void* const stelvarion_test_slot_GetModuleHandleW __asm__("__imp__GetModuleHandleW@4");
extern "C" void* const stelvarion_test_slot_LoadLibraryW __asm__("__imp__LoadLibraryW@4");
extern "C" void* const stelvarion_test_slot_CreateSemaphoreW __asm__("__imp__CreateSemaphoreW@16");

namespace {

void* KernelExport(const char* name) {
  return reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("KERNEL32.DLL"), name));
}

TEST(RuntimeImports, TheThreeSlotsAreTheProgramsOwn) {
  EXPECT_NE(stelvarion_test_slot_GetModuleHandleW, KernelExport("GetModuleHandleW"));
  EXPECT_NE(stelvarion_test_slot_LoadLibraryW, KernelExport("LoadLibraryW"));
  EXPECT_NE(stelvarion_test_slot_CreateSemaphoreW, KernelExport("CreateSemaphoreW"));
}

TEST(RuntimeImports, EachAnswersAsTheWideFunction) {
  EXPECT_EQ(::GetModuleHandleW(L"KERNEL32.DLL"), ::GetModuleHandleA("KERNEL32.DLL"));
  EXPECT_EQ(::GetModuleHandleW(nullptr), ::GetModuleHandleA(nullptr));
  EXPECT_EQ(::GetModuleHandleW(L"no-such-module.dll"), nullptr);

  HMODULE shell = ::LoadLibraryW(L"SHELL32.DLL");
  ASSERT_NE(shell, nullptr);
  EXPECT_EQ(shell, ::GetModuleHandleA("SHELL32.DLL"));
  ::FreeLibrary(shell);

  // A named semaphore is the one the A form opens under the same name.
  HANDLE named = ::CreateSemaphoreW(nullptr, 1, 2, L"StelvarionRuntimeImportsTest");
  ASSERT_NE(named, nullptr);
  HANDLE opened = ::OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, "StelvarionRuntimeImportsTest");
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(::WaitForSingleObject(opened, 0), WAIT_OBJECT_0);
  EXPECT_EQ(::WaitForSingleObject(named, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "one count, taken";
  LONG previous = -1;
  EXPECT_TRUE(::ReleaseSemaphore(named, 3, &previous) == FALSE) << "beyond the maximum of 2";
  ::CloseHandle(opened);
  ::CloseHandle(named);

  HANDLE unnamed = ::CreateSemaphoreW(nullptr, 0, 1, nullptr);
  ASSERT_NE(unnamed, nullptr);
  EXPECT_EQ(::WaitForSingleObject(unnamed, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  ::CloseHandle(unnamed);
}

}  // namespace
#endif  // defined(__i386__)
