// The clock (Sleep, time, _strdate) and the administrator test.
#include <ctime>

#include "host/administrator_test.h"
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

// The security API's calls of the administrator test. Windows 98 and ME export them only as stubs
// failing with ERROR_CALL_NOT_IMPLEMENTED, or not at all, so each is reached through
// GetProcAddress: a missing function is a failing step like any other, and the program loads on
// those systems whichever it is.
class Win32AdministratorTestCalls : public host::AdministratorTestCalls {
 public:
  bool OpenThreadToken() override {
    const auto open = Function<decltype(&::OpenThreadToken)>("OpenThreadToken");
    return open != nullptr &&
           open(::GetCurrentThread(), TOKEN_DUPLICATE | TOKEN_QUERY, TRUE, m_token.Receive());
  }
  bool OpenProcessToken() override {
    const auto open = Function<decltype(&::OpenProcessToken)>("OpenProcessToken");
    return open != nullptr &&
           open(::GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, m_token.Receive());
  }
  bool DuplicateToken() override {
    const auto duplicate = Function<decltype(&::DuplicateToken)>("DuplicateToken");
    return duplicate != nullptr &&
           duplicate(m_token.Get(), SecurityImpersonation, m_impersonation.Receive());
  }
  bool MakeAdministratorsDescriptor() override;
  bool AccessCheck(bool* accessStatus) override {
    const auto check = Function<decltype(&::AccessCheck)>("AccessCheck");
    if (check == nullptr) return false;
    constexpr DWORD kAccessToCheck = 1;
    GENERIC_MAPPING mapping = {1, 2, 0, 3};
    PRIVILEGE_SET privileges;
    DWORD privilegesSize = sizeof privileges;
    DWORD granted = 0;
    BOOL status = FALSE;
    if (!check(m_descriptor.Get(), m_impersonation.Get(), kAccessToCheck, &mapping, &privileges,
               &privilegesSize, &granted, &status)) {
      return false;
    }
    *accessStatus = status != FALSE;
    return true;
  }
  std::uint32_t LastError() override { return m_missing ? ERROR_PROC_NOT_FOUND : ::GetLastError(); }

 private:
  template <typename F>
  F Function(const char* name) {
    const F function = SystemFunction<F>("ADVAPI32.DLL", name);
    m_missing = function == nullptr;
    return function;
  }

  bool m_missing = false;
  ObjectHandle m_token;
  ObjectHandle m_impersonation;  // AccessCheck wants an impersonation token
  SidHandle m_administrators;
  LocalMemory m_descriptor;
  LocalMemory m_acl;
};

bool Win32AdministratorTestCalls::MakeAdministratorsDescriptor() {
  constexpr DWORD kAllowedMask = 3;  // the generic mapping's "all"
  const auto allocateSid = Function<decltype(&::AllocateAndInitializeSid)>("AllocateAndInitializeSid");
  const auto sidLength = Function<decltype(&::GetLengthSid)>("GetLengthSid");
  const auto initializeDescriptor =
      Function<decltype(&::InitializeSecurityDescriptor)>("InitializeSecurityDescriptor");
  const auto initializeAcl = Function<decltype(&::InitializeAcl)>("InitializeAcl");
  const auto addAce = Function<decltype(&::AddAccessAllowedAce)>("AddAccessAllowedAce");
  const auto setDacl = Function<decltype(&::SetSecurityDescriptorDacl)>("SetSecurityDescriptorDacl");
  const auto setGroup = Function<decltype(&::SetSecurityDescriptorGroup)>("SetSecurityDescriptorGroup");
  const auto setOwner = Function<decltype(&::SetSecurityDescriptorOwner)>("SetSecurityDescriptorOwner");
  const auto isValid = Function<decltype(&::IsValidSecurityDescriptor)>("IsValidSecurityDescriptor");
  m_missing = !allocateSid || !sidLength || !initializeDescriptor || !initializeAcl || !addAce ||
              !setDacl || !setGroup || !setOwner || !isValid;
  if (m_missing) return false;

  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  if (!allocateSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0,
                   0, 0, 0, m_administrators.Receive())) {
    return false;
  }
  m_descriptor = LocalMemory(::LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
  if (!m_descriptor.Valid() || !initializeDescriptor(m_descriptor.Get(), SECURITY_DESCRIPTOR_REVISION)) {
    return false;
  }
  // An ACL header, one ACCESS_ALLOWED_ACE without its SidStart word, and the SID.
  const DWORD aclSize = sidLength(m_administrators.Get()) + sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) -
                        sizeof(DWORD);
  m_acl = LocalMemory(::LocalAlloc(LPTR, aclSize));
  if (!m_acl.Valid()) return false;
  PACL list = static_cast<PACL>(m_acl.Get());
  if (!initializeAcl(list, aclSize, ACL_REVISION2) ||
      !addAce(list, ACL_REVISION2, kAllowedMask, m_administrators.Get()) ||
      !setDacl(m_descriptor.Get(), TRUE, list, FALSE)) {
    return false;
  }
  // An owner and a group make the descriptor complete; AccessCheck refuses one without them.
  setGroup(m_descriptor.Get(), m_administrators.Get(), FALSE);
  setOwner(m_descriptor.Get(), m_administrators.Get(), FALSE);
  return isValid(m_descriptor.Get()) != FALSE;
}

// Unlike a group-membership test, the access check also answers correctly for a thread that
// impersonates another user.
bool Win32Security::IsAdministrator() {
  Win32AdministratorTestCalls calls;
  return host::RunAdministratorTest(calls);
}

}  // namespace win32host
