// The core spells the Win32 constants it passes through the ports itself (it never sees a
// Windows header); here each is held against the headers, so a typo cannot reach a release.
#include "host/file_system_port.h"
#include "host/handle.h"
#include "host/helper_request.h"
#include "host/pass_through_request.h"
#include "host/registry_port.h"
#include "host/shell_port.h"

// The core's constants carry the Windows names, which <windows.h> turns into macros: their
// values are copied (as NAME_) before it is read, and compared with the macros after.
#define STELVARION_PINNED_CONSTANTS(X)                                                           \
  X(GENERIC_READ) X(GENERIC_WRITE) X(FILE_SHARE_READ) X(FILE_SHARE_WRITE) X(OPEN_EXISTING)        \
  X(CREATE_ALWAYS) X(FILE_ATTRIBUTE_NORMAL) X(FILE_ATTRIBUTE_READONLY) X(FILE_ATTRIBUTE_HIDDEN)   \
  X(FILE_ATTRIBUTE_SYSTEM) X(FILE_FLAG_OVERLAPPED) X(FILE_FLAG_NO_BUFFERING) X(MAX_PATH)          \
  X(ERROR_SUCCESS) X(ERROR_INVALID_FUNCTION) X(ERROR_FILE_NOT_FOUND) X(ERROR_ACCESS_DENIED)      \
  X(ERROR_GEN_FAILURE) X(ERROR_MORE_DATA) X(ERROR_NO_MORE_ITEMS)                                 \
  X(DRIVE_UNKNOWN) X(DRIVE_NO_ROOT_DIR) X(DRIVE_REMOVABLE) X(DRIVE_FIXED) X(DRIVE_CDROM)         \
  X(IOCTL_SCSI_PASS_THROUGH_DIRECT)                                                              \
  X(WM_APP) X(SHCNE_UPDATEDIR) X(SHCNF_PATHA)                                                    \
  X(MB_OK) X(MB_OKCANCEL) X(MB_ICONEXCLAMATION) X(MB_ICONINFORMATION) X(IDOK) X(IDCANCEL)        \
  X(DBT_DEVICEARRIVAL) X(DBT_DEVICEREMOVECOMPLETE)

namespace core_values {
#define STELVARION_CAPTURE(name) inline constexpr auto name##_ = host::win32::name;
STELVARION_PINNED_CONSTANTS(STELVARION_CAPTURE)
#undef STELVARION_CAPTURE
}  // namespace core_values

#include "host/win32/windows_api.h"

namespace win32host {
namespace {

#define STELVARION_PIN(name) static_assert(core_values::name##_ == name, #name);
STELVARION_PINNED_CONSTANTS(STELVARION_PIN)
#undef STELVARION_PIN

static_assert(sizeof(host::Handle) == sizeof(HANDLE));
static_assert(host::kInvalidHandle == static_cast<host::Handle>(static_cast<LONG_PTR>(-1)));
static_assert(sizeof(host::WindowHandle) == sizeof(HWND));
static_assert(sizeof(host::RegistryKey) == sizeof(HKEY));

// The helper driver's code and the pass-through fields.
static_assert(helper_request::kIoControlCode ==
              CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS));
static_assert(pass_through::kDataInValue == SCSI_IOCTL_DATA_IN);
static_assert(pass_through::kDataOutValue == SCSI_IOCTL_DATA_OUT);
#ifndef _WIN64
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == pass_through::kStructSize);
#endif

// Registry. HKEY_LOCAL_MACHINE is a pointer constant; its mapping is tested instead.
static_assert(host::kKeyRead == KEY_READ);
static_assert(host::kRegSz == REG_SZ);
static_assert(host::kRegBinary == REG_BINARY);

// The administrator test's fixed sizes. An absolute descriptor holds four pointers, so only the
// 32-bit one is 20 bytes.
#ifndef _WIN64
static_assert(SECURITY_DESCRIPTOR_MIN_LENGTH == 20);
#endif
static_assert(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) == 16);
static_assert(sizeof(PRIVILEGE_SET) == 20);

}  // namespace
}  // namespace win32host
