// Volumes and SCSI pass-through: CreateFileA on \\.\X:, DeviceIoControl with
// IOCTL_SCSI_PASS_THROUGH_DIRECT, CloseHandle.
#pragma once

#include <array>
#include <cstdint>

#include "host/handle.h"

namespace host {

// The pass-through request exactly as the 32-bit program lays it out: the 44-byte
// SCSI_PASS_THROUGH_DIRECT followed by room for the sense data, 80 bytes in all. The
// DataBuffer field is a pointer, which only a 32-bit image can hold, so it travels beside the
// image; the field inside the image stays zero. The Windows host writes it into the native
// structure (and on 64-bit Windows converts the image to the native layout).
struct PassThroughRequest {
  std::array<std::uint8_t, 80> image{};
  void* dataBuffer = nullptr;
};

class VolumePort {
 public:
  virtual ~VolumePort() = default;

  // CreateFileA(path, access, share, NULL, disposition, flags, NULL); kInvalidHandle on failure.
  virtual Handle OpenVolume(const char* path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                            std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) = 0;

  // DeviceIoControl(volume, ioControlCode, request, inSize, request, outSize, bytesReturned, NULL).
  virtual bool SendPassThrough(Handle volume, std::uint32_t ioControlCode, PassThroughRequest& request,
                               std::uint32_t inSize, std::uint32_t outSize,
                               std::uint32_t* bytesReturned) = 0;

  // CloseHandle(volume).
  virtual bool CloseVolume(Handle volume) = 0;
};

}  // namespace host
