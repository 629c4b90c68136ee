// Handles and the Win32 constants that cross the ports.
//
// The core never includes a Windows header, so the few constants it passes to the ports are
// spelled here under their Windows names. The Windows host pins each of them against
// <windows.h> with a static_assert.
#pragma once

#include <cstdint>

namespace host {

// A kernel object handle as the core sees it: an opaque pointer-sized value.
using Handle = std::uintptr_t;
inline constexpr Handle kInvalidHandle = ~Handle{0};  // INVALID_HANDLE_VALUE: all bits set

namespace win32 {
inline constexpr std::uint32_t GENERIC_READ = 0x80000000u;
inline constexpr std::uint32_t GENERIC_WRITE = 0x40000000u;
inline constexpr std::uint32_t FILE_SHARE_READ = 0x00000001u;
inline constexpr std::uint32_t FILE_SHARE_WRITE = 0x00000002u;
inline constexpr std::uint32_t OPEN_EXISTING = 3;
inline constexpr std::uint32_t FILE_ATTRIBUTE_NORMAL = 0x00000080u;
inline constexpr std::uint32_t FILE_FLAG_OVERLAPPED = 0x40000000u;
inline constexpr std::uint32_t FILE_FLAG_NO_BUFFERING = 0x20000000u;

inline constexpr std::uint32_t ERROR_SUCCESS = 0;
inline constexpr std::uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr std::uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr std::uint32_t ERROR_INVALID_FUNCTION = 1;
inline constexpr std::uint32_t ERROR_GEN_FAILURE = 31;
inline constexpr std::uint32_t ERROR_MORE_DATA = 234;
inline constexpr std::uint32_t ERROR_NO_MORE_ITEMS = 259;

// CTL_CODE(IOCTL_SCSI_BASE, 0x0405, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
inline constexpr std::uint32_t IOCTL_SCSI_PASS_THROUGH_DIRECT = 0x0004D014u;

inline constexpr std::uint32_t DRIVE_UNKNOWN = 0;
inline constexpr std::uint32_t DRIVE_NO_ROOT_DIR = 1;
inline constexpr std::uint32_t DRIVE_REMOVABLE = 2;
inline constexpr std::uint32_t DRIVE_FIXED = 3;
inline constexpr std::uint32_t DRIVE_CDROM = 5;
}  // namespace win32

}  // namespace host
