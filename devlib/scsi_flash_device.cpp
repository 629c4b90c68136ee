#include "devlib/scsi_flash_device.h"

#include <cstdio>

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

host::Handle ScsiFlashDevice::OpenKeyVolume(const char* driveLetter) {
  char path[28];
  std::snprintf(path, sizeof path, "\\\\.\\%s:", driveLetter);
  m_hDevice = host::Volumes().OpenVolume(
      path, host::win32::GENERIC_READ | host::win32::GENERIC_WRITE,
      host::win32::FILE_SHARE_READ | host::win32::FILE_SHARE_WRITE, host::win32::OPEN_EXISTING,
      host::win32::FILE_FLAG_NO_BUFFERING | host::win32::FILE_ATTRIBUTE_NORMAL);
  return m_hDevice;
}

ResultCode ScsiFlashDevice::Send(const VendorCdb& cdb, int dataIn, void* buffer,
                                 std::uint32_t length, int* statusOut) {
  // Through the dispatch table, so that a derived device sees every command.
  FlashDevice& device = *this;
  return device.ExecuteCdb(dataIn, buffer, length, cdb.data(), statusOut);
}
