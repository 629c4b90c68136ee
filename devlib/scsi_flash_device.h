// The one implementation of FlashDevice, declared here once. Its members are defined by seam,
// each seam in files of its own with its own header for what it declares beside the class:
//   the object          scsi_flash_device.cpp        construction and destruction (flash_device.h)
//   transport           transport.cpp                chosen once per process (transport.h); the
//                       helper_driver.cpp            helper driver's calls (helper_driver.h)
//   discovery           discovery.cpp                the identification and the drive letter
//                       registry_walk.cpp            (identity.h); the registry's drive letter
//   command catalogue   commands/command_catalogue.cpp   (commands/command_catalogue.h)
//   information block   commands/device_info.cpp     (commands/device_info.h)
//   capacity            capacity.cpp                 conversion and area size (capacity.h)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "devlib/commands/vendor_cdb.h"
#include "devlib/flash_device.h"
#include "host/handle.h"

class ScsiFlashDevice : public FlashDevice {
 public:
  // ---- The object (scsi_flash_device.cpp) ----
  ScsiFlashDevice();
  ~ScsiFlashDevice() override;
  ScsiFlashDevice(const ScsiFlashDevice&) = delete;
  ScsiFlashDevice& operator=(const ScsiFlashDevice&) = delete;

  // ---- Transport (transport.cpp) ----
  // Slot 3: on the transport TransportKind chose.
  ResultCode ExecuteCdb(int dataIn, void* buffer, std::uint32_t length, const std::uint8_t* cdb,
                        int* statusOut) override;
  // Opens \\.\X: for one command; the handle is also stored in m_hDevice.
  host::Handle OpenKeyVolume(const char* driveLetter);

  // ---- Discovery (discovery.cpp, registry_walk.cpp) ----
  // Slots 1, 2 and 4.
  ResultCode IdentifyKey(const char* const* identityTable, int rowCount, char* nameOut,
                         int* countOut) override;
  ResultCode GetDriveLetter(char* letterOut) override;
  ResultCode GetInquiryStrings(char* vendorOut, char* productOut, char* revisionOut) override;
  // The helper-driver branch of GetDriveLetter: USBSTOR records and mounted devices, or on
  // Windows 9x the hardware keys of the devices present.
  ResultCode ResolveDriveLetterFromRegistry(char* letterOut);

  // ---- The command catalogue (commands/command_catalogue.cpp) ----
  // One method per device command, in the order of their blocks (commands/command_catalogue.h).
  ResultCode TestUnitReady();
  ResultCode Inquiry(char* vendorOut, char* productOut, char* revisionOut);
  ResultCode ReadBlocks(std::uint32_t lba, void* buffer, std::uint32_t count);
  ResultCode WriteBlocks(std::uint32_t lba, const void* buffer, std::uint32_t count);
  ResultCode CheckWriteProtect();
  ResultCode ResetDevice();
  ResultCode ResetAndRefresh();
  ResultCode ProbeBlock(std::uint32_t address, int mode);
  ResultCode WriteData72(void* buffer, std::uint32_t length);
  ResultCode WriteData73(void* buffer, std::uint32_t length);
  ResultCode SendCommand74();
  ResultCode SendCommand75();
  ResultCode SendCommand77(int index);
  ResultCode ReadData78(int index, void* buffer, std::uint32_t length);
  ResultCode ReadData79(int index, void* buffer, std::uint32_t length);
  ResultCode WriteData79(const void* buffer);
  ResultCode ReadFlashConfig(int* typeCodeOut, int* bankCountOut);
  ResultCode SendCommand7B(int kind);
  ResultCode ReadBulkArea(void* buffer);
  ResultCode WriteBulkArea(const void* buffer, std::uint32_t length);
  ResultCode ReadData8B(int index, void* buffer, std::uint32_t length);
  ResultCode ReadData8C(int index, void* buffer, std::uint32_t length);
  ResultCode WriteParameterBlock(const std::uint8_t* block512);
  ResultCode ReadParameterBlock(std::uint8_t* block512);
  ResultCode SubmitPassword(const char* text, std::uint32_t length, int wait, int area);
  ResultCode ReadIdentityString(std::uint8_t* text14);
  ResultCode ChangePassword(const char* current, std::uint32_t currentLength, const char* next,
                            std::uint32_t nextLength, const char* hint, std::uint32_t hintLength,
                            int area);
  ResultCode SendCommand97();
  ResultCode QueryState98();
  ResultCode RefreshMedium();
  ResultCode ReadCapacityMb(int* megabytes);
  ResultCode WriteInfoBlock(const std::uint8_t* block512);
  ResultCode ReadInfoBlock(std::uint8_t* block512);
  ResultCode SendCommand9E(int index);
  ResultCode SendCommand9F();
  ResultCode WritePage(const void* buffer64, int page);
  ResultCode ReadPage(void* buffer64, int page);
  ResultCode WriteBlockA3(const void* buffer512);
  ResultCode ReadBlockA4(void* buffer512);
  ResultCode ProbeArea(int area);
  ResultCode ReadHint(char* text128, int area);
  ResultCode WriteHint(const char* text, std::uint32_t length, int area);
  ResultCode SetPasswordAndHint(const char* password, std::uint32_t passwordLength,
                                const char* hint, std::uint32_t hintLength, int area);
  ResultCode SwitchMedium(int flag);
  ResultCode ReadDataFF(int index, void* buffer, std::uint32_t length);
  ResultCode NoOperation(int index);

