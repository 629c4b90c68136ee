// The administrator decision over scripted security calls: which step failing with which error
// leads where.
#include "host/administrator_test.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kAccessDenied = 5;

// Each call answers from the script: the error it fails with, 0 for success.
class ScriptedCalls : public host::AdministratorTestCalls {
 public:
  std::uint32_t threadToken = host::kErrorNoToken;
  std::uint32_t processToken = 0;
  std::uint32_t duplicate = 0;
  std::uint32_t descriptor = 0;
  std::uint32_t accessCheck = 0;
  bool granted = true;
  std::vector<std::string> calls;

  bool OpenThreadToken() override { return Answer("thread", threadToken); }
  bool OpenProcessToken() override { return Answer("process", processToken); }
  bool DuplicateToken() override { return Answer("duplicate", duplicate); }
  bool MakeAdministratorsDescriptor() override { return Answer("descriptor", descriptor); }
  bool AccessCheck(bool* accessStatus) override {
    if (!Answer("check", accessCheck)) return false;
    *accessStatus = granted;
    return true;
  }
  std::uint32_t LastError() override { return m_error; }

 private:
  bool Answer(const char* name, std::uint32_t error) {
    calls.push_back(name);
    m_error = error;
    return error == 0;
  }
  std::uint32_t m_error = 0;
};

TEST(AdministratorTest, TheAccessCheckDecidesWithTheThreadsTokenOrElseTheProcesss) {
  ScriptedCalls process;
  EXPECT_TRUE(host::RunAdministratorTest(process));
  EXPECT_EQ(process.calls, (std::vector<std::string>{"thread", "process", "duplicate", "descriptor", "check"}));
  process.calls.clear();
  process.granted = false;
  EXPECT_FALSE(host::RunAdministratorTest(process));

  ScriptedCalls impersonating;
  impersonating.threadToken = 0;
  EXPECT_TRUE(host::RunAdministratorTest(impersonating));
  EXPECT_EQ(impersonating.calls, (std::vector<std::string>{"thread", "duplicate", "descriptor", "check"}));
}

TEST(AdministratorTest, AnyFailingStepAnswersOrdinaryUser) {
  // Windows 9x's stubs and a refusal alike; only ERROR_NO_TOKEN leads on to the process.
  for (std::uint32_t error : {host::kErrorCallNotImplemented, kAccessDenied}) {
    ScriptedCalls thread;
    thread.threadToken = error;
    EXPECT_FALSE(host::RunAdministratorTest(thread)) << error;
    EXPECT_EQ(thread.calls, std::vector<std::string>{"thread"}) << error;

    for (std::uint32_t ScriptedCalls::*step : {&ScriptedCalls::processToken, &ScriptedCalls::duplicate,
                                               &ScriptedCalls::descriptor, &ScriptedCalls::accessCheck}) {
      ScriptedCalls calls;
      calls.*step = error;
      EXPECT_FALSE(host::RunAdministratorTest(calls)) << error << " at " << calls.calls.back();
    }
  }
}

}  // namespace
