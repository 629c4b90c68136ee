// The key's volume and the helper driver: CreateFileA, DeviceIoControl, CloseHandle.
#include <algorithm>

#include "host/win32/pass_through_layout.h"
#include "host/win32/win32_ports.h"
#include "host/win32/windows_api.h"

namespace win32host {
namespace {

host::Handle Open(const char* path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                  std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) {
  return FromHandle(::CreateFileA(path, desiredAccess, shareMode, nullptr, creationDisposition,
                                  flagsAndAttributes, nullptr));
}

}  // namespace

host::Handle Win32Volumes::OpenVolume(const char* path, std::uint32_t desiredAccess,
                                      std::uint32_t shareMode, std::uint32_t creationDisposition,
                                      std::uint32_t flagsAndAttributes) {
  return Open(path, desiredAccess, shareMode, creationDisposition, flagsAndAttributes);
}

bool Win32Volumes::SendPassThrough(host::Handle volume, std::uint32_t ioControlCode,
                                   host::PassThroughRequest& request, std::uint32_t inSize,
                                   std::uint32_t outSize, std::uint32_t* bytesReturned) {
  // On a 32-bit build the native request is the image with its pointer filled in; on a 64-bit
  // build it is the wider structure. Either way input and output share one buffer, as the
  // image does. Sizes beyond the image would reach past the request: they are capped.
  NativePassThrough native = ToNative(kNativeLayout, request);
  const DWORD nativeIn = std::min(ToNativeSize(kNativeLayout, inSize), native.size);
  const DWORD nativeOut = std::min(ToNativeSize(kNativeLayout, outSize), native.size);
  DWORD returned = 0;
  const BOOL ok = ::DeviceIoControl(ToHandle(volume), ioControlCode, native.bytes.data(), nativeIn,
                                    native.bytes.data(), nativeOut, &returned, nullptr);
  FromNative(kNativeLayout, native, request);
  if (bytesReturned != nullptr) *bytesReturned = ToImageSize(kNativeLayout, returned);
  return ok != FALSE;
}

bool Win32Volumes::CloseVolume(host::Handle volume) { return ::CloseHandle(ToHandle(volume)) != FALSE; }

host::Handle Win32HelperDriver::OpenDriver(const char* path, std::uint32_t desiredAccess,
                                           std::uint32_t shareMode, std::uint32_t creationDisposition,
                                           std::uint32_t flagsAndAttributes,
                                           std::uint32_t* lastError) {
  const host::Handle driver = Open(path, desiredAccess, shareMode, creationDisposition, flagsAndAttributes);
  const DWORD error = ::GetLastError();  // before anything else can change it
  if (lastError != nullptr) *lastError = error;
  return driver;
}

bool Win32HelperDriver::Control(host::Handle driver, std::uint32_t ioControlCode, const void* in,
                                std::uint32_t inSize, void* out, std::uint32_t outSize,
                                std::uint32_t* bytesReturned) {
  DWORD returned = 0;
  // The handle was opened for overlapped I/O, yet the driver completes every request before
  // the call returns, so no OVERLAPPED is passed.
  const BOOL ok = ::DeviceIoControl(ToHandle(driver), ioControlCode, const_cast<void*>(in), inSize,
                                    out, outSize, &returned, nullptr);
  if (bytesReturned != nullptr) *bytesReturned = returned;
  return ok != FALSE;
}

bool Win32HelperDriver::CloseDriver(host::Handle driver) {
  return ::CloseHandle(ToHandle(driver)) != FALSE;
}

}  // namespace win32host