  // ---- The information block (commands/device_info.cpp) ----
  ResultCode GetDeviceInfo(char* vendorIdText5, char* productIdText5, char* manufacturer,
                           char* product, char* serial, char* scsiVendor8, char* scsiProduct16,
                           char* scsiRevision4, char* configurationText3);
  ResultCode SetDeviceInfo(const char* vendorIdText, const char* productIdText,
                           const char* manufacturer, const char* product, char* serial,
                           const char* scsiVendor, const char* scsiProduct,
                           const char* scsiRevision, const char* configurationText);
  ResultCode GetSerialNumber(char* serial14);
  ResultCode SetSerialNumber(const char* text, std::uint32_t length);

  // ---- Capacity (capacity.cpp) ----
  // Geometry and area size. toMegabytes nonzero: sectors in, megabytes out.
  ResultCode ConvertCapacity(std::uint32_t* megabytes, std::uint32_t* sectors, int toMegabytes);
  ResultCode SetAreaSizeMb(std::uint32_t megabytes);
  ResultCode GetAreaSizeMb(std::uint32_t* megabytes);

  // State, public so that tests and the discovery code can read it as the layout describes.
  // Transport and discovery write it; the command catalogue only reads it.
  host::Handle m_hDevice;
  std::string m_strDriveLetter;
  std::int8_t m_nDriverIndex;
  char m_szVendor[9];
  char m_szProduct[17];
  char m_szRevision[5];

 private:
  // ---- Transport (transport.cpp) ----
  ResultCode ExecutePassThrough(int dataIn, void* buffer, std::uint32_t length,
                                const std::uint8_t* cdb, int* statusOut);
  ResultCode ExecuteThroughHelper(int dataIn, void* buffer, std::uint32_t length,
                                  const std::uint8_t* cdb, int* statusOut);

  // ---- Discovery (discovery.cpp) ----
  ResultCode IdentifyByPassThrough(const char* const* identityTable, int rowCount, char* nameOut,
                                   int* countOut);
  ResultCode IdentifyThroughHelper(const char* const* identityTable, int rowCount, char* nameOut,
                                   int* countOut);

  // ---- The command catalogue (commands/command_catalogue.cpp) ----
  // Sends one block through the dispatch table.
  ResultCode Send(const VendorCdb& cdb, int dataIn, void* buffer, std::uint32_t length,
                  int* statusOut = nullptr);
  // Sends a block that carries data to the key; the transport never writes to it.
  ResultCode SendOut(const VendorCdb& cdb, const void* buffer, std::uint32_t length,
                     int* statusOut = nullptr);
  // A vendor command with one parameter byte.
  static VendorCdb VendorWithByte(std::uint8_t subcodeValue, std::size_t position, int value);
  // The refresh follow-up: three pauses, the free-space queries of the key's root, TEST UNIT READY.
  void SettleAfterMediumChange(const char* rootPath);
};
