// The core's 80-byte pass-through image and the platform's own SCSI_PASS_THROUGH_DIRECT.
//
// The image is the structure as a 32-bit program lays it out. A 64-bit program's structure is
// 56 bytes: the DataBuffer pointer grows to 8 bytes and moves to offset 24, and everything after
// it moves along. Both layouts are described here so that each conversion can be checked on
// any build; the adapter uses the one the program was built for.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "host/volume_port.h"

namespace win32host {

struct PassThroughLayout {
  std::size_t structSize;       // sizeof(SCSI_PASS_THROUGH_DIRECT)
  std::size_t dataBuffer;       // offset of the DataBuffer pointer
  std::size_t pointerSize;
  std::size_t senseInfoOffset;  // offset of the SenseInfoOffset field
  std::size_t cdb;              // offset of Cdb[16]
  std::size_t sense;            // where the sense room starts: the structure's end, 8-aligned
};

inline constexpr PassThroughLayout kLayout32{44, 20, 4, 24, 28, 48};
inline constexpr PassThroughLayout kLayout64{56, 24, 8, 32, 36, 56};
inline constexpr const PassThroughLayout& kNativeLayout =
    sizeof(void*) == 8 ? kLayout64 : kLayout32;

inline constexpr std::size_t kSenseRoom = 32;  // the image's bytes 48 to 79
inline constexpr std::size_t kNativeRequestCapacity = 56 + kSenseRoom;

// A request in a platform layout: structure, then the sense room.
struct NativePassThrough {
  alignas(8) std::array<std::uint8_t, kNativeRequestCapacity> bytes{};
  std::uint32_t size = 0;  // structure and sense room
};

// The image in the given layout, with the DataBuffer pointer stored in its field. Length and
// SenseInfoOffset are translated when they hold the image's own values (44 and 48).
NativePassThrough ToNative(const PassThroughLayout& layout, const host::PassThroughRequest& request);

// What the driver left in the native request, back into the image: the byte fields, both
// lengths, the timeout, the command bytes and the sense room. The image's DataBuffer field
// stays zero.
void FromNative(const PassThroughLayout& layout, const NativePassThrough& native,
                host::PassThroughRequest& request);

// A byte count within the image as the layout counts it, and back.
std::uint32_t ToNativeSize(const PassThroughLayout& layout, std::uint32_t imageSize);
std::uint32_t ToImageSize(const PassThroughLayout& layout, std::uint32_t nativeSize);

}  // namespace win32host
