// The helper driver's request block: the vocabulary of the helper-driver port, shared by the
// library that fills it and the hosts that pass it on.
#pragma once

#include <cstddef>
#include <cstdint>

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
