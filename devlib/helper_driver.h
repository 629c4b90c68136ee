// The helper driver that serves ordinary users: its request block and the three calls beneath
// the helper-driver transport.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/handle.h"

namespace helper_request {

// CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
inline constexpr std::uint32_t kIoControlCode = 0x0022E00Cu;
inline constexpr char kDevicePath[] = "\\\\.\\ZQIL200";

// Offsets of the 32-bit little-endian fields.
inline constexpr std::size_t kSizeField = 0;
inline constexpr std::size_t kDeviceIndex = 4;
inline constexpr std::size_t kDataOutFlag = 8;
inline constexpr std::size_t kCompletionFlag = 12;
inline constexpr std::size_t kSenseFlag = 16;
inline constexpr std::size_t kDataLength = 20;
inline constexpr std::size_t kCommand = 24;  // 12 bytes
inline constexpr std::size_t kCommandSize = 12;
inline constexpr std::size_t kSense = 36;  // 24 bytes
inline constexpr std::size_t kSenseSize = 24;
inline constexpr std::size_t kData = 60;

inline constexpr std::uint32_t kSizeFieldValue = 64;
inline constexpr std::uint32_t kMinimumTransfer = 64;  // no request is smaller
inline constexpr std::uint32_t kMaxData = 16384;
inline constexpr std::size_t kBlockSize = kData + kMaxData;

static_assert(kCommand + kCommandSize == kSense && kSense + kSenseSize == kData);

}  // namespace helper_request

// Direction codes, used inside the library only to fill the data-out flag and to size the call.
inline constexpr int kHelperFromKey = 0;
inline constexpr int kHelperToKey = 1;
inline constexpr int kHelperNoData = 2;

// Transfer types of HelperTransfer.
inline constexpr int kHelperTransferIn = 1;
inline constexpr int kHelperTransferOut = 2;

// Result codes of the helper-driver layer; they never leave the transport and discovery.
inline constexpr int kHelperOpened = 0;
inline constexpr int kHelperOpenFailed = 4;
inline constexpr int kHelperNotPresent = 5;
inline constexpr int kHelperIoctlDone = 0;
inline constexpr int kHelperIoctlTooLong = 5;
inline constexpr int kHelperIoctlFailed = 6;
inline constexpr int kHelperTransferDone = 0;
inline constexpr int kHelperTransferFailed = 7;
inline constexpr int kHelperTransferTooLong = 9;

// Opens \\.\ZQIL200. *driver receives the handle, or 0 on failure.
int OpenHelperDriver(host::Handle* driver);

// One command through the driver; transfer type 1 = data in, 2 = data out.
int HelperTransfer(host::Handle driver, int deviceIndex, const std::uint8_t* command12,
                   int transferType, void* buffer, std::uint32_t length, std::uint8_t* senseOut,
                   std::uint32_t senseLength);

int HelperIoctl(host::Handle driver, int deviceIndex, const std::uint8_t* command12,
                int directionCode, void* buffer, std::uint32_t length, std::uint8_t* senseOut,
                std::uint32_t senseLength);
