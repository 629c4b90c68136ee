// The one implementation of FlashDevice: both transports, discovery and every device command.
#pragma once

#include <cstdint>
#include <string>

#include "devlib/commands/vendor_cdb.h"
#include "devlib/flash_device.h"
#include "host/handle.h"

class ScsiFlashDevice : public FlashDevice {
 public:
  ScsiFlashDevice();
  ~ScsiFlashDevice() override;
  ScsiFlashDevice(const ScsiFlashDevice&) = delete;
  ScsiFlashDevice& operator=(const ScsiFlashDevice&) = delete;

  // Slots 1 to 4.
  ResultCode IdentifyKey(const char* const* identityTable, int rowCount, char* nameOut,
                         int* countOut) override;
  ResultCode GetDriveLetter(char* letterOut) override;
  ResultCode ExecuteCdb(int dataIn, void* buffer, std::uint32_t length, const std::uint8_t* cdb,
                        int* statusOut) override;
  ResultCode GetInquiryStrings(char* vendorOut, char* productOut, char* revisionOut) override;

  // The helper-driver branch of GetDriveLetter: USBSTOR records and mounted devices.
  ResultCode ResolveDriveLetterFromRegistry(char* letterOut);

  // Opens \\.\X: for one command; the handle is also stored in m_hDevice.
  host::Handle OpenKeyVolume(const char* driveLetter);

  // Device commands.
  ResultCode TestUnitReady();
  ResultCode Inquiry(char* vendorOut, char* productOut, char* revisionOut);
  ResultCode ReadIdentityString(std::uint8_t* text14);
  ResultCode ReadCapacityMb(int* megabytes);

  // State, public so that tests and the discovery code can read it as the layout describes.
  host::Handle m_hDevice;
  std::string m_strDriveLetter;
  std::int8_t m_nDriverIndex;
  char m_szVendor[9];
  char m_szProduct[17];
  char m_szRevision[5];

 private:
  ResultCode ExecutePassThrough(int dataIn, void* buffer, std::uint32_t length,
                                const std::uint8_t* cdb, int* statusOut);
  ResultCode ExecuteThroughHelper(int dataIn, void* buffer, std::uint32_t length,
                                  const std::uint8_t* cdb, int* statusOut);
  ResultCode IdentifyByPassThrough(const char* const* identityTable, int rowCount, char* nameOut,
                                   int* countOut);
  ResultCode IdentifyThroughHelper(const char* const* identityTable, int rowCount, char* nameOut,
                                   int* countOut);

  // Sends one block through the dispatch table.
  ResultCode Send(const VendorCdb& cdb, int dataIn, void* buffer, std::uint32_t length,
                  int* statusOut = nullptr);
};

// Settles TransportKind on first need: pass-through for an administrator, else the helper driver.
void DecideTransport();
