// The clock (Sleep, time, _strdate) and the administrator test.
#include <ctime>

#include "host/win32/win32_ports.h"
#include "host/win32/windows_api.h"

namespace win32host {

void Win32Clock::Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

std::uint32_t Win32Clock::SecondsSince1970() {
  return static_cast<std::uint32_t>(std::time(nullptr));
}

// _strdate rather than _strdate_s: the older runtime of the systems the program supports has
// only the former.
void Win32Clock::LocalDateText(char text[9]) { ::_strdate(text); }

// Whether the caller's token passes an access check against a descriptor that grants access to
// BUILTIN\Administrators alone. Unlike a group-membership test, this also answers correctly for
// a thread that impersonates another user. Any failure answers false: the helper driver then
// serves the caller as an ordinary user.
bool Win32Security::IsAdministrator() {
  constexpr DWORD kAccessToCheck = 1;
  constexpr DWORD kAllowedMask = 3;  // the generic mapping's "all"

  ObjectHandle token;
  if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_DUPLICATE | TOKEN_QUERY, TRUE, token.Receive())) {
    if (::GetLastError() != ERROR_NO_TOKEN) return false;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, token.Receive())) {
      return false;
    }
  }

  // AccessCheck wants an impersonation token; the process's own is a primary token.
  ObjectHandle impersonation;
  if (!::DuplicateToken(token.Get(), SecurityImpersonation, impersonation.Receive())) return false;

  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  SidHandle administrators;
  if (!::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                  DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                  administrators.Receive())) {
    return false;
  }

  LocalMemory descriptor(::LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
  if (!descriptor.Valid() ||
      !::InitializeSecurityDescriptor(descriptor.Get(), SECURITY_DESCRIPTOR_REVISION)) {
    return false;
  }

  // An ACL header, one ACCESS_ALLOWED_ACE without its SidStart word, and the SID.
  const DWORD aclSize = ::GetLengthSid(administrators.Get()) + sizeof(ACL) +
                        sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD);
  LocalMemory acl(::LocalAlloc(LPTR, aclSize));
  if (!acl.Valid()) return false;
  PACL list = static_cast<PACL>(acl.Get());
  if (!::InitializeAcl(list, aclSize, ACL_REVISION2) ||
      !::AddAccessAllowedAce(list, ACL_REVISION2, kAllowedMask, administrators.Get()) ||
      !::SetSecurityDescriptorDacl(descriptor.Get(), TRUE, list, FALSE)) {
    return false;
  }
  // An owner and a group make the descriptor complete; AccessCheck refuses one without them.
  ::SetSecurityDescriptorGroup(descriptor.Get(), administrators.Get(), FALSE);
  ::SetSecurityDescriptorOwner(descriptor.Get(), administrators.Get(), FALSE);
  if (!::IsValidSecurityDescriptor(descriptor.Get())) return false;

  GENERIC_MAPPING mapping = {1, 2, 0, 3};
  PRIVILEGE_SET privileges;
  DWORD privilegesSize = sizeof privileges;
  DWORD granted = 0;
  BOOL accessStatus = FALSE;
  if (!::AccessCheck(descriptor.Get(), impersonation.Get(), kAccessToCheck, &mapping, &privileges,
                     &privilegesSize, &granted, &accessStatus)) {
    return false;
  }
  return accessStatus != FALSE;
}

}  // namespace win32host
