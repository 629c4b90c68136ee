// The helper driver: CreateFileA on \\.\ZQIL200 (with GetLastError right after it),
// DeviceIoControl with the driver's own control code, CloseHandle.
#pragma once

#include <cstdint>

#include "host/handle.h"

namespace host {

class HelperDriverPort {
 public:
  virtual ~HelperDriverPort() = default;

  // CreateFileA(path, access, share, NULL, disposition, flags, NULL); *lastError receives
  // GetLastError() as read right after the call.
  virtual Handle OpenDriver(const char* path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                            std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes,
                            std::uint32_t* lastError) = 0;

  // DeviceIoControl(driver, ioControlCode, in, inSize, out, outSize, bytesReturned, NULL).
  virtual bool Control(Handle driver, std::uint32_t ioControlCode, const void* in, std::uint32_t inSize,
                       void* out, std::uint32_t outSize, std::uint32_t* bytesReturned) = 0;

  // CloseHandle(driver).
  virtual bool CloseDriver(Handle driver) = 0;
};

}  // namespace host
