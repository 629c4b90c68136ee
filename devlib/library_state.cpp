#include "devlib/library_state.h"

#include <new>

#include "devlib/identity.h"
#include "devlib/scsi_flash_device.h"

ScsiFlashDevice* TheFlashDevice = nullptr;
std::int32_t TransportKind = kTransportUndecided;
std::int32_t ModelKind = 0;

namespace {
int g_devicesCreated = 0;
}

ResultCode InitDeviceLibrary() {
  TheFlashDevice = new (std::nothrow) ScsiFlashDevice;
  if (TheFlashDevice == nullptr) return kResultGeneralFailure;
  ++g_devicesCreated;
  // The first identification settles the transport and the model; a missing key is not an
  // error here, the entry function that follows reports it.
  static_cast<FlashDevice*>(TheFlashDevice)->IdentifyKey(IdentityTable, kIdentityRows, nullptr, nullptr);
  return kResultSuccess;
}

bool DeviceLibraryReady() {
  if (TheFlashDevice == nullptr && InitDeviceLibrary() == kResultGeneralFailure) return false;
  return true;
}

void ResetDeviceLibraryForTests() {
  delete TheFlashDevice;
  TheFlashDevice = nullptr;
  TransportKind = kTransportUndecided;
  ModelKind = 0;
  g_devicesCreated = 0;
}

int DeviceObjectsCreatedForTests() { return g_devicesCreated; }
