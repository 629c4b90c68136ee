// The 80-byte SCSI pass-through request: SCSI_PASS_THROUGH_DIRECT as a 32-bit program lays it
// out (44 bytes), four bytes of padding, then 32 bytes of room for the sense data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "host/byte_order.h"

namespace pass_through {

inline constexpr std::size_t kRequestSize = 80;
inline constexpr std::size_t kStructSize = 44;  // sizeof(SCSI_PASS_THROUGH_DIRECT), 32-bit

// Field offsets.
inline constexpr std::size_t kLength = 0;  // 16-bit
inline constexpr std::size_t kScsiStatus = 2;
inline constexpr std::size_t kPathId = 3;
inline constexpr std::size_t kTargetId = 4;
inline constexpr std::size_t kLun = 5;
inline constexpr std::size_t kCdbLength = 6;
inline constexpr std::size_t kSenseInfoLength = 7;
inline constexpr std::size_t kDataIn = 8;
inline constexpr std::size_t kDataTransferLength = 12;  // 32-bit
inline constexpr std::size_t kTimeOutValue = 16;        // 32-bit
inline constexpr std::size_t kDataBuffer = 20;          // pointer; carried beside the image
inline constexpr std::size_t kSenseInfoOffset = 24;     // 32-bit
inline constexpr std::size_t kCdb = 28;                 // 16 bytes
inline constexpr std::size_t kCdbCapacity = 16;
inline constexpr std::size_t kSense = 48;

// Field values.
inline constexpr std::uint8_t kTargetIdValue = 1;
inline constexpr std::uint8_t kSenseLengthValue = 24;
inline constexpr std::uint8_t kDataInValue = 1;   // SCSI_IOCTL_DATA_IN
inline constexpr std::uint8_t kDataOutValue = 0;  // SCSI_IOCTL_DATA_OUT
inline constexpr std::uint32_t kTimeOutSeconds = 60;

static_assert(kCdb + kCdbCapacity == kStructSize);
static_assert(kSense >= kStructSize && kSense + 32 == kRequestSize);

// Reading a request image field by field, as a host passes it on.
inline std::uint16_t Length(const std::uint8_t* image) { return GetLittleEndian16(image + kLength); }
inline std::uint8_t CdbLength(const std::uint8_t* image) { return image[kCdbLength]; }
inline std::uint8_t SenseInfoLength(const std::uint8_t* image) { return image[kSenseInfoLength]; }
inline bool IsDataIn(const std::uint8_t* image) { return image[kDataIn] == kDataInValue; }
inline std::uint32_t DataTransferLength(const std::uint8_t* image) {
  return GetLittleEndian32(image + kDataTransferLength);
}
inline std::uint32_t TimeOutValue(const std::uint8_t* image) { return GetLittleEndian32(image + kTimeOutValue); }
inline std::uint32_t SenseInfoOffset(const std::uint8_t* image) { return GetLittleEndian32(image + kSenseInfoOffset); }
inline const std::uint8_t* Cdb(const std::uint8_t* image) { return image + kCdb; }
// The system's answer: the SCSI status the device gave.
inline void SetScsiStatus(std::uint8_t* image, std::uint8_t status) { image[kScsiStatus] = status; }

// Fills a zeroed request image as the library sends every command: target 1, the sense area at
// kSense, the data phase and length given; the data buffer travels beside the image.
inline void FillRequest(std::uint8_t* image, const std::uint8_t* cdb, std::uint8_t cdbLength, bool dataIn,
                        std::uint32_t length) {
  PutLittleEndian16(image + kLength, kStructSize);
  image[kTargetId] = kTargetIdValue;
  image[kCdbLength] = cdbLength;
  image[kSenseInfoLength] = kSenseLengthValue;
  image[kDataIn] = dataIn ? kDataInValue : kDataOutValue;
  PutLittleEndian32(image + kDataTransferLength, length);
  PutLittleEndian32(image + kTimeOutValue, kTimeOutSeconds);
  PutLittleEndian32(image + kSenseInfoOffset, kSense);
  std::memcpy(image + kCdb, cdb, cdbLength < kCdbCapacity ? cdbLength : kCdbCapacity);
}

}  // namespace pass_through
