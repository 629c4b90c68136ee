// The process-wide host: one set of ports, installed once at start-up (WinMain, the command
// line front end's main, a test fixture) and reached by the core through the accessors below.
#pragma once

#include "host/clock_port.h"
#include "host/file_system_port.h"
#include "host/helper_driver_port.h"
#include "host/registry_port.h"
#include "host/resource_port.h"
#include "host/security_port.h"
#include "host/shell_port.h"
#include "host/volume_port.h"

namespace host {

struct Ports {
  VolumePort* volumes = nullptr;
  HelperDriverPort* helperDriver = nullptr;
  ClockPort* clock = nullptr;
  SecurityPort* security = nullptr;
  RegistryPort* registry = nullptr;
  FileSystemPort* files = nullptr;
  ShellPort* shell = nullptr;
  ResourcePort* resources = nullptr;
};

// Replaces the installed ports; the objects must outlive their use.
void Install(const Ports& ports);
const Ports& Installed();

// Each accessor ends the process with a message when its port was never installed: that is
// a wiring fault of the program, not a condition the core could report.
VolumePort& Volumes();
HelperDriverPort& HelperDriver();
ClockPort& Clock();
SecurityPort& Security();
RegistryPort& Registry();
FileSystemPort& Files();
ShellPort& Shell();
ResourcePort& Resources();

}  // namespace host
