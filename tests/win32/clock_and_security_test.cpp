// The clock against the system's own time services, and the administrator test against
// shell32's IsUserAnAdmin and against a token whose Administrators group is disabled.
#include <cstdio>
#include <cstring>
#include <string>

#include "tests/win32/win32_fixture.h"

namespace {

using Win32ClockTest = Win32HostTest;
using Win32SecurityTest = Win32HostTest;

std::string DateFromSystem() {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  char text[16];
  std::snprintf(text, sizeof text, "%02u/%02u/%02u", now.wMonth, now.wDay, now.wYear % 100u);
  return text;
}

TEST_F(Win32ClockTest, TheDateTextIsTheLocalDateAsMonthDayYear) {
  // Read between two readings of the system's date, so that midnight cannot split them.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const std::string before = DateFromSystem();
    char text[9];
    std::memset(text, 'x', sizeof text);
    windowsHost.clock.LocalDateText(text);
    if (before != DateFromSystem()) continue;
    ASSERT_EQ(text[8], '\0');
    EXPECT_EQ(std::string(text), before);
    return;
  }
  FAIL() << "the date changed during both attempts";
}

TEST_F(Win32ClockTest, SecondsFollowTheSystemClockAndSleepWaits) {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  // 100 ns units since 1601; 11644473600 seconds lie between 1601 and 1970.
  const std::uint64_t ticks = std::uint64_t{now.dwHighDateTime} << 32 | now.dwLowDateTime;
  const std::uint32_t expected = static_cast<std::uint32_t>(ticks / 10000000u - 11644473600u);
  const std::uint32_t seconds = windowsHost.clock.SecondsSince1970();
  EXPECT_LE(seconds - expected, 2u);

  const ULONGLONG start = ::GetTickCount64();
  windowsHost.clock.Sleep(120);
  EXPECT_GE(::GetTickCount64() - start, 100u);  // the tick has a resolution of some 16 ms
}

TEST_F(Win32SecurityTest, AgreesWithTheShellForTheProcessAndForAnImpersonatingThread) {
  const bool shellAnswer = ::IsUserAnAdmin() != FALSE;
  EXPECT_EQ(windowsHost.security.IsAdministrator(), shellAnswer);

  // With a thread token the check reads that token instead of the process's.
  ASSERT_TRUE(::ImpersonateSelf(SecurityImpersonation));
  const bool threadAnswer = windowsHost.security.IsAdministrator();
  ::RevertToSelf();
  EXPECT_EQ(threadAnswer, shellAnswer);
}

TEST_F(Win32SecurityTest, AThreadWhoseAdministratorsGroupIsDisabledIsNoAdministrator) {
  if (!::IsUserAnAdmin()) GTEST_SKIP() << "only an administrator has the group to disable";
  win32host::ObjectHandle process;
  ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, process.Receive()));
  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  win32host::SidHandle administrators;
  ASSERT_TRUE(::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                         DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, administrators.Receive()));
  SID_AND_ATTRIBUTES disabled = {administrators.Get(), 0};
  win32host::ObjectHandle restricted;
  ASSERT_TRUE(::CreateRestrictedToken(process.Get(), 0, 1, &disabled, 0, nullptr, 0, nullptr,
                                      restricted.Receive()));
  win32host::ObjectHandle impersonation;
  ASSERT_TRUE(::DuplicateToken(restricted.Get(), SecurityImpersonation, impersonation.Receive()));

  ASSERT_TRUE(::SetThreadToken(nullptr, impersonation.Get()));
  const bool answer = windowsHost.security.IsAdministrator();
  ::RevertToSelf();
  EXPECT_FALSE(answer);
  // The process itself is unchanged.
  EXPECT_EQ(windowsHost.security.IsAdministrator(), ::IsUserAnAdmin() != FALSE);
}

}  // namespace
