#include "devlib/helper_driver.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "host/byte_order.h"
#include "host/host.h"

namespace hr = helper_request;

int OpenHelperDriver(host::Handle* driver) {
  char path[260] = {};
  std::strcpy(path, "\\\\.\\");
  std::strcat(path, "ZQIL200");
  std::uint32_t lastError = 0;
  const host::Handle handle = host::HelperDriver().OpenDriver(
      path, host::win32::GENERIC_READ | host::win32::GENERIC_WRITE,
      host::win32::FILE_SHARE_READ | host::win32::FILE_SHARE_WRITE, host::win32::OPEN_EXISTING,
      host::win32::FILE_FLAG_OVERLAPPED, &lastError);
  if (handle != host::kInvalidHandle) {
    *driver = handle;
    return kHelperOpened;
  }
  *driver = 0;
  return lastError == host::win32::ERROR_FILE_NOT_FOUND ? kHelperNotPresent : kHelperOpenFailed;
}

int HelperTransfer(host::Handle driver, int deviceIndex, const std::uint8_t* command12,
                   int transferType, void* buffer, std::uint32_t length, std::uint8_t* senseOut,
                   std::uint32_t senseLength) {
  if (length > hr::kMaxData) return kHelperTransferTooLong;
  const int direction = transferType == kHelperTransferIn    ? kHelperFromKey
                        : transferType == kHelperTransferOut ? kHelperToKey
                                                             : kHelperNoData;
  const int result =
      HelperIoctl(driver, deviceIndex, command12, direction, buffer, length, senseOut, senseLength);
  if (result == kHelperIoctlDone) return kHelperTransferDone;
  return result == kHelperIoctlTooLong ? kHelperTransferTooLong : kHelperTransferFailed;
}

int HelperIoctl(host::Handle driver, int deviceIndex, const std::uint8_t* command12,
                int directionCode, void* buffer, std::uint32_t length, std::uint8_t* senseOut,
                std::uint32_t senseLength) {
  if (length > hr::kMaxData) return kHelperIoctlTooLong;

  // The block lives on the stack: a request needs no heap allocation.
  std::array<std::uint8_t, hr::kBlockSize> block;
  // The fixed fields and the first data bytes: a request of fewer than four data bytes still
  // sends 64, and none of them may be left over from an earlier request on this stack.
  std::memset(block.data(), 0, hr::kMinimumTransfer);
  const bool dataOut = directionCode == kHelperToKey && length > 0;
  PutLittleEndian32(&block[hr::kSizeField], hr::kSizeFieldValue);
  PutLittleEndian32(&block[hr::kDeviceIndex], static_cast<std::uint32_t>(deviceIndex));
  PutLittleEndian32(&block[hr::kDataOutFlag], dataOut ? 1u : 0u);
  PutLittleEndian32(&block[hr::kSenseFlag], 0);
  PutLittleEndian32(&block[hr::kDataLength], length);
  std::memcpy(&block[hr::kCommand], command12, hr::kCommandSize);
  if (dataOut) {
    std::memcpy(&block[hr::kData], buffer, length);
  } else {
    // Whatever the driver does not return reads as zeros, never as stale stack bytes
    // (INQUIRY relies on this for its unused answer bytes).
    std::memset(&block[hr::kData], 0, length);
  }

  std::uint32_t inSize = hr::kMinimumTransfer;
  std::uint32_t outSize = hr::kMinimumTransfer;
  if (length > 0) {
    if (directionCode == kHelperFromKey) outSize = hr::kData + length;
    if (directionCode == kHelperToKey) inSize = hr::kData + length;
  }

  std::uint32_t returned = 0;
  const bool ok = host::HelperDriver().Control(driver, hr::kIoControlCode, block.data(), inSize,
                                               block.data(), outSize, &returned);
  if (ok && GetLittleEndian32(&block[hr::kCompletionFlag]) != 0) {
    // Only a request that carried no data to the key takes data back: a driver that clears the
    // data-out flag in its answer must not write into the caller's outgoing data, which may be
    // a constant (SendOut, the format sequence's zero chunk).
    if (!dataOut && GetLittleEndian32(&block[hr::kDataLength]) != 0 &&
        GetLittleEndian32(&block[hr::kDataOutFlag]) == 0 && length > 0) {
      std::memcpy(buffer, &block[hr::kData], length);
    }
    return kHelperIoctlDone;
  }
  if (GetLittleEndian32(&block[hr::kSenseFlag]) != 0 && senseOut != nullptr && senseLength != 0) {
    std::memcpy(senseOut, &block[hr::kSense], std::min<std::uint32_t>(senseLength, hr::kSenseSize));
  }
  return kHelperIoctlFailed;
}
