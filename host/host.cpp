#include "host/host.h"

#include <cstdio>
#include <cstdlib>

namespace host {
namespace {

Ports g_ports;

template <typename Port>
Port& Require(Port* port, const char* name) {
  if (port == nullptr) {
    std::fprintf(stderr, "internal error: the %s port is not installed\n", name);
    std::abort();
  }
  return *port;
}

}  // namespace

void Install(const Ports& ports) { g_ports = ports; }
const Ports& Installed() { return g_ports; }

VolumePort& Volumes() { return Require(g_ports.volumes, "volume"); }
HelperDriverPort& HelperDriver() { return Require(g_ports.helperDriver, "helper driver"); }
ClockPort& Clock() { return Require(g_ports.clock, "clock"); }
SecurityPort& Security() { return Require(g_ports.security, "security"); }
RegistryPort& Registry() { return Require(g_ports.registry, "registry"); }
FileSystemPort& Files() { return Require(g_ports.files, "file system"); }
ShellPort& Shell() { return Require(g_ports.shell, "shell"); }
ResourcePort& Resources() { return Require(g_ports.resources, "resource"); }

}  // namespace host
