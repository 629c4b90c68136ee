// The device object itself: construction and destruction. Its other members are defined by seam
// (see scsi_flash_device.h).
#include "devlib/scsi_flash_device.h"

#include "devlib/library_state.h"
#include "host/host.h"

FlashDevice::~FlashDevice() = default;

// The three INQUIRY texts are cleared here although discovery clears them again before use:
// nothing should ever read an indeterminate byte.
ScsiFlashDevice::ScsiFlashDevice()
    : m_hDevice(host::kInvalidHandle),
      m_nDriverIndex(-1),
      m_szVendor{},
      m_szProduct{},
      m_szRevision{} {}

ScsiFlashDevice::~ScsiFlashDevice() {
  if (m_hDevice == host::kInvalidHandle) return;
  if (TransportKind == kTransportHelperDriver) {
    host::HelperDriver().CloseDriver(m_hDevice);
  } else {
    host::Volumes().CloseVolume(m_hDevice);
  }
}
