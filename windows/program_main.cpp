// StelvarionBootUtility.exe: the program on the real Windows host.
#include "windows/win32_dialog.h"
#include "host/win32/win32_host.h"

int WINAPI WinMain(HINSTANCE module, HINSTANCE, LPSTR, int) {
  win32host::Win32Host host;
  host.Install();
  return win32host::RunBootUtility(module);
}
