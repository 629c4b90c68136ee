// The Windows host installed for a test, the library at its process-start state around it, and
// a few things the adapter tests share.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "devlib/library_state.h"
#include "host/win32/win32_host.h"
#include "host/win32/windows_api.h"

class Win32HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetDeviceLibraryForTests();
    m_previous = host::Installed();
    windowsHost.Install();
  }
  void TearDown() override {
    ResetDeviceLibraryForTests();
    host::Install(m_previous);
  }

  win32host::Win32Host windowsHost;

 private:
  host::Ports m_previous;
};

// "X:\" for the first letter from D on that names no drive, or an empty text if all are taken.
inline std::string UnusedDriveRoot() {
  const DWORD drives = ::GetLogicalDrives();
  for (char letter = 'D'; letter <= 'Z'; ++letter) {
    if ((drives & (1u << (letter - 'A'))) == 0) return std::string(1, letter) + ":\\";
  }
  return {};
}

// The drive that wine-run maps to a folder and declares a floppy drive.
inline std::string RemovableDriveRoot() { return std::string(1, STELVARION_WINE_REMOVABLE_DRIVE) + ":\\"; }
