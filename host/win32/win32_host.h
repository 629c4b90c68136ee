// The process's Windows host: one adapter per port, installed at start-up by WinMain (and by
// the tests that run under wine).
#pragma once

#include "host/host.h"
#include "host/win32/win32_ports.h"

namespace win32host {

class Win32Host {
 public:
  // The ports, pointing into this object.
  host::Ports Ports();
  // host::Install(Ports()); the object must outlive the process's use of the ports.
  void Install();

  Win32Volumes volumes;
  Win32HelperDriver helperDriver;
  Win32Clock clock;
  Win32Security security;
  Win32Registry registry;
  Win32FileSystem files;
  Win32Shell shell;
  Win32Resources resources;
};

}  // namespace win32host
