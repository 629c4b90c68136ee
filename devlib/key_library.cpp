#include "devlib/key_library.h"

#include "devlib/identity.h"
#include "devlib/library_state.h"
#include "devlib/scsi_flash_device.h"

namespace {
FlashDevice& Device() { return *TheFlashDevice; }
}  // namespace

ResultCode FindKey(char* displayNameOut, int* keyCountOut) {
  if (!DeviceLibraryReady()) return kResultGeneralFailure;
  return Device().IdentifyKey(IdentityTable, kIdentityRows, displayNameOut, keyCountOut);
}

ResultCode GetKeyDriveLetter(char* letterOut) {
  if (!DeviceLibraryReady()) return kResultGeneralFailure;
  return Device().GetDriveLetter(letterOut);
}

ResultCode GetKeyCapacity(int* megabytesOut) {
  if (!DeviceLibraryReady()) return kResultGeneralFailure;
  return TheFlashDevice->ReadCapacityMb(megabytesOut);
}

ResultCode GetKeyInquiryStrings(char* vendorOut, char* productOut, char* revisionOut) {
  if (!DeviceLibraryReady()) return kResultGeneralFailure;
  return TheFlashDevice->Inquiry(vendorOut, productOut, revisionOut);
}
