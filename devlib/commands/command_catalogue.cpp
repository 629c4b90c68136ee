// The device commands, one method each, in the order of their subcodes.
#include <cstring>

#include "devlib/byte_order.h"
#include "devlib/commands/command_catalogue.h"
#include "devlib/library_state.h"
#include "devlib/scsi_flash_device.h"
#include "host/host.h"

ResultCode ScsiFlashDevice::TestUnitReady() {
  return Send(BuildTestUnitReadyCdb(), 0, nullptr, 0);
}

ResultCode ScsiFlashDevice::Inquiry(char* vendorOut, char* productOut, char* revisionOut) {
  DecideTransport();
  if (TransportKind == kTransportHelperDriver) {
    return static_cast<FlashDevice*>(this)->GetInquiryStrings(vendorOut, productOut, revisionOut);
  }
  std::uint8_t data[36] = {};
  std::memset(vendorOut, 0, 8);
  std::memset(productOut, 0, 16);
  std::memset(revisionOut, 0, 4);
  const ResultCode result = Send(BuildInquiryCdb(), 1, data, sizeof data);
  if (result == kResultSuccess) {
    std::memcpy(vendorOut, data + 8, 8);
    std::memcpy(productOut, data + 16, 16);
    std::memcpy(revisionOut, data + 32, 4);
    host::Clock().Sleep(pause_ms::kAfterInquiry);
  }
  return result;
}

ResultCode ScsiFlashDevice::ReadIdentityString(std::uint8_t* text14) {
  std::memset(text14, 0, 14);
  return Send(BuildVendorCdb(subcode::kReadIdentityString), 1, text14, 14);
}

ResultCode ScsiFlashDevice::ReadCapacityMb(int* megabytes) {
  std::uint8_t data[2] = {};
  const ResultCode result = Send(BuildVendorCdb(subcode::kReadCapacityMb), 1, data, sizeof data);
  if (result == kResultSuccess) *megabytes = GetLittleEndian16(data);
  return result;
}
