#include "host/administrator_test.h"

namespace host {

bool RunAdministratorTest(AdministratorTestCalls& calls) {
  if (!calls.OpenThreadToken()) {
    if (calls.LastError() != kErrorNoToken) return false;
    if (!calls.OpenProcessToken()) return false;
  }
  // AccessCheck wants an impersonation token; the process's own is a primary token.
  if (!calls.DuplicateToken() || !calls.MakeAdministratorsDescriptor()) return false;
  bool accessStatus = false;
  if (!calls.AccessCheck(&accessStatus)) return false;
  return accessStatus;
}

}  // namespace host
