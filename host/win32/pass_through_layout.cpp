#include "host/win32/pass_through_layout.h"

#include <cstring>

#include "host/byte_order.h"
#include "host/pass_through_request.h"
#include "host/win32/windows_api.h"

namespace pt = pass_through;

namespace win32host {
namespace {

// Length through TimeOutValue sit at the same offsets in both layouts.
constexpr std::size_t kSharedHead = pt::kDataBuffer;

// The layout of this build must be the platform's structure.
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == kNativeLayout.structSize);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == kNativeLayout.dataBuffer);
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT::DataBuffer) == kNativeLayout.pointerSize);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == kNativeLayout.senseInfoOffset);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == kNativeLayout.cdb);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus) == pt::kScsiStatus);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn) == pt::kDataIn);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == pt::kDataTransferLength);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == pt::kTimeOutValue);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) + 4 == kSharedHead);
#ifndef _WIN64
// The image is this build's structure itself.
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == pt::kStructSize);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == pt::kDataBuffer);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == pt::kSenseInfoOffset);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == pt::kCdb);
#endif

static_assert(kLayout32.structSize == pt::kStructSize && kLayout32.sense == pt::kSense);
static_assert(kLayout32.dataBuffer == pt::kDataBuffer && kLayout32.cdb == pt::kCdb &&
              kLayout32.senseInfoOffset == pt::kSenseInfoOffset);
static_assert(pt::kSense + kSenseRoom == pt::kRequestSize);
static_assert(kLayout64.sense + kSenseRoom == kNativeRequestCapacity);

}  // namespace

NativePassThrough ToNative(const PassThroughLayout& layout, const host::PassThroughRequest& request) {
  const std::uint8_t* image = request.image.data();
  NativePassThrough native;
  std::uint8_t* out = native.bytes.data();

  std::memcpy(out, image, kSharedHead);
  if (GetLittleEndian16(image + pt::kLength) == pt::kStructSize) {
    PutLittleEndian16(out + pt::kLength, static_cast<std::uint16_t>(layout.structSize));
  }

  std::uint64_t pointer = reinterpret_cast<std::uintptr_t>(request.dataBuffer);
  for (std::size_t i = 0; i < layout.pointerSize; ++i, pointer >>= 8) {
    out[layout.dataBuffer + i] = static_cast<std::uint8_t>(pointer);
  }

  std::uint32_t senseOffset = GetLittleEndian32(image + pt::kSenseInfoOffset);
  if (senseOffset >= pt::kSense) {
    senseOffset = static_cast<std::uint32_t>(senseOffset - pt::kSense + layout.sense);
  }
  PutLittleEndian32(out + layout.senseInfoOffset, senseOffset);

  std::memcpy(out + layout.cdb, image + pt::kCdb, pt::kCdbCapacity);
  std::memcpy(out + layout.sense, image + pt::kSense, kSenseRoom);
  native.size = static_cast<std::uint32_t>(layout.sense + kSenseRoom);
  return native;
}

void FromNative(const PassThroughLayout& layout, const NativePassThrough& native,
                host::PassThroughRequest& request) {
  std::uint8_t* image = request.image.data();
  const std::uint8_t* in = native.bytes.data();
  // Length stays the image's own; the driver reads it, never writes it.
  std::memcpy(image + pt::kScsiStatus, in + pt::kScsiStatus, kSharedHead - pt::kScsiStatus);
  std::memcpy(image + pt::kCdb, in + layout.cdb, pt::kCdbCapacity);
  std::memcpy(image + pt::kSense, in + layout.sense, kSenseRoom);
}

std::uint32_t ToNativeSize(const PassThroughLayout& layout, std::uint32_t imageSize) {
  if (imageSize >= pt::kSense) return static_cast<std::uint32_t>(imageSize - pt::kSense + layout.sense);
  if (imageSize >= pt::kStructSize) {
    return static_cast<std::uint32_t>(imageSize - pt::kStructSize + layout.structSize);
  }
  return imageSize;
}

std::uint32_t ToImageSize(const PassThroughLayout& layout, std::uint32_t nativeSize) {
  if (nativeSize >= layout.sense) return static_cast<std::uint32_t>(nativeSize - layout.sense + pt::kSense);
  if (nativeSize >= layout.structSize) {
    return static_cast<std::uint32_t>(nativeSize - layout.structSize + pt::kStructSize);
  }
  return nativeSize;
}

}  // namespace win32host
