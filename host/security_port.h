// Security: whether the caller's token passes an access check for the Administrators group.
#pragma once

namespace host {

class SecurityPort {
 public:
  virtual ~SecurityPort() = default;
  virtual bool IsAdministrator() = 0;
};

}  // namespace host
