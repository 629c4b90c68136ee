#include "host/win32/win32_host.h"

namespace win32host {

host::Ports Win32Host::Ports() {
  host::Ports ports;
  ports.volumes = &volumes;
  ports.helperDriver = &helperDriver;
  ports.clock = &clock;
  ports.security = &security;
  ports.registry = &registry;
  ports.files = &files;
  ports.shell = &shell;
  ports.resources = &resources;
  return ports;
}

void Win32Host::Install() { host::Install(Ports()); }

}  // namespace win32host
