// The administrator test: whether the caller's token passes an access check against a descriptor
// that grants access to BUILTIN\Administrators alone. The steps are the security API's calls;
// each host supplies them (the Windows host over ADVAPI32, the emulated host as the Windows it
// emulates answers them) and both run the one decision below, so that it is tested where no
// Windows is at hand.
#pragma once

#include <cstdint>

namespace host {

// Error codes the decision tells apart, as Windows numbers them.
inline constexpr std::uint32_t kErrorCallNotImplemented = 120;  // Windows 9x's security stubs
inline constexpr std::uint32_t kErrorNoToken = 1008;           // the thread impersonates no one

// One call of the test each. A call returns its success; LastError() then says why it failed.
// The object owns what the calls create (tokens, SID, ACL, descriptor) and releases it when
// destroyed.
class AdministratorTestCalls {
 public:
  virtual ~AdministratorTestCalls() = default;
  // OpenThreadToken of the current thread, TOKEN_DUPLICATE | TOKEN_QUERY, opening as self.
  virtual bool OpenThreadToken() = 0;
  // OpenProcessToken of the current process with the same access.
  virtual bool OpenProcessToken() = 0;
  // DuplicateToken of the token opened, at SecurityImpersonation.
  virtual bool DuplicateToken() = 0;
  // AllocateAndInitializeSid, InitializeSecurityDescriptor, InitializeAcl, AddAccessAllowedAce
  // (access mask 3), SetSecurityDescriptorDacl, -Group, -Owner and IsValidSecurityDescriptor.
  virtual bool MakeAdministratorsDescriptor() = 0;
  // AccessCheck of the duplicate against the descriptor, desired access 1, mapping {1, 2, 0, 3}.
  virtual bool AccessCheck(bool* accessStatus) = 0;
  virtual std::uint32_t LastError() = 0;
};

// The answer: the access check's status, or false as soon as any step fails. Only
// ERROR_NO_TOKEN from the thread's token leads on to the process's token; every other failure,
// Windows 9x's ERROR_CALL_NOT_IMPLEMENTED among them, answers "ordinary user", so that the
// helper driver serves the caller.
bool RunAdministratorTest(AdministratorTestCalls& calls);

}  // namespace host
