// The transport seam: how a command block reaches the key. It is chosen once per process, on
// first need, and kept in TransportKind (library_state.h): SCSI pass-through on the key's volume
// for an administrator, the helper driver (helper_driver.h) for an ordinary user. The device
// object's transport members (ExecuteCdb and its two branches, OpenKeyVolume) are defined in
// transport.cpp.
#pragma once

// Settles TransportKind on first need: pass-through for an administrator, else the helper driver.
void DecideTransport();
