// Finding the key: the drive scan (pass-through), the device scan (helper driver), and the
// registry walk that gives the helper-driver key its drive letter.
#include <cstring>

#include "devlib/helper_driver.h"
#include "devlib/identity.h"
#include "devlib/library_state.h"
#include "devlib/scsi_flash_device.h"
#include "devlib/transport.h"
#include "host/host.h"

namespace {

// Copies the display name without its terminating zero, as callers expect.
void ReportName(const char* displayName, char* nameOut) {
  if (nameOut != nullptr) std::memcpy(nameOut, displayName, std::strlen(displayName));
}

}  // namespace

ResultCode ScsiFlashDevice::IdentifyKey(const char* const* identityTable, int rowCount,
                                        char* nameOut, int* countOut) {
  DecideTransport();
  if (TransportKind == kTransportHelperDriver) {
    return IdentifyThroughHelper(identityTable, rowCount, nameOut, countOut);
  }
  return IdentifyByPassThrough(identityTable, rowCount, nameOut, countOut);
}

ResultCode ScsiFlashDevice::IdentifyByPassThrough(const char* const* identityTable, int rowCount,
                                                  char* nameOut, int* countOut) {
  int found = 0;
  for (const char* letter : DriveLetterTable) {
    if (OpenKeyVolume(letter) == host::kInvalidHandle) continue;
    std::uint8_t identity[kIdentityLength];
    // The command closes the volume again, as every pass-through command does.
    if (ReadIdentityString(identity) != kResultSuccess) continue;
    for (int row = 0; row < rowCount; ++row) {
      if (std::memcmp(identity, identityTable[row], kIdentityLength) != 0) continue;
      ++found;
      if (found == 1) {
        m_strDriveLetter = letter;
        ReportName(identityTable[rowCount + row], nameOut);
        ModelKind = ModelKindFromName(identityTable[rowCount + row]);
      }
      if (countOut != nullptr) *countOut = found;
      if (found >= 2) return kResultSuccess;
    }
  }
  return found > 0 ? kResultSuccess : kResultKeyNotFound;
}

ResultCode ScsiFlashDevice::IdentifyThroughHelper(const char* const* identityTable, int rowCount,
                                                  char* nameOut, int* countOut) {
  if (m_hDevice == host::kInvalidHandle) {
    host::Handle driver = 0;
    m_hDevice = OpenHelperDriver(&driver) == kHelperOpened ? driver : host::kInvalidHandle;
  }
  if (m_hDevice == host::kInvalidHandle) return kResultGeneralFailure;

  std::uint8_t inquiry[helper_request::kCommandSize] = {};
  inquiry[0] = 0x12;
  inquiry[4] = 56;

  int found = 0;
  for (int index = 0; index < 26 && found < 2; ++index) {
    std::uint8_t answer[56] = {};
    if (HelperTransfer(m_hDevice, index, inquiry, kHelperTransferIn, answer, sizeof answer,
                       nullptr, 0) != kHelperTransferDone) {
      continue;
    }
    ++found;
    if (found == 1) {
      std::memset(m_szVendor, 0, sizeof m_szVendor);
      std::memset(m_szProduct, 0, sizeof m_szProduct);
      std::memset(m_szRevision, 0, sizeof m_szRevision);
      std::memcpy(m_szVendor, answer + 8, 8);
      std::memcpy(m_szProduct, answer + 16, 16);
      std::memcpy(m_szRevision, answer + 32, 4);
      m_nDriverIndex = static_cast<std::int8_t>(index);
    }
    if (countOut != nullptr) *countOut = found;
  }
  if (found == 0) {
    m_nDriverIndex = -1;
    return kResultKeyNotFound;
  }

  std::uint8_t identity[kIdentityLength];
  if (ReadIdentityString(identity) != kResultSuccess) return kResultSuccess;
  for (int row = 0; row < rowCount; ++row) {
    if (std::memcmp(identity, identityTable[row], kIdentityLength) != 0) continue;
    ReportName(identityTable[rowCount + row], nameOut);
    ModelKind = ModelKindFromName(identityTable[rowCount + row]);
  }
  return kResultSuccess;
}

ResultCode ScsiFlashDevice::GetDriveLetter(char* letterOut) {
  DecideTransport();
  if (TransportKind == kTransportHelperDriver) return ResolveDriveLetterFromRegistry(letterOut);
  const ResultCode found =
      static_cast<FlashDevice*>(this)->IdentifyKey(IdentityTable, kIdentityRows, nullptr, nullptr);
  if (found != kResultSuccess) return found;
  *letterOut = m_strDriveLetter[0];
  return kResultSuccess;
}

ResultCode ScsiFlashDevice::GetInquiryStrings(char* vendorOut, char* productOut,
                                              char* revisionOut) {
  if (m_nDriverIndex == -1 || m_hDevice == host::kInvalidHandle) {
    const ResultCode found = IdentifyThroughHelper(IdentityTable, kIdentityRows, nullptr, nullptr);
    if (found != kResultSuccess) return found;
  }
  std::memcpy(vendorOut, m_szVendor, 8);
  std::memcpy(productOut, m_szProduct, 16);
  std::memcpy(revisionOut, m_szRevision, 4);
  return kResultSuccess;
}
