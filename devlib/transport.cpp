// ExecuteCdb on its two transports, the volume they open, and the once-per-process choice
// between them.
#include "devlib/transport.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "devlib/helper_driver.h"
#include "devlib/identity.h"
#include "devlib/library_state.h"
#include "devlib/scsi_flash_device.h"
#include "host/host.h"
#include "host/pass_through_request.h"

namespace pt = pass_through;

void DecideTransport() {
  if (TransportKind != kTransportUndecided) return;
  TransportKind = host::Security().IsAdministrator() ? kTransportPassThrough : kTransportHelperDriver;
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

ResultCode ScsiFlashDevice::ExecuteCdb(int dataIn, void* buffer, std::uint32_t length,
                                       const std::uint8_t* cdb, int* statusOut) {
  DecideTransport();
  if (TransportKind == kTransportHelperDriver) {
    return ExecuteThroughHelper(dataIn, buffer, length, cdb, statusOut);
  }
  return ExecutePassThrough(dataIn, buffer, length, cdb, statusOut);
}

ResultCode ScsiFlashDevice::ExecutePassThrough(int dataIn, void* buffer, std::uint32_t length,
                                               const std::uint8_t* cdb, int* statusOut) {
  host::PassThroughRequest request;  // zero-filled

  // Data for the key travels in a private heap copy of exactly the transfer length.
  std::unique_ptr<std::uint8_t[]> dataOutCopy;
  if (dataIn == 0 && length > 0) {
    dataOutCopy.reset(new (std::nothrow) std::uint8_t[length]);
    if (!dataOutCopy) return kResultGeneralFailure;
    std::memcpy(dataOutCopy.get(), buffer, length);
  }

  std::uint8_t* image = request.image.data();
  pt::FillRequest(image, cdb, VendorCdb::kSize, dataIn != 0, length);
  request.dataBuffer = dataIn != 0 ? buffer : dataOutCopy.get();

  if (m_hDevice == host::kInvalidHandle) {
    if (m_strDriveLetter.empty()) {
      static_cast<FlashDevice*>(this)->IdentifyKey(IdentityTable, kIdentityRows, nullptr, nullptr);
    }
    OpenKeyVolume(m_strDriveLetter.c_str());
  }
  if (m_hDevice == host::kInvalidHandle) return kResultKeyNotFound;

  std::uint32_t returned = 0;
  ResultCode result = kResultGeneralFailure;
  if (host::Volumes().SendPassThrough(m_hDevice, host::win32::IOCTL_SCSI_PASS_THROUGH_DIRECT,
                                      request, pt::kRequestSize, pt::kRequestSize, &returned)) {
    if (statusOut != nullptr) *statusOut = image[pt::kScsiStatus];
    result = kResultSuccess;
  }

  // The volume is never held between commands.
  host::Volumes().CloseVolume(m_hDevice);
  m_hDevice = host::kInvalidHandle;
  return result;
}

ResultCode ScsiFlashDevice::ExecuteThroughHelper(int dataIn, void* buffer, std::uint32_t length,
                                                 const std::uint8_t* cdb, int* statusOut) {
  if (m_nDriverIndex == -1 || m_hDevice == host::kInvalidHandle) {
    const ResultCode found = IdentifyThroughHelper(IdentityTable, kIdentityRows, nullptr, nullptr);
    if (found != kResultSuccess) return found;
  }

  std::uint8_t command[helper_request::kCommandSize] = {};
  std::memcpy(command, cdb, VendorCdb::kSize);
  std::uint8_t sense[18];
  const int transferType = dataIn != 0 ? kHelperTransferIn : kHelperTransferOut;
  const int transferred = HelperTransfer(m_hDevice, m_nDriverIndex, command, transferType, buffer,
                                         length, sense, sizeof sense);
  if (statusOut != nullptr) {
    *statusOut = transferred != kHelperTransferDone ? 1 : 0;
    return kResultSuccess;
  }
  return transferred != kHelperTransferDone ? kResultGeneralFailure : kResultSuccess;
}
